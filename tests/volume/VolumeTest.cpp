// Sector buffers and raw volume reads: positions, lengths, the end of the
// source, short reads, read errors, and what open and close do with handles.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/ErrorException.h"
#include "support/TestSupport.h"
#include "volume/SectorBuffer.h"
#include "volume/Volume.h"

using namespace resurgo;
using resurgo::test::raised;

namespace {

using Bytes = std::vector<std::uint8_t>;

// 64 KiB whose bytes differ from their neighbours' and from their 256-byte
// aligned twins, so a read from the wrong place shows.
Bytes image64k() {
    Bytes b(64 * 1024);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>((i * 131) ^ (i >> 8));
    return b;
}

bool allZero(const std::uint8_t* p, std::size_t n) {
    return std::all_of(p, p + n, [](std::uint8_t v) { return v == 0; });
}

// Records what the volume asks of the platform; reads are served as zeros.
class RecordingPlatform : public test::DelegatingPlatform {
public:
    std::string openedName;
    SourceGeometry geometry;
    std::vector<std::pair<std::uint64_t, std::size_t>> reads;
    bool failOpen = false, failQuery = false, failClose = false;
    std::uint64_t endsAt = UINT64_MAX;  // the device gives no bytes from here on
    int closes = 0;
    std::uint32_t error = 0;

    RecordingPlatform() {
        geometry.fromDevice = true;
        geometry.bytesPerSector = 512;
        geometry.sectorsPerTrack = 63;
        geometry.tracksPerCylinder = 255;
        geometry.cylinders = 1ULL << 33;
        geometry.sizeBytes = 0;  // unknown: no end-of-source check
    }
    OsHandle openSource(const std::string& path) override {
        openedName = path;
        if (failOpen) {
            error = 5;
            return kNoHandle;
        }
        return 42;
    }
    bool querySource(OsHandle, SourceGeometry& out) override {
        if (failQuery) {
            error = 1;
            return false;
        }
        out = geometry;
        return true;
    }
    bool readAt(OsHandle, void* b, std::size_t n, std::uint64_t off, std::size_t& got) override {
        reads.push_back({off, n});
        got = off >= endsAt ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(n, endsAt - off));
        std::memset(b, 0, got);
        return true;
    }
    bool closeSource(OsHandle) override {
        ++closes;
        if (failClose) error = 6;
        return !failClose;
    }
    std::uint32_t lastError() override { return error; }
};

// An in-memory source whose failed reads report a fixed system error.
class FaultyMemory : public test::MemoryPlatform {
public:
    using MemoryPlatform::MemoryPlatform;
    std::uint32_t lastError() override { return 1117; }
};

} // namespace

// ---- sector buffers ----

TEST(SectorBuffer, WholeSectorsZeroFilledAndAligned) {
    SectorBuffer one(1, 512);
    EXPECT_EQ(one.size(), 512u);
    EXPECT_EQ(one.sectorCount(), 1u);
    EXPECT_EQ(one.bytesPerSector(), 512u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(one.data()) % 4096, 0u);
    EXPECT_TRUE(allZero(one.data(), one.size()));

    SectorBuffer big(8, 4096);
    EXPECT_EQ(big.size(), 32768u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(big.data()) % 4096, 0u);
    big.fill(0xA5);
    EXPECT_TRUE(std::all_of(big.data(), big.data() + big.size(), [](std::uint8_t v) { return v == 0xA5; }));
    big.fill(0);
    EXPECT_TRUE(allZero(big.data(), big.size()));
}

TEST(SectorBuffer, RefusedSizesRaise5) {
    struct Size {
        std::uint32_t sectors, bytes;
    };
    // Zero bytes, and products that a 32-bit size would wrap to 0.
    for (Size s : {Size{0, 512}, Size{1, 0}, Size{0, 0}, Size{65536, 65536}, Size{0xFFFFFFFF, 4096}}) {
        ErrorException e = raised([&] { SectorBuffer b(s.sectors, s.bytes); });
        EXPECT_EQ(e.code(), kErrNoMemory) << s.sectors << "x" << s.bytes;
        EXPECT_EQ(e.diagnostic(), "SectorBuffer::SectorBuffer");
    }
}

TEST(SectorBuffer, AllocationFailureCarriesTheSystemError) {
    struct NoMemory : test::DelegatingPlatform {
        void* allocateZeroed(std::size_t) override { return nullptr; }
        std::uint32_t lastError() override { return 8; }
    } p;
    ScopedPlatform guard(p);
    ErrorException e = raised([] { SectorBuffer b(1, 512); });
    EXPECT_EQ(e.code(), kErrNoMemory);
    EXPECT_EQ(e.systemError(), 8u);
}

// ---- reads through an in-memory source ----

class VolumeRead : public ::testing::Test {
protected:
    void SetUp() override {
        guard = std::make_unique<ScopedPlatform>(mem);
        vol.openLogical("mem:x");
    }
    void TearDown() override {
        vol.close();
        EXPECT_EQ(mem.opens, mem.closes);
    }
    Bytes image = image64k();
    FaultyMemory mem{image};
    std::unique_ptr<ScopedPlatform> guard;
    Volume vol;
};

