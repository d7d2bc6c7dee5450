// resurgo search --carve and restore --carved / --all --carve on Debian's
// forensics-samples-ntfs image, made at test time by
// tests/fixtures/make_carve_sample.py with the truth The Sleuth Kit gives on
// the intact image: with its MFT and mirror zeroed, files come back byte
// for byte by their content, named only where the name is right; on the
// intact volume the carve adds nothing the walk lists.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "cli/CliProcess.h"
#include "cli/ExitCode.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::cli;
using namespace resurgo::test;
namespace fs = std::filesystem;

namespace {

// The case's directory, made once; empty when its package is missing.
std::string carveSample() {
    static const std::string dir = [] {
        const fs::path out = fs::path(RESURGO_FIXTURE_DIR) / "carve";
        if (fs::exists(out / "sample.truth.json")) return out.string();
        const std::string command = "python3 " + (fs::path(RESURGO_FIXTURE_SRC) / "make_carve_sample.py").string() +
                                    " " + out.string();
        return std::system(command.c_str()) == 0 ? out.string() : std::string();
    }();
    return dir;
}

std::vector<std::uint8_t> bytesAt(const std::string& image, std::uint64_t offset, std::uint64_t size) {
    std::ifstream in(image, std::ios::binary);
    std::vector<std::uint8_t> bytes(size);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

// What a carve of image gives back, measured against the truth (files by
// SHA-256; partition: where the volume starts on the image).
struct Measured {
    std::set<std::string> back, deletedBack;
    std::size_t named = 0, junk = 0;
    double seconds = 0;
};

Measured measureCarve(const std::string& image, std::uint64_t partition,
                      const std::map<std::string, std::vector<nlohmann::json>>& bySha) {
    Measured m;
    const auto started = std::chrono::steady_clock::now();
    const CliProcess::Result r = CliProcess::run({"search", image, "--carve", "--days", "1000000", "--json"});
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(r.status, kExitOk) << r.err;
    if (r.status != kExitOk) return m;
    std::set<std::string> walked;
    for (const auto& o : nlohmann::json::parse(r.out)) {
        if (!o.value("carved", false)) {
            walked.insert(o.at("name").get<std::string>());
            continue;
        }
        const auto bytes = bytesAt(image, partition + o.at("offset").get<std::uint64_t>(), o.at("size"));
        const auto it = bySha.find(sha256Hex(bytes));
        if (it == bySha.end()) {
            ++m.junk;
            continue;
        }
        std::set<std::string> paths;
        for (const auto& f : it->second) {
            paths.insert(f.at("path").get<std::string>());
            m.back.insert(f.at("path").get<std::string>());
            if (f.at("deleted").get<bool>()) m.deletedBack.insert(f.at("path").get<std::string>());
            EXPECT_EQ(walked.count(fs::path(f.at("path").get<std::string>()).filename().string()), 0u)
                << "carved again: " << f.at("path");
        }
        if (o.at("name_source") != "none") {
            // Right name, in its directory or in one whose name is lost.
            const std::string directory = o.at("directory");
            const std::string path = directory + "/" + o.at("name").get<std::string>();
            const bool lostDirectory = directory.rfind("lost_files/dir_@", 0) == 0;
            const bool right = std::any_of(paths.begin(), paths.end(), [&](const std::string& p) {
                return p == path || (lostDirectory && fs::path(p).filename() == o.at("name").get<std::string>());
            });
            EXPECT_TRUE(right) << "wrong name " << path;
            m.named += right ? 1 : 0;
        } else {
            EXPECT_EQ(o.at("directory"), "carved/" + o.at("type").get<std::string>());
        }
    }
    return m;
}

std::map<std::string, std::vector<nlohmann::json>> bySha(const nlohmann::json& truth) {
    std::map<std::string, std::vector<nlohmann::json>> out;
    for (const auto& f : truth.at("files")) out[f.at("sha256").get<std::string>()].push_back(f);
    return out;
}

} // namespace

TEST(CarveCli, FilesWithoutRecordsComeBackWholeAndNamedOnlyWhenRight) {
    const std::string dir = carveSample();
    if (dir.empty()) GTEST_SKIP() << "forensics-samples-ntfs is not installed";
    std::ifstream truthFile(fs::path(dir) / "sample.truth.json");
    const nlohmann::json truth = nlohmann::json::parse(truthFile);
    const std::uint64_t partition = truth.at("partition_offset").get<std::uint64_t>();

    const struct {
        const char* image;
        std::size_t minBack, minDeletedBack, minNamed, maxJunk;
    } cases[] = {
        {"sample-nomft.img", 33, 17, 12, 3},
        // The walk lists the deleted files; their clusters are claimed.
        {"sample.img", 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const Measured m = measureCarve((fs::path(dir) / c.image).string(), partition, bySha(truth));
        EXPECT_GE(m.back.size(), c.minBack);
        EXPECT_GE(m.deletedBack.size(), c.minDeletedBack);
        EXPECT_GE(m.named, c.minNamed);
        EXPECT_LE(m.junk, c.maxJunk);
        std::cout << c.image << ": " << m.back.size() << " files back, " << m.deletedBack.size() << " deleted, "
                  << m.named << " named, " << m.junk << " junk, " << m.seconds << " s\n";
    }
}

// Our own volume (tests/fixtures/make_carve_fixture.sh) with its MFT lost,
// and its boot sectors too: every file but the fragmented database comes
// back, each named, the deleted ones from entries left in index blocks'
// slack.
TEST(CarveCli, OwnVolumeWithoutMftOrBootComesBackNamed) {
    std::ifstream truthFile(fs::path(RESURGO_FIXTURE_SRC) / "carve.facts.json");
    const nlohmann::json truth = nlohmann::json::parse(truthFile);
    const struct {
        const char* image;
        std::size_t minBack, minDeletedBack, minNamed, maxJunk;
    } cases[] = {
        {"carve-nomft.img", 9, 5, 9, 1},
        {"carve-noboot.img", 9, 5, 9, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const Measured m = measureCarve((fs::path(RESURGO_FIXTURE_DIR) / c.image).string(), 0, bySha(truth));
        EXPECT_GE(m.back.size(), c.minBack);
        EXPECT_GE(m.deletedBack.size(), c.minDeletedBack);
        EXPECT_GE(m.named, c.minNamed);
        EXPECT_LE(m.junk, c.maxJunk);
    }
}

// A real volume whose $LogFile still holds Tulips.jpg (620,888 bytes from
// LCN 0x22CA, 512-byte clusters): listed from the log, its clusters are
// not carved again; left out by the age limit, the carve finds it there
// and the log names it.
TEST(CarveCli, LoggedVersionNamesTheFileCarvedAtItsFirstCluster) {
    const char* env = std::getenv("RESURGO_REAL_IMAGES");
    const std::string zip = std::string(env != nullptr ? env : RESURGO_REAL_IMAGES) + "/formats/SampleTinyNtfsVolume.zip";
    if (!fs::exists(zip)) GTEST_SKIP() << "no " << zip << " (set RESURGO_REAL_IMAGES)";
    const std::string dir = tempDir("carve-logfile");
    ASSERT_EQ(std::system(("unzip -qo '" + zip + "' -d '" + dir + "'").c_str()), 0);
    const std::string image = dir + "/SampleTinyNtfsVolume/partition.dd";
    constexpr std::uint64_t kTulips = 0x22CA * 512;
    // The source and name source of the one row of Tulips.jpg.
    const struct {
        const char *days, *source, *nameSource;
    } cases[] = {{"1000000", "logfile", ""}, {"1", "carved", "logfile"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.days);
        const CliProcess::Result r = CliProcess::run({"search", image, "--carve", "--days", c.days, "--json"});
        ASSERT_EQ(r.status, kExitOk) << r.err;
        std::size_t rows = 0;
        for (const auto& o : nlohmann::json::parse(r.out)) {
            if (o.at("name") != "Tulips.jpg" && !(o.value("carved", false) && o.at("offset") == kTulips)) continue;
            ++rows;
            EXPECT_EQ(o.at("name"), "Tulips.jpg");
            EXPECT_EQ(o.at("source"), c.source);
            EXPECT_EQ(o.value("name_source", ""), c.nameSource);
            EXPECT_EQ(o.at("size"), 620888u);
            EXPECT_EQ(o.at("directory"), ".");
        }
        EXPECT_EQ(rows, 1u) << r.out;
    }
}

TEST(CarveCli, RestoresCarvedFilesOneByOffsetAndAllUnderTheirNames) {
    const std::string dir = carveSample();
    if (dir.empty()) GTEST_SKIP() << "forensics-samples-ntfs is not installed";
    const std::string image = (fs::path(dir) / "sample-nomft.img").string();
    std::ifstream truthFile(fs::path(dir) / "sample.truth.json");
    const nlohmann::json truth = nlohmann::json::parse(truthFile);
    std::map<std::string, std::string> shaOf;
    for (const auto& f : truth.at("files")) shaOf[f.at("path")] = f.at("sha256");

    const std::string out = tempDir("carve-restore");
    const CliProcess::Result all =
        CliProcess::run({"restore", image, "--all", "--carve", "--days", "1000000", "--output-dir", out});
    ASSERT_EQ(all.status, kExitOk) << all.err;
    std::size_t checked = 0;
    for (const auto& [path, sha] : shaOf) {
        if (!fs::exists(fs::path(out) / path)) continue;
        EXPECT_EQ(sha256Hex(readFile((fs::path(out) / path).string())), sha) << path;
        ++checked;
    }
    EXPECT_GE(checked, 12u);

    const CliProcess::Result search = CliProcess::run({"search", image, "--carve", "--pattern", "*.docx", "--json"});
    const nlohmann::json listed = nlohmann::json::parse(search.out);
    ASSERT_FALSE(listed.empty()) << search.err;
    const std::string target = (fs::path(out) / "one.docx").string();
    const std::string offset = std::to_string(listed[0].at("offset").get<std::uint64_t>());
    const CliProcess::Result one = CliProcess::run({"restore", image, "--carved", offset, "--output", target});
    ASSERT_EQ(one.status, kExitOk) << one.err;
    EXPECT_EQ(fs::file_size(target), listed[0].at("size").get<std::uint64_t>());
    const CliProcess::Result none = CliProcess::run({"restore", image, "--carved", "512", "--output", target + "2"});
    EXPECT_EQ(none.status, kExitNotCarved) << none.err;
    EXPECT_FALSE(fs::exists(target + "2"));
}
