#pragma once
// The program's texts, once, for every front end: the resource script
// (resurgo.rc #includes this header, so windres builds the string table
// from the defines below) and C++ code (the StringTable class, for the
// command-line helper and the tests). Texts are UTF-8; "\n" is a line
// break. %s stands for a file name (a pattern, a path or a reason in the
// status texts), %u for a number.
//
// Ids 1 to 33 are the dialog application's string table; 14 is the
// message shown instead of 9 when a restore wrote damaged compressed units
// as zeros, 16 when the file restored had been partly overwritten since its
// deletion (17 and 18 follow it, naming the file that now owns what was
// overwritten), 19 when whole runs of it read back as zeros (wiped);
// 30 to 33 are the condition column's title and texts, 34 and 35 notes
// added to the condition, 36 to 39 what the condition says first (a
// guessed layout, the journal, carving, a shadow copy's date). Ids from
// 40 are the dialog's status line after a search (%u stand for numbers in
// order), the help's fallback, the advice to tick Deep scan (49), and
// what stopped the reading of previous versions (51) or that there are
// none (52).

#include "ResurgoVersion.h"

#define IDS_STRING_APP_NAME 1
#define IDS_STRING_APP_TITLE 3
#define IDS_FILE_EXISTS 5
#define IDS_NOT_ENOUGH_SPACE 6
#define IDS_SAME_DRIVE 7
#define IDS_COPY_FAILED 8
#define IDS_RESTORED 9
#define IDS_NOT_ADMIN 10
#define IDS_WRONG_VERSION 11
#define IDS_NO_NTFS_DRIVES 12
#define IDS_DIALOG_CAPTION 13
#define IDS_RESTORED_DAMAGED 14
#define IDS_RESTORED_UNREADABLE 15
#define IDS_RESTORED_OVERWRITTEN 16
#define IDS_PARTLY_OVERWRITTEN_BY 17
#define IDS_OVERWRITTEN_BY 18
#define IDS_RESTORED_WIPED 19
#define IDS_RESTORED_GUESSED 20
#define IDS_BAD_BOOT_RECORD 21
#define IDS_BAD_NTFS_DRIVE 22
#define IDS_FILE_DAMAGED 23
#define IDS_COLUMN_FILENAME 24
#define IDS_COLUMN_SIZE 25
#define IDS_COLUMN_DIRECTORY 26
#define IDS_COLUMN_MODIFIED 27
#define IDS_COLUMN_CREATED 28
#define IDS_COLUMN_ACCESSED 29
#define IDS_COLUMN_CONDITION 30
#define IDS_CONDITION_INTACT 31
#define IDS_CONDITION_PARTLY_OVERWRITTEN 32
#define IDS_CONDITION_OVERWRITTEN 33
#define IDS_CONDITION_UNOWNED 34
#define IDS_CONDITION_ZEROED 35
#define IDS_CONDITION_GUESSED 36
#define IDS_CONDITION_JOURNAL 37
#define IDS_CONDITION_CARVED 38
#define IDS_CONDITION_SNAPSHOT 39
#define IDS_STATUS_READY 40
#define IDS_STATUS_FOUND 41
#define IDS_STATUS_NONE_OLDER 42
#define IDS_STATUS_NONE_MATCH 43
#define IDS_STATUS_NONE_AT_ALL 44
#define IDS_STATUS_CANCELLED 45
#define IDS_STATUS_STOPPED 46
#define IDS_STATUS_UNREADABLE 47
#define IDS_HELP_NOT_OPENED 48
#define IDS_STATUS_TRY_DEEP 49
#define IDS_STATUS_INCOMPLETE 50
#define IDS_STATUS_SNAPSHOTS 51
#define IDS_STATUS_NO_SNAPSHOTS 52
#define IDS_CONDITION_SNAPSHOT_UNDATED 53

