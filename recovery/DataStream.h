#pragma once
// A deleted file's unnamed data as a stream of bytes: resident values,
// ordinary runs, sparse holes, LZNT1 compression units, and zeros past the
// initialized size, read at any offset. A compression unit that does not
// decompress reads as zeros and is counted as damaged.

#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "ntfs/NTFS_GEOMETRY.h"

namespace resurgo {

class FileZ;
class Volume;
struct DATA_ATTRIBUTE;

class DataStream {
public:
    // The stream of entry's unnamed data on volume. Raises code 13 when the
    // entry has no unnamed data or its first extent is missing.
    DataStream(Volume& volume, const NTFS_GEOMETRY& geometry, const FileZ& entry);
    virtual ~DataStream();
    DataStream(const DataStream&) = delete;
    DataStream& operator=(const DataStream&) = delete;

    // The file's real size in bytes.
    std::uint64_t size() const { return size_; }
    bool isResident() const { return resident_ != nullptr; }
    bool isCompressed() const { return unitClusters_ != 0; }

    // Reads up to length bytes at offset into buffer; fewer only at the end
    // of the data. Raises code 3 when the volume can't be read there, and
    // code 13 where no extent holds the data.
    std::size_t read(std::uint64_t offset, std::uint8_t* buffer, std::size_t length);
    // The same, but stops after one piece (a run's or a compression unit's
    // bytes): a caller that writes what it got keeps everything before a
    // failing read.
    std::size_t readSome(std::uint64_t offset, std::uint8_t* buffer, std::size_t length);

    // Compression units read so far that did not decompress.
    std::uint64_t damagedUnits() const { return damaged_.size(); }

private:
    // One run laid out by VCN.
    struct Run {
        std::uint64_t vcn;
        std::uint64_t length;
        std::uint64_t lcn;
        bool sparse;
    };

    void layOutRuns(const std::vector<const DATA_ATTRIBUTE*>& extents);
    // The run holding vcn, or nullptr.
    const Run* findRun(std::uint64_t vcn) const;
    std::size_t readPlain(std::uint64_t offset, std::uint8_t* buffer, std::size_t length, bool onePiece);
    std::size_t readCompressed(std::uint64_t offset, std::uint8_t* buffer, std::size_t length, bool onePiece);
    std::size_t readAny(std::uint64_t offset, std::uint8_t* buffer, std::size_t length, bool onePiece);
    // Reads disk bytes whose start or length may not fall on a sector.
    void readDisk(std::uint64_t offset, std::uint8_t* buffer, std::size_t length);
    // Decodes compression unit u into unitPlain_ (or points unitBytes_ at
    // the stored bytes).
    void loadUnit(std::uint64_t u);

    Volume& volume_;
    std::uint64_t clusterBytes_;
    std::uint64_t sectorBytes_;
    std::uint64_t size_ = 0;
    std::uint64_t initializedSize_ = 0;
    const DATA_ATTRIBUTE* resident_ = nullptr;
    std::vector<Run> runs_;
    // Compressed data: clusters per unit (0 for ordinary data).
    std::uint32_t unitClusters_ = 0;
    std::uint64_t loadedUnit_ = ~0ULL;
    const std::uint8_t* unitData_ = nullptr;
    std::vector<std::uint8_t> unitRaw_;
    std::vector<std::uint8_t> unitPlain_;
    std::set<std::uint64_t> damaged_;
    std::vector<std::uint8_t> bounce_;
};

} // namespace resurgo
