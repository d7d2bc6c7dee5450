#pragma once
// What a restore wrote.

#include <cstdint>

namespace resurgo {

struct RESTORE_RESULT {
    std::uint64_t bytesWritten = 0;
    // Compressed units that did not decompress and were written as zeros.
    std::uint64_t damagedUnits = 0;
};

} // namespace resurgo
