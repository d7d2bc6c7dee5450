// resurgo search --deep, restore --offset, --name --deep and --all --deep, run as a
// program on the damaged fixtures and compared with what their facts say a
// scan must give; damaged variants restore the right bytes or say the geometry
// was guessed, and real Windows volumes list nothing the walk does not.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

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
        nlohmann::json found = nlohmann::json::parse(scan.out);
        nlohmann::json walked = nlohmann::json::parse(walk.out);
        // The same files, each saying what found it.
        for (auto& f : found) {
            EXPECT_EQ(f["source"], "deep");
            f.erase("source");
        }
        for (auto& f : walked) {
            EXPECT_EQ(f["source"], "mft");
            f.erase("source");
        }
        EXPECT_EQ(found, walked);

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

namespace {

// The image with every 4 KiB block that starts an index block zeroed,
// shift zero bytes before it: nothing is left to infer a geometry from.
std::string withoutIndexBlocks(const std::string& image, std::size_t shift, const std::string& out) {
    std::vector<std::uint8_t> bytes = readFile(image);
    for (std::size_t at = 0; at + 4096 <= bytes.size(); at += 4096) {
        if (std::equal(bytes.begin() + at, bytes.begin() + at + 4, "INDX")) std::fill_n(bytes.begin() + at, 4096, 0);
    }
    bytes.insert(bytes.begin(), shift, 0);
    writeFile(out, bytes);
    return out;
}

std::set<std::pair<std::uint64_t, std::string>> listedIn(const CliProcess::Result& r) {
    std::set<std::pair<std::uint64_t, std::string>> out;
    for (const auto& f : nlohmann::json::parse(r.out)) {
        out.insert({f.at("record").get<std::uint64_t>(), f.at("name").get<std::string>()});
    }
    return out;
}

} // namespace

