#pragma once
// The header of one record page of $LogFile ("RCRD"): the page's update
// sequence, the last LSN it holds, and where its last record ends.

#include <cstddef>
#include <cstdint>

namespace resurgo {

class LOG_RECORD_PAGE {
public:
    static constexpr std::size_t kSignature = 0x00;
    static constexpr std::size_t kLastLsn = 0x08;
    static constexpr std::size_t kFlags = 0x10;
    static constexpr std::size_t kPageCount = 0x14;
    static constexpr std::size_t kPagePosition = 0x16;
    static constexpr std::size_t kNextRecordOffset = 0x18;
    static constexpr std::size_t kLastEndLsn = 0x20;
    static constexpr std::size_t kHeaderBytes = 0x28;  // the update sequence array follows
    // A record ends on this page.
    static constexpr std::uint32_t kFlagRecordEnd = 0x0001;

    // True when bytes start with the record page signature.
    static bool isRecordPage(const std::uint8_t* bytes, std::size_t length);

    // Fixes up the page bytes[0, length) in place and reads its header.
    // Raises kErrRecordFormat ("LOG_RECORD_PAGE::parse <reason>") on a wrong
    // signature or an update sequence that does not match.
    void parse(std::uint8_t* bytes, std::size_t length);

    std::uint64_t lastLsn = 0;
    std::uint32_t flags = 0;
    std::uint16_t pageCount = 0;
    std::uint16_t pagePosition = 0;
    std::uint16_t nextRecordOffset = 0;
    std::uint64_t lastEndLsn = 0;
};

} // namespace resurgo
