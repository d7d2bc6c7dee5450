// Volumes whose MFT or names lie, through the real command, each crafted
// here from a fixture by changing a few bytes: MFT clusters the source
// can't give, an MFT run list that maps clusters twice, a name that is an
// absolute path, names with controls for --json, folders named "/" and
// ".", and a 1 GiB sparse file with one data cluster. Each case runs in a
// few seconds and ends with a named outcome.

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
namespace fs = std::filesystem;

namespace {

using hostile::get16;
using hostile::put16;
using hostile::put32;
using hostile::put64;

const std::string kAll = "1000000";
const std::string kControls =
    "a\x7F"
    "b\xC2\x85"
    "c\xE2\x80\xAE"
    "d\xE2\x81\xA6"
    "e\xD8\x9C.txt";  // DEL C1 bidi

std::string saved(const hostile::Image& img, const std::string& name) {
    const std::string path = tempDir("hostile-walk-" + name) + "/" + name + ".img";
    writeFile(path, img.bytes);
    return path;
}

// The byte of the second run in the $MFT's run list (record 0 of c512:
// its first run is absolute, the second's offset two bytes).
std::size_t secondMftRun(const std::uint8_t* rec, std::size_t len) {
    const std::size_t data = hostile::findAttribute(rec, len, MFT_RECORD::kTypeData);
    const std::size_t first = data + get16(rec + data + 0x20);
    return first + 1 + (rec[first] & 15) + (rec[first] >> 4);
}

// The second run of c512's MFT moved by delta clusters (the runs after it
// are relative to it and move along).
hostile::Image movedMftRuns(std::int16_t delta) {
    hostile::Image img = hostile::loadImage("c512");
    hostile::editRecord(img, 0, [&](std::uint8_t* rec, std::size_t len) {
        const std::size_t run = secondMftRun(rec, len);
        ASSERT_EQ(rec[run], 0x21) << "one length byte, two offset bytes";
        const auto offset = static_cast<std::int16_t>(get16(rec + run + 2));
        ASSERT_EQ(offset, 2978 - 32);
        put16(rec + run + 2, static_cast<std::uint16_t>(offset + delta));
    });
    return img;
}

// MFT records from 299 on lie on clusters the source does not hold: the boot
// sector claims a volume eight times the image, and the MFT's second run
// and those after it lie past the image's end, inside that volume.
const std::string& unreadableMft() {
    static const std::string path = [] {
        hostile::Image img = movedMftRuns(20000);
        const std::uint64_t sectors = hostile::get64(img.bytes.data() + 0x28);
        put64(img.bytes.data() + 0x28, sectors * 8);
        return saved(img, "unreadable");
    }();
    return path;
}

// The MFT's second run maps clusters 170-233 again, which its first run
// maps (records 69-100): so does every run after it, moved along.
const std::string& remappedMft() {
    static const std::string path = [] {
        return saved(movedMftRuns(static_cast<std::int16_t>(170 - 2978)), "remapped");
    }();
    return path;
}

// s4096 with an absolute name, controls in a name, and the folders of
// record 71 named "/" and ".".
const std::string& oddNames() {
    static const std::string path = [] {
        hostile::Image img = hostile::loadImage("s4096");
        for (auto [record, name] :
             std::map<std::uint64_t, std::string>{{68, "/tmp/x_abs.txt"}, {69, kControls}, {66, "/"}, {67, "."}}) {
            hostile::renameRecord(img, record, TextUtf::toUtf16(name));
        }
        return saved(img, "names");
    }();
    return path;
}

constexpr std::uint64_t kGiB = 1ULL << 30;

// basic's sparse.bin (record 116) made 1 GiB: one data cluster, then one
// sparse run to the end.
const std::string& hugeSparse() {
    static const std::string path = [] {
        hostile::Image img = hostile::loadImage("basic");
        hostile::editRecord(img, 116, [](std::uint8_t* rec, std::size_t len) {
            const std::size_t d = hostile::findAttribute(rec, len, MFT_RECORD::kTypeData);
            ASSERT_EQ(rec[d + 8], 1) << "non-resident";
            const std::uint64_t clusters = kGiB / 4096;
            put64(rec + d + 0x18, clusters - 1);                                  // last VCN
            for (std::size_t at : {0x28, 0x30, 0x38}) put64(rec + d + at, kGiB);  // allocated, data, initialized
            std::uint8_t* runs = rec + d + get16(rec + d + 0x20);
            const std::size_t room = rec + d + hostile::get32(rec + d + 4) - runs;
            ASSERT_GE(room, 9u);
            ASSERT_EQ(runs[0], 0x21);  // the first run: one data cluster from its start
            runs[1] = 1;
            const std::uint8_t sparse[] = {0x03, 0xFF, 0xFF, 0x03, 0x00};  // 262143 sparse clusters
            std::memcpy(runs + 4, sparse, sizeof sparse);
            std::memset(runs + 4 + sizeof sparse, 0, room - 4 - sizeof sparse);
        });
        return saved(img, "sparse");
    }();
    return path;
}

// The first 4096 bytes sparse.bin's first cluster holds (the image's own).
std::vector<std::uint8_t> firstSparseCluster() {
    const std::vector<std::uint8_t> image = readFile(fixtureImage("basic"));
    return std::vector<std::uint8_t>(image.begin() + 3401 * 4096, image.begin() + 3402 * 4096);
}

using Args = std::vector<std::string>;

struct Case {
    const char* what;
    std::function<Args(const std::string& dest)> args;
    int status;
    std::vector<std::string> shown;  // each somewhere in stdout + stderr
    std::vector<std::string> notShown;
    std::function<void(const std::string& dest, const CliProcess::Result&)> check;
};

std::multiset<std::string> names(const std::string& json) {
    std::multiset<std::string> out;
    for (const auto& o : nlohmann::json::parse(json)) out.insert(o.at("name").get<std::string>());
    return out;
}

} // namespace