TEST(DeepCli, EveryDamagedVariantGivesTheRightBytesOrSaysItsGeometryIsGuessed) {
    const std::string dir = tempDir("cli-deep-trust");
    const std::string bare = withoutIndexBlocks(fixtureImage("mft16noboot"), 0, dir + "/noindex.img");
    const std::string moved = withoutIndexBlocks(fixtureImage("mft16noboot"), 1536, dir + "/noindex-moved.img");
    const struct {
        const char* facts;
        std::string image;
        std::uint64_t shift;  // of the volume, beyond the facts' offsets
        bool known;           // the geometry is the boot sector's or confirmed: every file exact
        const char* says;
    } cases[] = {
        {"mft16", fixtureImage("mft16"), 0, true, "deep scan read"},
        {"mft16noboot", fixtureImage("mft16noboot"), 0, true, "inferred from"},
        {"shifted", fixtureImage("shifted"), 0, true, "the volume starting at byte 1536"},
        {"mft16noboot", bare, 0, false, "guessed 4096-byte clusters"},
        {"mft16noboot", moved, 1536, false, "guessed 4096-byte clusters"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const nlohmann::json facts = fixtureFacts(c.facts);
        CliProcess::Result search = CliProcess::run({"search", c.image, "--deep", "--days", "1000000", "--json"});
        ASSERT_EQ(search.status, 0) << search.err;
        EXPECT_NE(search.err.find(c.says), std::string::npos) << search.err;
        std::map<std::uint64_t, nlohmann::json> byOffset;
        for (const auto& o : nlohmann::json::parse(search.out)) byOffset[o.at("offset").get<std::uint64_t>()] = o;
        // Every file at once, as restore --all --deep writes them: each one
        // exact, or named as written through the guess.
        const std::string all = dir + "/all-" + std::to_string(&c - cases);
        CliProcess::Result r =
            CliProcess::run({"restore", c.image, "--all", "--deep", "--output-dir", all, "--days", "1000000"});
        if (c.known) {
            EXPECT_EQ(r.status, 0) << r.err;
        } else {
            // Through the guess, or failed where it maps past the source.
            EXPECT_TRUE(r.status == cli::kExitGuessedGeometry || r.status == cli::kExitCopyFailed ||
                        r.status == cli::kExitDamagedUnits || r.status == cli::kExitWiped)
                << r.err;
        }
        std::size_t exact = 0, guessed = 0;
        nlohmann::json single;  // a file with data in clusters
        for (const auto& f : restorable(facts)) {
            if (!f.at("deleted").get<bool>()) continue;
            const std::uint64_t offset = f.at("record_offset").get<std::uint64_t>() + c.shift;
            auto listed = byOffset.find(offset);
            ASSERT_NE(listed, byOffset.end()) << f.at("name");
            const bool resident = !f.at("data_nonresident").get<bool>() || f.at("size").get<std::uint64_t>() == 0;
            EXPECT_EQ(listed->second.value("guessed_geometry", false), !c.known && !resident) << f.at("name");
            if (!resident && single.is_null()) single = f;
            const std::string directory = f.at("deep_directory");
            const std::string shown = (directory == "." ? "" : directory + "/") + f.at("name").get<std::string>();
            if (sha256Hex(readFile(all + "/" + shown)) == f.at("sha256")) {
                ++exact;
            } else {
                // Other bytes only with the word that they may be, or none.
                EXPECT_TRUE(r.err.find(shown + ": written through a guessed geometry") != std::string::npos ||
                            r.err.find(shown + " (record") != std::string::npos)
                    << shown << r.err;
                ++guessed;
            }
        }
        EXPECT_GT(exact, 0u);
        if (c.known) {
            EXPECT_EQ(guessed, 0u);
        }
        // One by its offset: success means the right bytes.
        ASSERT_FALSE(single.is_null());
        const std::string out = dir + "/one-" + std::to_string(&c - cases);
        CliProcess::Result one = CliProcess::run(
            {"restore", c.image, "--offset", std::to_string(single.at("record_offset").get<std::uint64_t>() + c.shift),
             "--output", out});
        if (c.known) {
            EXPECT_EQ(one.status, 0) << one.err;
            EXPECT_EQ(sha256Hex(readFile(out)), single.at("sha256"));
        } else {
            EXPECT_TRUE(one.status == cli::kExitGuessedGeometry || one.status == cli::kExitCopyFailed) << one.err;
            if (one.status == cli::kExitGuessedGeometry) {
                EXPECT_NE(one.out.find("layout was guessed"), std::string::npos) << one.out;
            }
        }
    }
}

TEST(DeepCli, OnRealWindowsVolumesTheScanListsOnlyWhatTheWalkDoesAndOlderVersions) {
    const char* env = std::getenv("RESURGO_REAL_IMAGES");
    const std::string real = env != nullptr ? env : RESURGO_REAL_IMAGES;
    const std::string unpacked = std::string(RESURGO_FIXTURE_DIR) + "/real";
    fs::create_directories(unpacked);
    // Beyond what the walk lists, only an older version of a reused record:
    // /syslog, record 35 before the live volume reused it for syslog.gz,
    // kept in a shadow copy's store.
    const std::map<std::string, std::set<std::pair<std::uint64_t, std::string>>> cases{
        {"windows/win10-2m.img.zst", {}}, {"windows/win10-test.img.zst", {}},
        {"windows/win10-sim-deleted-ones.img.zst", {}}, {"windows/win10-ramslack-sim-deleted.img.zst", {}},
        {"windows/win10-si-vs-fn.img.zst", {}}, {"windows/dftt7-undel.img.zst", {}},
        {"formats/vsstest.qcow2", {{35, "syslog"}}}, {"formats/windows_volume.qcow2", {}},
        {"formats/ctf_file6.E01", {}}, {"formats/ntfs1-gen0.E01", {}}};
    std::size_t tried = 0;
    for (const auto& [path, older] : cases) {
        SCOPED_TRACE(path);
        std::string image = real + "/" + path;
        if (!fs::exists(image)) continue;
        if (fs::path(image).extension() == ".zst") {
            const std::string out = unpacked + "/" + fs::path(image).stem().string();
            if (!fs::exists(out)) {
                ASSERT_EQ(std::system(("zstd -q -d -f '" + image + "' -o '" + out + "'").c_str()), 0);
            }
            image = out;
        }
        ++tried;
        CliProcess::Result walk = CliProcess::run({"search", image, "--days", "1000000", "--json"});
        CliProcess::Result deep = CliProcess::run({"search", image, "--deep", "--days", "1000000", "--json"});
        ASSERT_EQ(walk.status, 0) << walk.err;
        ASSERT_EQ(deep.status, 0) << deep.err;
        std::set<std::pair<std::uint64_t, std::string>> allowed = listedIn(walk);
        allowed.insert(older.begin(), older.end());
        for (const auto& f : listedIn(deep)) EXPECT_EQ(allowed.count(f), 1u) << f.first << " " << f.second;
        for (const auto& f : older) EXPECT_EQ(listedIn(deep).count(f), 1u) << f.first << " " << f.second;
    }
    if (tried == 0) GTEST_SKIP() << "no real images at " << real;
}

TEST(DeepCli, RestoreByOffsetFollowsTheAttributeListToExtensionRecordsFarAway) {
    // nomft's record 84 keeps its runs in extension records its attribute
    // list names; 100 is moved far from it (the MFT does not open, so only
    // a scan can find it there).
    const nlohmann::json facts = fixtureFacts("nomft");
    const std::string dir = tempDir("cli-deep-far");
    std::vector<std::uint8_t> bytes = readFile(fixtureImage("nomft"));
    const nlohmann::json file = *std::find_if(facts.at("files").begin(), facts.at("files").end(),
                                              [](const nlohmann::json& f) { return f.at("record") == 84; });
    const std::size_t recordBytes = facts.at("mft_record_size");
    const std::size_t base = file.at("record_offset");
    const std::size_t from = base + (100 - 84) * recordBytes;
    std::size_t to = bytes.size() - (1 << 20);
    while (to > from && std::any_of(bytes.begin() + to, bytes.begin() + to + 4096, [](std::uint8_t b) { return b != 0; })) {
        to -= 4096;
    }
    ASSERT_GT(to, from + 1024 * recordBytes);
    std::copy_n(bytes.begin() + from, recordBytes, bytes.begin() + to);
    std::fill_n(bytes.begin() + from, recordBytes, 0);
    const std::string image = dir + "/far.img";
    writeFile(image, bytes);
    CliProcess::Result r = CliProcess::run({"restore", image, "--offset", std::to_string(base), "--output", dir + "/out"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sha256Hex(readFile(dir + "/out")), file.at("sha256"));
}
