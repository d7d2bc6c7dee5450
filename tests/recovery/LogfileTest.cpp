// Files rebuilt from a hand-built $LogFile: restart areas, record pages
// with their update sequence, records spanning pages, and the operations
// that create and change a file record, replayed into versions; then the
// versions against the record's current file on an in-memory volume, and
// the restore of one through its logged runs.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ntfs/LOG_OPERATION.h"
#include "ntfs/LogRecordScan.h"
#include "ntfs/MFT_RECORD.h"
#include "recovery/FilesystemNTFS.h"
#include "recovery/LogfileSearch.h"
#include "recovery/OutputSink.h"
#include "support/RecordBuilder.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test;
using namespace resurgo::test::rb;

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kLogBytes = 16 * kPage;
constexpr std::uint32_t kBits = 44;  // LSN sequence number bits
constexpr std::uint64_t kRecord = 40;
constexpr std::size_t kDataAttr = 0x108;  // after the header, $STANDARD_INFORMATION and $FILE_NAME of report.doc

// Writes records one after the other from the first record page on, as
// NTFS does, then the restart pages and every page's update sequence.
class LogBuilder {
public:
    bool loopChain = false;  // each record's previous LSN names the next one

    std::uint64_t add(const Bytes& data) {
        if (pos_ % kPage == 0) pos_ += 0x40;
        if (pos_ % kPage > kPage - 0x30) pos_ = (pos_ / kPage + 1) * kPage + 0x40;
        const std::uint64_t lsn = pos_ / 8;
        Bytes header(0x30, 0);
        put64(header, 0x00, lsn);
        put64(header, 0x08, lsns_.empty() ? 0 : lsns_.back());
        put32(header, 0x18, data.size());
        put32(header, 0x20, 1);
        lsns_.push_back(lsn);
        headers_.push_back(pos_);
        put(concat({header, data}));
        return lsn;
    }
    Bytes bytes() {
        if (loopChain) {
            for (std::size_t i = 0; i < headers_.size(); ++i) put64(log_, headers_[i] + 8, lsns_[(i + 1) % lsns_.size()]);
        }
        for (std::size_t copy = 0; copy < 2; ++copy) {
            Bytes page(kPage, 0);
            std::memcpy(page.data(), "RSTR", 4);
            put16(page, 0x04, 0x1E);
            put32(page, 0x10, kPage);
            put32(page, 0x14, kPage);
            put16(page, 0x18, 0x30);
            put16(page, 0x1A, 1);
            put16(page, 0x1C, 1);
            put64(page, 0x30, lsns_.empty() ? 0 : lsns_.back());
            put32(page, 0x30 + 0x10, kBits);
            put64(page, 0x30 + 0x18, kLogBytes);
            put16(page, 0x30 + 0x24, 0x30);
            put16(page, 0x30 + 0x26, 0x40);
            std::copy(page.begin(), page.end(), log_.begin() + static_cast<std::ptrdiff_t>(copy * kPage));
        }
        for (std::size_t p = 0; p < kLogBytes / kPage; ++p) {
            if (p >= 2 && pageLsn_[p] == 0) continue;
            if (p >= 2) {
                std::memcpy(log_.data() + p * kPage, "RCRD", 4);
                put16(log_, p * kPage + 4, 0x28);
                put64(log_, p * kPage + 8, pageLsn_[p]);
            }
            protect(p * kPage, p < 2 ? 0x1E : 0x28);
        }
        return log_;
    }

private:
    void put(const Bytes& record) {
        const std::uint64_t lsn = lsns_.back();
        for (std::uint8_t b : record) {
            if (pos_ % kPage == 0) pos_ += 0x40;
            pageLsn_[pos_ / kPage] = lsn;
            log_.at(pos_++) = b;
        }
        pos_ = align8(pos_);
    }
    void protect(std::size_t at, std::size_t usa) {
        put16(log_, at + 6, kPage / 512 + 1);
        put16(log_, at + usa, 1);
        for (std::size_t i = 0; i < kPage / 512; ++i) {
            const std::size_t last = at + (i + 1) * 512 - 2;
            log_[at + usa + 2 + 2 * i] = log_[last];
            log_[at + usa + 3 + 2 * i] = log_[last + 1];
            put16(log_, last, 1);
        }
    }
    Bytes log_ = Bytes(kLogBytes, 0);
    std::size_t pos_ = 2 * kPage + 0x40;
    std::vector<std::uint64_t> lsns_, headers_;
    std::map<std::size_t, std::uint64_t> pageLsn_;
};

