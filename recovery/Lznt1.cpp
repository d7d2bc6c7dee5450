#include "recovery/Lznt1.h"

#include <cstring>

namespace resurgo {

namespace {
constexpr std::uint16_t kSizeMask = 0x0FFF;
constexpr std::uint16_t kCompressedFlag = 0x8000;
}

void Lznt1::splitToken(std::uint16_t token, std::size_t pos, std::size_t& displacement, std::size_t& length) {
    unsigned lengthBits = 12;
    for (std::size_t d = pos - 1; d >= 16; d >>= 1) --lengthBits;
    const std::uint16_t mask = static_cast<std::uint16_t>((1u << lengthBits) - 1);
    length = static_cast<std::size_t>(token & mask) + 3;
    displacement = static_cast<std::size_t>(token >> lengthBits) + 1;
}

std::uint32_t Lznt1::decompress(std::uint8_t* out, std::size_t outLimit, const std::uint8_t* in,
                                std::size_t inLength) {
    std::size_t inPos = 0;
    std::size_t total = 0;
    if (outLimit == 0) return 0;
    for (;;) {
        if (inLength - inPos < 2) return static_cast<std::uint32_t>(total);  // input ends: stream ends
        const std::uint16_t header = static_cast<std::uint16_t>(in[inPos] | (in[inPos + 1] << 8));
        const std::size_t dataLength = static_cast<std::size_t>(header & kSizeMask) + 1;
        if ((header & kSizeMask) == 0) return static_cast<std::uint32_t>(total);
        const std::size_t chunkStart = inPos + 2;
        if (dataLength > inLength - chunkStart) return 0;  // chunk runs past the input
        const std::size_t chunkEnd = chunkStart + dataLength;
        std::uint8_t* const chunkOut = out + total;

        if ((header & kCompressedFlag) == 0) {
            // Stored chunk: always 4096 bytes of output.
            std::size_t room = outLimit - total;
            std::size_t produce = room < kChunkBytes ? room : kChunkBytes;
            std::size_t copy = dataLength < produce ? dataLength : produce;
            std::memcpy(chunkOut, in + chunkStart, copy);
            std::memset(chunkOut + copy, 0, produce - copy);
            total += produce;
            if (total == outLimit) return static_cast<std::uint32_t>(total);
            inPos = chunkEnd;
            continue;
        }

        std::size_t p = chunkStart;
        std::size_t pos = 0;
        while (p < chunkEnd) {
            std::uint8_t flags = in[p++];
            for (int bit = 0; bit < 8 && p < chunkEnd; ++bit, flags >>= 1) {
                if (pos >= kChunkBytes) return 0;  // chunk output past 4096 bytes
                if ((flags & 1) == 0) {
                    chunkOut[pos++] = in[p++];
                    if (++total == outLimit) return static_cast<std::uint32_t>(total);
                    continue;
                }
                if (chunkEnd - p < 2 || pos == 0) return 0;  // truncated token, or a reference first
                const std::uint16_t token = static_cast<std::uint16_t>(in[p] | (in[p + 1] << 8));
                p += 2;
                std::size_t displacement = 0, length = 0;
                splitToken(token, pos, displacement, length);
                if (displacement > pos) return 0;  // reaches before the chunk's output
                for (std::size_t k = 0; k < length; ++k) {
                    if (pos >= kChunkBytes) return 0;
                    chunkOut[pos] = chunkOut[pos - displacement];
                    ++pos;
                    if (++total == outLimit) return static_cast<std::uint32_t>(total);
                }
            }
        }
        inPos = chunkEnd;
    }
}

} // namespace resurgo
