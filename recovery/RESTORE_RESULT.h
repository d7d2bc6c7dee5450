#pragma once
// What a restore wrote.

#include <cstdint>
#include <utility>
#include <vector>

namespace resurgo {

struct RESTORE_RESULT {
    // The file's bytes, written or left as holes.
    std::uint64_t bytesWritten = 0;
    // Of those, the bytes of sparse holes, which the output got as holes
    // where its file system keeps them.
    std::uint64_t holeBytes = 0;
    // Compressed units that did not decompress and were written as zeros.
    std::uint64_t damagedUnits = 0;
    // Byte ranges of the file (offset, length) that could not be read from
    // the source (bad sectors, or past the end of a cut-off image) and
    // were written as zeros; in order, merged.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> unreadable;
    // Bytes of runs on disk (not sparse) that read back as nothing but
    // zeros: the data was wiped (TRIM on an SSD) or zeroed.
    std::uint64_t zeroedBytes = 0;
    std::uint64_t unreadableBytes() const {
        std::uint64_t n = 0;
        for (const auto& r : unreadable) n += r.second;
        return n;
    }
};

} // namespace resurgo