#define IDS_TEXT_STRING_APP_NAME "Resurgo"
#define IDS_TEXT_STRING_APP_TITLE "Resurgo for NTFS"
#define IDS_TEXT_FILE_EXISTS "File exists. Overwrite it?"
#define IDS_TEXT_NOT_ENOUGH_SPACE "Not enough free drive space"
#define IDS_TEXT_SAME_DRIVE \
    "WARNING!\n\nSource and destination drives are the same.\nSelect another destination drive.\nOtherwise you may completely destroy all erased files."
#define IDS_TEXT_COPY_FAILED "Can't copy this file.\nSome unexpected error occured while file writing."
#define IDS_TEXT_RESTORED "File %s successfully restored"
#define IDS_TEXT_NOT_ADMIN "For use Resurgo application you must have an administrators privileges"
#define IDS_TEXT_WRONG_VERSION \
    "Wrong Microsoft Windows version\n\nYou must run Resurgo application\nunder MS Windows NT 4.0+ (Service Pack 3+) or under MS Windows 2000+"
#define IDS_TEXT_NO_NTFS_DRIVES "No NTFS drives was found.\n\nResurgo can restore files from NTFS drives only"
#define IDS_TEXT_DIALOG_CAPTION "Resurgo for NTFS - undelete files on NTFS drives"
#define IDS_TEXT_RESTORED_DAMAGED "File %s restored, but %u damaged compressed unit(s) were written as zeros"
#define IDS_TEXT_RESTORED_UNREADABLE \
    "File %s restored, but %u byte(s) could not be read from the drive and were written as zeros"
#define IDS_TEXT_RESTORED_OVERWRITTEN \
    "File %s restored in full, but %u percent of it had been overwritten by other files since it was deleted"
#define IDS_TEXT_PARTLY_OVERWRITTEN_BY "partly overwritten by `%s`"
#define IDS_TEXT_OVERWRITTEN_BY "overwritten by `%s`"
#define IDS_TEXT_RESTORED_WIPED \
    "File %s restored, but the drive returned zeros for %u bytes: the data was wiped (TRIM on an SSD, or zeroed)"
#define IDS_TEXT_RESTORED_GUESSED \
    "File %s written, but the drive's layout was guessed (no boot sector, too little agreeing evidence): its contents may be another file's"
#define IDS_TEXT_BAD_BOOT_RECORD \
    "Bad boot record.\n\nSelected drive may be damaged. Try Salvora to retrive files from damaged NTFS drives."
#define IDS_TEXT_BAD_NTFS_DRIVE \
    "Bad NTFS drive.\n\nSelected drive may be damaged. Try Salvora to retrive files from damaged NTFS drives."
#define IDS_TEXT_FILE_DAMAGED "File damaged.\n\nResurgo utility can not recover this file."
#define IDS_TEXT_COLUMN_FILENAME "Filename"
#define IDS_TEXT_COLUMN_SIZE "Size"
#define IDS_TEXT_COLUMN_DIRECTORY "Directory"
#define IDS_TEXT_COLUMN_MODIFIED "Modified"
#define IDS_TEXT_COLUMN_CREATED "Created"
#define IDS_TEXT_COLUMN_ACCESSED "Accessed"
#define IDS_TEXT_COLUMN_CONDITION "Condition"
#define IDS_TEXT_CONDITION_INTACT "Intact"
#define IDS_TEXT_CONDITION_PARTLY_OVERWRITTEN "Partly overwritten"
#define IDS_TEXT_CONDITION_OVERWRITTEN "Overwritten"
#define IDS_TEXT_CONDITION_UNOWNED "%u% allocated but owned by no file"
#define IDS_TEXT_CONDITION_ZEROED "%u% read as zeros (wiped)"
#define IDS_TEXT_CONDITION_GUESSED "Layout guessed"
#define IDS_TEXT_CONDITION_JOURNAL "From the journal"
#define IDS_TEXT_CONDITION_CARVED "Carved"
#define IDS_TEXT_CONDITION_SNAPSHOT "Previous version of %s"
#define IDS_TEXT_CONDITION_SNAPSHOT_UNDATED "Previous version (shadow copy %u, date unknown)"
#define IDS_TEXT_STATUS_READY "Choose a drive, a file name pattern and the days, then press Search."
#define IDS_TEXT_STATUS_FOUND "%u deleted file(s) found. Select one and press Resurgo! to save it on another drive."
#define IDS_TEXT_STATUS_NONE_OLDER \
    "No deleted file matching “%s” was created or modified in the last %u day(s), but %u older one(s) match: set the days to %u to list them."
