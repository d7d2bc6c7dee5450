#include "ntfs/UpdateSequence.h"

#include "core/ByteReader.h"
#include "core/ErrorException.h"

namespace resurgo {

void UpdateSequence::apply(std::uint8_t* bytes, std::size_t length, std::size_t minArrayOffset,
                           const Diagnostics& diagnostics) {
    const ByteReader r(bytes, length, kErrRecordFormat, diagnostics.count);
    const std::size_t count = r.u16(kArrayCount);
    const std::size_t strides = length / kStride;
    if (count != strides + 1 || length % kStride != 0) throw ErrorException(kErrRecordFormat, diagnostics.count);
    const std::size_t usa = r.u16(kArrayOffset);
    if ((usa & 1) != 0 || usa < minArrayOffset || usa + 2 * count > kStride) {
        throw ErrorException(kErrRecordFormat, diagnostics.offset);
    }
    const std::uint16_t usn = r.u16(usa);
    for (std::size_t i = 0; i < strides; ++i) {
        const std::size_t last = (i + 1) * kStride - 2;
        if (r.u16(last) != usn) throw ErrorException(kErrRecordFormat, diagnostics.word);
        bytes[last] = bytes[usa + 2 + 2 * i];
        bytes[last + 1] = bytes[usa + 3 + 2 * i];
    }
}

std::size_t UpdateSequence::recordBytes(const std::uint8_t* bytes, std::size_t length) {
    if (length < kArrayCount + 2) return 0;
    const std::size_t count = ByteReader(bytes, length, kErrRecordFormat, "UpdateSequence::recordBytes").u16(kArrayCount);
    const std::size_t size = count < 2 ? 0 : (count - 1) * kStride;
    return (size == 1024 || size == 2048 || size == 4096) && size <= length ? size : 0;
}

} // namespace resurgo
