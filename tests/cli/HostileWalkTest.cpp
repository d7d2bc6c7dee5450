// Volumes whose MFT or names lie, each crafted here from a fixture by
// changing a few bytes, through the real command: MFT clusters the source
// can't give, an MFT run list that maps clusters twice, an absolute name,
// controls in a name, folders named "/" and ".", and a 1 GiB sparse file. Each
// case ends within seconds with a named outcome.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "cli/CliProcess.h"
#include "cli/ExitCode.h"
#include "core/TextUtf.h"
#include "hostile/HostileSupport.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test;
using hostile::get16;
using hostile::put64;
namespace fs = std::filesystem;

namespace {

const std::string kAll = "1000000";
const std::string kControls = "a\x7F" "b\xC2\x85" "c\xE2\x80\xAE" "d\xE2\x81\xA6" "e\xD8\x9C.txt";  // DEL C1 bidi
constexpr std::uint64_t kGiB = 1ULL << 30;

// fixture with edit applied, written once per test program.
std::string crafted(const std::string& name, const std::string& fixture, void (*edit)(hostile::Image&)) {
    static std::map<std::string, std::string> made;
    auto it = made.find(name);
    if (it != made.end()) return it->second;
    hostile::Image img = hostile::loadImage(fixture);
    edit(img);
    const std::string path = tempDir("hostile-walk-" + name) + "/" + name + ".img";
    writeFile(path, img.bytes);
    return made[name] = path;
}

// Moves the second run of c512's $MFT (after the absolute first run, one
// length and two offset bytes) by delta clusters; the runs after it are
// relative to it and move along.
void moveMftRuns(hostile::Image& img, std::int16_t delta) {
    hostile::editRecord(img, 0, [&](std::uint8_t* rec, std::size_t len) {
        const std::size_t data = hostile::findAttribute(rec, len, MFT_RECORD::kTypeData);
        const std::size_t first = data + get16(rec + data + 0x20);
        const std::size_t run = first + 1 + (rec[first] & 15) + (rec[first] >> 4);
        ASSERT_EQ(rec[run], 0x21);
        ASSERT_EQ(get16(rec + run + 2), 2978 - 32);
        hostile::put16(rec + run + 2, static_cast<std::uint16_t>(2978 - 32 + delta));
    });
}

// Records from 299 on past the image's end: the boot sector claims eight
// times the image, the MFT's runs from the second on lie beyond it.
std::string unreadableMft() {
    return crafted("unreadable", "c512", [](hostile::Image& img) {
        moveMftRuns(img, 20000);
        put64(img.bytes.data() + 0x28, hostile::get64(img.bytes.data() + 0x28) * 8);
    });
}

// The second run maps clusters 170-233 (records 69-100) again, and so do
// the runs after it, moved along.
std::string remappedMft() {
    return crafted("remapped", "c512", [](hostile::Image& img) { moveMftRuns(img, 170 - 2978); });
}

// An absolute name (68), controls (69), record 71's folders named "/" and ".".
std::string oddNames() {
    return crafted("names", "s4096", [](hostile::Image& img) {
        for (auto [record, name] :
             std::map<std::uint64_t, std::string>{{68, "/tmp/x_abs.txt"}, {69, kControls}, {66, "/"}, {67, "."}}) {
            hostile::renameRecord(img, record, TextUtf::toUtf16(name));
        }
    });
}

// basic's sparse.bin (116) made 1 GiB: its first data cluster, then one
// sparse run of 262143 clusters.
std::string hugeSparse() {
    return crafted("sparse", "basic", [](hostile::Image& img) {
        hostile::editRecord(img, 116, [](std::uint8_t* rec, std::size_t len) {
            const std::size_t d = hostile::findAttribute(rec, len, MFT_RECORD::kTypeData);
            put64(rec + d + 0x18, kGiB / 4096 - 1);                               // last VCN
            for (std::size_t at : {0x28, 0x30, 0x38}) put64(rec + d + at, kGiB);  // allocated, data, initialized
            std::uint8_t* runs = rec + d + get16(rec + d + 0x20);
            ASSERT_EQ(runs[0], 0x21);
            const std::uint8_t list[] = {0x21, 0x01, runs[2], runs[3], 0x03, 0xFF, 0xFF, 0x03, 0x00, 0, 0, 0};
            ASSERT_GE(rec + d + hostile::get32(rec + d + 4) - runs, static_cast<std::ptrdiff_t>(sizeof list));
            std::memcpy(runs, list, sizeof list);
        });
    });
}

off_t blocksOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_blocks : -1;
}

using Args = std::vector<std::string>;
using Check = std::function<void(const std::string& dest, const CliProcess::Result&)>;

struct Case {
    const char* what;
    std::function<Args(const std::string& dest)> args;
    int status;
    std::vector<std::string> shown, notShown;  // in stdout + stderr
    Check check;
};

} // namespace

