// Times reading $LogFile into file record versions: the scan of its pages
// and records (LogRecordScan) and the replay into versions
// (LogfileSearch::rebuild), the work a search adds for the log.
//
//   resurgo_logfile_bench [LOGFILE]
//       LOGFILE: a copy of a volume's $LogFile (4 KiB clusters and 1 KiB
//       records assumed). Without it, a 64 MiB log is made in memory, as
//       full as NTFS fills one: every page packed with the records that
//       create a file record, change its runs and sizes and free it again.
//
// Prints the log's size, the records and versions found and the best of
// five runs in milliseconds.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "ntfs/LogRecordScan.h"
#include "ntfs/NTFS_GEOMETRY.h"
#include "recovery/LogfileSearch.h"

using namespace resurgo;

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kData = 0x108;  // where the file record's $DATA attribute starts
using Bytes = std::vector<std::uint8_t>;

void put(Bytes& b, std::size_t at, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// One operation on MFT record n's bytes at recordOffset + attributeOffset.
Bytes operation(std::uint16_t code, std::uint64_t n, std::size_t recordOffset, std::size_t attributeOffset,
                const Bytes& redo) {
    Bytes d(0x28, 0);
    put(d, 0x00, code, 2);
    put(d, 0x04, 0x28, 2);
    put(d, 0x06, redo.size(), 2);
    put(d, 0x08, 0x28 + redo.size(), 2);
    put(d, 0x0E, 1, 2);
    put(d, 0x10, recordOffset, 2);
    put(d, 0x12, attributeOffset, 2);
    put(d, 0x14, (n % 4) * 2, 2);
    put(d, 0x18, n / 4, 8);
    d.insert(d.end(), redo.begin(), redo.end());
    return d;
}

// A file record: standard information, a name, non-resident data.
Bytes fileRecord(std::uint64_t n) {
    Bytes r(0x160, 0);
    std::memcpy(r.data(), "FILE", 4);
    put(r, 0x04, 0x30, 2);
    put(r, 0x06, 3, 2);
    put(r, 0x10, 1 + n % 7, 2);
    put(r, 0x14, 0x38, 2);
    put(r, 0x16, 1, 2);
    put(r, 0x18, 0x160, 4);
    put(r, 0x1C, 1024, 4);
    put(r, 0x28, 3, 2);  // next attribute instance
    put(r, 0x38, 0x10, 4);  // $STANDARD_INFORMATION
    put(r, 0x3C, 0x60, 4);
    put(r, 0x48, 0x48, 4);
    put(r, 0x4C, 0x18, 2);
    put(r, 0x98, 0x30, 4);  // $FILE_NAME "file.dat"
    put(r, 0x9C, 0x70, 4);
    put(r, 0xA8, 0x42 + 16, 4);
    put(r, 0xAC, 0x18, 2);
    put(r, 0xB0, 5 | (5ULL << 48), 8);
    r[0xB0 + 0x40] = 8;
    r[0xB0 + 0x41] = 1;
    for (int i = 0; i < 8; ++i) r[0xB0 + 0x42 + 2 * i] = static_cast<std::uint8_t>("file.dat"[i]);
    put(r, kData, 0x80, 4);  // $DATA, one run
    put(r, kData + 0x04, 0x48, 4);
    r[kData + 0x08] = 1;
    put(r, kData + 0x18, 3, 8);
    put(r, kData + 0x20, 0x40, 2);
    put(r, kData + 0x28, 16384, 8);
    put(r, kData + 0x30, 16000, 8);
    put(r, kData + 0x38, 16000, 8);
    r[kData + 0x40] = 0x21;
    r[kData + 0x41] = 4;
    put(r, kData + 0x42, 0x100 + n % 1000, 2);
    put(r, kData + 0x48, 0xFFFFFFFF, 4);
    return r;
}

Bytes makeLog(std::size_t bytes) {
    Bytes log(bytes, 0);
    for (std::size_t copy = 0; copy < 2; ++copy) {
        std::uint8_t* p = log.data() + copy * kPage;
        std::memcpy(p, "RSTR", 4);
        Bytes h(0x58, 0);
        put(h, 0x04, 0x1E, 2);
        put(h, 0x06, 9, 2);
        put(h, 0x10, kPage, 4);
        put(h, 0x14, kPage, 4);
        put(h, 0x18, 0x30, 2);
        put(h, 0x1C, 1, 2);
        put(h, 0x30 + 0x10, 36, 4);
        put(h, 0x30 + 0x18, bytes, 8);
        put(h, 0x30 + 0x24, 0x30, 2);
        put(h, 0x30 + 0x26, 0x40, 2);
        std::copy(h.begin() + 4, h.end(), p + 4);
    }
    std::vector<std::uint64_t> pageLsn(bytes / kPage, 0);
    std::size_t pos = 2 * kPage + 0x40;
    std::uint64_t n = 16;
    auto add = [&](const Bytes& data) {
        if (pos % kPage == 0) pos += 0x40;
        if (pos % kPage > kPage - 0x30) pos = (pos / kPage + 1) * kPage + 0x40;
        const std::uint64_t lsn = pos / 8;
        Bytes record(0x30, 0);
        put(record, 0x00, lsn, 8);
        put(record, 0x18, data.size(), 4);
        put(record, 0x20, 1, 4);
        record.insert(record.end(), data.begin(), data.end());
        for (std::uint8_t b : record) {
            if (pos % kPage == 0) pos += 0x40;
            if (pos >= bytes) return false;
            pageLsn[pos / kPage] = lsn;
            log[pos++] = b;
        }
        pos = (pos + 7) & ~static_cast<std::size_t>(7);
        return true;
    };
    for (bool room = true; room; n = n + 1 < 60000 ? n + 1 : 16) {
        const Bytes pairs{0x21, 8, static_cast<std::uint8_t>(n), 0x02, 0};
        Bytes sizes(24, 0);
        put(sizes, 0, 32768, 8);
        put(sizes, 8, 30000, 8);
        put(sizes, 16, 30000, 8);
        room = add(operation(2, n, 0, 0, fileRecord(n))) && add(operation(9, n, kData, 0x40, pairs)) &&
               add(operation(11, n, kData, 0, sizes)) && add(operation(3, n, 0, 0, {}));
    }
    for (std::size_t p = 2; p < pageLsn.size(); ++p) {
        if (pageLsn[p] == 0) continue;
        std::uint8_t* at = log.data() + p * kPage;
        std::memcpy(at, "RCRD", 4);
        at[4] = 0x28;
        at[6] = 9;
        for (int i = 0; i < 8; ++i) at[8 + i] = static_cast<std::uint8_t>(pageLsn[p] >> (8 * i));
    }
    for (std::size_t p = 0; p < pageLsn.size(); ++p) {
        std::uint8_t* at = log.data() + p * kPage;
        const std::size_t usa = at[4];
        if (usa == 0) continue;
        at[usa] = 1;
        for (std::size_t i = 0; i < kPage / 512; ++i) {
            std::uint8_t* last = at + (i + 1) * 512 - 2;
            std::memcpy(at + usa + 2 + 2 * i, last, 2);
            last[0] = 1;
            last[1] = 0;
        }
    }
    return log;
}

} // namespace

int main(int argc, char** argv) {
    Bytes original;
    if (argc > 1) {
        std::ifstream in(argv[1], std::ios::binary);
        original.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else {
        original = makeLog(64u << 20);
    }
    NTFS_GEOMETRY geometry;
    geometry.init("bench", 512, 8, -10, 4, 8, 1, 1ULL << 32);
    double best = 1e30;
    std::size_t records = 0, versions = 0;
    for (int run = 0; run < 5; ++run) {
        Bytes log = original;
        const auto start = std::chrono::steady_clock::now();
        const LogRecordScan::Result scan = LogRecordScan::scan(log);
        const std::vector<LogfileSearch::Version> found = LogfileSearch::rebuild(scan.records, geometry, 1ULL << 32);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        best = std::min(best, ms);
        records = scan.records.size();
        versions = found.size();
    }
    std::printf("log %zu bytes: %zu records, %zu versions, best of 5: %.1f ms\n", original.size(), records, versions,
                best);
    return 0;
}
