// Restores from the fixture images, byte for byte against the SHA-256 of the
// facts for every file still intact (the others differ), with the files'
// own times; a file with an attribute list whose
// deletion is simulated on a copy; damaged compressed units; write and read
// failures; hand-built files for the initialized size, sparse runs and
// extents spread over records. The images themselves never change.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/ErrorException.h"
#include "file/FileZ.h"
#include "recovery/FilesystemNTFS.h"
#include "recovery/SearchJob.h"
#include "support/RecordBuilder.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test;
using json = nlohmann::json;

namespace {

const char* const kFixtures[] = {"basic", "demo", "c512", "s4096"};

// A volume opened for restores the way the restore flow does it.
class OpenVolume {
public:
    explicit OpenVolume(const std::string& root) {
        job_.prepareGeometry(root);
        job_.filesystem.open(job_.geometry);
    }
    ~OpenVolume() { job_.filesystem.close(); }
    FilesystemNTFS& fs() { return job_.filesystem; }
    FileZ record(std::uint64_t n) {
        FileZ f;
        f.openRecord(fs().volume(), fs().geometry(), &fs().mftEntry(), n);
        return f;
    }
    RESTORE_RESULT restore(std::uint64_t n, const std::string& out) {
        FileZ f = record(n);
        OsHandle h = fs().openOutputFile(out, OutputMode::Replace);
        try {
            RESTORE_RESULT r = fs().copyFileZ(f, h);
            platform().closeOutput(h);
            return r;
        } catch (...) {
            platform().closeOutput(h);
            throw;
        }
    }

private:
    SearchJob job_;
};

// NTFS time to whole seconds of the Unix epoch.
std::int64_t unixSeconds(std::uint64_t nt) {
    return static_cast<std::int64_t>(nt / rb::kSecond) - 11644473600LL;
}

void expectTimes(const std::string& path, const json& f) {
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(static_cast<std::int64_t>(st.st_mtime), unixSeconds(f["mtime_nt"].get<std::uint64_t>())) << path;
    EXPECT_EQ(static_cast<std::int64_t>(st.st_atime), unixSeconds(f["atime_nt"].get<std::uint64_t>())) << path;
}

// A whole image in one read.
std::vector<std::uint8_t> slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<std::uint8_t> b(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(b.size()));
    EXPECT_TRUE(in.good()) << path;
    return b;
}

// A few bytes of a file.
std::vector<std::uint8_t> peek(const std::string& path, std::uint64_t offset, std::size_t n) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::vector<std::uint8_t> b(n);
    in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(n));
    EXPECT_TRUE(in.good()) << path;
    return b;
}

bool restorable(const json& f) {
    return f["deleted"].get<bool>() && !f["is_dir"].get<bool>() && !f.value("nameless_after_delete", false);
}

class RestoreFixture : public ::testing::TestWithParam<std::string> {};

TEST_P(RestoreFixture, EveryIntactFileComesBackByteForByte) {
    const std::string fixture = GetParam();
    const json facts = fixtureFacts(fixture);
    const std::string dir = tempDir("restore-" + fixture);
    int restored = 0;
    {
        SearchJob job;  // a search first, as the user does, on the same image
        job.driveRoot = fixtureImage(fixture);
        job.days = 1000000;
        job.run(nullptr, nullptr);
        ASSERT_EQ(job.outcome(), SearchJob::Outcome::Completed);

        OpenVolume vol(fixtureImage(fixture));
        for (const auto& f : facts["files"]) {
            if (!f["deleted"].get<bool>() || f["is_dir"].get<bool>()) continue;
            const auto record = f["record"].get<std::uint64_t>();
            SCOPED_TRACE(f["name"].get<std::string>());
            if (!restorable(f)) {
                // Its deletion took the last name: the record no longer opens.
                EXPECT_EQ(raised([&] { vol.record(record); }).code(), kErrNoFileName);
                continue;
            }
            const std::string out = dir + "/r" + std::to_string(record) + ".bin";
            RESTORE_RESULT r = vol.restore(record, out);
            expectTimes(out, f);
            const std::vector<std::uint8_t> data = readFile(out);
            EXPECT_EQ(data.size(), f["size"].get<std::uint64_t>());
            // What other files wrote over since comes back as their bytes.
            if (f["recoverable_tsk"].get<int>() == 100) {
                EXPECT_EQ(r.damagedUnits, 0u);
                EXPECT_EQ(sha256Hex(data), f["sha256"].get<std::string>());
            } else {
                EXPECT_NE(sha256Hex(data), f["sha256"].get<std::string>());
            }
            ++restored;
        }
    }
    EXPECT_GT(restored, 0);
    // Searching and restoring only ever read the image.
    EXPECT_EQ(sha256Hex(slurp(fixtureImage(fixture))), facts["sha256_image"].get<std::string>());
}

