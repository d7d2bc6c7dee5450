// Container signatures, partition tables read from sources that are no
// file (memory, as a container's disk is), and the VHDX log's checksum.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "recovery/ErrorText.h"
#include "recovery/SearchJob.h"
#include "source/ContainerFormat.h"
#include "source/ContainerSource.h"
#include "source/MemorySource.h"
#include "source/PartitionTable.h"
#include "source/SourceError.h"
#include "source/VhdxLog.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test;

namespace {

std::vector<std::uint8_t> withAt(std::vector<std::uint8_t> bytes, std::size_t offset, const std::string& text) {
    std::memcpy(bytes.data() + offset, text.data(), text.size());
    return bytes;
}

} // namespace

TEST(ContainerFormats, AreToldBySignatureAlone) {
    const std::vector<std::uint8_t> blank(4096, 0);
    struct Case {
        std::vector<std::uint8_t> bytes;
        ContainerFormat::Kind kind;
    };
    const std::vector<Case> cases{
        {withAt(blank, 0, std::string("EVF\x09\x0d\x0a\xff\x00", 8)), ContainerFormat::Kind::Ewf},
        {withAt(blank, 0, "vhdxfile"), ContainerFormat::Kind::Vhdx},
        {withAt(blank, 0, "conectix"), ContainerFormat::Kind::Vhd},
        {withAt(blank, 4096 - 512, "conectix"), ContainerFormat::Kind::Vhd},  // fixed: footer only
        {withAt(blank, 0, "KDMV"), ContainerFormat::Kind::Vmdk},
        {withAt(blank, 0, "# Disk DescriptorFile\n"), ContainerFormat::Kind::Vmdk},
        {withAt(blank, 0, "QFI\xfb"), ContainerFormat::Kind::Qcow},
        {withAt(blank, 3, "NTFS    "), ContainerFormat::Kind::None},
        {withAt(blank, 1, "vhdxfile"), ContainerFormat::Kind::None},
        {blank, ContainerFormat::Kind::None},
    };
    for (const Case& c : cases) {
        MemorySource source(c.bytes);
        EXPECT_EQ(ContainerFormat::detect(source), c.kind) << std::string(c.bytes.begin(), c.bytes.begin() + 8);
    }
    MemorySource tiny(std::vector<std::uint8_t>{'Q', 'F'});
    EXPECT_EQ(ContainerFormat::detect(tiny), ContainerFormat::Kind::None);
}

#if defined(RESURGO_HAVE_CONTAINERS)

TEST(PartitionTables, AreReadFromMemoryInTheirOwnSectorSize) {
    const nlohmann::json facts =
        nlohmann::json::parse(readFile(std::string(RESURGO_FIXTURE_SRC) + "/disks/disks.facts.json"));
    for (const char* name : {"disk-mbr.img", "disk-gpt.img", "disk-gpt4k.img"}) {
        SCOPED_TRACE(name);
        MemorySource disk(readFile(std::string(RESURGO_FIXTURE_DIR) + "/disks/" + name));
        const PartitionTable table = PartitionTable::read(disk);
        const auto& want = facts.at("disks").at(name).at("partitions");
        ASSERT_EQ(table.entries.size(), want.size());
        EXPECT_EQ(table.sectorSize, std::string(name) == "disk-gpt4k.img" ? 4096u : 512u);
        for (std::size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(table.entries[i].number, want[i].at("number").get<unsigned>());
            EXPECT_EQ(table.entries[i].start, want[i].at("start").get<std::uint64_t>());
            EXPECT_EQ(table.entries[i].size, want[i].at("size").get<std::uint64_t>());
            EXPECT_EQ(table.entries[i].type, want[i].at("type").get<std::string>());
        }
    }
    // No table: an NTFS volume, zeros.
    MemorySource volume(readFile(fixtureImage("c512")));
    EXPECT_TRUE(PartitionTable::read(volume).empty());
    MemorySource zeros(std::vector<std::uint8_t>(1 << 20, 0));
    EXPECT_TRUE(PartitionTable::read(zeros).empty());
}

#endif

TEST(ContainerFormats, AContainerSearchedAsAVolumeIsNamed) {
    // A drive root the job opens itself goes through the same stack as the
    // command line's sources: a container is opened as one (or named, where
    // this build reads none), never searched as a volume.
    const std::string path = tempDir("container-as-volume") + "/disk.bin";
    std::vector<std::uint8_t> bytes(1 << 20, 0);
    std::memcpy(bytes.data(), "vhdxfile", 8);
    writeFile(path, bytes);
    SearchJob job;
    job.driveRoot = path;
    job.run(nullptr, nullptr);
    ASSERT_EQ(job.outcome(), SearchJob::Outcome::BootFailed);
    EXPECT_EQ(job.failure()->code(), kErrNotSupported);
    const std::string reason = ErrorText::reason(*job.failure());
#if defined(RESURGO_HAVE_CONTAINERS)
    EXPECT_NE(reason.find("the VHDX image " + path + " can't be read"), std::string::npos) << reason;
#else
    EXPECT_NE(reason.find(path + " is a VHDX image"), std::string::npos) << reason;
    EXPECT_NE(reason.find("this build reads disk image containers only on Linux"), std::string::npos) << reason;
    const SourceError e = [&] {
        try {
            ContainerSource::open(path, ContainerFormat::Kind::Ewf, SourceIdentity{});
        } catch (const SourceError& error) {
            return error;
        }
        ADD_FAILURE() << "opened";
        return SourceError(0, "");
    }();
    EXPECT_EQ(e.message(), path + " is an E01 image; this build reads disk image containers only on Linux");
#endif
}

TEST(VhdxLogs, ChecksumIsCrc32c) {
    const std::string check = "123456789";
    EXPECT_EQ(VhdxLog::crc32c(reinterpret_cast<const std::uint8_t*>(check.data()), check.size()), 0xE3069283u);
    EXPECT_EQ(VhdxLog::crc32c(nullptr, 0), 0u);
}
