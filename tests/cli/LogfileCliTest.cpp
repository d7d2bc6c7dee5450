// Files rebuilt from $LogFile on real volumes, run as a program: the two
// files of SampleTinyNtfsVolume whose records Windows reused are listed
// with their sizes and directory, restored one by one with --logged and
// all together with --all, and checked by other tools (unzip -t, an image
// decoder); on the other real images no record is listed twice.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include "cli/CliProcess.h"
#include "cli/ExitCode.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test;
namespace fs = std::filesystem;

namespace {

std::string realImages() {
    const char* env = std::getenv("RESURGO_REAL_IMAGES");
    return env != nullptr ? env : RESURGO_REAL_IMAGES;
}

bool toolPresent(const std::string& tool) { return std::system(("command -v " + tool + " >/dev/null").c_str()) == 0; }

// Checks a restored file with another tool.
void checkWithTool(const std::string& name, const std::string& path) {
    const std::string check = name == "suspicious.zip" ? "unzip -tq '" + path + "' >/dev/null"
                                                       : "convert '" + path + "' -resize 1x1 null: 2>/dev/null";
    const std::string tool = name == "suspicious.zip" ? "unzip" : "convert";
    if (!toolPresent(tool)) return;
    EXPECT_EQ(std::system(check.c_str()), 0) << check;
}

} // namespace

TEST(LogfileCli, ReusedRecordsOfARealVolumeAreListedAndRestoreToFilesThatCheck) {
    const std::string zip = realImages() + "/formats/SampleTinyNtfsVolume.zip";
    if (!fs::exists(zip)) GTEST_SKIP() << "no " << zip << " (set RESURGO_REAL_IMAGES)";
    const std::string dir = tempDir("cli-logfile");
    ASSERT_EQ(std::system(("unzip -qo '" + zip + "' -d '" + dir + "'").c_str()), 0);
    const std::string image = dir + "/SampleTinyNtfsVolume/partition.dd";

    CliProcess::Result search = CliProcess::run({"search", image, "--days", "1000000", "--json"});
    ASSERT_EQ(search.status, 0) << search.err;
    // Record, name and size as the volume's readme and the log's owner state them.
    const std::map<std::uint64_t, std::pair<std::string, std::uint64_t>> expected{
        {32, {"Tulips.jpg", 620888}}, {33, {"suspicious.zip", 1365580}}};
    std::map<std::uint64_t, std::pair<std::string, std::uint64_t>> listed;
    for (const auto& f : nlohmann::json::parse(search.out)) {
        EXPECT_EQ(f.at("source"), "logfile");
        EXPECT_EQ(f.at("directory"), ".");
        listed[f.at("record")] = {f.at("name"), f.at("size")};
    }
    EXPECT_EQ(listed, expected);
    CliProcess::Result table = CliProcess::run({"search", image, "--days", "1000000", "--wide"});
    EXPECT_NE(table.out.find("from the journal"), std::string::npos) << table.out;

    for (const auto& [record, file] : expected) {
        SCOPED_TRACE(file.first);
        const std::string out = dir + "/" + file.first;
        CliProcess::Result r = CliProcess::run({"restore", image, "--record", std::to_string(record), "--logged",
                                                "--output", out});
        ASSERT_EQ(r.status, cli::kExitOk) << r.err;
        EXPECT_EQ(fs::file_size(out), file.second);
        checkWithTool(file.first, out);
        // Without --logged the record is the file that reused it.
        EXPECT_EQ(CliProcess::run({"restore", image, "--record", std::to_string(record), "--output", out + ".x"}).status,
                  cli::kExitRecordInUse);
    }
    EXPECT_EQ(CliProcess::run({"restore", image, "--record", "31", "--logged", "--output", dir + "/none"}).status,
              cli::kExitNotLogged);
    CliProcess::Result all =
        CliProcess::run({"restore", image, "--all", "--days", "1000000", "--output-dir", dir + "/all"});
    ASSERT_EQ(all.status, cli::kExitOk) << all.err;
    for (const auto& [record, file] : expected) {
        EXPECT_EQ(CliProcess::sha256File(dir + "/all/" + file.first), CliProcess::sha256File(dir + "/" + file.first));
    }
}

TEST(LogfileCli, OnOtherRealVolumesNoRecordIsListedTwice) {
    // Unpacked once, beside the other tests' copies.
    const std::string dir = std::string(RESURGO_FIXTURE_DIR) + "/real";
    fs::create_directories(dir);
    std::size_t tried = 0;
    for (const char* path : {"windows/dftt7-undel.img.zst", "windows/win10-test.img.zst",
                             "windows/win10-sim-deleted-ones.img.zst", "windows/win10-ramslack-sim-deleted.img.zst",
                             "formats/vsstest.qcow2", "formats/ntfs1-gen0.E01", "formats/ctf_file6.E01",
                             "formats/windows_volume.qcow2"}) {
        SCOPED_TRACE(path);
        std::string image = realImages() + "/" + path;
        if (!fs::exists(image)) continue;
        if (fs::path(image).extension() == ".zst") {
            const std::string out = dir + "/" + fs::path(image).stem().string();
            if (!fs::exists(out)) {
                ASSERT_EQ(std::system(("zstd -q -d -f '" + image + "' -o '" + out + "'").c_str()), 0);
            }
            image = out;
        }
        ++tried;
        CliProcess::Result r = CliProcess::run({"search", image, "--days", "1000000", "--json"});
        ASSERT_EQ(r.status, 0) << r.err;
        std::set<std::uint64_t> records;
        for (const auto& f : nlohmann::json::parse(r.out)) {
            EXPECT_TRUE(records.insert(f.at("record").get<std::uint64_t>()).second) << f.dump();
        }
    }
    if (tried == 0) GTEST_SKIP() << "no real images at " << realImages();
}