INSTANTIATE_TEST_SUITE_P(Images, RestoreFixture, ::testing::Values("basic", "demo", "c512", "s4096", "reuse"));

const json& fileOf(const json& facts, std::uint64_t record) {
    for (const auto& f : facts["files"]) {
        if (f["record"].get<std::uint64_t>() == record) return f;
    }
    throw std::runtime_error("no such record in the facts");
}

TEST(Restore, FileWithAttributeListDeletedKeepingItsNames) {
    // basic's record 85 is in use, with ~600 runs spread over extension
    // records and its name in one of them. Clearing its in-use bit on a copy
    // is what a deletion that keeps the names looks like.
    const json facts = fixtureFacts("basic");
    const json& kept = fileOf(facts, 85);
    ASSERT_FALSE(kept["deleted"].get<bool>());
    ASSERT_TRUE(kept["attribute_list"].get<bool>());
    const std::string dir = tempDir("restore-attrlist");
    const std::string image = copyFile(fixtureImage("basic"), dir + "/basic.img");
    {
        OpenVolume vol(image);
        const std::uint64_t offset =
            vol.fs().mftEntry().getSectorOfRecord(85) * vol.fs().geometry().bytesPerSector;
        const std::uint8_t low = peek(image, offset + 0x16, 1)[0];  // the flags word's low byte
        ASSERT_EQ(low & 0x01, 1);
        patchFile(image, offset + 0x16, {static_cast<std::uint8_t>(low & ~0x01)});
    }
    SearchJob job;
    job.driveRoot = image;
    job.days = 1000000;
    job.pattern = "many_fragments_*";
    job.run(nullptr, nullptr);
    ASSERT_EQ(job.filesystem.resultCount(), 1u);  // the other one lost its name
    const FOUND_FILE& found = job.filesystem.result(0);
    EXPECT_EQ(found.recordNumber, 85u);
    EXPECT_EQ(found.name, kept["name"].get<std::string>());
    EXPECT_EQ(found.directory, kept["directory"].get<std::string>() + "\\");
    EXPECT_EQ(found.size, kept["size"].get<std::uint64_t>());

    OpenVolume vol(image);
    const std::string out = dir + "/kept.bin";
    vol.restore(85, out);
    expectTimes(out, kept);  // before reading it changes the access time
    EXPECT_EQ(sha256Hex(readFile(out)), kept["sha256"].get<std::string>());
}

