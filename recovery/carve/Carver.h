#pragma once
// Looks for files by their content in byte ranges of a source (free
// clusters, or a whole source whose filesystem is lost): at every cluster
// boundary, each format of CarveFormats whose beginning matches measures
// the file from its structure; a file that holds together is kept and the
// look resumes at the first cluster boundary after it. Directory index
// blocks met on the way are taken apart for the names they hold, in use
// and left in their slack. Memory
// grows with what is found, not with the ranges.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ntfs/INDEX_BLOCK.h"
#include "recovery/CARVE_HINT.h"
#include "recovery/carve/CarveInput.h"
#include "recovery/carve/CompressedRun.h"

namespace resurgo {

class ProgressSink;
class Source;

class Carver {
public:
    static constexpr std::size_t kBlockBytes = 4 << 20;

    // Bytes [begin, end) of the source.
    struct Range {
        std::uint64_t begin = 0;
        std::uint64_t end = 0;
    };
    // A file found: its first byte on the source, its length, its type.
    // A compressed one lies in LZNT1-compressed units (see CompressedRun):
    // size is its decompressed length, stored the bytes of the units
    // holding it.
    struct Piece {
        std::uint64_t offset = 0;
        std::uint64_t size = 0;
        const char* type = "";
        bool compressed = false;
        std::uint64_t stored = 0;
        // What its content says of it (see CarveHints).
        CARVE_HINT hint;
    };
    struct Found {
        std::vector<Piece> pieces;
        std::vector<INDEX_NAME> indexNames;
        // Entries left in the slack of the index blocks met.
        std::vector<INDEX_NAME> slackNames;
        std::uint64_t bytesScanned = 0;
        bool cancelled = false;
    };

    explicit Carver(Source& source);
    virtual ~Carver();
    Carver(const Carver&) = delete;
    Carver& operator=(const Carver&) = delete;

    // Looks at the positions of ranges (sorted, not overlapping) that are
    // multiples of align counted from alignBase. A file never reaches past
    // the end of the range it starts in.
    Found run(const std::vector<Range>& ranges, std::uint64_t align, std::uint64_t alignBase, ProgressSink* progress,
              const std::atomic<std::uint8_t>* cancel);
    // The file starting at offset, with at most limit bytes, whose first
    // headBytes bytes are at head: true and piece when one of the formats
    // holds together there.
    bool measureAt(std::uint64_t offset, std::uint64_t limit, const std::uint8_t* head, std::size_t headBytes,
                   Piece& piece);
    // The same, reading the head itself.
    bool measureAt(std::uint64_t offset, std::uint64_t limit, Piece& piece);

private:
    // The file in the compressed units starting at offset, when their
    // decompressed bytes begin a format and hold together.
    bool measureCompressed(std::uint64_t offset, std::uint64_t limit, const std::uint8_t* head, std::size_t headBytes,
                           Piece& piece);
    // Scans one range; returns false when cancelled.
    bool scanRange(const Range& range, std::uint64_t align, std::uint64_t alignBase, std::uint64_t total,
                   ProgressSink* progress, const std::atomic<std::uint8_t>* cancel, Found& found);

    Source& source_;
    CarveInput input_;
    std::vector<std::uint8_t> block_;
    // The compressed run last decoded, and where it starts: its later
    // chunks are candidates too, served from it.
    CompressedRun run_;
    std::uint64_t runOffset_ = ~0ULL;
};

} // namespace resurgo