TEST(HostileWalk, EachCaseEndsInTimeWithItsNamedOutcome) {
    const std::vector<Case> cases{
        {"MFT records the source can't give: counted, placed, and the list may lack files",
         [](const std::string&) {
             return Args{"search", unreadableMft(), "--days", kAll};
         },
         cli::kExitIncomplete,
         {"MFT records could not be read from the source (records 299-", "deleted files in them are not listed",
          "the list may lack deleted files"},
         {},
         [](const std::string&, const CliProcess::Result& r) {
             // The deleted files of records 69-291 are still listed; 299 on are not.
             EXPECT_NE(r.out.find("p2_0000.txt"), std::string::npos) << r.out;
             EXPECT_EQ(r.out.find("p2_0042.txt"), std::string::npos) << r.out;
         }},
        {"restoring a record there names the source, not the record",
         [](const std::string& dest) {
             return Args{"restore", unreadableMft(), "--record", "333", "--output", dest + "/out"};
         },
         cli::kExitFileDamaged,
         {"record 333 can't be read: the source could not give its MFT clusters (byte "},
         {"File damaged"},
         [](const std::string& dest, const CliProcess::Result&) { EXPECT_FALSE(fs::exists(dest + "/out")); }},
        {"a run list mapping clusters twice: the mapping is dropped and named, nothing listed twice",
         [](const std::string&) {
             return Args{"search", remappedMft(), "--days", kAll, "--json"};
         },
         cli::kExitIncomplete,
         {"the MFT's run list maps clusters a second time (records 299-330 onto the clusters at byte 87040, "},
         {},
         [](const std::string&, const CliProcess::Result& r) {
             const std::multiset<std::string> listed = names(r.out);
             EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()).size(), listed.size()) << r.out;
             EXPECT_EQ(listed.count("p1_0003.txt"), 1u) << r.out;  // record 69, mapped again at 299
         }},
        {"a file named /tmp/x_abs.txt restored into a folder: the path written is named",
         [](const std::string& dest) { return Args{"restore", oddNames(), "--record", "68", "--output", dest}; },
         0,
         {"successfully restored"},
         {"File /tmp/x_abs.txt"},
         [](const std::string& dest, const CliProcess::Result& r) {
             EXPECT_EQ(r.out, "File " + dest + "/_tmp_x_abs.txt successfully restored\n");
             EXPECT_TRUE(fs::is_regular_file(dest + "/_tmp_x_abs.txt"));
         }},
        {"--json: DEL, C1 and bidirectional controls escaped; folders named / and . kept",
         [](const std::string&) {
             return Args{"search", oddNames(), "--days", kAll, "--json"};
         },
         0,
         {"a\\u007fb\\u0085c\\u202ed\\u2066e\\u061c.txt"},
         {"\x7F", "\xC2\x85", "\xE2\x80\xAE", "\xE2\x81\xA6", "\xD8\x9C"},
         [](const std::string&, const CliProcess::Result& r) {
             std::map<std::uint64_t, nlohmann::json> byRecord;
             for (const auto& o : nlohmann::json::parse(r.out)) byRecord[o.at("record")] = o;
             EXPECT_EQ(byRecord.at(69).at("name"), kControls);
             EXPECT_EQ(byRecord.at(71).at("directory"), "//.");
             EXPECT_EQ(byRecord.at(71).at("path_components"), (std::vector<std::string>{"/", "."}));
         }},
        {"sparse.bin as ntfs-3g made it: the same bytes, its hole a hole",
         [](const std::string& dest) {
             return Args{"restore", fixtureImage("basic"), "--record", "116", "--output", dest + "/sparse.bin"};
         },
         0, {"successfully restored"}, {},
         [](const std::string& dest, const CliProcess::Result&) {
             const hostile::Image img = hostile::loadImage("basic");
             EXPECT_EQ(sha256Hex(readFile(dest + "/sparse.bin")), img.file(116).at("sha256"));
             struct stat st {};
             ASSERT_EQ(::stat((dest + "/sparse.bin").c_str(), &st), 0);
             // No more blocks than the volume gave it (the 1 MiB hole is none).
             EXPECT_LE(st.st_blocks, img.file(116).at("allocated_blocks_512").get<long>());
         }},
        {"a 1 GiB sparse file with one data cluster: written as a hole, not as zeros",
         [](const std::string& dest) {
             return Args{"restore", hugeSparse(), "--record", "116", "--output", dest + "/sparse.bin"};
         },
         0,
         {"successfully restored"},
         {},
         [](const std::string& dest, const CliProcess::Result&) {
             const std::string out = dest + "/sparse.bin";
             struct stat st {};
             ASSERT_EQ(::stat(out.c_str(), &st), 0);
             EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), kGiB);
             EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, 1ULL << 20) << "the hole was written";
             std::vector<std::uint8_t> head(4096);
             std::ifstream in(out, std::ios::binary);
             ASSERT_TRUE(in.read(reinterpret_cast<char*>(head.data()), 4096));
             EXPECT_EQ(head, firstSparseCluster());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dest = tempDir("hostile-walk-dest");
        const Args args = c.args(dest);  // the image is made before the clock starts
        const auto start = std::chrono::steady_clock::now();
        const CliProcess::Result r = CliProcess::run(args);
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, 5 * hostile::slowFactor()) << "the case took too long";
        EXPECT_EQ(r.status, c.status) << r.err;
        for (const std::string& text : c.shown)
            EXPECT_NE((r.out + r.err).find(text), std::string::npos) << text << '\n' << r.err;
        for (const std::string& text : c.notShown) EXPECT_EQ((r.out + r.err).find(text), std::string::npos) << text;
        if (c.check) c.check(dest, r);
    }
}
