#pragma once
// The first 48 bytes of a $STANDARD_INFORMATION value.

#include <array>
#include <cstdint>

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

    std::uint64_t u64(std::size_t off) const {
        std::uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | bytes[off + static_cast<std::size_t>(i)];
        return v;
    }
    std::uint64_t creationTime() const { return u64(kCreationTime); }
    std::uint64_t modificationTime() const { return u64(kModificationTime); }
    std::uint64_t accessTime() const { return u64(kAccessTime); }
    std::uint32_t fileAttributes() const {
        return static_cast<std::uint32_t>(bytes[kFileAttributes]) | (static_cast<std::uint32_t>(bytes[kFileAttributes + 1]) << 8) |
               (static_cast<std::uint32_t>(bytes[kFileAttributes + 2]) << 16) |
               (static_cast<std::uint32_t>(bytes[kFileAttributes + 3]) << 24);
    }
};

} // namespace resurgo
