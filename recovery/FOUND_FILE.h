#pragma once
// One result of a search: a deleted file with its name, size, rebuilt
// directory, times and how much of it can still come back.

#include <cstdint>
#include <string>

#include "ntfs/FILE_TIME.h"

namespace resurgo {

// Kept compact for searches listing millions of files: no vtable, times as
// their 64-bit values until shown.
class FOUND_FILE {
public:
    // A byte that UTF-8 text never holds.
    static constexpr char kBackslashInName = '\xFF';

    FOUND_FILE() = default;
    FOUND_FILE(std::uint64_t recordNumber, std::uint64_t firstSector, std::string name)
        : name(std::move(name)), firstSector(firstSector), recordNumber(recordNumber) {}

    FILE_TIME lastAccessTime;
    FILE_TIME creationTime;
    FILE_TIME lastModificationTime;
    std::uint64_t size = 0;
    // Directory names each followed by "\", from below the root down to the
    // file's directory: "Documents\Letters\"; ".\" for the root directory.
    // A "\" inside a directory's name is kept as kBackslashInName, so that
    // every "\" is a separator (OutputName::components splits the text).
    std::string directory;
    std::string name;
    std::uint64_t firstSector = 0;
    std::uint64_t recordNumber = 0;
    // Byte offset of the base record on the source the search read.
    std::uint64_t offset = 0;
    // Percentage of the file's bytes that can still come back, rounded
    // down (see Recoverability): 100 intact, 0 overwritten.
    std::uint8_t recoverable = 100;
    // Its data is found through a volume geometry that was guessed (a deep
    // scan without a boot sector and without evidence that agrees): the
    // bytes may be another file's.
    bool guessedGeometry = false;
};

} // namespace resurgo
