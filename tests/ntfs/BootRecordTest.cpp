// Boot sector checks, the geometry derived from them, and reading the boot
// sector of a volume for a search (which must always close it again).

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/ErrorException.h"
#include "ntfs/BootRecordNTFS.h"
#include "ntfs/NTFS_GEOMETRY.h"
#include "recovery/SearchJob.h"
#include "support/TestSupport.h"

using namespace resurgo;
using resurgo::test::raised;

namespace {

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& b, std::size_t off, std::uint16_t v) {
    b[off] = static_cast<std::uint8_t>(v);
    b[off + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put64(Bytes& b, std::size_t off, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b[off + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

struct BootFields {
    std::uint16_t bytesPerSector = 512;
    std::uint8_t sectorsPerCluster = 8;
    std::uint8_t media = 0xF8;
    std::uint64_t totalSectors = 2000000;
    std::uint64_t mftCluster = 786432;
    std::uint64_t mirrorCluster = 2;
    std::uint8_t clustersPerRecord = 0xF6;
    std::uint8_t clustersPerIndex = 0x01;
    std::size_t sectorBytes = 512;
};

Bytes bootSector(const BootFields& f) {
    Bytes b(f.sectorBytes, 0);
    b[0] = 0xEB;
    b[1] = 0x52;
    b[2] = 0x90;
    std::memcpy(&b[3], "NTFS    ", 8);
    put16(b, 0x0B, f.bytesPerSector);
    b[0x0D] = f.sectorsPerCluster;
    b[0x15] = f.media;
    put16(b, 0x18, 63);
    put16(b, 0x1A, 255);
    put64(b, 0x28, f.totalSectors);
    put64(b, 0x30, f.mftCluster);
    put64(b, 0x38, f.mirrorCluster);
    b[0x40] = f.clustersPerRecord;
    b[0x44] = f.clustersPerIndex;
    b[0x1FE] = 0x55;
    b[0x1FF] = 0xAA;
    return b;
}

BootRecordNTFS parsed(const BootFields& f, std::uint64_t geometrySectors = 1ULL << 40) {
    Bytes b = bootSector(f);
    BootRecordNTFS boot;
    boot.parse(b.data(), b.size(), geometrySectors);
    return boot;
}

ErrorException parseError(const Bytes& b, std::uint64_t geometrySectors = 1ULL << 40) {
    BootRecordNTFS boot;
    return raised([&] { boot.parse(b.data(), b.size(), geometrySectors); });
}

void expectBadFormat(const BootFields& f, std::uint64_t geometrySectors = 1ULL << 40) {
    ErrorException e = parseError(bootSector(f), geometrySectors);
    EXPECT_EQ(e.code(), kErrBootFormat);
    EXPECT_EQ(e.diagnostic(), "BootRecordNTFS::analize");
}

std::uint32_t recordSize(std::uint32_t bps, std::uint32_t spc, std::int32_t cpmr) {
    NTFS_GEOMETRY g;
    g.init("C:\\", bps, spc, cpmr, 4, 2, 1);
    return g.mftRecordSize;
}

} // namespace

TEST(BootRecord, ValidSectorFillsFieldsAndGeometry) {
    BootRecordNTFS boot = parsed({}, 786432);  // the MFT cluster equals the bound
    EXPECT_EQ(boot.bytesPerSector, 512u);
    EXPECT_EQ(boot.sectorsPerCluster, 8u);
    EXPECT_EQ(boot.mediaDescriptor, 0xF8);
    EXPECT_EQ(boot.sectorsPerTrack, 63u);
    EXPECT_EQ(boot.heads, 255u);
    EXPECT_EQ(boot.totalSectors, 2000000u);
    EXPECT_EQ(boot.mftCluster, 786432u);
    EXPECT_EQ(boot.mftMirrorCluster, 2u);
    EXPECT_EQ(boot.clustersPerMftRecord, -10);
    EXPECT_EQ(boot.clustersPerIndexRecord, 1);

    NTFS_GEOMETRY g;
    g.init("C:\\", 512, boot.sectorsPerCluster, boot.clustersPerMftRecord, boot.mftCluster, boot.mftMirrorCluster,
           boot.clustersPerIndexRecord);
    EXPECT_EQ(g.clusterBytes(), 4096u);
    EXPECT_EQ(g.mftRecordSize, 1024u);
    EXPECT_EQ(g.sectorsPerRecord(), 2u);
    EXPECT_EQ(g.clusterToSector(10), 80u);
    EXPECT_EQ(g.clusterToSector(1ULL << 40), 1ULL << 43);
    EXPECT_EQ(g.rootPath, "C:\\");
    EXPECT_EQ(g.mftCluster, 786432u);
}

TEST(BootRecord, FourKibSectorsWith4KibRecords) {
    BootFields f;
    f.bytesPerSector = 4096;
    f.sectorsPerCluster = 1;
    f.clustersPerRecord = 0xF4;
    f.clustersPerIndex = 0xF4;
    f.sectorBytes = 4096;
    BootRecordNTFS boot = parsed(f, 1ULL << 30);
    EXPECT_EQ(boot.bytesPerSector, 4096u);
    EXPECT_EQ(boot.clustersPerMftRecord, -12);
    EXPECT_EQ(boot.clustersPerIndexRecord, -12);
    NTFS_GEOMETRY g;
    g.init("C:\\", boot.bytesPerSector, boot.sectorsPerCluster, boot.clustersPerMftRecord, boot.mftCluster,
           boot.mftMirrorCluster, boot.clustersPerIndexRecord);
    EXPECT_EQ(g.mftRecordSize, 4096u);
    EXPECT_EQ(g.sectorsPerRecord(), 1u);
}

TEST(BootRecord, EndMarkerIsCheckedBeforeTheOemId) {
    ErrorException blank = parseError(Bytes(512, 0));
    EXPECT_EQ(blank.code(), kErrBootSignature);
    EXPECT_EQ(blank.diagnostic(), "BootRecordNTFS::read");

    Bytes noMarker = bootSector({});
    noMarker[0x1FF] = 0;
    EXPECT_EQ(parseError(noMarker).code(), kErrBootSignature);

    Bytes notNtfs = bootSector({});
    std::memcpy(&notNtfs[3], "MSDOS5.0", 8);
    ErrorException e = parseError(notNtfs);
    EXPECT_EQ(e.code(), kErrNotNtfsBoot);
    EXPECT_EQ(e.diagnostic(), "BootRecordNTFS::read");

    // Less than one boot sector of bytes.
    Bytes full = bootSector({});
    EXPECT_EQ(parseError(Bytes(full.begin(), full.begin() + 511)).code(), kErrBootSignature);
}

TEST(BootRecord, ConsistencyChecksRaise11) {
    auto with = [](auto change) {
        BootFields f;
        change(f);
        return f;
    };
    for (std::uint16_t bps : {0, 128, 768, 8192, 513}) {
        SCOPED_TRACE(bps);
        expectBadFormat(with([&](BootFields& f) { f.bytesPerSector = bps; }));
    }
    expectBadFormat(with([](BootFields& f) { f.sectorsPerCluster = 0; }));
    expectBadFormat(with([](BootFields& f) { f.sectorsPerCluster = 0x81; }));  // 2^127 sectors: not representable
    expectBadFormat(with([](BootFields& f) { f.media = 0xF0; }));
    expectBadFormat(with([](BootFields& f) { f.totalSectors = 0; }));
    expectBadFormat(with([](BootFields& f) { f.mftCluster = 0; }));
    expectBadFormat(with([](BootFields& f) { f.mirrorCluster = 0; }));
    expectBadFormat(with([](BootFields& f) { f.clustersPerRecord = 0; }));
}

TEST(BootRecord, SixtyFourBitFieldsAreReadInFull) {
    BootFields f;
    f.mftCluster = (1ULL << 32) + 5;
    f.mirrorCluster = (1ULL << 33) + 7;
    f.totalSectors = 1ULL << 32;  // low half zero: still a valid count
    BootRecordNTFS boot = parsed(f, 1ULL << 34);
    EXPECT_EQ(boot.mftCluster, (1ULL << 32) + 5);
    EXPECT_EQ(boot.mftMirrorCluster, (1ULL << 33) + 7);
    EXPECT_EQ(boot.totalSectors, 1ULL << 32);
    // Bounds just below either cluster reject, compared in 64 bits.
    expectBadFormat(f, (1ULL << 33) + 6);
    f.mirrorCluster = 2;
    expectBadFormat(f, (1ULL << 32) + 4);
    expectBadFormat(f, 5);  // the low half of the MFT cluster alone would pass
}

TEST(BootRecord, MftPositionBoundIsInclusive) {
    BootFields f;
    f.mftCluster = 1000000;
    EXPECT_NO_THROW(parsed(f, 1000000));
    f.mftCluster = 1000001;
    expectBadFormat(f, 1000000);
    f.mftCluster = 4;
    f.mirrorCluster = 1000000;
    EXPECT_NO_THROW(parsed(f, 1000000));
    f.mirrorCluster = 1000001;
    expectBadFormat(f, 1000000);
}

TEST(BootRecord, FieldEncodings) {
    for (std::uint16_t bps : {256, 512, 1024, 2048, 4096}) {
        BootFields f;
        f.bytesPerSector = bps;
        EXPECT_EQ(parsed(f).bytesPerSector, bps);
    }
    // Sectors per cluster above 0x80 are powers of two.
    for (auto [raw, sectors] : {std::pair<std::uint8_t, std::uint32_t>{0x80, 128}, {0xF4, 4096}, {0xFF, 2}, {0x01, 1}}) {
        BootFields f;
        f.sectorsPerCluster = raw;
        EXPECT_EQ(parsed(f).sectorsPerCluster, sectors) << static_cast<int>(raw);
    }
    // Clusters per record is the signed byte alone, whatever follows it.
    for (std::uint8_t tail : {0x00, 0xFF}) {
        Bytes b = bootSector({});
        b[0x41] = b[0x42] = b[0x43] = tail;
        BootRecordNTFS boot;
        boot.parse(b.data(), b.size(), 1ULL << 40);
        EXPECT_EQ(boot.clustersPerMftRecord, -10);
    }
    BootFields f;
    f.clustersPerRecord = 0x02;
    f.sectorsPerCluster = 1;
    BootRecordNTFS boot = parsed(f);
    EXPECT_EQ(boot.clustersPerMftRecord, 2);
    EXPECT_EQ(recordSize(512, boot.sectorsPerCluster, boot.clustersPerMftRecord), 1024u);
}

TEST(Geometry, RecordSizeRules) {
    EXPECT_EQ(recordSize(512, 8, -10), 1024u);
    EXPECT_EQ(recordSize(512, 8, -11), 2048u);
    EXPECT_EQ(recordSize(512, 8, -12), 4096u);
    EXPECT_EQ(recordSize(512, 2, -10), 1024u);  // 2^n bytes whatever the cluster size
    EXPECT_EQ(recordSize(512, 2, 2), 2048u);
    EXPECT_EQ(recordSize(512, 8, 1), 4096u);
    EXPECT_EQ(recordSize(4096, 1, 1), 4096u);
    EXPECT_EQ(recordSize(2048, 1, -11), 2048u);

    struct Bad {
        std::uint32_t bps, spc;
        std::int32_t cpmr;
    };
    for (Bad bad : {Bad{512, 8, -9}, Bad{512, 8, -13}, Bad{512, 8, 2}, Bad{512, 3, 1}, Bad{512, 8, 0},
                    Bad{512, 8, -31}, Bad{512, 8, -32}, Bad{512, 8, -128}, Bad{512, 8, 246}, Bad{512, 8, INT32_MIN},
                    Bad{4096, 1, -10}, Bad{4096, 1, -11}}) {
        SCOPED_TRACE(::testing::Message() << bad.bps << "/" << bad.spc << "/" << bad.cpmr);
        NTFS_GEOMETRY g;
        ErrorException e = raised([&] { g.init("C:\\", bad.bps, bad.spc, bad.cpmr, 4, 2, 1); });
        EXPECT_EQ(e.code(), kErrRecordSize);
        EXPECT_EQ(e.diagnostic(), "NTFS_GEOMETRY::set_mft_record_size <Bad MFT record size>");
    }
}

class BootRecordRead : public ::testing::Test {
protected:
    // A 1 MiB volume of 512-byte sectors (geometry product 2048).
    test::MemoryPlatform mem{Bytes(1 << 20, 0)};
    void install(const BootFields& f) {
        Bytes b = bootSector(f);
        std::copy(b.begin(), b.end(), mem.image().begin());
    }
    ErrorException readError() {
        ScopedPlatform guard(mem);
        SearchJob job;
        return raised([&] { job.prepareGeometry("mem:x"); });
    }
};

TEST_F(BootRecordRead, ReadsSectorZeroOnceAndKeepsTheVolumeOpenUntilClosed) {
    BootFields f;
    f.mftCluster = 2048;  // at the bound of this small volume
    install(f);
    ScopedPlatform guard(mem);
    SearchJob job;
    job.prepareGeometry("mem:x");
    EXPECT_EQ(job.bootRecord.mftCluster, 2048u);
    EXPECT_EQ(mem.opens, 1);
    EXPECT_EQ(mem.closes, 0);
    job.closeFilesystem();
    EXPECT_EQ(mem.opens, 1);
    EXPECT_EQ(mem.closes, 1);
}

TEST_F(BootRecordRead, EveryFailureClosesTheVolume) {
    BootFields f;
    f.mftCluster = 2049;  // beyond this volume's geometry
    install(f);
    EXPECT_EQ(readError().code(), kErrBootFormat);

    f.mftCluster = 4;
    f.media = 0xF0;
    install(f);
    EXPECT_EQ(readError().code(), kErrBootFormat);

    mem.image()[0x1FE] = 0;
    EXPECT_EQ(readError().code(), kErrBootSignature);

    install(BootFields{});
    mem.badRanges.push_back({100, 1});
    // The first read of the source is the container check of the stack.
    ErrorException e = readError();
    EXPECT_EQ(e.code(), kErrReadDisk);
    EXPECT_EQ(e.diagnostic(), "ContainerFormat::detect");

    EXPECT_EQ(mem.opens, 4);
    EXPECT_EQ(mem.closes, 4);
}

TEST_F(BootRecordRead, OpenFailureClosesNothing) {
    ScopedPlatform guard(mem);
    SearchJob job;
    ErrorException e = raised([&] { job.prepareGeometry("/nonexistent-resurgo-dir/volume.img"); });
    EXPECT_EQ(e.code(), kErrOpenDisk);
    EXPECT_NE(e.systemError(), 0u);
    EXPECT_EQ(mem.closes, 0);
}

TEST(BootRecordReadSectorSize, FourKibSectorSource) {
    BootFields f;
    f.bytesPerSector = 4096;
    f.sectorsPerCluster = 1;
    f.clustersPerRecord = 0xF4;
    f.mftCluster = 255;  // 256 sectors of 4096 bytes
    f.sectorBytes = 4096;
    Bytes image(1 << 20, 0);
    Bytes b = bootSector(f);
    std::copy(b.begin(), b.end(), image.begin());
    test::MemoryPlatform mem(image, 4096);
    ScopedPlatform guard(mem);
    SearchJob job;
    job.prepareGeometry("mem:x");
    EXPECT_EQ(job.bootRecord.bytesPerSector, 4096u);
    EXPECT_EQ(job.bootRecord.mftCluster, 255u);
    job.closeFilesystem();
    EXPECT_EQ(mem.closes, mem.opens);
}
