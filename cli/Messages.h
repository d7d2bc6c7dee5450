#pragma once
// The texts the restore and the search show to the user: the program's
// string table (resources/StringTable.h), shared with the desktop front
// end. "\n" is a line break.

#include "resources/StringTable.h"

namespace resurgo::cli {

class Messages {
public:
    static constexpr const char* kFileExists = IDS_TEXT_FILE_EXISTS;               // 5
    static constexpr const char* kNoFreeSpace = IDS_TEXT_NOT_ENOUGH_SPACE;         // 6
    static constexpr const char* kSameDrive = IDS_TEXT_SAME_DRIVE;                 // 7
    static constexpr const char* kCopyFailed = IDS_TEXT_COPY_FAILED;               // 8
    // %s: the file's name.
    static constexpr const char* kRestored = IDS_TEXT_RESTORED;                    // 9
    // %s: the file's name; %u: the number of damaged compression units.
    static constexpr const char* kRestoredDamaged = IDS_TEXT_RESTORED_DAMAGED;     // 14
    // %s: the file's name; %u: the number of bytes that could not be read.
    static constexpr const char* kRestoredUnreadable = IDS_TEXT_RESTORED_UNREADABLE;  // 15
    // %s: the file's name; %u: the percentage of it overwritten since.
    static constexpr const char* kRestoredOverwritten = IDS_TEXT_RESTORED_OVERWRITTEN;  // 16
    // %s: the path of the file that now owns the overwritten clusters.
    static constexpr const char* kPartlyOverwrittenBy = IDS_TEXT_PARTLY_OVERWRITTEN_BY;  // 17
    static constexpr const char* kOverwrittenBy = IDS_TEXT_OVERWRITTEN_BY;                // 18
    // %s: the file's name; %u: the bytes that read back as zeros.
    static constexpr const char* kRestoredWiped = IDS_TEXT_RESTORED_WIPED;  // 19
    // %u: a percentage of the file.
    static constexpr const char* kConditionUnowned = IDS_TEXT_CONDITION_UNOWNED;  // 34
    static constexpr const char* kConditionZeroed = IDS_TEXT_CONDITION_ZEROED;    // 35
    // Beside the percentage of a file rebuilt from $LogFile.
    static constexpr const char* kConditionJournal = "from the journal";
    static constexpr const char* kRestoredGuessed = IDS_TEXT_RESTORED_GUESSED;  // 20
    static constexpr const char* kBadBootRecord = IDS_TEXT_BAD_BOOT_RECORD;        // 21
    static constexpr const char* kBadNtfsDrive = IDS_TEXT_BAD_NTFS_DRIVE;          // 22
    static constexpr const char* kFileDamaged = IDS_TEXT_FILE_DAMAGED;             // 23
};

} // namespace resurgo::cli
