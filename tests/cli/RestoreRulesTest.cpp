// The restore's protective checks through their seams: a fake file probe
// for device layouts that a test machine can't build, the platform for
// free space and write failures, and a damaged compressed unit.

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "cli/ExitCode.h"
#include "cli/FixtureFacts.h"
#include "cli/Messages.h"
#include "cli/RestoreCommand.h"
#include "file/FileZ.h"
#include "platform/SystemFileProbe.h"
#include "recovery/RestoreRules.h"
#include "recovery/SearchJob.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::cli;
using namespace resurgo::test;
namespace fs = std::filesystem;

namespace {

class FakeProbe : public FileProbe {
public:
    Identity identify(const std::string& path) override {
        auto it = paths.find(path);
        return it == paths.end() ? Identity{} : it->second;
    }
    Lower lowerLayers(std::uint64_t device) override {
        auto it = layers.find(device);
        return it == layers.end() ? Lower{} : it->second;
    }
    std::map<std::string, Identity> paths;
    std::map<std::uint64_t, Lower> layers;
};

FileProbe::Identity blockDevice(std::uint64_t rdev) {
    FileProbe::Identity id;
    id.exists = id.isBlockDevice = true;
    id.device = 5;  // devtmpfs
    id.rdev = rdev;
    return id;
}

FileProbe::Identity entry(std::uint64_t device, std::uint64_t inode, bool directory = false) {
    FileProbe::Identity id;
    id.exists = true;
    id.isDirectory = directory;
    id.isRegular = !directory;
    id.device = device;
    id.inode = inode;
    return id;
}

const nlohmann::json& fileNamed(const nlohmann::json& facts, const std::string& name) {
    for (const auto& f : facts.at("files")) {
        if (f.at("name") == name) return f;
    }
    throw std::runtime_error("no fixture file " + name);
}

struct RestoreRun {
    int status;
    std::string out, err;
};

RestoreRun restore(const std::string& image, std::uint64_t record, const std::string& output, bool force = false) {
    SystemFileProbe probe;
    RestoreCommand command(probe);
    RestoreCommand::Options o;
    o.source = image;
    o.record = record;
    o.output = output;
    o.force = force;
    std::ostringstream out, err;
    std::istringstream in;
    int status = command.run(o, out, err, in, false);
    return {status, out.str(), err.str()};
}

} // namespace

TEST(RestoreRules, BlockDeviceSourceRefusesDestinationsWhoseDataReachesIt) {
    FakeProbe probe;
    const std::uint64_t sda = makedev(8, 0), sda1 = makedev(8, 1), sda2 = makedev(8, 2), dm = makedev(253, 0),
                        fuse = makedev(0, 45), loop = makedev(7, 0);
    probe.paths["/dev/sda1"] = blockDevice(sda1);
    probe.paths["/dev/sda"] = blockDevice(sda);
    probe.paths["/mnt/win"] = entry(sda1, 2, true);          // the source mounted
    probe.paths["/mnt/other"] = entry(sda2, 2, true);        // a sibling partition
    probe.paths["/mnt/lvm"] = entry(dm, 2, true);            // a mapped device on the source
    probe.paths["/mnt/fuse"] = entry(fuse, 1, true);         // ntfs-3g mount of the source
    probe.paths["/mnt/loop"] = entry(loop, 2, true);         // an image on the source, loop-mounted
    probe.layers[sda1].devices = {sda};
    probe.layers[sda2].devices = {sda};
    probe.layers[dm].devices = {sda1};
    probe.layers[fuse].devices = {sda1};
    probe.layers[loop].files = {entry(sda1, 77)};

    RestoreRules partition(probe);
    ASSERT_TRUE(partition.setSource("/dev/sda1"));
    EXPECT_TRUE(partition.destinationOnSource("/mnt/win", "/mnt/win/a.txt"));
    EXPECT_TRUE(partition.destinationOnSource("/mnt/lvm", "/mnt/lvm/a.txt"));
    EXPECT_TRUE(partition.destinationOnSource("/mnt/fuse", "/mnt/fuse/a.txt"));
    EXPECT_TRUE(partition.destinationOnSource("/mnt/loop", "/mnt/loop/a.txt"));
    EXPECT_TRUE(partition.destinationOnSource("/dev", "/dev/sda1"));  // the device node itself
    EXPECT_FALSE(partition.destinationOnSource("/mnt/other", "/mnt/other/a.txt"));

    RestoreRules disk(probe);
    ASSERT_TRUE(disk.setSource("/dev/sda"));
    EXPECT_TRUE(disk.destinationOnSource("/mnt/other", "/mnt/other/a.txt"));  // a partition of the source disk
}

