// Reading the fixture images through the real platform layer: boot record
// and geometry, the MFT's own runs, the system records 0-15 and every file
// record, each checked against the facts recorded when the image was made.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "file/FileZ.h"
#include "file/MftReader.h"
#include "ntfs/BootRecordNTFS.h"
#include "ntfs/NTFS_GEOMETRY.h"
#include "recovery/FilesystemNTFS.h"
#include "recovery/SearchJob.h"
#include "support/TestSupport.h"
#include "volume/SectorBuffer.h"

using namespace resurgo;
using namespace resurgo::test;

namespace {

const char* const kFixtures[] = {"basic", "demo", "c512", "s4096"};

// The system files mkntfs writes into records 0-11, in order.
const char* const kSystemNames[] = {"$MFT",    "$MFTMirr", "$LogFile", "$Volume", "$AttrDef", ".",
                                    "$Bitmap", "$Boot",    "$BadClus", "$Secure", "$UpCase",  "$Extend"};

class FixtureImage : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        ASSERT_TRUE(fixtureAvailable(GetParam()));
        image = fixtureImage(GetParam());
        facts = fixtureFacts(GetParam());
        SearchJob job;
        job.prepareGeometry(image);
        boot = job.bootRecord;
        geometry = job.geometry;
    }
    std::string image;
    nlohmann::json facts;
    BootRecordNTFS boot;
    NTFS_GEOMETRY geometry;
};

TEST_P(FixtureImage, BootRecordAndGeometryMatchTheFacts) {
    EXPECT_EQ(boot.bytesPerSector, facts["bytes_per_sector"].get<std::uint32_t>());
    EXPECT_EQ(geometry.clusterBytes(), facts["cluster_size"].get<std::uint64_t>());
    EXPECT_EQ(geometry.mftRecordSize, facts["mft_record_size"].get<std::uint32_t>());
    EXPECT_EQ(boot.mftCluster, facts["mft_lcn"].get<std::uint64_t>());
    EXPECT_EQ(boot.mftMirrorCluster, facts["mftmirr_lcn"].get<std::uint64_t>());
    EXPECT_EQ(boot.totalSectors * boot.bytesPerSector / geometry.clusterBytes(),
              facts["volume_clusters"].get<std::uint64_t>());
    EXPECT_EQ(geometry.totalClusters, facts["volume_clusters"].get<std::uint64_t>());
}

TEST_P(FixtureImage, MftRunsSizeAndSystemRecords) {
    FilesystemNTFS fs;
    fs.open(geometry);
    MftReader& mft = fs.mftEntry();
    EXPECT_EQ(mft.getRealSize(), facts["mft_data_size"].get<std::uint64_t>());
    // The facts list the runs up to the MFT's data size (as istat shows
    // them); the run list itself may allocate a few clusters more.
    std::uint64_t left = (mft.getRealSize() + geometry.clusterBytes() - 1) / geometry.clusterBytes();
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
    for (const auto& r : mft.runTable().runs()) {
        if (left == 0) break;
        runs.emplace_back(r.lcn, std::min(r.length, left));
        left -= std::min(r.length, left);
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> expected;
    for (const auto& r : facts["mft_data_run_list"]) expected.emplace_back(r[0].get<std::uint64_t>(), r[1].get<std::uint64_t>());
    EXPECT_EQ(runs, expected);
    EXPECT_GE(mft.recordCapacity(), facts["mft_records"].get<std::uint64_t>());

    for (std::uint64_t n = 0; n < 12; ++n) {
        FileZ f;
        f.openRecord(fs.volume(), fs.geometry(), &mft, n);
        EXPECT_EQ(f.getName(), kSystemNames[n]) << "record " << n;
        EXPECT_FALSE(f.isDeleted()) << "record " << n;
        EXPECT_EQ(f.isDirectory(), n == 5 || n == 11) << "record " << n;
    }
    // Records 12-15 are reserved: formatted records that fix up cleanly.
    SectorBuffer buf(geometry.sectorsPerRecord(), geometry.bytesPerSector);
    for (std::uint64_t n = 12; n < 16; ++n) {
        mft.readRecords(n, 1, buf.data());
        MFT_RECORD rec;
        EXPECT_NO_THROW(rec.parse(buf.data(), buf.size(), fs.geometry())) << "record " << n;
    }
    fs.close();
}

TEST_P(FixtureImage, EveryFileRecordMatchesItsFacts) {
    FilesystemNTFS fs;
    fs.open(geometry);
    int checked = 0;
    for (const auto& file : facts["files"]) {
        if (file.value("nameless_after_delete", false)) continue;
        const std::uint64_t n = file["record"].get<std::uint64_t>();
        FileZ f;
        f.openRecord(fs.volume(), fs.geometry(), &fs.mftEntry(), n);
        const std::string name = file["name"].get<std::string>();
        EXPECT_EQ(f.getName(), name) << n;
        EXPECT_EQ(f.isDeleted(), file["deleted"].get<bool>()) << name;
        EXPECT_EQ(f.isDirectory(), file["is_dir"].get<bool>()) << name;
        if (!file["is_dir"].get<bool>() && !file["size"].is_null()) {
            EXPECT_EQ(f.getRealSize(), file["size"].get<std::uint64_t>()) << name;
            EXPECT_EQ(f.modificationTimeUtc(), file["mtime_nt"].get<std::uint64_t>()) << name;
        }
        ++checked;
    }
    EXPECT_GT(checked, 5);
    fs.close();
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FixtureImage, ::testing::ValuesIn(kFixtures));

} // namespace
