// LZNT1 compression units. The first two bytes give the output limit (up to
// 64 KiB, the largest unit of 16 clusters of 4 KiB); the rest is the unit.
// The output buffer is exactly that size so that ASan sees any overrun.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "recovery/Lznt1.h"

using namespace resurgo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    std::size_t outLimit = static_cast<std::size_t>(data[0] | (data[1] << 8)) + 1;
    // The input in a buffer of its own exact size.
    std::unique_ptr<std::uint8_t[]> in(new std::uint8_t[size - 2 + 1]);
    std::memcpy(in.get(), data + 2, size - 2);
    std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[outLimit]);
    std::uint32_t n = Lznt1::decompress(out.get(), outLimit, in.get(), size - 2);
    if (n > outLimit) std::abort();
    std::unique_ptr<std::uint8_t[]> again(new std::uint8_t[outLimit]);
    std::uint32_t m = Lznt1::decompress(again.get(), outLimit, in.get(), size - 2);
    if (m != n || std::memcmp(out.get(), again.get(), n) != 0) std::abort();  // the same input decodes the same way
    // The position-dependent token split stays within the chunk.
    for (std::size_t pos = 1; pos < Lznt1::kChunkBytes; pos += 97) {
        std::size_t displacement = 0, length = 0;
        Lznt1::splitToken(static_cast<std::uint16_t>(data[0] | (data[1] << 8)), pos, displacement, length);
        if (length < 3 || length > 4098 || displacement < 1 || displacement > 4096) std::abort();
    }
    return 0;
}
