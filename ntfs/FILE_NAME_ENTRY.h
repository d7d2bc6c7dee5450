#pragma once
// One $FILE_NAME attribute: its 64-byte head as stored, the name (UTF-8)
// and the namespace byte.

#include <array>
#include <cstdint>
#include <string>

#include "core/ByteReader.h"
#include "core/ErrorException.h"
#include "ntfs/FILE_REFERENCE.h"

namespace resurgo {

struct FILE_NAME_ENTRY {
    static constexpr std::size_t kHeadBytes = 64;
    static constexpr std::size_t kParent = 0x00;
    static constexpr std::size_t kCreationTime = 0x08;
    static constexpr std::size_t kModificationTime = 0x10;
    static constexpr std::size_t kMftChangeTime = 0x18;
    static constexpr std::size_t kAccessTime = 0x20;
    static constexpr std::size_t kAllocatedSize = 0x28;
    static constexpr std::size_t kDataSize = 0x30;
    static constexpr std::size_t kFileAttributes = 0x38;
    static constexpr std::size_t kNameLength = 0x40;
    static constexpr std::size_t kNamespace = 0x41;
    static constexpr std::size_t kName = 0x42;

    static constexpr std::uint8_t kPosix = 0;
    static constexpr std::uint8_t kWin32 = 1;
    static constexpr std::uint8_t kDos = 2;
    static constexpr std::uint8_t kWin32AndDos = 3;

    std::array<std::uint8_t, kHeadBytes> head{};
    std::string name;
    std::uint8_t nameSpace = 0;

    // The head's fields; every offset above lies inside it.
    ByteReader reader() const {
        return ByteReader(head.data(), head.size(), kErrRecordFormat,
                          "FILE_NAME_ENTRY::reader <Field outside the head>");
    }
    std::uint64_t u64(std::size_t off) const { return reader().u64(off); }
    FILE_REFERENCE parent() const { return FILE_REFERENCE(u64(kParent)); }
    std::uint64_t creationTime() const { return u64(kCreationTime); }
    std::uint64_t modificationTime() const { return u64(kModificationTime); }
    std::uint64_t accessTime() const { return u64(kAccessTime); }
};

} // namespace resurgo
