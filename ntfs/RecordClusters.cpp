#include "ntfs/RecordClusters.h"

#include <algorithm>

#include "core/ByteReader.h"
#include "core/ErrorException.h"
#include "ntfs/MFT_RECORD.h"

namespace resurgo {

namespace {

// Reads one run's header and fields at cursor (below end): its length and
// the signed LCN offset (offsetBytes 0: a sparse run). False at the end
// mark or on a field that leaves the list.
bool nextRun(const std::uint8_t*& cursor, const std::uint8_t* end, std::uint64_t& length, std::int64_t& offset,
             unsigned& offsetBytes) {
    if (cursor >= end || *cursor == 0) return false;
    const unsigned lengthBytes = *cursor & 0x0F;
    offsetBytes = *cursor >> 4;
    ++cursor;
    if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8) return false;
    if (static_cast<std::size_t>(end - cursor) < lengthBytes + offsetBytes) return false;
    length = 0;
    for (unsigned i = 0; i < lengthBytes; ++i) length |= static_cast<std::uint64_t>(cursor[i]) << (8 * i);
    cursor += lengthBytes;
    std::uint64_t v = 0;
    for (unsigned i = 0; i < offsetBytes; ++i) v |= static_cast<std::uint64_t>(cursor[i]) << (8 * i);
    if (offsetBytes > 0 && offsetBytes < 8 && (cursor[offsetBytes - 1] & 0x80) != 0) v |= ~0ULL << (8 * offsetBytes);
    cursor += offsetBytes;
    offset = static_cast<std::int64_t>(v);
    return true;
}

} // namespace

void RecordClusters::append(std::uint8_t* bytes, std::size_t length, std::uint64_t totalClusters,
                            std::vector<Run>& runs) {
    MFT_RECORD::fixup(bytes, length);
    const ByteReader record(bytes, length, kErrRecordFormat, "RecordClusters::append <Record header>");
    const std::size_t inUse = std::min<std::size_t>(record.u32(MFT_RECORD::kBytesInUse), length);
    std::size_t pos = record.u16(MFT_RECORD::kFirstAttribute);
    if (pos < MFT_RECORD::kMinFirstAttribute) return;
    // Attributes follow one another up to the end mark or the bytes in use.
    while (pos < inUse && inUse - pos >= kMinAttributeBytes) {
        const ByteReader attr(bytes + pos, inUse - pos, kErrRecordFormat, "RecordClusters::append <Attribute>");
        const std::uint32_t type = attr.u32(kAttrType);
        const std::uint32_t attrLength = attr.u32(kAttrLength);
        if (type == MFT_RECORD::kTypeEnd || attrLength < kMinAttributeBytes || attrLength > attr.size()) return;
        if (attrLength >= kNonResidentHeaderBytes && attr.u8(kAttrNonResident) != 0) {
            const std::int64_t first = static_cast<std::int64_t>(attr.u64(kAttrStartingVcn));
            const std::int64_t last = static_cast<std::int64_t>(attr.u64(kAttrLastVcn));
            const std::size_t runsAt = attr.u16(kAttrRunsOffset);
            const bool compressed = (attr.u16(kAttrFlags) & kFlagCompressed) != 0;
            if (first >= 0 && last >= first && runsAt < attrLength) {
                // Clusters the runs must cover; the list may not claim more.
                std::uint64_t left = static_cast<std::uint64_t>(last) - static_cast<std::uint64_t>(first) + 1;
                const std::uint8_t* cursor = bytes + pos + runsAt;
                const std::uint8_t* end = bytes + pos + attrLength;
                std::int64_t lcn = 0;
                std::uint64_t n = 0;
                std::int64_t offset = 0;
                unsigned offsetBytes = 0;
                while (left > 0 && nextRun(cursor, end, n, offset, offsetBytes)) {
                    n = std::min(n, left);
                    left -= n;
                    // No offset: a sparse run; in a compressed stream an
                    // offset of 0 marks one too.
                    if (offsetBytes == 0 || (compressed && offset == 0)) continue;
                    if (__builtin_add_overflow(lcn, offset, &lcn)) break;
                    if (lcn < 0 || n == 0) continue;
                    const auto at = static_cast<std::uint64_t>(lcn);
                    if (totalClusters != 0) {
                        if (at >= totalClusters) continue;
                        n = std::min(n, totalClusters - at);
                    }
                    if (!runs.empty() && runs.back().lcn + runs.back().clusters == at) {
                        runs.back().clusters += n;
                    } else {
                        runs.push_back(Run{at, n});
                    }
                }
            }
        }
        pos += attrLength;
    }
}

} // namespace resurgo
