#include "ntfs/LOG_OPERATION.h"

#include "core/ByteReader.h"
#include "core/ErrorException.h"

namespace resurgo {

void LOG_OPERATION::parse(const std::uint8_t* bytes, std::size_t length) {
    const ByteReader r(bytes, length, kErrRecordFormat, "LOG_OPERATION::parse <Header outside the record>");
    r.require(0, kHeaderBytes);
    redoOperation = r.u16(kRedoOperation);
    undoOperation = r.u16(kUndoOperation);
    targetAttribute = r.u16(kTargetAttribute);
    recordOffset = r.u16(kRecordOffset);
    attributeOffset = r.u16(kAttributeOffset);
    clusterBlockOffset = r.u16(kClusterBlockOffset);
    targetVcn = r.u64(kTargetVcn);
    const std::size_t redoAt = r.u16(kRedoOffset);
    const std::size_t undoAt = r.u16(kUndoOffset);
    redoLength = r.u16(kRedoLength);
    undoLength = r.u16(kUndoLength);
    const ByteReader data = r.withDiagnostic(kErrRecordFormat, "LOG_OPERATION::parse <Data outside the record>");
    data.require(redoAt, redoLength);
    data.require(undoAt, undoLength);
    redo = bytes + redoAt;
    undo = bytes + undoAt;
}

bool LOG_OPERATION::changesFileRecord() const {
    switch (redoOperation) {
    case InitializeFileRecordSegment:
    case DeallocateFileRecordSegment:
    case WriteEndOfFileRecordSegment:
    case CreateAttribute:
    case DeleteAttribute:
    case UpdateResidentValue:
    case UpdateMappingPairs:
    case SetNewAttributeSizes:
        return true;
    default:
        return false;
    }
}

std::uint64_t LOG_OPERATION::targetByte(std::uint64_t clusterBytes) const {
    const std::uint64_t blocks = clusterBlockOffset * kBlockBytes;
    if (clusterBytes != 0 && targetVcn > (~0ULL - blocks) / clusterBytes) return ~0ULL;
    return targetVcn * clusterBytes + blocks;
}

} // namespace resurgo
