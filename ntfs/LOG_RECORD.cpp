#include "ntfs/LOG_RECORD.h"

#include "core/ByteReader.h"
#include "core/ErrorException.h"

namespace resurgo {

void LOG_RECORD::readHeader(const std::uint8_t* bytes, std::size_t length) {
    const ByteReader r(bytes, length, kErrRecordFormat, "LOG_RECORD::readHeader <Header outside the page>");
    r.require(0, kHeaderBytes);
    lsn = r.u64(kThisLsn);
    previousLsn = r.u64(kPreviousLsn);
    undoNextLsn = r.u64(kUndoNextLsn);
    dataLength = r.u32(kDataLength);
    clientIndex = r.u16(kClientIndex);
    type = r.u32(kRecordType);
    transactionId = r.u32(kTransactionId);
    flags = r.u16(kFlags);
    if (type != kClientRecord && type != kClientRestart) {
        throw ErrorException(kErrRecordFormat, "LOG_RECORD::readHeader <Unknown record type>");
    }
}

} // namespace resurgo
