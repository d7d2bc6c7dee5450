#include "source/EwfSegment.h"

#include <cstring>

#include "core/ByteReader.h"
#include "core/ErrorException.h"
#include "source/Source.h"

namespace resurgo {

namespace {

// EWF version 1: a 13-byte file header, then section descriptors of 76
// bytes, each naming the offset of the next in the same file.
constexpr std::uint8_t kSignature[] = {'E', 'V', 'F', 0x09, 0x0D, 0x0A, 0xFF, 0x00};
constexpr std::uint64_t kFirstSection = 13;
constexpr std::size_t kDescriptorBytes = 76;
constexpr std::size_t kType = 0;   // 16 bytes, NUL-padded
constexpr std::size_t kNext = 16;  // offset of the next descriptor

} // namespace

EwfSegment::End EwfSegment::read(Source& file) {
    const char* where = "EwfSegment::read";
    try {
        const std::uint64_t size = file.size();
        std::uint8_t head[sizeof kSignature] = {};
        if (file.readAt(head, sizeof head, 0, where) != sizeof head || std::memcmp(head, kSignature, sizeof head) != 0) {
            return End::Unknown;
        }
        std::uint64_t at = kFirstSection;
        for (int n = 0; n < kMaxSections; ++n) {
            std::uint8_t bytes[kDescriptorBytes] = {};
            if (at > size || kDescriptorBytes > size - at) return End::Cut;
            if (file.readAt(bytes, sizeof bytes, at, where) != sizeof bytes) return End::Cut;
            const ByteReader r(bytes, sizeof bytes, kErrOpenDisk, where);
            // The type is a NUL-padded 16-byte field.
            auto typeIs = [&bytes](const char(&word)[5]) { return std::memcmp(bytes + kType, word, sizeof word) == 0; };
            if (typeIs("next")) return End::Next;
            if (typeIs("done")) return End::Done;
            const std::uint64_t next = r.u64(kNext);
            if (next > size) return End::Cut;  // the section runs past the end of the file
            if (next <= at) return End::Unknown;
            at = next;
        }
    } catch (const ErrorException&) {
        return End::Cut;
    }
    return End::Unknown;
}

} // namespace resurgo