TEST(RestoreRules, ImageSourceRefusesTheImageAndItsMounts) {
    FakeProbe probe;
    const std::uint64_t home = makedev(254, 1), fuse = makedev(0, 50), loop = makedev(7, 3);
    const FileProbe::Identity image = entry(home, 1234);
    probe.paths["/home/u/disk.img"] = image;
    probe.paths["/home/u"] = entry(home, 2, true);
    probe.paths["/home/u/hardlink.img"] = image;
    probe.paths["/mnt/img"] = entry(fuse, 1, true);
    probe.paths["/mnt/loop"] = entry(loop, 2, true);
    probe.paths["/dev/loop3"] = blockDevice(loop);
    probe.layers[fuse].files = {image};
    probe.layers[loop].files = {image};

    RestoreRules checks(probe);
    ASSERT_TRUE(checks.setSource("/home/u/disk.img"));
    EXPECT_TRUE(checks.destinationOnSource("/home/u", "/home/u/disk.img"));
    EXPECT_TRUE(checks.destinationOnSource("/home/u", "/home/u/hardlink.img"));
    EXPECT_TRUE(checks.destinationOnSource("/mnt/img", "/mnt/img/a.txt"));
    EXPECT_TRUE(checks.destinationOnSource("/mnt/loop", "/mnt/loop/a.txt"));
    EXPECT_FALSE(checks.destinationOnSource("/home/u", "/home/u/a.txt"));  // same file system, another file

    // The loop device as the source: its backing image is off limits.
    RestoreRules viaLoop(probe);
    ASSERT_TRUE(viaLoop.setSource("/dev/loop3"));
    EXPECT_TRUE(viaLoop.destinationOnSource("/home/u", "/home/u/disk.img"));
    EXPECT_FALSE(viaLoop.destinationOnSource("/home/u", "/home/u/a.txt"));
}

TEST(RestoreRules, SystemProbeFollowsMountInfoAndLoopBackingFiles) {
    const std::string root = tempDir("cli-probe");
    const std::string image = root + "/my disk.img";  // a blank, escaped as \040 by the kernel
    writeFile(image, {1, 2, 3});
    fs::create_directories(root + "/mnt");
    struct stat st {};
    ASSERT_EQ(::stat((root + "/mnt").c_str(), &st), 0);
    const std::string number = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    std::string escaped = image;
    escaped.replace(escaped.find(' '), 1, "\\040");

    // The destination's file system mounted from the image (as ntfs-3g does).
    writeFile(root + "/mountinfo", {});
    {
        std::string line = "45 27 " + number + " / " + root + "/mnt rw - fuse " + escaped + " rw,allow_other\n";
        writeFile(root + "/mountinfo", std::vector<std::uint8_t>(line.begin(), line.end()));
    }
    SystemFileProbe mounted(root + "/nosys", root + "/mountinfo");
    RestoreRules checks(mounted);
    ASSERT_TRUE(checks.setSource(image));
    EXPECT_TRUE(checks.destinationOnSource(root + "/mnt", root + "/mnt/x.txt"));

    SystemFileProbe plain(root + "/nosys", root + "/missing-mountinfo");
    RestoreRules free(plain);
    ASSERT_TRUE(free.setSource(image));
    EXPECT_FALSE(free.destinationOnSource(root + "/mnt", root + "/mnt/x.txt"));
    EXPECT_TRUE(free.destinationOnSource(root, image));

    // A loop device (fake sysfs) backed by the image, holding the destination.
    fs::create_directories(root + "/sys/dev/block/" + number + "/loop");
    writeFile(root + "/sys/dev/block/" + number + "/loop/backing_file",
              std::vector<std::uint8_t>(image.begin(), image.end()));
    SystemFileProbe looped(root + "/sys", root + "/missing-mountinfo");
    RestoreRules loop(looped);
    ASSERT_TRUE(loop.setSource(image));
    EXPECT_TRUE(loop.destinationOnSource(root + "/mnt", root + "/mnt/x.txt"));
}

TEST(RestoreRules, OverwriteAndFreeSpaceDecisions) {
    using O = RestoreRules::Overwrite;
    EXPECT_EQ(RestoreRules::overwriteDecision(false, false, false), O::Write);
    EXPECT_EQ(RestoreRules::overwriteDecision(true, true, false), O::Write);
    EXPECT_EQ(RestoreRules::overwriteDecision(true, true, true), O::Write);
    EXPECT_EQ(RestoreRules::overwriteDecision(true, false, true), O::Ask);
    EXPECT_EQ(RestoreRules::overwriteDecision(true, false, false), O::Refuse);

    EXPECT_TRUE(RestoreRules::enoughSpace(true, 1000, 1000));  // exactly as large passes
    EXPECT_FALSE(RestoreRules::enoughSpace(true, 999, 1000));
    EXPECT_TRUE(RestoreRules::enoughSpace(true, 0, 0));
    EXPECT_TRUE(RestoreRules::enoughSpace(false, 0, 1000));    // unknown: the copy reports a full disk
}