// The same volume with its MFT and the mirror zeroed (their clusters as The
// Sleuth Kit's istat lists them), and then its boot sectors too: the deep
// search finds the log by its restart pages (and, without boot sectors,
// the cluster size by the records the log initialized) and restores the
// same bytes as the log read through its record.
TEST(LogfileCli, WithTheMftLostTheLogIsFoundByItsRestartPages) {
    const std::string zip = realImages() + "/formats/SampleTinyNtfsVolume.zip";
    if (!fs::exists(zip)) GTEST_SKIP() << "no " << zip << " (set RESURGO_REAL_IMAGES)";
    if (!toolPresent("istat")) GTEST_SKIP() << "no istat (sleuthkit)";
    const std::string dir = tempDir("cli-logfile-nomft");
    ASSERT_EQ(std::system(("unzip -qo '" + zip + "' -d '" + dir + "'").c_str()), 0);
    const std::string intact = dir + "/SampleTinyNtfsVolume/partition.dd";
    std::map<std::string, std::string> truth;  // name -> SHA-256 of the log's version read through its record
    for (const auto& [record, name] : std::map<int, std::string>{{32, "Tulips.jpg"}, {33, "suspicious.zip"}}) {
        const std::string out = dir + "/" + name;
        ASSERT_EQ(CliProcess::run({"restore", intact, "--record", std::to_string(record), "--logged", "--output", out})
                      .status,
                  cli::kExitOk);
        truth[name] = CliProcess::sha256File(out);
    }
    const std::string zeroMft = "import re, subprocess, sys\n"
                                "img = sys.argv[1]\n"
                                "out = subprocess.run(['istat', img, '0'], capture_output=True, text=True).stdout\n"
                                "data = out.split('Type: $DATA', 1)[1].split('Type:', 1)[0].split('\\n', 1)[1]\n"
                                "clusters = [int(c) for c in re.findall(r'\\b\\d+\\b', data)] + list(range(16, 24))\n"
                                "with open(img, 'r+b') as f:\n"
                                "    for c in clusters:\n"
                                "        f.seek(c * 512)\n"
                                "        f.write(bytes(512))\n"
                                "    if len(sys.argv) > 2:\n"
                                "        f.seek(0)\n"
                                "        f.write(bytes(512))\n"
                                "        f.seek(-512, 2)\n"
                                "        f.write(bytes(512))\n";
    struct Variant {
        const char* name;
        const char* extra;
    };
    for (const Variant v : {Variant{"nomft", ""}, Variant{"noboot", " noboot"}}) {
        SCOPED_TRACE(v.name);
        const std::string image = dir + "/" + v.name + ".dd";
        fs::copy_file(intact, image, fs::copy_options::overwrite_existing);
        ASSERT_EQ(std::system(("python3 -c \"$(cat <<'PY'\n" + zeroMft + "PY\n)\" '" + image + "'" + v.extra).c_str()),
                  0);
        ASSERT_NE(CliProcess::run({"search", image, "--days", "1000000", "--json"}).status, cli::kExitOk);
        CliProcess::Result search = CliProcess::run({"search", image, "--deep", "--days", "1000000", "--json"});
        ASSERT_EQ(search.status, cli::kExitOk) << search.err;
        std::map<std::string, std::uint64_t> listed;
        for (const auto& f : nlohmann::json::parse(search.out)) {
            EXPECT_EQ(f.at("source"), "logfile") << f.dump();
            EXPECT_EQ(f.at("recoverable"), 100) << f.dump();
            EXPECT_FALSE(f.contains("guessed_geometry")) << f.dump();
            listed[f.at("name")] = f.at("size");
        }
        EXPECT_EQ(listed, (std::map<std::string, std::uint64_t>{{"Tulips.jpg", 620888}, {"suspicious.zip", 1365580}}));
        const std::string all = dir + "/" + v.name + "-all";
        ASSERT_EQ(CliProcess::run({"restore", image, "--all", "--deep", "--days", "1000000", "--output-dir", all}).status,
                  cli::kExitOk);
        const std::string one = dir + "/" + v.name + "-32.jpg";
        ASSERT_EQ(
            CliProcess::run({"restore", image, "--deep", "--record", "32", "--logged", "--output", one}).status,
            cli::kExitOk);
        for (const auto& [name, sha] : truth) EXPECT_EQ(CliProcess::sha256File(all + "/" + name), sha) << name;
        EXPECT_EQ(CliProcess::sha256File(one), truth["Tulips.jpg"]);
    }
}
