// resurgo search --deep, restore --offset, --name --deep and --all --deep, run as a
// program on the damaged fixtures and compared with what their facts say a
// scan must give.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "cli/CliProcess.h"
#include "cli/ExitCode.h"
#include "cli/ResultFormatter.h"
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

TEST(DeepCli, AnEmptyDeepSearchSaysWhatTheLimitsLeftOutAndTheAdviceGivenWorks) {
    const std::string image = fixtureImage("reformat");
    const nlohmann::json facts = fixtureFacts("reformat");
    // Every file is older than 0 days: how many match, and the --days that
    // lists them all.
    CliProcess::Result none = CliProcess::run({"search", image, "--deep", "--days", "0", "--pattern", "file_*"});
    ASSERT_EQ(none.status, 0) << none.err;
    const std::string::size_type line = none.out.find(" older deleted files match \"file_*\"");
    ASSERT_NE(line, std::string::npos) << none.out;
    const std::size_t older = std::stoul(none.out.substr(none.out.rfind('\n', line) + 1));
    const std::string::size_type at = none.out.rfind("--days ");
    const std::string days = none.out.substr(at + 7, none.out.find_first_not_of("0123456789", at + 7) - at - 7);
    CliProcess::Result all =
        CliProcess::run({"search", image, "--deep", "--days", days, "--pattern", "file_*", "--json"});
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(nlohmann::json::parse(all.out).size(), older) << none.out;
    EXPECT_EQ(none.out.find("formatted"), std::string::npos) << "no --deep advice after a deep search: " << none.out;

    // A file the new volume wrote over in part, left out by the least
    // recoverable percentage: the value that lists it.
    for (const auto& f : facts.at("files")) {
        if (f.value("deep_recoverable", 100) == 100) continue;
        const std::string name = f.at("name");
        const std::string percent = std::to_string(f.at("deep_recoverable").get<int>());
        CliProcess::Result less = CliProcess::run(
            {"search", image, "--deep", "--days", "1000000", "--min-recoverable", "100", "--pattern", name});
        ASSERT_EQ(less.status, 0) << less.err;
        EXPECT_NE(less.out.find("1 deleted file matching \"" + name + "\" within the age limit is less recoverable, " +
                                percent + "%: --min-recoverable " + percent + " includes it."),
                  std::string::npos)
            << less.out;
    }
    // A walk of the formatted volume's MFT finds none of the former files,
    // and says what would.
    CliProcess::Result walk = CliProcess::run({"search", image, "--days", "1000000", "--pattern", "deep.txt"});
    EXPECT_NE(walk.out.find("--deep reads all of the source"), std::string::npos) << walk.out;
}

TEST(DeepCli, RestoreByNameWithDeepTakesTheOneMatchOrListsTheOffsetsOfSeveral) {
    const std::string image = fixtureImage("reformat");
    const nlohmann::json facts = fixtureFacts("reformat");
    const std::string dir = tempDir("cli-deep-name");
    const std::vector<nlohmann::json> files = restorable(facts);
    auto named = [&files](const std::string& name) {
        return std::count_if(files.begin(), files.end(),
                             [&name](const nlohmann::json& f) { return f.at("name") == name; });
    };
    ASSERT_EQ(named("deep.txt"), 1);
    CliProcess::Result one =
        CliProcess::run({"restore", image, "--name", "deep.txt", "--deep", "--output", dir + "/deep.txt"});
    ASSERT_EQ(one.status, 0) << one.err;
    for (const auto& f : files) {
        if (f.at("name") == "deep.txt") {
            EXPECT_EQ(sha256Hex(readFile(dir + "/deep.txt")), f.at("sha256"));
        }
    }

    // Several: the deep table, its offsets what restore --offset takes, and
    // nothing written.
    CliProcess::Result several = CliProcess::run(
        {"restore", image, "--name", "file_*", "--deep", "--output", dir + "/several"}, {"COLUMNS=70"});
    EXPECT_EQ(several.status, cli::kExitUsage) << several.err;
    EXPECT_NE(several.err.find("restore one of them with --offset X:\n"), std::string::npos) << several.err;
    const std::string::size_type table = several.err.find("Offset  Name");
    ASSERT_NE(table, std::string::npos) << several.err;
    std::size_t rows = 0;
    for (std::string::size_type from = several.err.find('\n', table) + 1, end;
         (end = several.err.find('\n', from)) != std::string::npos; from = end + 1, ++rows) {
        const std::string row = several.err.substr(from, end - from);
        EXPECT_LE(cli::ResultFormatter::displayWidth(row), 70u) << row;
        const std::uint64_t offset = std::stoull(row);
        const bool known = std::any_of(files.begin(), files.end(), [offset](const nlohmann::json& f) {
            return f.at("record_offset") == offset && f.at("name").get<std::string>().rfind("file_", 0) == 0;
        });
        EXPECT_TRUE(known) << row;
    }
    EXPECT_GT(rows, 1u);
    EXPECT_FALSE(fs::exists(dir + "/several"));

    // Within an age limit that leaves it out: how to list it.
    CliProcess::Result older = CliProcess::run(
        {"restore", image, "--name", "deep.txt", "--deep", "--days", "0", "--output", dir + "/older.txt"});
    EXPECT_NE(older.err.find("1 older deleted file matches \"deep.txt\""), std::string::npos) << older.err;
    EXPECT_FALSE(fs::exists(dir + "/older.txt"));
}
