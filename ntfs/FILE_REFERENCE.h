#pragma once
// A 64-bit NTFS file reference: 48-bit record number, 16-bit sequence number.

#include <cstdint>

namespace resurgo {

class FILE_REFERENCE {
public:
    FILE_REFERENCE() = default;
    explicit FILE_REFERENCE(std::uint64_t raw) { assign(raw); }
    virtual ~FILE_REFERENCE() = default;
    FILE_REFERENCE(const FILE_REFERENCE&) = default;
    FILE_REFERENCE& operator=(const FILE_REFERENCE&) = default;

    void assign(std::uint64_t raw) {
        raw_ = raw;
        sequence_ = static_cast<std::uint16_t>(raw >> 48);
        recordLow_ = static_cast<std::uint32_t>(raw & 0xFFFFFFFFu);
        recordHigh_ = static_cast<std::uint32_t>((raw >> 32) & 0xFFFFu);
    }
    static FILE_REFERENCE toRecord(std::uint64_t recordNumber, std::uint16_t sequence = 0) {
        return FILE_REFERENCE((recordNumber & 0xFFFFFFFFFFFFULL) | (static_cast<std::uint64_t>(sequence) << 48));
    }

    std::uint64_t raw() const { return raw_; }
    std::uint16_t sequence() const { return sequence_; }
    std::uint32_t recordLow() const { return recordLow_; }
    std::uint32_t recordHigh() const { return recordHigh_; }
    std::uint64_t recordNumber() const { return (static_cast<std::uint64_t>(recordHigh_) << 32) | recordLow_; }

private:
    std::uint64_t raw_ = 0;
    std::uint16_t sequence_ = 0;
    std::uint32_t recordLow_ = 0;
    std::uint32_t recordHigh_ = 0;
};

} // namespace resurgo
