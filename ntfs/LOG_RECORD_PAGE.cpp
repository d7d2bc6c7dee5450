#include "ntfs/LOG_RECORD_PAGE.h"

#include <cstring>

#include "core/ByteReader.h"
#include "core/ErrorException.h"
#include "ntfs/UpdateSequence.h"

namespace resurgo {

bool LOG_RECORD_PAGE::isRecordPage(const std::uint8_t* bytes, std::size_t length) {
    return length >= kHeaderBytes && std::memcmp(bytes, "RCRD", 4) == 0;
}

void LOG_RECORD_PAGE::parse(std::uint8_t* bytes, std::size_t length) {
    if (!isRecordPage(bytes, length)) {
        throw ErrorException(kErrRecordFormat, "LOG_RECORD_PAGE::parse <No record page signature>");
    }
    UpdateSequence::apply(bytes, length, kHeaderBytes,
                          {"LOG_RECORD_PAGE::parse <Update sequence count>",
                           "LOG_RECORD_PAGE::parse <Update sequence offset>",
                           "LOG_RECORD_PAGE::parse <Update sequence mismatch>"});
    const ByteReader r(bytes, length, kErrRecordFormat, "LOG_RECORD_PAGE::parse <Header outside the page>");
    lastLsn = r.u64(kLastLsn);
    flags = r.u32(kFlags);
    pageCount = r.u16(kPageCount);
    pagePosition = r.u16(kPagePosition);
    nextRecordOffset = r.u16(kNextRecordOffset);
    lastEndLsn = r.u64(kLastEndLsn);
}

} // namespace resurgo
