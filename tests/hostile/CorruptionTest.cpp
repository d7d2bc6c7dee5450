// Damaged copies of the fixture images: each damage must leave the search
// running to its end (no crash, hang or unbounded memory), listing the files
// the damage did not touch, and the restore of a damaged file must fail with
// an ErrorException or report damaged units, never hand back wrong bytes in
// silence.

// POSIX only: the faults are told apart by errno values, and the read-only
// checks look at file descriptors, modes and inode times.
#if !defined(_WIN32)

#include <filesystem>
#include <set>

#include "HostileSupport.h"

namespace resurgo::test::hostile {
namespace {

std::string expectedDirectory(const nlohmann::json& f) {
    std::string d = f["directory"].get<std::string>();
    if (d == ".") return ".\\";
    for (auto& c : d) {
        if (c == '/') c = '\\';
    }
    return d + "\\";
}

class Corruption : public Bounded {
protected:
    void SetUp() override {
        Bounded::SetUp();
        if (!fixtureAvailable("demo") || !fixtureAvailable("basic")) GTEST_SKIP() << "fixtures not built";
        img = loadImage("demo");
        dir = tempDir("corruption");
    }

    SearchOutcome searchMem() {
        MemoryPlatform mp(img.bytes);
        ScopedPlatform scoped(mp);
        SearchOutcome r = search("mem:x");
        EXPECT_EQ(mp.opens, mp.closes) << "the source must be closed once for each open";
        return r;
    }
    std::int32_t restoreMem(std::uint64_t record) {
        MemoryPlatform mp(img.bytes);
        ScopedPlatform scoped(mp);
        std::int32_t code = restoreIsRightOrFails(img, "mem:x", record, dir);
        EXPECT_EQ(mp.opens, mp.closes);
        return code;
    }
    // Every deleted file of the fixture is listed, with its name and
    // directory, except the damaged ones.
    void expectListed(const SearchOutcome& r, const std::set<std::uint64_t>& damaged = {}) {
        for (const auto& f : img.deletedFiles()) {
            std::uint64_t n = f["record"].get<std::uint64_t>();
            if (damaged.count(n) != 0) continue;
            auto it = r.byRecord.find(n);
            ASSERT_NE(it, r.byRecord.end()) << "undamaged record " << n << " not listed";
            EXPECT_EQ(f["name"].get<std::string>(), it->second.name);
            EXPECT_EQ(expectedDirectory(f), it->second.directory) << "record " << n;
        }
    }
    void expectSkipped(std::uint64_t record) {
        SearchOutcome r = searchMem();
        EXPECT_EQ(SearchJob::Outcome::Completed, r.outcome);
        EXPECT_EQ(0u, r.byRecord.count(record)) << "damaged record " << record << " listed";
        expectListed(r, {record});
        EXPECT_NE(0, restoreMem(record)) << "the restore of damaged record " << record << " succeeded";
    }

