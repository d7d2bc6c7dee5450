// Shadow copies, run as a program on the real volume vsstest (two copies)
// in each form tests/fixtures/make_shadow_forms.sh makes of it at test
// time: bare, as partition 2 of an MBR disk, that disk as a VHD, and
// copies with a damaged catalog or store. The expected values are what
// vshadowinfo, vshadowmount and icat give (tests/fixtures/README.md).

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "cli/CliProcess.h"
#include "cli/ExitCode.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test;
namespace fs = std::filesystem;

namespace {

// vshadowinfo: the two stores; icat on vshadowmount's vss1: record 35.
const nlohmann::json kStores = nlohmann::json::parse(R"([
  {"number":1,"created":"2013-12-03T06:35:09Z","identifier":"600f0b69-5bdf-11e3-9d6c-005056c00008","size":1073741824},
  {"number":2,"created":"2013-12-03T06:37:48Z","identifier":"600f0b6d-5bdf-11e3-9d6c-005056c00008","size":1073741824}
])");
const char* const kSyslogSha256 = "0420b023f8dc1b71ff25191ce4ce88d10028f99f99f7c21532611f4c273aeae9";
constexpr unsigned kLimitSeconds = 300;  // a damaged catalog must not hang the command

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

} // namespace

TEST(ShadowCopies, EveryFormListsTheStoresAndRestoresWhatOnlyTheFirstHoldsAndDamageIsAWarning) {
    const char* env = std::getenv("RESURGO_REAL_IMAGES");
    const std::string real = std::string(env != nullptr ? env : RESURGO_REAL_IMAGES) + "/formats/vsstest.qcow2";
    if (!fs::exists(real)) GTEST_SKIP() << "no " << real << " (set RESURGO_REAL_IMAGES)";
    const std::string dir = tempDir("shadow");
    const std::string script = std::string(RESURGO_FIXTURE_SRC) + "/make_shadow_forms.sh";
    ASSERT_EQ(std::system(("bash '" + script + "' '" + real + "' '" + dir + "'").c_str()), 0);

    struct Case {
        std::string file;       // in dir, or the real image when empty
        std::string partition;  // --partition, or none
        std::string warning;    // what stderr names, "" for an intact catalog
        bool listed;            // `snapshots` lists the two stores
    };
    const std::vector<Case> cases{
        {"", "", "", true},
        {"mbr.img", "", "", true},
        {"mbr.vhd", "2", "", true},
        {"bad-catalog-outside.raw", "", "the shadow-copy catalog points outside the volume", false},
        {"bad-catalog-loop.raw", "", "the shadow-copy catalog loops back", false},
        {"bad-store-signature.raw", "", "store block list block at 0x31564000 has no shadow-copy signature", false},
        {"bad-store-outside.raw", "", "the shadow-copy store block list points outside the volume", false},
        {"bad-store-loop.raw", "", "the shadow-copy store block list loops back", false},
        // The catalog is whole; the data of copy 1 lies past the volume.
        {"bad-store-blocks.raw", "", "Shadow copy 1 is damaged", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.empty() ? real : c.file);
        const std::string path = c.file.empty() ? real : dir + "/" + c.file;
        auto args = [&](std::vector<std::string> a) {
            if (!c.partition.empty()) a.insert(a.end(), {"--partition", c.partition});
            return a;
        };
        const bool intact = c.warning.empty();

        CliProcess::Result list = CliProcess::run(args({"snapshots", path, "--json"}), {}, kLimitSeconds);
        ASSERT_EQ(list.status, 0) << list.err;
        EXPECT_EQ(nlohmann::json::parse(list.out), c.listed ? kStores : nlohmann::json::array());
        EXPECT_TRUE(c.listed || contains(list.err, c.warning)) << list.err;

        // The live volume has no deleted file; the first copy holds /syslog
        // in use, where the volume now keeps syslog.gz under the same record.
        CliProcess::Result search =
            CliProcess::run(args({"search", path, "--snapshots", "--json", "--days", "1000000"}), {}, kLimitSeconds);
        ASSERT_EQ(search.status, 0) << search.err;
        EXPECT_TRUE(contains(search.err, c.warning)) << search.err;
        const nlohmann::json found = nlohmann::json::parse(search.out);
        if (!intact) {
            // Without the copies, only the volume's own $LogFile still knows
            // /syslog: one row from the journal, none from a copy.
            ASSERT_EQ(found.size(), 1u) << search.out;
            EXPECT_EQ(found[0].at("source"), "logfile");
            EXPECT_EQ(found[0].at("snapshot"), nullptr);
            continue;
        }
        ASSERT_EQ(found.size(), 1u) << search.out;
        EXPECT_EQ(found[0].at("record"), 35);
        EXPECT_EQ(found[0].at("name"), "syslog");
        EXPECT_EQ(found[0].at("size"), 1247);
        EXPECT_EQ(found[0].at("snapshot"), 1);
        EXPECT_EQ(found[0].at("snapshot_created"), kStores[0].at("created"));
        EXPECT_EQ(found[0].at("recoverable"), 100);

        const std::string target = dir + "/syslog-" + std::to_string(&c - cases.data());
        CliProcess::Result restore =
            CliProcess::run(args({"restore", path, "--snapshot", "1", "--record", "35", "--output", target}));
        ASSERT_EQ(restore.status, 0) << restore.err;
        EXPECT_EQ(CliProcess::sha256File(target), kSyslogSha256);
        // The volume itself keeps syslog.gz in that record: not a deleted file.
        EXPECT_EQ(CliProcess::run(args({"restore", path, "--record", "35", "--output", target + ".live"})).status,
                  cli::kExitRecordInUse);
        EXPECT_EQ(CliProcess::run(args({"restore", path, "--snapshot", "3", "--record", "35", "--output", target + ".3"}))
                      .status,
                  cli::kExitNoSuchSnapshot);
    }
}
