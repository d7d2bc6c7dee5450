#pragma once
// The layout of an attribute's header inside a FILE record: the common
// part, then the resident or the non-resident form (offsets from the
// attribute's first byte).

#include <cstddef>
#include <cstdint>

namespace resurgo {

struct AttributeHeader {
    static constexpr std::size_t kType = 0x00;
    static constexpr std::size_t kLength = 0x04;
    static constexpr std::size_t kNonResident = 0x08;
    static constexpr std::size_t kNameLength = 0x09;
    static constexpr std::size_t kNameOffset = 0x0A;
    static constexpr std::size_t kFlags = 0x0C;
    static constexpr std::size_t kId = 0x0E;
    // Smallest attribute: type and length.
    static constexpr std::size_t kMinBytes = 8;

    // Resident form.
    static constexpr std::size_t kValueLength = 0x10;
    static constexpr std::size_t kValueOffset = 0x14;
    static constexpr std::size_t kResidentFlags = 0x16;
    static constexpr std::size_t kResidentBytes = 0x18;

    // Non-resident form.
    static constexpr std::size_t kStartVcn = 0x10;
    static constexpr std::size_t kLastVcn = 0x18;
    static constexpr std::size_t kRunListOffset = 0x20;
    static constexpr std::size_t kCompressionUnit = 0x22;
    static constexpr std::size_t kAllocatedSize = 0x28;
    static constexpr std::size_t kDataSize = 0x30;
    static constexpr std::size_t kInitializedSize = 0x38;
    // Smallest non-resident header (up to and including the initialized size).
    static constexpr std::size_t kNonResidentBytes = 0x40;

    // Flags.
    static constexpr std::uint16_t kFlagCompressionMask = 0x00FF;
    static constexpr std::uint16_t kFlagCompressed = 0x0001;
    static constexpr std::uint16_t kFlagSparse = 0x8000;
};

} // namespace resurgo