TEST(HostileWalk, EachCaseEndsInTimeWithItsNamedOutcome) {
    const std::vector<Case> cases{
        {"MFT records the source can't give: counted, placed, the list may lack files",
         [](const std::string&) { return Args{"search", unreadableMft(), "--days", kAll}; }, cli::kExitIncomplete,
         {"MFT records could not be read from the source (records 299-", "the list may lack deleted files"}, {},
         [](const std::string&, const CliProcess::Result& r) {
             EXPECT_NE(r.out.find("p2_0000.txt"), std::string::npos) << r.out;  // record 291
             EXPECT_EQ(r.out.find("p2_0042.txt"), std::string::npos) << r.out;  // record 333
         }},
        {"restoring a record there names the source, not the record",
         [](const std::string& dest) { return Args{"restore", unreadableMft(), "--record", "333", "-o", dest + "/o"}; },
         cli::kExitFileDamaged, {"record 333 can't be read: the source could not give its MFT clusters (byte "},
         {"File damaged"}, [](const std::string& dest, const CliProcess::Result&) { EXPECT_FALSE(fs::exists(dest + "/o")); }},
        {"a run list mapping clusters twice: the mapping dropped and named, nothing listed twice",
         [](const std::string&) { return Args{"search", remappedMft(), "--days", kAll, "--json"}; },
         cli::kExitIncomplete, {"maps clusters a second time (records 299-330 onto the clusters at byte 87040, "}, {},
         [](const std::string&, const CliProcess::Result& r) {
             std::multiset<std::string> names;
             for (const auto& o : nlohmann::json::parse(r.out)) names.insert(o.at("name").get<std::string>());
             EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size()) << r.out;
             EXPECT_EQ(names.count("p1_0003.txt"), 1u) << r.out;  // record 69, mapped again at 299
         }},
        {"a file named /tmp/x_abs.txt restored into a folder: the path written is named",
         [](const std::string& dest) { return Args{"restore", oddNames(), "--record", "68", "--output", dest}; }, 0,
         {}, {"File /tmp/x_abs.txt"},
         [](const std::string& dest, const CliProcess::Result& r) {
             EXPECT_EQ(r.out, "File " + dest + "/_tmp_x_abs.txt successfully restored\n");
             EXPECT_TRUE(fs::is_regular_file(dest + "/_tmp_x_abs.txt"));
         }},
        {"--json: DEL, C1 and bidirectional controls escaped; folders named / and . kept",
         [](const std::string&) { return Args{"search", oddNames(), "--days", kAll, "--json"}; }, 0,
         {"a\\u007fb\\u0085c\\u202ed\\u2066e\\u061c.txt"}, {"\x7F", "\xC2\x85", "\xE2\x80\xAE", "\xE2\x81\xA6", "\xD8\x9C"},
         [](const std::string&, const CliProcess::Result& r) {
             std::map<std::uint64_t, nlohmann::json> byRecord;
             for (const auto& o : nlohmann::json::parse(r.out)) byRecord[o.at("record")] = o;
             EXPECT_EQ(byRecord.at(69).at("name"), kControls);
             EXPECT_EQ(byRecord.at(71).at("directory"), "//.");
             EXPECT_EQ(byRecord.at(71).at("path_components"), (std::vector<std::string>{"/", "."}));
         }},
        {"a 1 GiB sparse file with one data cluster: a hole, not 1 GiB of zeros",
         [](const std::string& dest) { return Args{"restore", hugeSparse(), "-r", "116", "-o", dest + "/s"}; }, 0,
         {"successfully restored"}, {},
         [](const std::string& dest, const CliProcess::Result&) {
             EXPECT_EQ(fs::file_size(dest + "/s"), kGiB);
             EXPECT_LT(blocksOf(dest + "/s") * 512, 1 << 20) << "the hole was written";
             std::vector<std::uint8_t> head(4096);
             std::ifstream(dest + "/s", std::ios::binary).read(reinterpret_cast<char*>(head.data()), 4096);
             const std::vector<std::uint8_t> image = readFile(fixtureImage("basic"));
             EXPECT_TRUE(std::equal(head.begin(), head.end(), image.begin() + 3401 * 4096));  // its first cluster
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dest = tempDir("hostile-walk-dest");
        const Args args = c.args(dest);  // the image is made before the clock starts
        const auto start = std::chrono::steady_clock::now();
        const CliProcess::Result r = CliProcess::run(args);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5 * hostile::slowFactor()));
        EXPECT_EQ(r.status, c.status) << r.err;
        for (const std::string& text : c.shown) EXPECT_NE((r.out + r.err).find(text), std::string::npos) << text;
        for (const std::string& text : c.notShown) EXPECT_EQ((r.out + r.err).find(text), std::string::npos) << text;
        if (c.check) c.check(dest, r);
    }
}
