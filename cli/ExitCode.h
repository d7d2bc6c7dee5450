#pragma once
// Exit statuses of the resurgo command (documented in `resurgo --help`).

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
    kExitDamagedUnits = 12,   // restored, but damaged compressed units were written as zeros
    kExitNoSuchRecord = 13,   // the record number lies beyond the end of the MFT
    kExitRecordInUse = 14,    // the record holds a file that is not deleted
    kExitRecordIsDirectory = 15,  // the record is a directory
    kExitCancelled = 130,     // Ctrl-C: the walk stopped; what was found is printed
};

} // namespace resurgo::cli
