// $LogFile from the fuzzer's input: every 4 KiB page that starts with a
// restart or record page signature gets its update sequence made right, so
// that the fuzzer reaches the restart area, the records, the records that
// span pages and the operations rather than stopping at the fixups. The
// records are then replayed into file record versions, and each version is
// parsed as the search parses it.
//
// Checked beyond the sanitizers: records come out in strictly rising LSN
// order with the data their header states; every version's image parses or
// raises an ErrorException with a code from the table.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/ErrorException.h"
#include "ntfs/LogRecordScan.h"
#include "ntfs/MFT_RECORD.h"
#include "ntfs/NTFS_GEOMETRY.h"
#include "recovery/LogfileSearch.h"

using namespace resurgo;

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kMaxLog = 1 << 20;

void protect(std::uint8_t* page) {
    const std::size_t usa = static_cast<std::size_t>(page[4] | (page[5] << 8));
    if (usa + 2 + 2 * (kPage / 512) > 512) return;
    page[6] = kPage / 512 + 1;
    page[7] = 0;
    for (std::size_t i = 0; i < kPage / 512; ++i) std::memcpy(page + (i + 1) * 512 - 2, page + usa, 2);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> log(data, data + std::min(size, kMaxLog));
    for (std::size_t at = 0; at + kPage <= log.size(); at += kPage) {
        if (std::memcmp(log.data() + at, "RSTR", 4) == 0 || std::memcmp(log.data() + at, "RCRD", 4) == 0) {
            protect(log.data() + at);
        }
    }
    const LogRecordScan::Result scan = LogRecordScan::scan(log);
    for (std::size_t i = 0; i < scan.records.size(); ++i) {
        if (scan.records[i].data.size() != scan.records[i].dataLength) std::abort();
        if (i > 0 && scan.records[i - 1].lsn >= scan.records[i].lsn) std::abort();
    }
    if (const auto g = LogfileSearch::geometryOf(scan.records)) {
        if (g->clusterBytes < 512 || g->clusterBytes > 65536 || g->recordBytes < 512 || g->recordBytes > 4096) {
            std::abort();
        }
    }
    NTFS_GEOMETRY geometry;
    geometry.init("fuzz", 512, 8, -10, 4, 8, 1, 1 << 20);
    for (const LogfileSearch::Version& v : LogfileSearch::rebuild(scan.records, geometry, 1 << 16)) {
        std::vector<std::uint8_t> image = v.image;
        try {
            MFT_RECORD record;
            record.parse(image.data(), image.size(), geometry);
            for (const DATA_ATTRIBUTE& d : record.dataAttributes) (void)d.runs.entries().size();
        } catch (const ErrorException& e) {
            if (e.code() <= 0 || e.code() > ErrorException::tableSize()) std::abort();
        }
    }
    return 0;
}