    Image img;
    std::string dir;
};

TEST_F(Corruption, UndamagedImageListsAndRestoresEveryDeletedFile) {
    SearchOutcome r = searchMem();
    EXPECT_EQ(SearchJob::Outcome::Completed, r.outcome);
    expectListed(r);
    for (const auto& f : img.deletedFiles()) EXPECT_EQ(0, restoreMem(f["record"].get<std::uint64_t>()));
}

TEST_F(Corruption, MirrorServesWhenMftRecordZeroIsZeroed) {
    std::memset(img.record(0), 0, img.recordSize);
    SearchOutcome r = searchMem();
    EXPECT_EQ(SearchJob::Outcome::Completed, r.outcome);
    expectListed(r);
    EXPECT_EQ(0, restoreMem(74));
}

TEST_F(Corruption, MirrorZeroedTooFailsToOpenTheVolume) {
    std::memset(img.record(0), 0, img.recordSize);
    const std::uint64_t mirror = img.facts["mftmirr_lcn"].get<std::uint64_t>() * img.clusterSize;
    std::memset(img.bytes.data() + mirror, 0, img.recordSize);
    SearchOutcome r = searchMem();
    EXPECT_EQ(SearchJob::Outcome::OpenFailed, r.outcome);
    ASSERT_TRUE(r.failure.has_value());
    EXPECT_EQ(kErrRecordFormat, r.failure->code());
    EXPECT_TRUE(r.byRecord.empty());
}

TEST_F(Corruption, MftRunClaimingBillionsOfClustersEndsAtTheEndOfTheSource) {
    // The MFT's own single run now claims 2^32 - 16 clusters.
    editRecord(img, 0, [](std::uint8_t* rec, std::size_t len) {
        std::size_t d = findAttribute(rec, len, MFT_RECORD::kTypeData);
        ASSERT_NE(0u, d);
        ASSERT_EQ(1, rec[d + 8]);
        const std::size_t runOff = get16(rec + d + 0x20);
        ASSERT_GE(get32(rec + d + 4), runOff + 7);
        std::uint8_t* rl = rec + d + runOff;
        rl[0] = 0x14;
        put32(rl + 1, 0xFFFFFFF0);
        rl[5] = 4;
        rl[6] = 0;
    });
    // Far more than the volume has: record 0's runs are refused and the
    // mirror's copy of it serves.
    SearchOutcome r = searchMem();
    EXPECT_EQ(SearchJob::Outcome::Completed, r.outcome);
    expectListed(r);
    // A boot sector that claims room for the run: it is taken, and the walk
    // must stop where the source ends instead of trying billions of records.
    put64(img.bytes.data() + 0x28, 1ULL << 40);  // total sectors
    r = searchMem();
    EXPECT_EQ(SearchJob::Outcome::Completed, r.outcome);
    expectListed(r);
}

TEST_F(Corruption, BadSignatureSkipsOnlyThatRecord) {
    std::memcpy(img.record(75), "FILX", 4);
    expectSkipped(75);
}

TEST_F(Corruption, TornFixupWordSkipsOnlyThatRecord) {
    img.record(75)[510] ^= 0x5A;  // the second sector was written, the first not
    expectSkipped(75);
}

TEST_F(Corruption, AttributeLengthZeroSkipsOnlyThatRecord) {
    editRecord(img, 75, [](std::uint8_t* rec, std::size_t len) {
        std::size_t fn = findAttribute(rec, len, MFT_RECORD::kTypeStandardInformation);
        ASSERT_NE(0u, fn);
        put32(rec + fn + 4, 0);
    });
    expectSkipped(75);
}

TEST_F(Corruption, AttributeLengthPastTheRecordSkipsOnlyThatRecord) {
    editRecord(img, 75, [](std::uint8_t* rec, std::size_t len) {
        std::size_t fn = findAttribute(rec, len, MFT_RECORD::kTypeFileName);
        ASSERT_NE(0u, fn);
        put32(rec + fn + 4, 0x00100000);
    });
    expectSkipped(75);
}

TEST_F(Corruption, NameValueOffsetPastTheRecordSkipsOnlyThatRecord) {
    editRecord(img, 75, [](std::uint8_t* rec, std::size_t len) {
        std::size_t fn = findAttribute(rec, len, MFT_RECORD::kTypeFileName);
        ASSERT_NE(0u, fn);
        put16(rec + fn + 0x14, 0xFFF0);
    });
    expectSkipped(75);
}

TEST_F(Corruption, ResidentDataValuePastTheRecordIsNeverRestored) {
    // scratch.txt keeps its 300 bytes inside its record.
    editRecord(img, 80, [](std::uint8_t* rec, std::size_t len) {
        std::size_t d = findAttribute(rec, len, MFT_RECORD::kTypeData);
        ASSERT_NE(0u, d);
        ASSERT_EQ(0, rec[d + 8]);
        put32(rec + d + 0x10, 0x7FFFFFF0);  // value length
    });
    SearchOutcome r = searchMem();
    EXPECT_EQ(SearchJob::Outcome::Completed, r.outcome);
    expectListed(r, {80});
    EXPECT_NE(0, restoreMem(80));
}

TEST_F(Corruption, ParentBeyondTheMftShowsAPlaceholderDirectory) {
    editRecord(img, 74, [](std::uint8_t* rec, std::size_t len) {
        std::size_t fn = findAttribute(rec, len, MFT_RECORD::kTypeFileName);
        ASSERT_NE(0u, fn);
        put64(rec + fn + get16(rec + fn + 0x14), 0x0001000000ABCDEFULL);
    });
    SearchOutcome r = searchMem();
    EXPECT_EQ(SearchJob::Outcome::Completed, r.outcome);
    ASSERT_EQ(1u, r.byRecord.count(74));
    const std::string& d = r.byRecord.at(74).directory;
    const std::string tail = "!not_found_@11259375\\";
    ASSERT_GE(d.size(), tail.size());
    EXPECT_EQ(tail, d.substr(d.size() - tail.size())) << d;
    expectListed(r, {74});
    EXPECT_EQ(0, restoreMem(74));  // the data itself is intact
}

TEST_F(Corruption, ParentChainThatLoopsEndsWithAPlaceholder) {
    // Documents (64) now claims to live in Letters (65), which lives in Documents.
    editRecord(img, 64, [](std::uint8_t* rec, std::size_t len) {
        std::size_t fn = findAttribute(rec, len, MFT_RECORD::kTypeFileName);
        ASSERT_NE(0u, fn);
        put64(rec + fn + get16(rec + fn + 0x14), (1ULL << 48) | 65);
    });
    SearchOutcome r = searchMem();
    EXPECT_EQ(SearchJob::Outcome::Completed, r.outcome);
    ASSERT_EQ(1u, r.byRecord.count(74));
    const std::string& d = r.byRecord.at(74).directory;
    EXPECT_NE(std::string::npos, d.find("dir_@")) << d;
    EXPECT_LT(d.size(), 200u) << d;
    expectListed(r, {74, 75, 76});  // everything under Documents lives under the loop
    EXPECT_EQ(0, restoreMem(74));
}

TEST_F(Corruption, RunPastTheVolumeFailsTheRestoreWithARunListError) {
    std::size_t runAt = 0;
    editRecord(img, 77, [&](std::uint8_t* rec, std::size_t len) {
        std::size_t d = findAttribute(rec, len, MFT_RECORD::kTypeData);
        ASSERT_NE(0u, d);
        ASSERT_EQ(1, rec[d + 8]);
        runAt = d + get16(rec + d + 0x20);
        std::uint8_t* rl = rec + runAt;
        unsigned l = rl[0] & 15, o = rl[0] >> 4;
        ASSERT_GE(o, 2u);
        for (unsigned i = 0; i < o; ++i) rl[1 + l + i] = 0x7F;  // LCN far past the end
    });
    SearchOutcome r = searchMem();
    EXPECT_EQ(SearchJob::Outcome::Completed, r.outcome);
    expectListed(r);  // the record itself is readable
    EXPECT_EQ(kErrRunlistField, restoreMem(77));
    // The error names the record and the run's first byte in it.
    MemoryPlatform mp(img.bytes);
    ScopedPlatform scoped(mp);
    ErrorException e = raised([&] { restore("mem:x", 77, dir + "/r77"); });
    EXPECT_EQ(RUN_LIST::kOutsideDiagnostic, e.diagnostic());
    EXPECT_EQ(77u, e.recordNumber());
    EXPECT_EQ(runAt, e.byteOffset());
}

TEST_F(Corruption, DataSizeOfTwoToTheSixtyThirdFailsWithoutWritingIt) {
    editRecord(img, 78, [](std::uint8_t* rec, std::size_t len) {
        std::size_t d = findAttribute(rec, len, MFT_RECORD::kTypeData);
        ASSERT_NE(0u, d);
        ASSERT_EQ(1, rec[d + 8]);
        put64(rec + d + 0x30, 1ULL << 63);  // data size
        put64(rec + d + 0x38, 1ULL << 63);  // initialized size
    });
    SearchOutcome r = searchMem();
    EXPECT_EQ(SearchJob::Outcome::Completed, r.outcome);
    expectListed(r);
    EXPECT_EQ(kErrRecordFormat, restoreMem(78));
    EXPECT_LE(std::filesystem::file_size(dir + "/r78"), 1u << 20);
}

TEST_F(Corruption, MalformedCompressionUnitIsReportedAsDamaged) {
    // quarterly_report.txt (76) is compressed; its first unit's first chunk
    // now starts with a back-reference, which LZNT1 forbids.
    std::uint64_t lcn = 0;
    editRecord(img, 76, [&](std::uint8_t* rec, std::size_t len) {
        std::size_t d = findAttribute(rec, len, MFT_RECORD::kTypeData);
        ASSERT_NE(0u, d);
        lcn = firstRun(rec, d).first;
    });
    std::uint8_t* unit = img.bytes.data() + lcn * img.clusterSize;
    ASSERT_EQ(0x8000, get16(unit) & 0x8000) << "the first chunk is not compressed";
    unit[2] = 0xFF;
    MemoryPlatform mp(img.bytes);
    ScopedPlatform scoped(mp);
    RESTORE_RESULT res = restore("mem:x", 76, dir + "/r76");
    EXPECT_GE(res.damagedUnits, 1u);
    EXPECT_EQ(img.file(76)["size"].get<std::uint64_t>(), std::filesystem::file_size(dir + "/r76"));
}

TEST_F(Corruption, AttributeListWhoseEntriesNameItsOwnRecord) {
    // many_fragments_deleted.bin (84 of "basic") keeps its data extents in
    // extension records named by a non-resident attribute list. Every entry
    // now names record 84 itself.
    Image basic = loadImage("basic");
    std::uint64_t listLcn = 0, listClusters = 0, listBytes = 0;
    editRecord(basic, 84, [&](std::uint8_t* rec, std::size_t len) {
        std::size_t al = findAttribute(rec, len, MFT_RECORD::kTypeAttributeList);
        ASSERT_NE(0u, al);
        ASSERT_EQ(1, rec[al + 8]);
        std::tie(listLcn, listClusters) = firstRun(rec, al);
        listBytes = get64(rec + al + 0x30);
    });
    ASSERT_GT(listBytes, 0u);
    ASSERT_LE(listBytes, listClusters * basic.clusterSize);
    std::uint8_t* list = basic.bytes.data() + listLcn * basic.clusterSize;
    int renamed = 0;
    for (std::size_t pos = 0; pos + 0x1A <= listBytes;) {
        std::uint16_t elen = get16(list + pos + 4);
        if (elen == 0) break;
        std::uint64_t ref = get64(list + pos + 0x10);
        put64(list + pos + 0x10, (ref & 0xFFFF000000000000ULL) | 84);
        ++renamed;
        pos += elen;
    }
    ASSERT_GT(renamed, 2);
    MemoryPlatform mp(basic.bytes);
    ScopedPlatform scoped(mp);
    SearchOutcome r = search("mem:x");
    EXPECT_EQ(SearchJob::Outcome::Completed, r.outcome);
    for (const auto& f : basic.deletedFiles()) {
        std::uint64_t n = f["record"].get<std::uint64_t>();
        if (n != 84) {
            EXPECT_EQ(1u, r.byRecord.count(n)) << "record " << n;
        }
    }
    std::int32_t code = restoreIsRightOrFails(basic, "mem:x", 84, dir);
    EXPECT_NE(0, code) << "extents kept in the extension records can't be found any more";
    EXPECT_EQ(mp.opens, mp.closes);
}

TEST_F(Corruption, ImageFileCutInTheMiddleOfTheMftIsRefusedAtTheBootSector) {
    // A volume image cut short: its boot sector places the MFT mirror past
    // the end of the file, which the boot checks refuse with a clear error.
    const std::string path = dir + "/cut-mft.img";
    copyFile(fixtureImage("demo"), path);
    std::filesystem::resize_file(path, img.recordOffset(77) + 512);
    SearchOutcome r = search(path);
    EXPECT_EQ(SearchJob::Outcome::BootFailed, r.outcome);
    ASSERT_TRUE(r.failure.has_value());
    EXPECT_EQ(kErrBootFormat, r.failure->code());
    EXPECT_TRUE(r.byRecord.empty());
}

// A device that still reports its whole size but whose bytes end early.
class CutDevice : public MemoryPlatform {
public:
    CutDevice(std::vector<std::uint8_t> image, std::uint64_t cut) : MemoryPlatform(std::move(image)) {
        fullSize_ = this->image().size();
        this->image().resize(cut);
    }
    bool querySource(OsHandle h, SourceGeometry& out) override {
        bool ok = MemoryPlatform::querySource(h, out);
        out.sizeBytes = fullSize_;
        out.cylinders = fullSize_ / 512;
        return ok;
    }

private:
    std::uint64_t fullSize_ = 0;
};

TEST_F(Corruption, DeviceEndingInTheMiddleOfTheMft) {
    CutDevice dev(img.bytes, img.recordOffset(77) + 512);
    ScopedPlatform scoped(dev);
    SearchOutcome r = search("mem:x");
    EXPECT_EQ(SearchJob::Outcome::Completed, r.outcome);
    // Records before the cut are listed, those after it are lost.
    expectListed(r, {77, 78, 79, 80});
    for (std::uint64_t n : {77, 78, 79, 80}) EXPECT_EQ(0u, r.byRecord.count(n));
    // Their data lies past the end: zeros, reported as unreadable.
    for (std::uint64_t n : {74, 75, 76}) EXPECT_EQ(kRestoredUnreadable, restoreIsRightOrFails(img, "mem:x", n, dir));
    EXPECT_EQ(dev.opens, dev.closes);
}

TEST_F(Corruption, ImageCutInTheMiddleOfAFilesData) {
    std::uint64_t lcn = 0;
    editRecord(img, 78, [&](std::uint8_t* rec, std::size_t len) {
        std::size_t d = findAttribute(rec, len, MFT_RECORD::kTypeData);
        ASSERT_NE(0u, d);
        lcn = firstRun(rec, d).first;
    });
    const std::uint64_t cut = lcn * img.clusterSize + 50000;
    const std::uint64_t mirror = img.facts["mftmirr_lcn"].get<std::uint64_t>() * img.clusterSize;
    ASSERT_LT(img.recordOffset(81), cut);
    ASSERT_LT(mirror, cut);
    const std::string path = dir + "/cut-data.img";
    copyFile(fixtureImage("demo"), path);
    std::filesystem::resize_file(path, cut);
    SearchOutcome r = search(path);
    EXPECT_EQ(SearchJob::Outcome::Completed, r.outcome);
    expectListed(r);
    // The bytes before the cut are the file's, the rest is zeros.
    EXPECT_EQ(kRestoredUnreadable, restoreIsRightOrFails(img, path, 78, dir));
    RESTORE_RESULT again = restore(path, 78, dir + "/again");
    ASSERT_FALSE(again.unreadable.empty());
    EXPECT_EQ(again.unreadable.front().first, 50000u);
    const std::vector<std::uint8_t> got = readFile(dir + "/again");
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 50000, img.bytes.begin() + static_cast<std::ptrdiff_t>(lcn * img.clusterSize)));
}

} // namespace
} // namespace resurgo::test::hostile

#endif  // !_WIN32
