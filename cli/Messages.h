#pragma once
// The texts the restore and the search show to the user, as the desktop
// program has them in its string table ("\n" is a line break).

namespace resurgo::cli {

class Messages {
public:
    static constexpr const char* kFileExists = "File exists. Overwrite it?";
    static constexpr const char* kNoFreeSpace = "Not enough free drive space";
    static constexpr const char* kSameDrive =
        "WARNING!\n\nSource and destination drives are the same.\nSelect another destination drive.\n"
        "Otherwise you may completely destroy all erased files.";
    static constexpr const char* kCopyFailed =
        "Can't copy this file.\nSome unexpected error occured while file writing.";
    // %s: the file's name.
    static constexpr const char* kRestored = "File %s successfully restored";
    // %s: the file's name; %llu: the number of damaged compression units.
    static constexpr const char* kRestoredDamaged =
        "File %s restored, but %llu damaged compressed unit(s) were written as zeros";
    static constexpr const char* kBadBootRecord =
        "Bad boot record.\n\nSelected drive may be damaged. Try Salvora to retrive files from damaged NTFS drives.";
    static constexpr const char* kBadNtfsDrive =
        "Bad NTFS drive.\n\nSelected drive may be damaged. Try Salvora to retrive files from damaged NTFS drives.";
    static constexpr const char* kFileDamaged = "File damaged.\n\nResurgo utility can not recover this file.";
};

} // namespace resurgo::cli
