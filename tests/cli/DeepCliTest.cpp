// resurgo search --deep, restore --offset and restore --all --deep, run as a
// program on the damaged fixtures and compared with what their facts say a
// scan must give.

#include <gtest/gtest.h>

#include <filesystem>

#include "cli/CliProcess.h"
#include "cli/ExitCode.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test;
namespace fs = std::filesystem;

namespace {

// The files a scan of the fixture lists with their names and restores whole.
std::vector<nlohmann::json> restorable(const nlohmann::json& facts) {
    std::vector<nlohmann::json> out;
    for (const auto& f : facts.at("files")) {
        if (f.at("is_dir").get<bool>() || !f.at("deep_data_intact").get<bool>() ||
            f.value("nameless_after_delete", false)) {
            continue;
        }
        out.push_back(f);
    }
    return out;
}

} // namespace

TEST(DeepCli, SearchListsTheFilesOfEachDamagedImageAndSaysWhereItsGeometryCameFrom) {
    const struct {
        const char* image;
        const char* says;
    } cases[] = {{"reformat", "found"}, {"nomft", "backup boot sector"}, {"noboot", "inferred from"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const nlohmann::json facts = fixtureFacts(c.image);
        CliProcess::Result r = CliProcess::run({"search", fixtureImage(c.image), "--deep", "--days", "1000000", "--json"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        const nlohmann::json out = nlohmann::json::parse(r.out);
        std::map<std::uint64_t, nlohmann::json> byRecord;
        for (const auto& o : out) byRecord[o.at("record").get<std::uint64_t>()] = o;
        for (const auto& f : restorable(facts)) {
            auto it = byRecord.find(f.at("record").get<std::uint64_t>());
            ASSERT_NE(it, byRecord.end()) << f.at("name");
            EXPECT_EQ(it->second.at("name"), f.at("name"));
            EXPECT_EQ(it->second.at("directory"), f.at("deep_directory"));
            EXPECT_EQ(it->second.at("offset"), f.at("record_offset"));
        }
        // Clusters the new volume uses count as overwritten.
        for (const auto& f : facts.at("files")) {
            if (!f.contains("deep_recoverable")) continue;
            auto it = byRecord.find(f.at("record").get<std::uint64_t>());
            ASSERT_NE(it, byRecord.end()) << f.at("name");
            EXPECT_EQ(it->second.at("recoverable"), f.at("deep_recoverable")) << f.at("name");
        }
    }
}

TEST(DeepCli, ScansThePartitionChosenOnADiskAndInAContainer) {
    // An intact volume: the scan finds what the walk of its MFT finds, at
    // the same offsets in the partition, with the same percentages.
    const nlohmann::json facts = fixtureFacts("c512");
    const std::string dir = tempDir("cli-deep-disk");
    for (const char* disk : {"disk-mbr.img", "disk-mbr.qcow2"}) {
        SCOPED_TRACE(disk);
        const std::string path = std::string(RESURGO_FIXTURE_DIR) + "/disks/" + disk;
        const std::vector<std::string> search{"search", path, "--partition", "5", "--days", "1000000", "--json"};
        CliProcess::Result walk = CliProcess::run(search);
        ASSERT_EQ(walk.status, 0) << walk.err;
        std::vector<std::string> deep = search;
        deep.push_back("--deep");
        CliProcess::Result scan = CliProcess::run(deep);
        ASSERT_EQ(scan.status, 0) << scan.err;
        const nlohmann::json found = nlohmann::json::parse(scan.out);
        EXPECT_EQ(found, nlohmann::json::parse(walk.out));

        for (const auto& f : found) {
            if (f.at("size").get<std::uint64_t>() < 4096) continue;
            const std::string out = dir + "/" + disk;
            CliProcess::Result r = CliProcess::run({"restore", path, "--partition", "5", "--offset",
                                                    std::to_string(f.at("offset").get<std::uint64_t>()), "--output", out});
            ASSERT_EQ(r.status, 0) << r.err;
            for (const auto& want : facts.at("files")) {
                if (want.at("record") == f.at("record")) {
                    EXPECT_EQ(sha256Hex(readFile(out)), want.at("sha256"));
                }
            }
            break;
        }
    }
}

TEST(DeepCli, RestoreByOffsetAndAllDeepGiveTheFilesByteForByte) {
    const nlohmann::json facts = fixtureFacts("reformat");
    const std::string dir = tempDir("cli-deep");
    // A copy of the image: its checksum must not change.
    const std::string image = copyFile(fixtureImage("reformat"), dir + "/reformat.img");
    for (const auto& f : restorable(facts)) {
        const std::string out = dir + "/" + std::to_string(f.at("record").get<std::uint64_t>());
        CliProcess::Result r = CliProcess::run(
            {"restore", image, "--offset", std::to_string(f.at("record_offset").get<std::uint64_t>()), "--output", out});
        EXPECT_EQ(r.status, 0) << f.at("name") << r.err;
        EXPECT_EQ(sha256Hex(readFile(out)), f.at("sha256")) << f.at("name");
    }

    const std::string all = dir + "/all";
    CliProcess::Result r = CliProcess::run({"restore", image, "--all", "--deep", "--output-dir", all, "--days", "1000000"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const auto& f : restorable(facts)) {
        const std::string directory = f.at("deep_directory");
        const std::string path = all + "/" + (directory == "." ? "" : directory + "/") + f.at("name").get<std::string>();
        ASSERT_TRUE(fs::exists(fs::u8path(path))) << path;
        EXPECT_EQ(sha256Hex(readFile(path)), f.at("sha256")) << path;
    }
    EXPECT_EQ(CliProcess::sha256File(image), facts.at("sha256_image")) << "the source changed";

    // A file the new volume wrote over in part: restored whole, and the
    // message says how much of it the current volume uses.
    for (const auto& f : facts.at("files")) {
        if (f.value("deep_recoverable", 100) == 100) continue;
        CliProcess::Result r = CliProcess::run({"restore", image, "--offset",
                                                std::to_string(f.at("record_offset").get<std::uint64_t>()), "--output",
                                                dir + "/partly"});
        EXPECT_EQ(r.status, 0) << r.err;
        const int overwritten = 100 - f.at("deep_recoverable").get<int>();
        EXPECT_NE(r.out.find("but " + std::to_string(overwritten) + " percent of it had been overwritten"),
                  std::string::npos)
            << r.out;
    }

    // Without any boot sector: the image itself is the volume.
    const nlohmann::json noboot = fixtureFacts("noboot");
    const std::vector<nlohmann::json> files = restorable(noboot);
    ASSERT_FALSE(files.empty());
    const std::string out = dir + "/noboot-file";
    CliProcess::Result one = CliProcess::run({"restore", fixtureImage("noboot"), "--offset",
                                              std::to_string(files.back().at("record_offset").get<std::uint64_t>()),
                                              "--output", out});
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(sha256Hex(readFile(out)), files.back().at("sha256"));
}

TEST(DeepCli, MistakesAreUsageErrors) {
    const std::string image = fixtureImage("demo");
    const std::string dir = tempDir("cli-deep-usage");
    for (const std::vector<std::string>& args : {
             std::vector<std::string>{"restore", image, "--offset", "x", "--output", dir + "/x"},
             {"restore", image, "--offset", "-5", "--output", dir + "/x"},
             {"restore", image, "--offset", "4096"},
             {"restore", image, "--offset", "4096", "--record", "70", "--output", dir + "/x"},
             {"restore", image, "--deep", "--record", "70", "--output", dir + "/x"},
             {"restore", image, "--offset", "4096", "--all", "--output-dir", dir},
         }) {
        CliProcess::Result r = CliProcess::run(args);
        EXPECT_EQ(r.status, cli::kExitUsage) << args[2] << ": " << r.err;
    }
    EXPECT_TRUE(fs::is_empty(dir));
}
