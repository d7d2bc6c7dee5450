#pragma once
// The first 48 bytes of a $STANDARD_INFORMATION value.

#include <array>
#include <cstdint>

#include "core/ByteReader.h"
#include "core/ErrorException.h"

namespace resurgo {

struct STANDARD_INFORMATION {
    static constexpr std::size_t kKeptBytes = 48;
    static constexpr std::size_t kCreationTime = 0x00;
    static constexpr std::size_t kModificationTime = 0x08;
    static constexpr std::size_t kMftChangeTime = 0x10;
    static constexpr std::size_t kAccessTime = 0x18;
    static constexpr std::size_t kFileAttributes = 0x20;
    static constexpr std::uint32_t kAttrSparse = 0x0200;
    static constexpr std::uint32_t kAttrCompressed = 0x0800;

    std::array<std::uint8_t, kKeptBytes> bytes{};

    // The kept bytes' fields; every offset above lies inside them.
    ByteReader reader() const {
        return ByteReader(bytes.data(), bytes.size(), kErrRecordFormat,
                          "STANDARD_INFORMATION::reader <Field outside the kept bytes>");
    }
    std::uint64_t u64(std::size_t off) const { return reader().u64(off); }
    std::uint64_t creationTime() const { return u64(kCreationTime); }
    std::uint64_t modificationTime() const { return u64(kModificationTime); }
    std::uint64_t accessTime() const { return u64(kAccessTime); }
    std::uint32_t fileAttributes() const { return reader().u32(kFileAttributes); }
};

} // namespace resurgo