#define IDS_TEXT_STATUS_NONE_MATCH "No deleted file of any age has a name matching “%s”."
#define IDS_TEXT_STATUS_NONE_AT_ALL "No deleted files of any age were found on this drive: their records have been reused."
#define IDS_TEXT_STATUS_CANCELLED "Search cancelled: %u deleted file(s) found before it stopped."
#define IDS_TEXT_STATUS_STOPPED "The search stopped early on a read failure (%s): %u deleted file(s) found before it."
#define IDS_TEXT_STATUS_UNREADABLE "The drive could not be read as NTFS: %s"
#define IDS_TEXT_STATUS_TRY_DEEP \
    "Tick Deep scan and search again to read the whole drive for the files of a formatted or damaged NTFS volume."
#define IDS_TEXT_STATUS_SNAPSHOTS "Previous versions: %s"
#define IDS_TEXT_STATUS_NO_SNAPSHOTS "The drive keeps no previous versions."
#define IDS_TEXT_STATUS_INCOMPLETE \
    "%u MFT record(s) could not be read from the drive: deleted files in them are missing from the list."
#define IDS_TEXT_HELP_NOT_OPENED \
    "The user guide could not be opened.\n\nIt is the file %s beside the program; open it with a web browser."

// Texts of the about box (dialog 107), also shown by other front ends.
#define TEXT_ABOUT_VERSION "Resurgo for NTFS, v. " RESURGO_VERSION_TEXT "\nUnerase utility for NTFS volumes"

#ifndef RC_INVOKED

#include <cstddef>

namespace resurgo {

class StringTable {
public:
    struct Entry {
        unsigned id;
        const char* text;
    };