// The client data of one operation on MFT record n (4 KiB clusters, 1 KiB records).
Bytes op(std::uint16_t redo, std::uint64_t n, std::size_t recordOffset, std::size_t attributeOffset,
         const Bytes& redoData, std::uint16_t undo = 0) {
    Bytes d(0x28, 0);
    put16(d, 0x00, redo);
    put16(d, 0x02, undo);
    put16(d, 0x04, 0x28);
    put16(d, 0x06, redoData.size());
    put16(d, 0x08, 0x28 + redoData.size());
    put16(d, 0x0E, 1);
    put16(d, 0x10, recordOffset);
    put16(d, 0x12, attributeOffset);
    put16(d, 0x14, (n * 1024 % 4096) / 512);
    put64(d, 0x18, n * 1024 / 4096);
    return concat({d, redoData});
}

Bytes initialized(const RecordBuilder& b) {
    Bytes r = b.layout();
    r.resize(r[0x18] | (r[0x19] << 8));
    return op(LOG_OPERATION::InitializeFileRecordSegment, b.recordNumber, 0, 0, r);
}

Bytes sizes(std::uint64_t size) {
    Bytes s(24, 0);
    put64(s, 0, (size + 4095) / 4096 * 4096);
    put64(s, 8, size);
    put64(s, 16, size);
    return op(LOG_OPERATION::SetNewAttributeSizes, kRecord, kDataAttr, 0, s);
}

Bytes pairs(const std::vector<Run>& runs) { return op(LOG_OPERATION::UpdateMappingPairs, kRecord, kDataAttr, 0x40, runList(runs)); }

const std::vector<Run> kLastRuns{{300, 1}, {310, 1}, {320, 2}};

// report.doc in record 40 (sequence 3), its runs changed twice, deleted,
// and the record reused by other.txt (sequence 4, resident).
void reused(LogBuilder& log, std::size_t pad = 0, bool reuse = true) {
    if (pad > 0) log.add(op(LOG_OPERATION::Noop, 0, 0, 0, Bytes(pad, 0)));
    RecordBuilder first = fileRecord(kRecord, ref(5, 5), "report.doc", kInUse, 3, Times::all(kDay * 150000));
    NonResidentData data;
    data.runs = {{100, 2}};
    data.dataSize = 8000;
    first.add(nonResident(data));
    ASSERT_EQ(first.attrOffset(2), kDataAttr);
    log.add(initialized(first));
    log.add(pairs({{200, 3}}));
    log.add(sizes(12000));
    log.add(pairs(kLastRuns));
    log.add(sizes(16000));
    log.add(op(LOG_OPERATION::DeallocateFileRecordSegment, kRecord, 0, 0, {}));
    if (!reuse) return;
    RecordBuilder second = fileRecord(kRecord, ref(5, 5), "other.txt", kInUse, 4);
    second.add(resident(kData, Bytes(300, 'o')));
    log.add(initialized(second));
}

