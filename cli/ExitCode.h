#pragma once
// Exit statuses of the resurgo command, and what each means: the one table
// that `resurgo --help` and the man page list.

namespace resurgo::cli {

enum ExitCode : int {
    kExitOk = 0,              // the command did its work (a search also when nothing matched)
    kExitInternal = 1,        // unexpected failure
    kExitUsage = 2,           // invalid command line
    kExitOpenFailed = 3,      // the source could not be opened
    kExitBadBoot = 4,         // bad boot record
    kExitBadVolume = 5,       // the volume's MFT could not be opened
    kExitWalkFailed = 6,      // the search stopped early; what was found is printed
    kExitFileDamaged = 7,     // the record is damaged: it, or the file's name or size, can't be read
    kExitSameSource = 8,      // the destination lies on the source
    kExitExists = 9,          // the destination exists and was kept
    kExitNoSpace = 10,        // not enough free space at the destination
    kExitCopyFailed = 11,     // the copy failed (a partly written file stays)
    kExitDamagedUnits = 12,   // restored, but damaged compressed units or unreadable sectors are zeros
    kExitNoSuchRecord = 13,   // the record number lies beyond the end of the MFT
    kExitRecordInUse = 14,    // the record holds a file that is not deleted
    kExitRecordIsDirectory = 15,  // the record is a directory
    kExitWiped = 16,          // restored, but whole runs read back as zeros: the data was wiped
    kExitIncomplete = 17,     // the search ran, but MFT records could not be read: the list may lack files
    kExitGuessedGeometry = 18,    // restored through a volume geometry that was guessed: the bytes may be wrong
    kExitWrongSecret = 19,    // a BitLocker volume that the password, recovery password or key file given does not open
    kExitLocked = 20,         // a BitLocker volume, and no password, recovery password or key file was given
    kExitNoSuchSnapshot = 21,     // restore --snapshot: the volume has no such shadow copy
    kExitNotLogged = 22,      // restore --logged: $LogFile keeps no version of the record that a search lists
    kExitNotCarved = 23,      // restore --carved: no file of a known format holds together at the offset
    kExitCancelled = 130,     // Ctrl-C: the walk stopped; what was found is printed
};

struct ExitStatusMeaning {
    int code;
    const char* meaning;
};

inline constexpr ExitStatusMeaning kExitStatusMeanings[] = {
    {kExitOk, "done (a search that ran, also when nothing matched; a file restored)"},
    {kExitInternal, "unexpected internal error"},
    {kExitUsage, "invalid command line (also --days outside 0..1000000, a pattern over 255 characters; restore --name: "
                 "several files match, and are listed)"},
    {kExitOpenFailed, "the source could not be opened (the system's reason is shown)"},
    {kExitBadBoot, "not a readable NTFS volume: another file system, none, a damaged boot record, or a volume cut off "
                   "before its MFT"},
    {kExitBadVolume, "damaged NTFS volume: its MFT could not be opened"},
    {kExitWalkFailed, "the search stopped early on a read failure; the files found before are listed"},
    {kExitFileDamaged, "restore: the record is damaged (it, or the file's name or size, can't be read) or the source "
                       "could not give it (the reason is shown); --name: no deleted file matches"},
    {kExitSameSource, "restore: the destination lies on the source; nothing was written"},
    {kExitExists, "restore: the destination exists and was kept (use --force to overwrite)"},
    {kExitNoSpace, "restore: not enough free space at the destination"},
    {kExitCopyFailed, "restore: the copy failed (a partly written file stays); --all: some files failed"},
    {kExitDamagedUnits, "restore: written, but damaged compressed units or unreadable sectors were filled with zeros"},
    {kExitNoSuchRecord, "restore: no such record (the number lies beyond the end of the MFT)"},
    {kExitRecordInUse, "restore: the record is in use: its file is not deleted"},
    {kExitRecordIsDirectory, "restore: the record is a directory"},
    {kExitWiped, "restore: written, but the drive returned zeros for whole runs of the file: the data was wiped (TRIM "
                 "on an SSD, or zeroed); --all: some files were"},
    {kExitIncomplete, "the search ran to its end, but some MFT records could not be read (or the MFT's run list maps "
                      "clusters twice): the files found are listed, and the list may lack files; restore --all: "
                      "every file found was restored"},
    {kExitGuessedGeometry, "restore after a deep scan: written, but through a volume geometry that was guessed (no "
                           "boot sector, too little evidence agreeing): the bytes may be another file's; --all: some "
                           "files were"},
    {kExitWrongSecret, "a BitLocker volume that the password, recovery password or key file given does not open "
                       "(the message names the protectors it has)"},
    {kExitLocked, "a BitLocker volume, and no --password, --recovery-password or --key-file was given to unlock it"},
    {kExitNoSuchSnapshot, "restore --snapshot N: the volume has no shadow copy N (`resurgo snapshots` lists them)"},
    {kExitNotLogged, "restore --logged: $LogFile keeps no version of the record that a search lists"},
    {kExitNotCarved, "restore --carved: no file of a known format starts and holds together at that byte"},
    {kExitCancelled, "cancelled with Ctrl-C; a search lists what it found until then"},
};

} // namespace resurgo::cli
