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

} // namespace

TEST(CarveCli, FilesWithoutRecordsComeBackWholeAndNamedOnlyWhenRight) {
    const std::string dir = carveSample();
    if (dir.empty()) GTEST_SKIP() << "forensics-samples-ntfs is not installed";
    std::ifstream truthFile(fs::path(dir) / "sample.truth.json");
    const nlohmann::json truth = nlohmann::json::parse(truthFile);
    const std::uint64_t partition = truth.at("partition_offset").get<std::uint64_t>();
    std::map<std::string, std::vector<nlohmann::json>> bySha;
    for (const auto& f : truth.at("files")) bySha[f.at("sha256").get<std::string>()].push_back(f);

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
        const std::string image = (fs::path(dir) / c.image).string();
        const auto started = std::chrono::steady_clock::now();
        const CliProcess::Result r = CliProcess::run({"search", image, "--carve", "--days", "1000000", "--json"});
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        ASSERT_EQ(r.status, kExitOk) << r.err;
        std::set<std::string> back, deletedBack, walked;
        std::size_t named = 0, junk = 0;
        for (const auto& o : nlohmann::json::parse(r.out)) {
            if (!o.value("carved", false)) {
                walked.insert(o.at("name").get<std::string>());
                continue;
            }
            const auto bytes = bytesAt(image, partition + o.at("offset").get<std::uint64_t>(), o.at("size"));
            const auto it = bySha.find(sha256Hex(bytes));
            if (it == bySha.end()) {
                ++junk;
                continue;
            }
            std::set<std::string> paths;
            for (const auto& f : it->second) {
                paths.insert(f.at("path").get<std::string>());
                back.insert(f.at("path").get<std::string>());
                if (f.at("deleted").get<bool>()) deletedBack.insert(f.at("path").get<std::string>());
                EXPECT_EQ(walked.count(fs::path(f.at("path").get<std::string>()).filename().string()), 0u)
                    << "carved again: " << f.at("path");
            }
            if (o.at("name_source") == "index") {
                // Right name, in its directory or in one whose name is lost.
                const std::string directory = o.at("directory");
                const std::string path = directory + "/" + o.at("name").get<std::string>();
                const bool lostDirectory = directory.rfind("lost_files/dir_@", 0) == 0;
                const bool right = std::any_of(paths.begin(), paths.end(), [&](const std::string& p) {
                    return p == path || (lostDirectory && fs::path(p).filename() == o.at("name").get<std::string>());
                });
                EXPECT_TRUE(right) << "wrong name " << path;
                named += right ? 1 : 0;
            } else {
                EXPECT_EQ(o.at("directory"), "carved/" + o.at("type").get<std::string>());
            }
        }
        EXPECT_GE(back.size(), c.minBack);
        EXPECT_GE(deletedBack.size(), c.minDeletedBack);
        EXPECT_GE(named, c.minNamed);
        EXPECT_LE(junk, c.maxJunk);
        std::cout << c.image << ": " << back.size() << " files back, " << deletedBack.size() << " deleted, " << named
                  << " named, " << junk << " junk, " << seconds << " s\n";
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
