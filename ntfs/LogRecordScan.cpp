#include "ntfs/LogRecordScan.h"

#include <algorithm>
#include <cstring>

#include "core/ErrorException.h"
#include "ntfs/LOG_RECORD_PAGE.h"

namespace resurgo {

namespace {

constexpr std::uint64_t kNoPage = ~0ULL;  // in pageLsn: no valid record page

std::size_t align8(std::size_t v) { return (v + 7) & ~static_cast<std::size_t>(7); }

} // namespace

bool LogRecordScan::readRestart(std::vector<std::uint8_t>& log, Result& result) {
    const std::uint32_t first = LOG_RESTART_AREA::statedPageSize(log.data(), log.size());
    // The two copies: at 0 and one system page further (tried at every
    // page size when the first copy is gone).
    std::vector<std::size_t> at{0};
    if (first != 0) {
        at.push_back(first);
    } else {
        for (std::size_t s = LOG_RESTART_AREA::kMinPageSize; s <= LOG_RESTART_AREA::kMaxPageSize; s *= 2) at.push_back(s);
    }
    for (std::size_t offset : at) {
        if (offset >= log.size()) continue;
        const std::uint32_t stated = LOG_RESTART_AREA::statedPageSize(log.data() + offset, log.size() - offset);
        if (stated == 0 || stated > log.size() - offset) continue;
        try {
            LOG_RESTART_AREA area;
            area.parse(log.data() + offset, stated);
            if (!result.restartFound || area.currentLsn > result.restart.currentLsn) result.restart = area;
            result.restartFound = true;
        } catch (const ErrorException& e) {
            result.warnings.push_back("$LogFile restart page at byte " + std::to_string(offset) + ": " + e.diagnostic());
        }
    }
    // A log emptied by another driver holds no restart page at all: nothing to say then.
    if (!result.restartFound && !result.warnings.empty()) result.warnings.push_back("$LogFile has no readable restart area");
    return result.restartFound;
}

bool LogRecordScan::gather(const std::vector<std::uint8_t>& log, const std::vector<std::uint64_t>& pageLsn,
                           const LOG_RESTART_AREA& area, std::size_t page, std::size_t at, std::uint64_t lsn,
                           std::vector<std::uint8_t>& out, std::size_t size) {
    const std::size_t pageSize = area.logPageSize;
    out.clear();
    out.reserve(size);
    while (out.size() < size) {
        if (page >= pageLsn.size() || pageLsn[page] == kNoPage) return false;
        // A later page of the record was written with it or after it.
        if (at == area.pageDataOffset && pageLsn[page] < lsn) return false;
        const std::size_t take = std::min(size - out.size(), pageSize - at);
        const std::uint8_t* from = log.data() + page * pageSize + at;
        out.insert(out.end(), from, from + take);
        ++page;
        at = area.pageDataOffset;
    }
    return true;
}

LogRecordScan::Result LogRecordScan::scan(std::vector<std::uint8_t>& log) {
    Result result;
    if (!readRestart(log, result)) return result;
    const LOG_RESTART_AREA& area = result.restart;
    const std::size_t pageSize = area.logPageSize;
    const std::size_t end = static_cast<std::size_t>(std::min<std::uint64_t>(log.size(), area.fileSize));
    const std::size_t pages = end / pageSize;
    // Record pages start after the two restart pages.
    const std::size_t firstPage = (2 * static_cast<std::size_t>(area.systemPageSize) + pageSize - 1) / pageSize;
    std::vector<std::uint64_t> pageLsn(pages, kNoPage);
    for (std::size_t p = firstPage; p < pages; ++p) {
        std::uint8_t* bytes = log.data() + p * pageSize;
        if (!LOG_RECORD_PAGE::isRecordPage(bytes, pageSize)) continue;
        try {
            LOG_RECORD_PAGE header;
            header.parse(bytes, pageSize);
            pageLsn[p] = header.lastLsn;
            ++result.pages;
        } catch (const ErrorException&) {
            ++result.badPages;
        }
    }

    const std::size_t headerBytes = area.recordHeaderLength;
    const std::size_t perPage = pageSize - area.pageDataOffset;
    std::size_t carry = 0;  // bytes of a record from an earlier page still to skip
    for (std::size_t p = firstPage; p < pages; ++p) {
        if (pageLsn[p] == kNoPage) {
            carry = 0;
            continue;
        }
        std::size_t off = area.pageDataOffset;
        if (carry > 0) {
            if (carry > perPage) {
                carry -= perPage;
                continue;
            }
            off = align8(off + carry);
            carry = 0;
        }
        while (off <= pageSize - headerBytes) {
            const std::size_t pos = p * pageSize + off;
            LOG_RECORD record;
            try {
                record.readHeader(log.data() + pos, headerBytes);
            } catch (const ErrorException&) {
                break;
            }
            // Only a record lying where its LSN puts it.
            if (record.lsn == 0 || area.offsetOf(record.lsn) != pos) break;
            if (record.dataLength > kMaxDataLength) {
                ++result.badRecords;
                break;
            }
            const std::size_t total = headerBytes + record.dataLength;
            const bool spans = total > pageSize - off;
            if (!gather(log, pageLsn, area, p, off + headerBytes, record.lsn, record.data, record.dataLength)) {
                if (pageSize - off - headerBytes < record.dataLength || spans) ++result.badRecords;
                break;
            }
            if (record.type == LOG_RECORD::kClientRecord) result.records.push_back(std::move(record));
            if (spans) {
                carry = total - (pageSize - off);
                break;
            }
            off = align8(off + total);
        }
    }
    std::sort(result.records.begin(), result.records.end(),
              [](const LOG_RECORD& a, const LOG_RECORD& b) { return a.lsn < b.lsn; });
    result.records.erase(std::unique(result.records.begin(), result.records.end(),
                                     [](const LOG_RECORD& a, const LOG_RECORD& b) { return a.lsn == b.lsn; }),
                         result.records.end());
    if (result.badPages > 0) {
        result.warnings.push_back("$LogFile: " + std::to_string(result.badPages) + " record pages fail their fixup");
    }
    return result;
}

} // namespace resurgo