    static constexpr Entry kEntries[] = {
        {IDS_STRING_APP_NAME, IDS_TEXT_STRING_APP_NAME},
        {IDS_STRING_APP_TITLE, IDS_TEXT_STRING_APP_TITLE},
        {IDS_FILE_EXISTS, IDS_TEXT_FILE_EXISTS},
        {IDS_NOT_ENOUGH_SPACE, IDS_TEXT_NOT_ENOUGH_SPACE},
        {IDS_SAME_DRIVE, IDS_TEXT_SAME_DRIVE},
        {IDS_COPY_FAILED, IDS_TEXT_COPY_FAILED},
        {IDS_RESTORED, IDS_TEXT_RESTORED},
        {IDS_NOT_ADMIN, IDS_TEXT_NOT_ADMIN},
        {IDS_WRONG_VERSION, IDS_TEXT_WRONG_VERSION},
        {IDS_NO_NTFS_DRIVES, IDS_TEXT_NO_NTFS_DRIVES},
        {IDS_DIALOG_CAPTION, IDS_TEXT_DIALOG_CAPTION},
        {IDS_RESTORED_DAMAGED, IDS_TEXT_RESTORED_DAMAGED},
        {IDS_RESTORED_UNREADABLE, IDS_TEXT_RESTORED_UNREADABLE},
        {IDS_RESTORED_OVERWRITTEN, IDS_TEXT_RESTORED_OVERWRITTEN},
        {IDS_PARTLY_OVERWRITTEN_BY, IDS_TEXT_PARTLY_OVERWRITTEN_BY},
        {IDS_OVERWRITTEN_BY, IDS_TEXT_OVERWRITTEN_BY},
        {IDS_RESTORED_WIPED, IDS_TEXT_RESTORED_WIPED},
        {IDS_RESTORED_GUESSED, IDS_TEXT_RESTORED_GUESSED},
        {IDS_BAD_BOOT_RECORD, IDS_TEXT_BAD_BOOT_RECORD},
        {IDS_BAD_NTFS_DRIVE, IDS_TEXT_BAD_NTFS_DRIVE},
        {IDS_FILE_DAMAGED, IDS_TEXT_FILE_DAMAGED},
        {IDS_COLUMN_FILENAME, IDS_TEXT_COLUMN_FILENAME},
        {IDS_COLUMN_SIZE, IDS_TEXT_COLUMN_SIZE},
        {IDS_COLUMN_DIRECTORY, IDS_TEXT_COLUMN_DIRECTORY},
        {IDS_COLUMN_MODIFIED, IDS_TEXT_COLUMN_MODIFIED},
        {IDS_COLUMN_CREATED, IDS_TEXT_COLUMN_CREATED},
        {IDS_COLUMN_ACCESSED, IDS_TEXT_COLUMN_ACCESSED},
        {IDS_COLUMN_CONDITION, IDS_TEXT_COLUMN_CONDITION},
        {IDS_CONDITION_INTACT, IDS_TEXT_CONDITION_INTACT},
        {IDS_CONDITION_PARTLY_OVERWRITTEN, IDS_TEXT_CONDITION_PARTLY_OVERWRITTEN},
        {IDS_CONDITION_OVERWRITTEN, IDS_TEXT_CONDITION_OVERWRITTEN},
        {IDS_CONDITION_UNOWNED, IDS_TEXT_CONDITION_UNOWNED},
        {IDS_CONDITION_ZEROED, IDS_TEXT_CONDITION_ZEROED},
        {IDS_CONDITION_GUESSED, IDS_TEXT_CONDITION_GUESSED},
        {IDS_CONDITION_JOURNAL, IDS_TEXT_CONDITION_JOURNAL},
        {IDS_CONDITION_CARVED, IDS_TEXT_CONDITION_CARVED},
        {IDS_CONDITION_SNAPSHOT, IDS_TEXT_CONDITION_SNAPSHOT},
        {IDS_CONDITION_SNAPSHOT_UNDATED, IDS_TEXT_CONDITION_SNAPSHOT_UNDATED},
        {IDS_STATUS_READY, IDS_TEXT_STATUS_READY},
        {IDS_STATUS_FOUND, IDS_TEXT_STATUS_FOUND},
        {IDS_STATUS_NONE_OLDER, IDS_TEXT_STATUS_NONE_OLDER},
        {IDS_STATUS_NONE_MATCH, IDS_TEXT_STATUS_NONE_MATCH},
        {IDS_STATUS_NONE_AT_ALL, IDS_TEXT_STATUS_NONE_AT_ALL},
        {IDS_STATUS_CANCELLED, IDS_TEXT_STATUS_CANCELLED},
        {IDS_STATUS_STOPPED, IDS_TEXT_STATUS_STOPPED},
        {IDS_STATUS_UNREADABLE, IDS_TEXT_STATUS_UNREADABLE},
        {IDS_HELP_NOT_OPENED, IDS_TEXT_HELP_NOT_OPENED},
        {IDS_STATUS_TRY_DEEP, IDS_TEXT_STATUS_TRY_DEEP},
        {IDS_STATUS_INCOMPLETE, IDS_TEXT_STATUS_INCOMPLETE},
        {IDS_STATUS_SNAPSHOTS, IDS_TEXT_STATUS_SNAPSHOTS},
        {IDS_STATUS_NO_SNAPSHOTS, IDS_TEXT_STATUS_NO_SNAPSHOTS},
    };

    // The text of a string id, or nullptr for an id the table lacks.
    static constexpr const char* text(unsigned id) {
        for (const Entry& e : kEntries) {
            if (e.id == id) return e.text;
        }
        return nullptr;
    }

    static constexpr std::size_t size() { return sizeof kEntries / sizeof kEntries[0]; }
};

} // namespace resurgo

#endif // RC_INVOKED