// "record/sequence name size [lcn,...]" of a version, "!code" for runs that raise.
std::string summary(const LogfileSearch::Version& v, const NTFS_GEOMETRY& g) {
    Bytes image = v.image;
    MFT_RECORD r;
    r.parse(image.data(), image.size(), g);
    std::string out = std::to_string(v.record) + "/" + std::to_string(v.sequence) + " " + r.fileNames.at(0).name + " " +
                      std::to_string(v.size) + " [";
    try {
        for (const DATA_ATTRIBUTE& d : r.dataAttributes) {
            for (const RUN_ENTRY& e : d.runs.entries()) out += std::to_string(e.lcn) + ",";
        }
    } catch (const ErrorException& e) {
        out += "!" + std::to_string(e.code());
    }
    return out + "]";
}

struct Case {
    const char* what;
    std::function<void(LogBuilder&)> write;
    std::function<void(Bytes&)> damage;
    std::vector<std::string> versions;
    std::uint64_t badPages = 0, badRecords = 0;
};

const std::vector<std::string> kReused{"40/3 report.doc 16000 [300,310,320,]", "40/4 other.txt 300 []"};

class MemorySink : public OutputSink {
public:
    void write(const std::uint8_t* data, std::size_t length, const char*) override {
        bytes.insert(bytes.end(), data, data + length);
    }
    void setSize(std::uint64_t size) override { bytes.resize(static_cast<std::size_t>(size)); }
    void setTimes(std::uint64_t, std::uint64_t) override {}
    Bytes bytes;
};

} // namespace

