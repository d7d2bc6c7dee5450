#pragma once
// Reads every record $LogFile still holds: the newer of its two restart
// areas gives the page and LSN layout; each record page is fixed up, and
// the records on it are taken in order, a record that goes on over the
// next pages gathered from them. A record is taken only where its LSN says
// it lies (the LSN encodes its byte in the file), so stale bytes, pages
// copied for safety and lying lengths are left out. Work is bounded by the
// file's length: nothing is followed by LSN, so no chain can loop.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ntfs/LOG_RECORD.h"
#include "ntfs/LOG_RESTART_AREA.h"

namespace resurgo {

class LogRecordScan {
public:
    // Client data longer than this is left out: the records that describe
    // file records are a few KiB; only table dumps grow larger.
    static constexpr std::uint32_t kMaxDataLength = 1u << 20;

    struct Result {
        bool restartFound = false;
        LOG_RESTART_AREA restart;
        // Client records (type LOG_RECORD::kClientRecord), by LSN, each once.
        std::vector<LOG_RECORD> records;
        std::uint64_t pages = 0;        // record pages that passed their fixup
        std::uint64_t badPages = 0;     // record pages whose fixup failed
        // Records cut off or too long: the one the circular log's newest
        // record overwrote the start of is met on most volumes, so these are
        // counted, not named.
        std::uint64_t badRecords = 0;
        // Named problems, for the user.
        std::vector<std::string> warnings;
    };

    // Scans log (the bytes of $LogFile from its start; its pages are fixed
    // up in place). Raises nothing: what can't be read is counted and named.
    static Result scan(std::vector<std::uint8_t>& log);

private:
    // Chooses the newer restart area that parses.
    static bool readRestart(std::vector<std::uint8_t>& log, Result& result);
    // Gathers size bytes of a record's data starting at byte at of page
    // `page`, going on over the next pages; false when a page is missing
    // or older than the record.
    static bool gather(const std::vector<std::uint8_t>& log, const std::vector<std::uint64_t>& pageLsn,
                       const LOG_RESTART_AREA& area, std::size_t page, std::size_t at, std::uint64_t lsn,
                       std::vector<std::uint8_t>& out, std::size_t size);
};

} // namespace resurgo