TEST(Restore, MalformedCompressedUnitIsWrittenAsZerosAndCounted) {
    const json facts = fixtureFacts("demo");
    const json& report = fileOf(facts, 76);
    ASSERT_TRUE(report["compressed"].get<bool>());
    const std::string dir = tempDir("restore-damaged");
    const std::string image = copyFile(fixtureImage("demo"), dir + "/demo.img");

    std::vector<std::uint8_t> good;
    {
        OpenVolume vol(image);
        vol.restore(76, dir + "/good.txt");
        good = readFile(dir + "/good.txt");
        ASSERT_EQ(sha256Hex(good), report["sha256"].get<std::string>());
        // The first unit is stored compressed: fewer than 16 data clusters.
        FileZ f = vol.record(76);
        const DATA_ATTRIBUTE* d = f.firstDataExtent();
        ASSERT_TRUE(d != nullptr && !d->runs.empty());
        ASSERT_LT(d->runs[0].length, 16u);
        const std::uint64_t at = static_cast<std::uint64_t>(d->runs[0].lcn) * vol.fs().geometry().clusterBytes();
        ASSERT_NE(peek(image, at + 1, 1)[0] & 0x80, 0);  // first chunk compressed
        // Its first flag byte now says the chunk starts with a back-reference.
        patchFile(image, at + 2, {0x01});
    }
    OpenVolume vol(image);
    RESTORE_RESULT r = vol.restore(76, dir + "/damaged.txt");
    EXPECT_EQ(r.damagedUnits, 1u);
    const std::vector<std::uint8_t> damaged = readFile(dir + "/damaged.txt");
    ASSERT_EQ(damaged.size(), good.size());
    const std::size_t unit = 16 * vol.fs().geometry().clusterBytes();
    EXPECT_TRUE(std::all_of(damaged.begin(), damaged.begin() + unit, [](std::uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(damaged.begin() + unit, damaged.end(), good.begin() + unit));
}

TEST(Restore, ExistingDestinationIsReplaced) {
    const std::string dir = tempDir("restore-existing");
    const std::string out = dir + "/small.txt";
    writeFile(out, std::vector<std::uint8_t>(1 << 20, 0xEE));
    OpenVolume vol(fixtureImage("basic"));
    vol.restore(70, out);  // small.txt, resident
    EXPECT_EQ(sha256Hex(readFile(out)), fileOf(fixtureFacts("basic"), 70)["sha256"].get<std::string>());
    vol.restore(72, out);  // cluster_plus_one.bin over it
    EXPECT_EQ(sha256Hex(readFile(out)), fileOf(fixtureFacts("basic"), 72)["sha256"].get<std::string>());
}

// ---------------------------------------------------------------------------
// Failures of the destination and of the source.

class FaultyPlatform : public DelegatingPlatform {
public:
    bool writeOutput(OsHandle h, const void* d, std::size_t n, std::size_t& w) override {
        if (writeFails) return false;
        if (writeZero) {
            w = 0;
            return true;
        }
        std::size_t take = n;
        if (perWrite != 0) take = std::min(take, perWrite);
        if (budget != ~std::size_t{0}) {
            if (budget == 0) return false;
            take = std::min(take, budget);
            budget -= take;
        }
        return DelegatingPlatform::writeOutput(h, d, take, w);
    }
    bool setOutputSize(OsHandle h, std::uint64_t s) override {
        return sizeFails ? false : DelegatingPlatform::setOutputSize(h, s);
    }
    bool readAt(OsHandle h, void* b, std::size_t n, std::uint64_t off, std::size_t& got) override {
        if (badLength != 0 && off < badOffset + badLength && badOffset < off + n) return false;
        return DelegatingPlatform::readAt(h, b, n, off, got);
    }
    bool writeFails = false, writeZero = false, sizeFails = false;
    std::size_t perWrite = 0, budget = ~std::size_t{0};
    std::uint64_t badOffset = 0, badLength = 0;
};

TEST(Restore, ShortWritesAreContinued) {
    FaultyPlatform p;
    p.perWrite = 1000;
    ScopedPlatform scoped(p);
    const std::string dir = tempDir("restore-short");
    OpenVolume vol(fixtureImage("basic"));
    for (std::uint64_t record : {73u, 145u}) {  // plain and compressed
        const std::string out = dir + "/r" + std::to_string(record);
        vol.restore(record, out);
        EXPECT_EQ(sha256Hex(readFile(out)), fileOf(fixtureFacts("basic"), record)["sha256"].get<std::string>());
    }
}

TEST(Restore, WriteFailuresAreCode24AndLeaveThePartialFile) {
    const std::string dir = tempDir("restore-write");
    std::vector<std::uint8_t> whole;
    {
        OpenVolume vol(fixtureImage("basic"));
        vol.restore(73, dir + "/whole.bin");
        whole = readFile(dir + "/whole.bin");
    }
    FaultyPlatform p;
    ScopedPlatform scoped(p);
    OpenVolume vol(fixtureImage("basic"));
    for (std::uint64_t record : {70u, 73u, 145u}) {  // resident, plain, compressed
        p = FaultyPlatform();
        p.writeFails = true;
        EXPECT_EQ(raised([&] { vol.restore(record, dir + "/fail.bin"); }).code(), kErrWriteOutput) << record;
        p = FaultyPlatform();
        p.writeZero = true;
        EXPECT_EQ(raised([&] { vol.restore(record, dir + "/zero.bin"); }).code(), kErrWriteOutput) << record;
    }
    // The disk fills after 8 KiB: what was written stays.
    p = FaultyPlatform();
    p.budget = 8192;
    EXPECT_EQ(raised([&] { vol.restore(73, dir + "/partial.bin"); }).code(), kErrWriteOutput);
    const std::vector<std::uint8_t> partial = readFile(dir + "/partial.bin");
    ASSERT_EQ(partial.size(), 8192u);
    EXPECT_TRUE(std::equal(partial.begin(), partial.end(), whole.begin()));
    // The final cut to the real size fails.
    p = FaultyPlatform();
    p.sizeFails = true;
    EXPECT_EQ(raised([&] { vol.restore(73, dir + "/cut.bin"); }).code(), kErrWriteOutput);
}

TEST(Restore, UnreadableSectorIsWrittenAsZerosAndReported) {
    const std::string dir = tempDir("restore-read");
    FaultyPlatform p;
    ScopedPlatform scoped(p);
    OpenVolume vol(fixtureImage("basic"));
    const std::uint64_t cb = vol.fs().geometry().clusterBytes();
    const std::uint64_t sector = vol.fs().geometry().bytesPerSector;
    for (std::uint64_t record : {73u, 143u}) {  // plain and compressed
        FileZ f = vol.record(record);
        const DATA_ATTRIBUTE* d = f.firstDataExtent();
        ASSERT_TRUE(d != nullptr && d->nonResident && !d->runs.empty());
        vol.restore(record, dir + "/good.bin");
        std::vector<std::uint8_t> expected = readFile(dir + "/good.bin");
        p.badOffset = static_cast<std::uint64_t>(d->runs[0].lcn) * cb + cb / 2;
        p.badLength = 1;
        RESTORE_RESULT r = vol.restore(record, dir + "/r.bin");
        p.badLength = 0;
        // A plain file loses the one sector; a compressed file its unit.
        const std::uint64_t from = d->compressed ? 0 : cb / 2 / sector * sector;
        const std::uint64_t length =
            d->compressed ? std::min<std::uint64_t>(cb << d->compressionUnit, expected.size()) : sector;
        ASSERT_EQ(r.unreadable.size(), 1u) << record;
        EXPECT_EQ(r.unreadable[0], std::make_pair(from, length)) << record;
        std::fill(expected.begin() + static_cast<std::ptrdiff_t>(from),
                  expected.begin() + static_cast<std::ptrdiff_t>(from + length), 0);
        EXPECT_TRUE(readFile(dir + "/r.bin") == expected) << record;
    }
}

// ---------------------------------------------------------------------------
// Hand-built files: initialized size, sparse runs, extents over records.

TEST(Restore, HandBuiltDataShapes) {
    using namespace rb;
    MemoryVolume vol(8, {{4, 16}}, 64);  // 4 KiB clusters
    const std::size_t cb = 4096;
    for (std::uint64_t lcn = 30; lcn < 40; ++lcn) vol.putClusters(lcn, Bytes(cb, static_cast<std::uint8_t>(lcn)));

    // 40: 6000 bytes, initialized up to 5000: the rest reads as zeros.
    RecordBuilder init = fileRecord(40, ref(5, 5), "init.bin", 0, 2);
    NonResidentData s;
    s.runs = {{30, 2}};
    s.dataSize = 6000;
    s.initializedSize = 5000;
    init.add(nonResident(s));
    vol.putRecord(40, init.build());

    // 41: data, a sparse cluster, data.
    RecordBuilder sparse = fileRecord(41, ref(5, 5), "sparse.bin", 0, 2);
    s = NonResidentData();
    s.runs = {{32, 1}, sparseRun(1), {33, 1}};
    s.dataSize = 3 * cb - 100;
    s.flags = 0x8000;
    sparse.add(nonResident(s));
    vol.putRecord(41, sparse.build());

    // 42: VCN 2..3 in the base record, VCN 0..1 in extension record 43,
    // which the attribute list names twice.
    RecordBuilder base;
    base.recordNumber = 42;
    base.flags = 0;
    base.sequence = 2;
    base.add(standardInformation(Times::all(0)));
    base.add(attributeList({listEntry(kStdInfo, 0, ref(42, 2)), listEntry(kFileName, 0, ref(42, 2)),
                            listEntry(kData, 0, ref(43, 2)), listEntry(kData, 0, ref(43, 2)),
                            listEntry(kData, 2, ref(42, 2))}));
    base.add(fileName(ref(5, 5), "spread.bin"));
    s = NonResidentData();
    s.runs = {{37, 2}};
    s.startVcn = 2;
    base.add(nonResident(s));
    vol.putRecord(42, base.build());
    RecordBuilder ext;
    ext.recordNumber = 43;
    ext.sequence = 2;
    ext.baseReference = ref(42, 2);
    s = NonResidentData();
    s.runs = {{35, 1}, {31, 1}};
    s.dataSize = 4 * cb;
    ext.add(nonResident(s));
    vol.putRecord(43, ext.build());

    MemoryPlatform p(vol.image);
    ScopedPlatform scoped(p);
    NTFS_GEOMETRY g = vol.geometry();
    FilesystemNTFS fs;
    fs.open(g);
    const std::string dir = tempDir("restore-shapes");
    auto restore = [&](std::uint64_t n) {
        FileZ f;
        f.openRecord(fs.volume(), fs.geometry(), &fs.mftEntry(), n);
        const std::string out = dir + "/r" + std::to_string(n);
        OsHandle h = fs.openOutputFile(out, OutputMode::NewOnly);
        RESTORE_RESULT r = fs.copyFileZ(f, h);
        platform().closeOutput(h);
        EXPECT_EQ(r.damagedUnits, 0u);
        return readFile(out);
    };
    auto cluster = [&](std::uint8_t fill, std::size_t n = 4096) { return Bytes(n, fill); };

    Bytes want = concat({cluster(30), Bytes(5000 - cb, 31), Bytes(1000, 0)});
    EXPECT_EQ(restore(40), want);
    want = concat({cluster(32), cluster(0), cluster(33, cb - 100)});
    EXPECT_EQ(restore(41), want);
    want = concat({cluster(35), cluster(31), cluster(37), cluster(38)});
    EXPECT_EQ(restore(42), want);
    fs.close();
}

} // namespace
