#pragma once
// LZNT1, the compression of NTFS compression units: a sequence of chunks of
// at most 4096 output bytes, each stored or LZ77-compressed with a
// position-dependent split of its back-reference tokens.

#include <cstddef>
#include <cstdint>

namespace resurgo {

class Lznt1 {
public:
    static constexpr std::size_t kChunkBytes = 4096;
    // Decodes in[0, inLength) into out[0, outLimit); returns the number of
    // bytes produced, or 0 for a malformed stream. Never reads or writes
    // outside the two ranges.
    static std::uint32_t decompress(std::uint8_t* out, std::size_t outLimit, const std::uint8_t* in,
                                    std::size_t inLength);
    // Splits a back-reference token read at chunk position pos (> 0).
    static void splitToken(std::uint16_t token, std::size_t pos, std::size_t& displacement, std::size_t& length);
};

} // namespace resurgo