TEST(RestoreFlow, NotEnoughFreeSpaceIsRefusedBeforeAnythingIsCreated) {
    const nlohmann::json facts = fixtureFacts("demo");
    const auto& f = fileNamed(facts, "IMG_0002.jpg");
    const std::uint64_t size = f.at("size");
    struct SmallDisk : DelegatingPlatform {
        bool availableSpace(const std::string&, std::uint64_t& bytes) override {
            bytes = free;
            return true;
        }
        std::uint64_t free = 0;
    } disk;
    ScopedPlatform scope(disk);
    const std::string dir = tempDir("cli-space");

    disk.free = size - 1;
    RestoreRun r = restore(fixtureImage("demo"), f.at("record"), dir + "/a.jpg");
    EXPECT_EQ(r.status, kExitNoSpace);
    EXPECT_EQ(r.err.rfind(Messages::kNoFreeSpace, 0), 0u) << r.err;
    EXPECT_FALSE(fs::exists(dir + "/a.jpg"));

    disk.free = size;
    r = restore(fixtureImage("demo"), f.at("record"), dir + "/a.jpg");
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(sha256Hex(readFile(dir + "/a.jpg")), f.at("sha256"));
}

TEST(RestoreFlow, WriteFailureShowsMessage8AndLeavesThePartialFile) {
    const nlohmann::json facts = fixtureFacts("demo");
    const auto& f = fileNamed(facts, "IMG_0002.jpg");
    struct FullDisk : DelegatingPlatform {
        bool writeOutput(OsHandle h, const void* d, std::size_t n, std::size_t& w) override {
            if (written >= limit) {
                errno = ENOSPC;
                return false;
            }
            n = std::min(n, limit - written);
            bool ok = DelegatingPlatform::writeOutput(h, d, n, w);
            written += w;
            return ok;
        }
        std::size_t written = 0;
        std::size_t limit = 4096;
    } disk;
    ScopedPlatform scope(disk);
    const std::string out = tempDir("cli-write-fail") + "/a.jpg";
    RestoreRun r = restore(fixtureImage("demo"), f.at("record"), out);
    EXPECT_EQ(r.status, kExitCopyFailed);
    EXPECT_EQ(r.err.rfind(Messages::kCopyFailed, 0), 0u) << r.err;
    EXPECT_NE(r.err.find(std::strerror(ENOSPC)), std::string::npos) << r.err;
    ASSERT_TRUE(fs::exists(out));
    EXPECT_EQ(fs::file_size(out), 4096u);

    // A destination that can't be created is a copy failure too.
    r = restore(fixtureImage("demo"), f.at("record"), tempDir("cli-create-fail") + "/no/such/dir/a.jpg");
    EXPECT_EQ(r.status, kExitCopyFailed);
    EXPECT_EQ(r.err.rfind(Messages::kCopyFailed, 0), 0u) << r.err;
}

TEST(RestoreFlow, DamagedCompressedUnitIsWrittenAsZerosAndReported) {
    const nlohmann::json facts = fixtureFacts("demo");
    const auto& f = fileNamed(facts, "quarterly_report.txt");
    ASSERT_TRUE(f.at("compressed").get<bool>());
    const std::string dir = tempDir("cli-damaged");
    const std::string image = copyFile(fixtureImage("demo"), dir + "/demo.img");

    // Where the file's first compression unit lies, and what it restores to.
    std::uint64_t lcn = 0;
    {
        SearchJob job;
        job.prepareGeometry(image);
        job.filesystem.open(job.geometry);
        FileZ file;
        file.openRecord(job.filesystem.volume(), job.geometry, &job.filesystem.mftEntry(), f.at("record"));
        const DATA_ATTRIBUTE* data = file.firstDataExtent();
        ASSERT_NE(data, nullptr);
        ASSERT_TRUE(data->compressed);
        ASSERT_FALSE(data->runs.empty());
        ASSERT_FALSE(data->runs[0].sparse);
        lcn = static_cast<std::uint64_t>(data->runs[0].lcn);
        file.close();
        job.filesystem.close();
    }
    ASSERT_EQ(restore(image, f.at("record"), dir + "/good.txt").status, kExitOk);
    const std::vector<std::uint8_t> good = readFile(dir + "/good.txt");
    ASSERT_EQ(sha256Hex(good), f.at("sha256"));

    // A compressed chunk whose first token refers back before the output.
    patchFile(image, lcn * facts.at("cluster_size").get<std::uint64_t>(), {0x02, 0xB0, 0x01, 0x00, 0x10});

    RestoreRun r = restore(image, f.at("record"), dir + "/damaged.txt");
    EXPECT_EQ(r.status, kExitDamagedUnits) << r.err;
    EXPECT_NE(r.out.find("/damaged.txt restored, but 1 damaged"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("successfully"), std::string::npos);
    const std::vector<std::uint8_t> damaged = readFile(dir + "/damaged.txt");
    ASSERT_EQ(damaged.size(), good.size());
    const std::size_t unit = 16 * facts.at("cluster_size").get<std::size_t>();
    EXPECT_TRUE(std::all_of(damaged.begin(), damaged.begin() + unit, [](std::uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(damaged.begin() + unit, damaged.end(), good.begin() + unit)) << "later bytes moved";
}
