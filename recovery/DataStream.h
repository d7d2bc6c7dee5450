#pragma once
// A deleted file's unnamed data as a stream of bytes: resident values,
// ordinary runs, sparse holes, LZNT1 compression units, and zeros past the
// initialized size, read at any offset. A compression unit that does not
// decompress reads as zeros and is counted as damaged.

#include <cstddef>
#include <cstdint>
#include <set>
#include <utility>
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

    // The bytes from offset (up to length) that are a hole: a sparse run,
    // a compression unit with no clusters, or past the initialized size.
    // They read as zeros and need not be written; 0 when offset holds data
    // (or lies where no extent is: reading there raises).
    std::uint64_t holeAt(std::uint64_t offset, std::uint64_t length) const;
    // The bytes of the file that are no hole: what a restore writes.
    std::uint64_t storedBytes() const;

    // Compression units read so far that did not decompress.
    std::uint64_t damagedUnits() const { return damaged_.size(); }
    // File byte ranges (offset, length) read so far that the source could
    // not give (bad sectors, the end of a cut-off image) and that read as
    // zeros: a failing read is retried sector by sector, and only the
    // sectors that fail are lost. In order and merged when read in order.
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& unreadable() const { return unreadable_; }
    // Bytes read so far from runs on disk (not sparse) that gave nothing
    // but zeros in every byte read of them: clusters a drive wiped (TRIM)
    // or that were zeroed since.
    std::uint64_t zeroedBytes() const;

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
    // The VCN where the runs from vcn on stop being sparse (any run, with
    // alsoData) or stop following one another; vcn when none starts there.
    std::uint64_t sparseRunsEnd(std::uint64_t vcn, bool alsoData) const;
    std::size_t readPlain(std::uint64_t offset, std::uint8_t* buffer, std::size_t length, bool onePiece);
    std::size_t readCompressed(std::uint64_t offset, std::uint8_t* buffer, std::size_t length, bool onePiece);
    std::size_t readAny(std::uint64_t offset, std::uint8_t* buffer, std::size_t length, bool onePiece);
    // Reads disk bytes whose start or length may not fall on a sector;
    // what can't be read is zeros, noted at fileOffset. True when all of
    // it was read.
    bool readDisk(std::uint64_t offset, std::uint8_t* buffer, std::size_t length, std::uint64_t fileOffset);
    bool readDiskOnce(std::uint64_t offset, std::uint8_t* buffer, std::size_t length);
    // Sector by sector after a failed read: the sectors that fail are zeros.
    bool salvage(std::uint64_t offset, std::uint8_t* buffer, std::size_t length, std::uint64_t fileOffset);
    void noteUnreadable(std::uint64_t fileOffset, std::uint64_t length);
    // Notes what a read of run r's clusters gave (whole: all of it read).
    void noteRunBytes(const Run* r, const std::uint8_t* bytes, std::size_t length, bool whole);
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
    // Per run: bytes read from it so far, while all were zeros (kHasData
    // once one was not, or a read failed).
    std::vector<std::uint64_t> runZeros_;
    // Compressed data: clusters per unit (0 for ordinary data).
    std::uint32_t unitClusters_ = 0;
    std::uint64_t loadedUnit_ = ~0ULL;
    const std::uint8_t* unitData_ = nullptr;
    std::vector<std::uint8_t> unitRaw_;
    std::vector<std::uint8_t> unitPlain_;
    std::set<std::uint64_t> damaged_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> unreadable_;
    std::vector<std::uint8_t> bounce_;
};

} // namespace resurgo