TEST(Logfile, VersionsRebuiltFromHandBuiltLogs) {
    MemoryVolume shape(8, {{4, 16}}, 1024);
    const NTFS_GEOMETRY g = shape.geometry();
    const std::vector<Case> cases{
        {"a file reused after its runs changed twice", [](LogBuilder& l) { reused(l); }, nullptr, kReused},
        {"records spanning a page boundary", [](LogBuilder& l) { reused(l, kPage - 0x40 - 0x30 - 0x28 - 200); },
         nullptr, kReused},
        {"a looping LSN chain", [](LogBuilder& l) { l.loopChain = true; reused(l); }, nullptr, kReused},
        {"first restart copy damaged", [](LogBuilder& l) { reused(l); }, [](Bytes& b) { b[0] = 'X'; }, kReused},
        {"both restart copies damaged", [](LogBuilder& l) { reused(l); },
         [](Bytes& b) { b[0x30 + 0x10] = b[kPage + 0x30 + 0x10] = 0; }, {}},
        {"a record page whose update sequence lies", [](LogBuilder& l) { reused(l); },
         [](Bytes& b) { b[2 * kPage + 511] ^= 0xFF; }, {}, 1},
        {"a record header that lies about its length", [](LogBuilder& l) { reused(l); },
         [](Bytes& b) { put32(b, 2 * kPage + 0x40 + 0x18, 0x7FFFFFFF); }, {}, 0, 1},
        {"an LSN that does not match its place", [](LogBuilder& l) { reused(l); },
         [](Bytes& b) { put64(b, 2 * kPage + 0x40, 1); }, {}},
        {"mapping pairs past the record's end are not applied",
         [](LogBuilder& l) {
             reused(l);
             l.add(op(LOG_OPERATION::UpdateMappingPairs, kRecord, kDataAttr, 0x3F0, Bytes(64, 0x11)));
         },
         nullptr, kReused},
        {"a run list outside the volume is kept and fails when read",
         [](LogBuilder& l) {
             reused(l);
             RecordBuilder b = fileRecord(41, ref(5, 5), "far.bin", kInUse, 2);
             NonResidentData d;
             d.runs = {{1ULL << 40, 4}};
             d.dataSize = 16384;
             b.add(nonResident(d));
             l.add(initialized(b));
         },
         nullptr, {kReused[0], kReused[1], "41/2 far.bin 16384 [!15]"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LogBuilder builder;
        c.write(builder);
        Bytes log = builder.bytes();
        if (c.damage) c.damage(log);
        const LogRecordScan::Result scan = LogRecordScan::scan(log);
        EXPECT_EQ(scan.badPages, c.badPages);
        EXPECT_EQ(scan.badRecords, c.badRecords);
        std::vector<std::string> got;
        for (const auto& v : LogfileSearch::rebuild(scan.records, g, 64)) got.push_back(summary(v, g));
        EXPECT_EQ(got, c.versions);
    }
}

TEST(Logfile, ListedOnlyWhenTheRecordHoldsAnotherFileAndRestoredThroughTheLoggedRuns) {
    // The record now, whether the log holds its reuse by other.txt, and the
    // file listed from the log (the newest version that is not the record's
    // file now), if any.
    struct Now {
        const char* what;
        std::function<void(MemoryVolume&)> put;
        bool reuse;
        const char* listed;
    };
    auto holds = [](const char* name, std::uint16_t flags, std::uint16_t sequence) {
        return [=](MemoryVolume& v) { v.putRecord(kRecord, fileRecord(kRecord, ref(5, 5), name, flags, sequence).build()); };
    };
    const std::vector<Now> cases{
        {"the file that reused it, in use", holds("other.txt", kInUse, 4), true, "report.doc"},
        {"an empty record after the reuse", [](MemoryVolume&) {}, true, "other.txt"},
        {"an empty record", [](MemoryVolume&) {}, false, "report.doc"},
        {"the same file, live", holds("report.doc", kInUse, 3), false, nullptr},
        {"the same file, freed (the walk lists it)", holds("report.doc", 0, 4), false, nullptr},
    };
    Bytes content(4 * 4096);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7 + i / 4096);
    for (const Now& c : cases) {
        SCOPED_TRACE(c.what);
        MemoryVolume vol(8, {{4, 16}}, 1024);
        RecordBuilder logRecord = fileRecord(2, ref(5, 5), "$LogFile", kInUse, 2);
        NonResidentData d;
        d.runs = {{24, kLogBytes / 4096}};
        d.dataSize = kLogBytes;
        logRecord.add(nonResident(d));
        vol.putRecord(2, logRecord.build());
        LogBuilder builder;
        reused(builder, 0, c.reuse);
        vol.putClusters(24, builder.bytes());
        for (std::size_t r = 0; r < kLastRuns.size(); ++r) {
            const std::size_t vcn = r;  // VCNs 0, 1 and 2-3
            const std::size_t clusters = kLastRuns[r].clusters;
            vol.putClusters(kLastRuns[r].lcn, Bytes(content.begin() + static_cast<std::ptrdiff_t>(vcn * 4096),
                                                    content.begin() + static_cast<std::ptrdiff_t>((vcn + clusters) * 4096)));
        }
        c.put(vol);
        MemoryPlatform p(vol.image);
        ScopedPlatform scoped(p);
        NTFS_GEOMETRY g = vol.geometry();
        FilesystemNTFS fs;
        fs.open(g);
        SEARCH_FILTER filter;
        filter.days = 1000000;
        fs.findFiles(filter, SEARCH_CONTEXT{});
        std::size_t logged = 0, listed = 0;
        for (const FOUND_FILE& f : fs.results()) {
            if (f.recordNumber != kRecord) continue;
            ++listed;
            if (f.source != ResultSource::Logfile) continue;
            ++logged;
            EXPECT_EQ(f.name, c.listed);
            EXPECT_EQ(f.size, f.name == "other.txt" ? 300u : 16000u);
            EXPECT_EQ(f.directory, ".\\");
            EXPECT_EQ(f.recoverable, 100);
        }
        EXPECT_LE(listed, 1u);
        EXPECT_EQ(logged, c.listed ? 1u : 0u);
        LogfileSearch log(fs);
        log.read();
        FileZ entry;
        ASSERT_EQ(log.open(kRecord, entry), c.listed != nullptr);
        if (c.listed != nullptr && std::string(c.listed) == "report.doc") {
            MemorySink sink;
            fs.restore(entry, sink);
            EXPECT_EQ(sink.bytes, Bytes(content.begin(), content.begin() + 16000));
        }
        fs.close();
    }
}
