#pragma once
// What NTFS wrote in a client record of $LogFile: the redo and undo
// operations, where their data lies in the record, and the place they
// change (an attribute opened for the log, a VCN in it, the record or
// index entry at an offset there).

#include <cstddef>
#include <cstdint>

namespace resurgo {

class LOG_OPERATION {
public:
    static constexpr std::size_t kRedoOperation = 0x00;
    static constexpr std::size_t kUndoOperation = 0x02;
    static constexpr std::size_t kRedoOffset = 0x04;
    static constexpr std::size_t kRedoLength = 0x06;
    static constexpr std::size_t kUndoOffset = 0x08;
    static constexpr std::size_t kUndoLength = 0x0A;
    static constexpr std::size_t kTargetAttribute = 0x0C;
    static constexpr std::size_t kLcnsToFollow = 0x0E;
    static constexpr std::size_t kRecordOffset = 0x10;
    static constexpr std::size_t kAttributeOffset = 0x12;
    static constexpr std::size_t kClusterBlockOffset = 0x14;
    static constexpr std::size_t kTargetVcn = 0x18;
    static constexpr std::size_t kHeaderBytes = 0x20;  // the LCN list follows
    // Cluster block offsets count 512-byte blocks.
    static constexpr std::uint64_t kBlockBytes = 512;

    enum Code : std::uint16_t {
        Noop = 0x00,
        CompensationLogRecord = 0x01,
        InitializeFileRecordSegment = 0x02,
        DeallocateFileRecordSegment = 0x03,
        WriteEndOfFileRecordSegment = 0x04,
        CreateAttribute = 0x05,
        DeleteAttribute = 0x06,
        UpdateResidentValue = 0x07,
        UpdateNonresidentValue = 0x08,
        UpdateMappingPairs = 0x09,
        DeleteDirtyClusters = 0x0A,
        SetNewAttributeSizes = 0x0B,
        AddIndexEntryRoot = 0x0C,
        DeleteIndexEntryRoot = 0x0D,
        AddIndexEntryAllocation = 0x0E,
        DeleteIndexEntryAllocation = 0x0F,
        UpdateFileNameRoot = 0x13,
        UpdateFileNameAllocation = 0x14,
    };

    // Reads the header of the client data bytes[0, length). Raises
    // kErrRecordFormat ("LOG_OPERATION::parse <reason>") when it does not
    // fit, or the redo or undo data leaves the record.
    void parse(const std::uint8_t* bytes, std::size_t length);

    // True for operations on a file record of the MFT (the record is then
    // recordNumber()).
    bool changesFileRecord() const;
    // Byte of the MFT the target lies at: VCN and 512-byte blocks.
    std::uint64_t targetByte(std::uint64_t clusterBytes) const;

    std::uint16_t redoOperation = 0;
    std::uint16_t undoOperation = 0;
    std::uint16_t targetAttribute = 0;
    std::uint16_t recordOffset = 0;
    std::uint16_t attributeOffset = 0;
    std::uint16_t clusterBlockOffset = 0;
    std::uint64_t targetVcn = 0;
    // Inside the bytes parsed.
    const std::uint8_t* redo = nullptr;
    std::size_t redoLength = 0;
    const std::uint8_t* undo = nullptr;
    std::size_t undoLength = 0;
};

} // namespace resurgo