TEST_F(VolumeRead, OpenLearnsTheGeometry) {
    EXPECT_TRUE(vol.isOpen());
    EXPECT_EQ(vol.path, "mem:x");
    EXPECT_EQ(vol.bytesPerSector, 512u);
    EXPECT_EQ(vol.geometrySectors, 128u);
    EXPECT_EQ(vol.sizeBytes, image.size());
}

TEST_F(VolumeRead, ReadsSectorsAndClustersAtTheirPositions) {
    SectorBuffer two(2, 512);
    vol.read(two, 3);
    EXPECT_TRUE(std::equal(two.data(), two.data() + 1024, image.begin() + 1536));

    // 3 clusters of 8 sectors from cluster 2, at byte 4096 of the buffer.
    SectorBuffer buf(32, 512);
    vol.readClusters(buf, 2, 3, 8, 4096);
    EXPECT_TRUE(allZero(buf.data(), 4096));
    EXPECT_TRUE(std::equal(buf.data() + 4096, buf.data() + 16384, image.begin() + 8192));

    // The last sector of the source is readable.
    SectorBuffer last(1, 512);
    vol.read(last, 127);
    EXPECT_TRUE(std::equal(last.data(), last.data() + 512, image.end() - 512));
}

TEST_F(VolumeRead, ReadsPastTheEndRaise3) {
    SectorBuffer two(2, 512);
    for (std::uint64_t sector : {127ULL, 128ULL, 1ULL << 40}) {
        ErrorException e = raised([&] { vol.read(two, sector); });
        EXPECT_EQ(e.code(), kErrReadDisk) << sector;
        EXPECT_EQ(e.diagnostic(), "Volume::read");
    }
    SectorBuffer buf(16, 512);
    ErrorException e = raised([&] { vol.readClusters(buf, 15, 2, 8, 0); });
    EXPECT_EQ(e.code(), kErrReadDisk);
    EXPECT_EQ(e.diagnostic(), "Volume::readClusters");
    // More clusters than the buffer holds after the offset.
    EXPECT_EQ(raised([&] { vol.readClusters(buf, 0, 2, 8, 512); }).code(), kErrReadDisk);
    EXPECT_EQ(raised([&] { vol.readClusters(buf, 0, 1, 8, 8193); }).code(), kErrReadDisk);
    EXPECT_EQ(raised([&] { vol.readBytes(buf.data(), 2, image.size() - 1); }).code(), kErrReadDisk);
}

TEST_F(VolumeRead, ShortReadsAreContinued) {
    mem.shortReadLimit = 100;
    SectorBuffer four(4, 512);
    vol.read(four, 10);
    EXPECT_TRUE(std::equal(four.data(), four.data() + 2048, image.begin() + 5120));
    SectorBuffer buf(16, 512);
    vol.readClusters(buf, 1, 1, 8, 4096);
    EXPECT_TRUE(std::equal(buf.data() + 4096, buf.data() + 8192, image.begin() + 4096));
}

TEST_F(VolumeRead, ReadErrorsRaise3WithTheSystemError) {
    mem.badRanges.push_back({5000, 1});
    SectorBuffer one(1, 512);
    EXPECT_NO_THROW(vol.read(one, 8));  // bytes 4096..4607 do not touch it
    ErrorException e = raised([&] { vol.read(one, 9); });
    EXPECT_EQ(e.code(), kErrReadDisk);
    EXPECT_EQ(e.systemError(), 1117u);
    EXPECT_EQ(e.diagnostic(), "Volume::read");
    SectorBuffer cluster(8, 512);
    ErrorException c = raised([&] { vol.readClusters(cluster, 1, 1, 8, 0); });
    EXPECT_EQ(c.diagnostic(), "Volume::readClusters");
    EXPECT_EQ(c.systemError(), 1117u);
}

TEST(VolumeImage, SectorSizeFromTheBootSectorWhenTheSourceHasNoGeometry) {
    struct ImagePlatform : test::MemoryPlatform {
        using MemoryPlatform::MemoryPlatform;
        bool querySource(OsHandle h, SourceGeometry& out) override {
            bool ok = MemoryPlatform::querySource(h, out);
            out.fromDevice = false;
            out.bytesPerSector = 0;
            return ok;
        }
    };
    for (auto [field, expected] : {std::pair<std::uint16_t, std::uint32_t>{4096, 4096}, {2048, 2048}, {768, 512},
                                   {0, 512}, {8192, 512}}) {
        Bytes img(64 * 1024, 0);
        img[0x0B] = static_cast<std::uint8_t>(field);
        img[0x0C] = static_cast<std::uint8_t>(field >> 8);
        ImagePlatform p(img);
        ScopedPlatform guard(p);
        Volume v;
        v.openLogical("mem:x");
        EXPECT_EQ(v.bytesPerSector, expected) << field;
        EXPECT_EQ(v.geometrySectors, img.size() / expected);
        v.close();
    }
}

