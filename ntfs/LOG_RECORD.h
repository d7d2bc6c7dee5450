#pragma once
// One record of $LogFile: the log's own header (its LSN, the client's
// previous LSN, the length of the client's data, the record type) and the
// client's data gathered from every page the record spans.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace resurgo {

class LOG_RECORD {
public:
    static constexpr std::size_t kThisLsn = 0x00;
    static constexpr std::size_t kPreviousLsn = 0x08;
    static constexpr std::size_t kUndoNextLsn = 0x10;
    static constexpr std::size_t kDataLength = 0x18;
    static constexpr std::size_t kClientIndex = 0x1E;
    static constexpr std::size_t kRecordType = 0x20;
    static constexpr std::size_t kTransactionId = 0x24;
    static constexpr std::size_t kFlags = 0x28;
    static constexpr std::size_t kHeaderBytes = 0x30;
    // Record types: a change a client made, and a client's restart record.
    static constexpr std::uint32_t kClientRecord = 1;
    static constexpr std::uint32_t kClientRestart = 2;
    // The record goes on over the next page(s).
    static constexpr std::uint16_t kFlagMultiPage = 0x0001;

    // Reads the header at bytes[0, length) (at least kHeaderBytes). Raises
    // kErrRecordFormat ("LOG_RECORD::readHeader <reason>") when it does not
    // fit or its type is unknown.
    void readHeader(const std::uint8_t* bytes, std::size_t length);

    std::uint64_t lsn = 0;
    std::uint64_t previousLsn = 0;
    std::uint64_t undoNextLsn = 0;
    std::uint32_t dataLength = 0;
    std::uint16_t clientIndex = 0;
    std::uint32_t type = 0;
    std::uint32_t transactionId = 0;
    std::uint16_t flags = 0;
    // The client's data (dataLength bytes once gathered).
    std::vector<std::uint8_t> data;
};

} // namespace resurgo
