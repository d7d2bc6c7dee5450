#include "ntfs/LOG_RESTART_AREA.h"

#include <cstring>

#include "core/ByteReader.h"
#include "core/ErrorException.h"
#include "ntfs/UpdateSequence.h"

namespace resurgo {

namespace {

constexpr const char* kTruncated = "LOG_RESTART_AREA::parse <Restart area outside the page>";

bool powerOfTwoIn(std::uint32_t v, std::uint32_t lo, std::uint32_t hi) {
    return v >= lo && v <= hi && (v & (v - 1)) == 0;
}

[[noreturn]] void fail(const char* reason) { throw ErrorException(kErrRecordFormat, reason); }

} // namespace

std::uint32_t LOG_RESTART_AREA::statedPageSize(const std::uint8_t* bytes, std::size_t length) {
    const ByteReader r(bytes, length, kErrRecordFormat, kTruncated);
    if (!r.contains(0, kPageHeaderBytes) || std::memcmp(bytes, "RSTR", 4) != 0) return 0;
    const std::uint32_t size = r.u32(kSystemPageSize);
    return powerOfTwoIn(size, kMinPageSize, kMaxPageSize) ? size : 0;
}

void LOG_RESTART_AREA::parse(std::uint8_t* bytes, std::size_t length) {
    if (length < kMinPageSize || std::memcmp(bytes, "RSTR", 4) != 0) {
        fail("LOG_RESTART_AREA::parse <No restart page signature>");
    }
    const ByteReader page(bytes, length, kErrRecordFormat, kTruncated);
    systemPageSize = page.u32(kSystemPageSize);
    logPageSize = page.u32(kLogPageSize);
    if (!powerOfTwoIn(systemPageSize, kMinPageSize, kMaxPageSize) || systemPageSize != length ||
        !powerOfTwoIn(logPageSize, kMinPageSize, kMaxPageSize)) {
        fail("LOG_RESTART_AREA::parse <Bad page size>");
    }
    UpdateSequence::apply(bytes, length, kPageHeaderBytes,
                          {"LOG_RESTART_AREA::parse <Update sequence count>",
                           "LOG_RESTART_AREA::parse <Update sequence offset>",
                           "LOG_RESTART_AREA::parse <Update sequence mismatch>"});
    majorVersion = static_cast<std::int16_t>(page.u16(kMajorVersion));
    minorVersion = static_cast<std::int16_t>(page.u16(kMinorVersion));
    const std::uint16_t at = page.u16(kRestartOffset);
    if (at < kPageHeaderBytes || (at & 7) != 0) fail("LOG_RESTART_AREA::parse <Bad restart area offset>");
    const ByteReader area = page.sub(at, kAreaBytes);
    currentLsn = area.u64(kCurrentLsn);
    sequenceNumberBits = area.u32(kSequenceNumberBits);
    fileSize = area.u64(kFileSize);
    recordHeaderLength = area.u16(kRecordHeaderLength);
    pageDataOffset = area.u16(kPageDataOffset);
    // An LSN keeps the file offset / 8 in its low 64 - bits bits: at least
    // a page's worth and no more than 64 bits of offset.
    if (sequenceNumberBits == 0 || sequenceNumberBits > 60) fail("LOG_RESTART_AREA::parse <Bad sequence number bits>");
    if (fileSize < 2ULL * systemPageSize || fileSize / 8 - 1 > (~0ULL >> sequenceNumberBits)) {
        fail("LOG_RESTART_AREA::parse <Bad file size>");
    }
    if (recordHeaderLength < kMinRecordHeader || pageDataOffset < kMinPageDataOffset || (pageDataOffset & 7) != 0 ||
        pageDataOffset >= logPageSize || logPageSize - pageDataOffset <= recordHeaderLength) {
        fail("LOG_RESTART_AREA::parse <Bad record layout>");
    }
}

std::uint64_t LOG_RESTART_AREA::offsetOf(std::uint64_t lsn) const {
    return (lsn & (~0ULL >> sequenceNumberBits)) * 8;
}

} // namespace resurgo