// ---- positions and handles, seen from the platform ----

TEST(VolumeCalls, SixtyFourBitPositions) {
    RecordingPlatform p;
    ScopedPlatform guard(p);
    Volume v;
    v.openLogical("C:\\");
    SectorBuffer one(1, 512);
    v.read(one, 1ULL << 32);
    SectorBuffer cluster(8, 512);
    v.readClusters(cluster, 1ULL << 33, 1, 8, 0);
    ASSERT_EQ(p.reads.size(), 2u);
    EXPECT_EQ(p.reads[0].first, 1ULL << 41);
    EXPECT_EQ(p.reads[0].second, 512u);
    EXPECT_EQ(p.reads[1].first, 1ULL << 45);
    EXPECT_EQ(p.reads[1].second, 4096u);
    EXPECT_EQ(v.geometrySectors, 63ULL * 255 * (1ULL << 33));

    // Positions beyond 2^64 bytes are refused, never wrapped.
    EXPECT_EQ(raised([&] { v.read(one, 1ULL << 55); }).code(), kErrReadDisk);
    EXPECT_EQ(raised([&] { v.readClusters(cluster, 1ULL << 52, 1, 8, 0); }).code(), kErrReadDisk);
    EXPECT_EQ(p.reads.size(), 2u);

    // A device of unknown size that ends inside a read: the part before the
    // end arrives, then the read fails instead of waiting for more.
    p.endsAt = 1000;
    ErrorException e = raised([&] { v.read(one, 1); });
    EXPECT_EQ(e.code(), kErrReadDisk);
    EXPECT_EQ(e.diagnostic(), "Volume::read");
    ASSERT_EQ(p.reads.size(), 4u);
    EXPECT_EQ(p.reads[3].first, 1000u);
    v.close();
}

TEST(VolumeCalls, DriveRootsAreOpenedByDeviceName) {
    EXPECT_EQ(Volume::deviceNameFor("C:\\"), "\\\\.\\C:");
    EXPECT_EQ(Volume::deviceNameFor("d:"), "\\\\.\\d:");
    EXPECT_EQ(Volume::deviceNameFor("/dev/sdb1"), "/dev/sdb1");
    EXPECT_EQ(Volume::deviceNameFor("CD:\\"), "CD:\\");
    EXPECT_EQ(Volume::deviceNameFor("1:\\"), "1:\\");

    RecordingPlatform p;
    ScopedPlatform guard(p);
    Volume v;
    v.openLogical("C:\\");
    EXPECT_EQ(p.openedName, "\\\\.\\C:");
    EXPECT_EQ(v.path, "\\\\.\\C:\\");
    v.close();
    v.openLogical("/images/vol.img");
    EXPECT_EQ(p.openedName, "/images/vol.img");
    EXPECT_EQ(v.path, "/images/vol.img");
    v.close();
}

TEST(VolumeCalls, OpenFailuresAndClose) {
    RecordingPlatform p;
    ScopedPlatform guard(p);
    {
        p.failOpen = true;
        Volume v;
        ErrorException e = raised([&] { v.openLogical("C:\\"); });
        EXPECT_EQ(e.code(), kErrOpenDisk);
        EXPECT_EQ(e.systemError(), 5u);
        EXPECT_EQ(e.diagnostic(), "Volume::openLogical");
        EXPECT_FALSE(v.isOpen());
        EXPECT_EQ(p.closes, 0);  // nothing was opened, nothing is closed
        SectorBuffer one(1, 512);
        EXPECT_EQ(raised([&] { v.read(one, 0); }).code(), kErrReadDisk);
        p.failOpen = false;
    }
    {
        p.failQuery = true;
        Volume v;
        ErrorException e = raised([&] { v.openLogical("C:\\"); });
        EXPECT_EQ(e.code(), kErrDiskGeometry);
        EXPECT_EQ(e.diagnostic(), "Volume::getDiskGeometry");
        EXPECT_FALSE(v.isOpen());
        EXPECT_EQ(p.closes, 1);  // the handle is given back
        p.failQuery = false;
    }
    {
        // Copies share the source a volume opened; the last one gone closes it.
        Volume v;
        v.openLogical("C:\\");
        {
            Volume copy = v;
            EXPECT_TRUE(copy.isOpen());
        }
        EXPECT_EQ(p.closes, 1);
    }
    EXPECT_EQ(p.closes, 2);
    {
        Volume v;
        v.openLogical("C:\\");
        v.close();
        v.close();  // a second close does nothing
        EXPECT_FALSE(v.isOpen());
        EXPECT_EQ(p.closes, 3);
        v.openLogical("C:\\");
        p.failClose = true;
        ErrorException e = raised([&] { v.close(); });
        EXPECT_EQ(e.code(), kErrCloseDisk);
        EXPECT_EQ(e.systemError(), 6u);
        EXPECT_EQ(e.diagnostic(), "Volume::close");
    }
}
