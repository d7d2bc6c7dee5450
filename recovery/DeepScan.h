#pragma once
// The sequential scan of a whole source for MFT file records and directory
// index blocks, wherever they lie: the current MFT, a former one left by a
// quick format, fragments of an MFT whose first records are destroyed. The
// source is read front to back in large blocks; at every 512-byte position
// a "FILE" record of 1, 2 or 4 KiB with a valid update sequence and a sane
// header, or an "INDX" block, is taken apart and kept in a compact form:
// memory grows with what is found, not with the source. The restart pages
// ("RSTR") of $LogFile are noted too: with the MFT gone, they are where the
// log still tells of the files.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ntfs/INDEX_BLOCK.h"
#include "ntfs/MappedRun.h"
#include "ntfs/RUN_LIST.h"

namespace resurgo {

class MFT_RECORD;
class ProgressSink;
class Source;

class DeepScan {
public:
    // Bytes per read, and the positions records may start at.
    static constexpr std::size_t kBlockBytes = 4 << 20;
    static constexpr std::size_t kStep = 512;
    // A log has two restart pages; a disk holds a few logs at most (former
    // volumes, copies). More are not kept.
    static constexpr std::size_t kMaxRestartPages = 64;
    // A block is read with this much of the next one, so that a record or
    // an index block starting near its end is whole.
    static constexpr std::size_t kOverlap = INDEX_BLOCK::kMaxBlockBytes;

    // One file record as found.
    struct Record {
        std::uint64_t offset = 0;          // first byte on the source
        std::uint64_t recordNumber = 0;    // the record's own number (header 0x2C)
        std::uint64_t baseReference = 0;   // raw; 0 for a base record
        std::uint64_t parent = 0;          // raw parent reference of the shown name
        std::uint64_t size = 0;            // of the unnamed data, when this record holds its first extent
        std::uint64_t changeTime = 0;      // $STANDARD_INFORMATION MFT change time
        std::uint64_t modified = 0, created = 0, accessed = 0;  // $STANDARD_INFORMATION
        std::string name;                  // shown name; empty when the record holds none
        // The unnamed data's non-resident extents in this record (first VCN
        // and runs), what its clusters are weighed by for the recoverable
        // percentage; of the first extent, its initialized size and
        // compression unit (0 when not compressed).
        struct Extent {
            std::int64_t vcn = 0;
            RUN_LIST runs;
        };
        std::vector<Extent> extents;
        std::uint64_t initialized = 0;
        std::uint16_t compressionUnit = 0;
        std::uint32_t recordBytes = 0;
        std::uint16_t sequence = 0;
        std::uint16_t flags = 0;
        bool hasStandardInformation = false;
        bool hasAttributeList = false;
        bool hasFirstExtent = false;       // the unnamed data's extent at VCN 0 (or resident data)
        bool residentData = false;         // that extent is resident
        bool hasData = false;              // any unnamed data extent
        bool hasContent = false;           // unnamed data of some length, resident or not
        bool inUse() const { return (flags & 1) != 0; }
        bool isDirectory() const { return (flags & 2) != 0; }
        bool isBase() const { return baseReference == 0; }
    };

    // An index block: where it lies, its VCN and the directory its entries
    // name as their parent.
    struct IndexBlock {
        std::uint64_t offset = 0;
        std::uint64_t vcn = 0;
        std::uint64_t directory = 0;  // record number
        std::uint32_t bytes = 0;
    };

    // The runs of a directory's $I30 index allocation, or of the MFT's own
    // data (record 0), as a found record states them.
    struct RunsOf {
        std::uint64_t recordNumber = 0;
        std::uint64_t recordOffset = 0;
        std::vector<MappedRun> runs;  // sorted by VCN, holes left out
    };

    struct Found {
        std::vector<Record> records;
        std::vector<INDEX_NAME> indexNames;
        // Where each of indexNames was found: the offset of its index block,
        // or of the directory record whose index root holds it.
        std::vector<std::uint64_t> indexNameSources;
        // Entries left in index blocks' slack (see INDEX_BLOCK::slackNames):
        // names for carved files only, never results of the scan.
        std::vector<INDEX_NAME> slackNames;
        std::vector<IndexBlock> indexBlocks;
        std::vector<RunsOf> indexAllocations;
        std::vector<RunsOf> mftRuns;
        // Offsets of $LogFile restart pages (the first kMaxRestartPages).
        std::vector<std::uint64_t> restartPages;
        std::uint64_t bytesScanned = 0;
        bool cancelled = false;
    };

    DeepScan();
    virtual ~DeepScan();
    DeepScan(const DeepScan&) = delete;
    DeepScan& operator=(const DeepScan&) = delete;

    // Scans [0, source.size()). progress (0-100, with a line of detail) and
    // cancel may be null; a cancel keeps what was found before it. Read
    // failures skip the block's unreadable sectors.
    Found run(Source& source, ProgressSink* progress, const std::atomic<std::uint8_t>* cancel);

    // Looks at one possible record or index block at bytes (length bytes
    // available from there) found at offset; appends what it holds to
    // found. Returns false when nothing was taken. Exposed for the fuzzer.
    static bool examine(const std::uint8_t* bytes, std::size_t length, std::uint64_t offset,
                        std::uint64_t sourceBytes, Found& found);

    // Takes one file record (copied, fixed up) apart into found; false when
    // it is no record that makes sense.
    static bool takeRecord(std::uint8_t* bytes, std::size_t length, std::uint64_t offset, std::uint64_t maxRecordNumber,
                           Found& found);

private:
    // Whether a parsed record says which record it is and names nothing
    // past the source: its own number, base record and parents all below
    // maxRecordNumber, its names non-empty and of a known namespace.
    static bool plausible(const MFT_RECORD& rec, std::uint64_t maxRecordNumber);
    // The record's $STANDARD_INFORMATION times and its shown name with
    // that name's parent (a Win32 or POSIX name before a DOS one).
    static void takeNameAndTimes(const MFT_RECORD& rec, Record& out);
    // What the record holds of the unnamed data: its extents, and of the
    // first one the sizes and compression unit.
    static void takeData(const MFT_RECORD& rec, Record& out);
    // A directory's base record: the names its index root holds, and the
    // runs of its index allocation, into found. A corrupt index adds
    // nothing; the record itself is kept all the same.
    static void takeDirectoryIndex(const std::uint8_t* bytes, std::size_t length, std::uint64_t own,
                                   std::uint64_t offset, Found& found);
    // Record 0 named $MFT: the runs of the MFT's own data, into found.
    static void takeMftRuns(const MFT_RECORD& rec, std::uint64_t offset, Found& found);

    void scanBlock(const std::uint8_t* data, std::size_t scanBytes, std::size_t available, std::uint64_t base,
                   std::uint64_t sourceBytes, Found& found);
};

} // namespace resurgo
