#pragma once
// One result of a search: a deleted file with its name, size, rebuilt
// directory, times and how much of it can still come back.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ntfs/FILE_TIME.h"
#include "recovery/CARVE_HINT.h"
#include "recovery/ResultSource.h"

namespace resurgo {

// Kept compact for searches listing millions of files: no vtable, times as
// their 64-bit values until shown.
class FOUND_FILE {
public:
    // overwrittenBy when no one file owns what was overwritten.
    static constexpr std::uint64_t kNoRecord = ~0ULL;
    // zeroed when the file's clusters were not sampled.
    static constexpr std::uint8_t kNotSampled = 0xFF;

    FOUND_FILE() = default;
    FOUND_FILE(std::uint64_t recordNumber, std::uint64_t firstSector, std::string name)
        : name(std::move(name)), firstSector(firstSector), recordNumber(recordNumber) {}

    FILE_TIME lastAccessTime;
    FILE_TIME creationTime;
    FILE_TIME lastModificationTime;
    std::uint64_t size = 0;
    // Directory names each followed by "\", from below the root down to the
    // file's directory: "Documents\Letters\"; ".\" for the root directory.
    // Text to show: a name may hold a "\" itself, so the names are
    // directoryNames, never this text split.
    std::string directory;
    // The same directories' names, from below the root down (none for the
    // root): shared by the results of one directory.
    std::shared_ptr<const std::vector<std::string>> directoryNames;
    std::string name;
    std::uint64_t firstSector = 0;
    std::uint64_t recordNumber = 0;
    // Byte offset of the base record on the source the search read.
    std::uint64_t offset = 0;
    // Percentage of the file's bytes that can still come back, rounded
    // down (see Recoverability): 100 intact, 0 overwritten.
    std::uint8_t recoverable = 100;
    // Percentage of the file's bytes in clusters that $Bitmap marks in use
    // but no file claims (an interrupted delete): recoverable all the same;
    // at least 1 when there are any.
    std::uint8_t unowned = 0;
    // Percentage of the clusters sampled (search --verify) that read back
    // as zeros: data a drive wiped (TRIM) or that was zeroed; kNotSampled
    // when none were read.
    std::uint8_t zeroed = kNotSampled;
    // The MFT record of the one file (in use, or deleted later) that owns
    // every overwritten cluster of the file, or kNoRecord.
    std::uint64_t overwrittenBy = kNoRecord;
    // Its data is found through a volume geometry that was guessed (a deep
    // scan without a boot sector and without evidence that agrees): the
    // bytes may be another file's.
    bool guessedGeometry = false;
    // What found it (the MFT walk, a deep scan, $LogFile, a shadow copy, carving).
    ResultSource source = ResultSource::Mft;
    // The shadow copy it was found in (1 = the oldest), 0 for the volume
    // itself, and when that copy was taken (UTC).
    std::uint16_t snapshot = 0;
    FILE_TIME snapshotCreated;
    // A carved file's type ("jpg", "docx"; see CarveFormats), null for
    // others; its name and directory come from a directory index entry that
    // matched it alone, or from a file version of $LogFile whose data
    // started at its first cluster, else they are carved/<type>/<offset>.<type>.
    const char* carvedType = nullptr;
    enum class NameSource : unsigned char { None, Index, Logfile };
    NameSource nameSource = NameSource::None;
    // A carved file found in LZNT1-compressed units of free clusters: its
    // size and bytes are the decompressed ones; offset is the first unit's.
    bool carvedCompressed = false;
    // What its content says (photo time, title), or null.
    std::shared_ptr<const CARVE_HINT> hint;

    // directoryNames, or none.
    const std::vector<std::string>& components() const {
        static const std::vector<std::string> none;
        return directoryNames ? *directoryNames : none;
    }
    // The directory text of names, from below the root down.
    static std::string directoryText(const std::vector<std::string>& names) {
        std::string text;
        for (const std::string& n : names) {
            text += n;
            text += '\\';
        }
        return text.empty() ? ".\\" : text;
    }
    // Sets directory and directoryNames from the names.
    void setDirectory(std::vector<std::string> names) {
        directory = directoryText(names);
        directoryNames = std::make_shared<const std::vector<std::string>>(std::move(names));
    }
};

} // namespace resurgo
