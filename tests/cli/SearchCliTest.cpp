// resurgo search, run as a program on the fixture images and compared
// with the fixture facts.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>

#include "cli/CliProcess.h"
#include "cli/ExitCode.h"
#include "cli/FixtureFacts.h"
#include "cli/Messages.h"
#include "cli/ResultFormatter.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kTicksPerDay = 864000000000ULL;

nlohmann::json searchJson(const std::string& image, const std::vector<std::string>& extra) {
    std::vector<std::string> args{"search", image, "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    CliProcess::Result r = CliProcess::run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    // parse() rejects anything after the one value.
    return nlohmann::json::parse(r.out);
}

std::string firstLine(const char* message) {
    std::string m(message);
    return m.substr(0, m.find('\n'));
}

// "2026-12-07T23:16:16.3785793Z" -> "2026-12-07T23:16:16Z"
std::string isoSeconds(const std::string& iso) { return iso.substr(0, 19) + "Z"; }

// The sector of MFT record n through the MFT's runs in the facts.
std::uint64_t recordSector(const nlohmann::json& facts, std::uint64_t n) {
    const std::uint64_t cluster = facts.at("cluster_size"), recordSize = facts.at("mft_record_size");
    std::uint64_t offset = n * recordSize;
    for (const auto& run : facts.at("mft_data_run_list")) {
        const std::uint64_t lcn = run.at(0), length = run.at(1);
        if (offset < length * cluster) return (lcn * cluster + offset) / facts.at("bytes_per_sector").get<std::uint64_t>();
        offset -= length * cluster;
    }
    ADD_FAILURE() << "record " << n << " beyond the MFT's runs";
    return 0;
}

std::vector<nlohmann::json> withNames(const nlohmann::json& facts, std::initializer_list<const char*> names) {
    std::vector<nlohmann::json> out;
    for (const auto& f : FixtureFacts::listable(facts)) {
        for (const char* n : names) {
            if (f.at("name") == n) out.push_back(f);
        }
    }
    return out;
}

} // namespace

TEST(SearchCli, JsonListsExactlyTheDeletedFilesOfEveryFixture) {
    for (const std::string& name : FixtureFacts::images()) {
        SCOPED_TRACE(name);
        const nlohmann::json facts = fixtureFacts(name);
        CliProcess::Result r = CliProcess::run({"search", fixtureImage(name), "--days", "1000000", "--json"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");  // no terminal, no progress bar
        const nlohmann::json out = nlohmann::json::parse(r.out);
        ASSERT_TRUE(out.is_array());
        const std::vector<nlohmann::json> expected = FixtureFacts::listable(facts);
        EXPECT_EQ(FixtureFacts::fromOutput(out), FixtureFacts::listedSet(expected));
        EXPECT_EQ(out.size(), expected.size());

        std::uint64_t previous = 0;
        for (const auto& o : out) {
            EXPECT_EQ(o.size(), 13u) << o.dump();  // zeroed only with --verify
            EXPECT_EQ(o.at("source"), "mft");
            const std::uint64_t record = o.at("record");
            EXPECT_GT(record, previous) << "record order";
            previous = record;
            EXPECT_EQ(o.at("first_sector").get<std::uint64_t>(), recordSector(facts, record));
            EXPECT_EQ(o.at("offset").get<std::uint64_t>(),
                      recordSector(facts, record) * facts.at("bytes_per_sector").get<std::uint64_t>());
            for (const auto& f : expected) {
                if (f.at("record") != record) continue;
                EXPECT_EQ(o.at("modified"), isoSeconds(f.at("mtime_iso"))) << record;
                EXPECT_EQ(o.at("created"), isoSeconds(f.at("crtime_iso"))) << record;
                EXPECT_EQ(o.at("accessed"), isoSeconds(f.at("atime_iso"))) << record;
                // The directory once more, name by name.
                std::vector<std::string> names;
                const std::string directory = f.at("directory");
                for (std::size_t at = 0; directory != "." && at <= directory.size();) {
                    const std::size_t slash = std::min(directory.find('/', at), directory.size());
                    names.push_back(directory.substr(at, slash - at));
                    at = slash + 1;
                }
                EXPECT_EQ(o.at("path_components"), names) << record;
                EXPECT_EQ(o.at("recoverable"), f.at("recoverable_tsk")) << record;
                EXPECT_EQ(o.at("unowned"), f.value("unowned_tsk", 0)) << record;
            }
        }
    }
}

TEST(SearchCli, TableShowsHighestRecordFirstWithLocalTimesAndASummary) {
    const nlohmann::json facts = fixtureFacts("demo");
    std::vector<nlohmann::json> files = FixtureFacts::listable(facts);
    CliProcess::Result r = CliProcess::run({"search", fixtureImage("demo"), "--days", "1000000"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.at("record") > b.at("record"); });
    std::string::size_type at = r.out.find('\n');  // below the header
    for (const auto& f : files) {
        const std::string name = f.at("name");
        std::string::size_type row = r.out.find(name, at);
        ASSERT_NE(row, std::string::npos) << name << " missing or out of order";
        std::string line = r.out.substr(row, r.out.find('\n', row) - row);
        // Modified time in local time, as the user's clock shows it.
        std::time_t t = static_cast<std::time_t>(f.at("mtime_nt").get<std::uint64_t>() / 10000000ULL - 11644473600ULL);
        std::tm local{};
        localtime_r(&t, &local);
        char when[32];
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &local);
        EXPECT_NE(line.find(when), std::string::npos) << line;
        EXPECT_NE(line.find(f.at("directory").get<std::string>()), std::string::npos) << line;
        at = row + name.size();
    }
    EXPECT_NE(r.out.find(std::to_string(files.size()) + " deleted files"), std::string::npos) << r.out;
}

TEST(SearchCli, NothingFoundSaysWhyAndTheAdviceGivenWorks) {
    const std::string basic = fixtureImage("basic");
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> says;
        std::vector<std::string> never;  // advice already followed, or beside the point
    };
    const std::vector<Case> cases{
        // Only older files match: how many, the newest's date, the --days that lists them.
        {{"--days", "1", "--pattern", "old_all*"},
         {"No deleted files matching \"old_all*\", modified or created within the last 1 day were found on " + basic +
              ".\n",
          "1 older deleted file matches \"old_all*\", modified or created on 2015-03-10: --days "},
         {"--pattern"}},
        // The pattern matches nothing of any age: no word of days.
        {{"--days", "1000000", "--pattern", "*.zip"},
         {"No deleted file of any age on " + basic + " has a name matching \"*.zip\".\n", "--pattern '*' matches"},
         {"--days"}},
        {{"--days", "5", "--pattern", "letter"}, {"--pattern '*letter*' also finds names that hold it"}, {"--days"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"search", basic};
        args.insert(args.end(), c.args.begin(), c.args.end());
        CliProcess::Result r = CliProcess::run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        for (const std::string& text : c.says) EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
        for (const std::string& text : c.never) {
            EXPECT_EQ(r.out.find(text), std::string::npos) << text << "\n" << r.out;
        }
    }

    // The --days given lists the file, and two days fewer do not.
    CliProcess::Result r = CliProcess::run({"search", basic, "--days", "1", "--pattern", "old_all*"});
    const std::string::size_type at = r.out.find(": --days ");
    ASSERT_NE(at, std::string::npos) << r.out;
    const int days = std::stoi(r.out.substr(at + 9));
    EXPECT_EQ(searchJson(basic, {"--days", std::to_string(days), "-p", "old_all*"}).size(), 1u);
    EXPECT_EQ(searchJson(basic, {"--days", std::to_string(days - 2), "-p", "old_all*"}).size(), 0u);
    // A list that leaves older matches out says so below the count: back
    // to 2016-12-15, old_2020.bin and old_2010.txt (created with the image)
    // are listed, old_all_times.txt (all its times in 2015) is not.
    const std::uint64_t since = (FixtureFacts::nowNt() - 131262336000000000ULL) / kTicksPerDay;
    CliProcess::Result some = CliProcess::run({"search", basic, "--days", std::to_string(since), "--pattern", "old*"});
    EXPECT_NE(some.out.find("2 deleted files matching \"old*\""), std::string::npos) << some.out;
    EXPECT_NE(some.out.find("1 older deleted file matches \"old*\""), std::string::npos) << some.out;
}

TEST(SearchCli, TableLeadsWithTheRecordAndFitsTheWidthOneLinePerFile) {
    const std::string basic = fixtureImage("basic");
    const std::size_t files = FixtureFacts::listable(fixtureFacts("basic")).size();
    auto tableLines = [](const std::string& out) {
        std::vector<std::string> lines;
        for (std::string::size_type from = 0, end; (end = out.find('\n', from)) != std::string::npos; from = end + 1) {
            if (end == from) break;  // the blank line before the count
            lines.push_back(out.substr(from, end - from));
        }
        return lines;
    };
    CliProcess::Result wide = CliProcess::run({"search", basic, "--days", "1000000", "--wide"}, {"COLUMNS=60"});
    ASSERT_EQ(wide.status, 0) << wide.err;
    const std::vector<std::string> full = tableLines(wide.out);
    EXPECT_EQ(full.size(), files + 1);
    EXPECT_EQ(full[0].rfind("Record  Name", 0), 0u) << full[0];
    EXPECT_EQ(wide.out.find("\u2026"), std::string::npos);
    // At 100 columns leaving out the last times is enough; at 60 names are
    // shortened too.
    for (const auto& [columns, shortened] : {std::pair<const char*, bool>{"100", false}, {"60", true}}) {
        CliProcess::Result r = CliProcess::run({"search", basic, "--days", "1000000"}, {std::string("COLUMNS=") + columns});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> fit = tableLines(r.out);
        ASSERT_EQ(fit.size(), files + 1) << r.out;
        for (const std::string& line : fit) {
            EXPECT_LE(cli::ResultFormatter::displayWidth(line), std::stoul(columns)) << line;
        }
        EXPECT_EQ(r.out.find("\u2026") != std::string::npos, shortened) << r.out;
        EXPECT_EQ(fit[0].find("Accessed"), std::string::npos) << fit[0];
        // Every row still starts with its record, as restore --record takes it.
        for (std::size_t i = 1; i < fit.size(); ++i) EXPECT_EQ(fit[i].substr(0, 6), full[i].substr(0, 6));
    }
}

TEST(SearchCli, DaysTakesWholeNumbersFrom0To1000000Only) {
    for (const char* bad : {"-1", "1000001", "abc", "1.5", "", "99999999999999999999", "1e3"}) {
        CliProcess::Result r = CliProcess::run({"search", fixtureImage("demo"), "--days=" + std::string(bad)});
        EXPECT_EQ(r.status, cli::kExitUsage) << bad;
        EXPECT_NE(r.err.find("--days"), std::string::npos) << bad << ": " << r.err;
        EXPECT_EQ(r.out, "") << bad;
    }
    for (const char* good : {"0", "1000000", "365"}) {
        EXPECT_EQ(CliProcess::run({"search", fixtureImage("demo"), "--days", good, "--json"}).status, 0) << good;
    }
}

TEST(SearchCli, MinRecoverableListsOnlyFilesOfWhichThatMuchComesBack) {
    const nlohmann::json facts = fixtureFacts("reuse");
    const std::vector<nlohmann::json> all = FixtureFacts::listable(facts);
    std::set<int> limits{0, 100};
    for (const auto& f : all) {
        limits.insert(f.at("recoverable_tsk").get<int>());
        limits.insert(f.at("recoverable_tsk").get<int>() + 1);
    }
    ASSERT_GT(limits.size(), 4u) << "the reuse image has partly overwritten files";
    for (int least : limits) {
        if (least > 100) continue;
        std::vector<nlohmann::json> kept;
        for (const auto& f : all) {
            if (f.at("recoverable_tsk").get<int>() >= least) kept.push_back(f);
        }
        const nlohmann::json out =
            searchJson(fixtureImage("reuse"), {"--days", "1000000", "--min-recoverable", std::to_string(least)});
        EXPECT_EQ(FixtureFacts::fromOutput(out), FixtureFacts::listedSet(kept)) << least;
    }
    // A file left out for the minimum alone is named as such, with the
    // minimum that lists it (and not as a name that matches nothing).
    const auto worst = std::min_element(all.begin(), all.end(), [](const nlohmann::json& a, const nlohmann::json& b) {
        return a.at("recoverable_tsk").get<int>() < b.at("recoverable_tsk").get<int>();
    });
    const std::string name = worst->at("name").get<std::string>();
    const std::string percent = std::to_string(worst->at("recoverable_tsk").get<int>());
    CliProcess::Result none = CliProcess::run({"search", fixtureImage("reuse"), "--days", "1000000", "-p", name,
                                               "--min-recoverable", std::to_string(std::stoi(percent) + 1)});
    EXPECT_EQ(none.status, 0) << none.err;
    EXPECT_NE(none.out.find("1 deleted file matching \"" + name + "\" within the age limit is less recoverable, " +
                            percent + "%: --min-recoverable " + percent + " includes it."),
              std::string::npos)
        << none.out;
    EXPECT_EQ(searchJson(fixtureImage("reuse"), {"--days", "1000000", "-p", name, "--min-recoverable", percent}).size(),
              1u);
    // The table's column, one row per file.
    CliProcess::Result table = CliProcess::run({"search", fixtureImage("reuse"), "--days", "1000000"});
    ASSERT_EQ(table.status, 0) << table.err;
    EXPECT_NE(table.out.find("  Recoverable  "), std::string::npos) << table.out;
    for (const auto& f : all) {
        const std::string::size_type row = table.out.find(f.at("name").get<std::string>() + " ");
        ASSERT_NE(row, std::string::npos) << f.at("name");
        const std::string line = table.out.substr(row, table.out.find('\n', row) - row);
        EXPECT_NE(line.find(" " + std::to_string(f.at("recoverable_tsk").get<int>()) + "%  "), std::string::npos) << line;
    }
    for (const char* bad : {"101", "-1", "x", "", "50%"}) {
        CliProcess::Result r = CliProcess::run({"search", fixtureImage("reuse"), "--min-recoverable=" + std::string(bad)});
        EXPECT_EQ(r.status, cli::kExitUsage) << bad;
        EXPECT_NE(r.err.find("--min-recoverable"), std::string::npos) << bad << ": " << r.err;
    }
}

TEST(SearchCli, PatternsOver255CharactersAreRefused) {
    CliProcess::Result r = CliProcess::run({"search", fixtureImage("demo"), "--pattern", std::string(256, 'a')});
    EXPECT_EQ(r.status, cli::kExitUsage);
    EXPECT_NE(r.err.find("255"), std::string::npos) << r.err;
    // Characters count, not bytes: 255 two-byte characters pass.
    std::string accented;
    for (int i = 0; i < 255; ++i) accented += "é";
    EXPECT_EQ(CliProcess::run({"search", fixtureImage("demo"), "--pattern", accented, "--json"}).status, 0);
    EXPECT_EQ(CliProcess::run({"search", fixtureImage("demo"), "--pattern", std::string(255, '*'), "--json"}).status, 0);
}

TEST(SearchCli, PatternsMatchCaseInsensitivelyAndByCharacter) {
    const nlohmann::json basic = fixtureFacts("basic");
    const std::string image = fixtureImage("basic");
    struct Case {
        const char* pattern;
        std::vector<nlohmann::json> expected;
    };
    std::vector<nlohmann::json> txt, comp, all = FixtureFacts::listable(basic);
    for (const auto& f : all) {
        std::string n = f.at("name");
        if (n.size() >= 4 && n.compare(n.size() - 4, 4, ".txt") == 0) txt.push_back(f);
        if (n.rfind("comp_", 0) == 0) comp.push_back(f);
    }
    const std::vector<Case> cases{
        {"*.TXT", txt},
        {"COMP_*", comp},
        {"*", all},
        {"ПРИМЕР.TXT", withNames(basic, {"Пример.txt"})},
        {"CAFÉ.TXT", withNames(basic, {"café.txt"})},
        {"ΕΛΛΗΝΙΚΆ.DAT", withNames(basic, {"Ελληνικά.dat"})},
        {"smile_?.txt", withNames(basic, {"smile_😀.txt"})},  // one character outside the BMP
        {"???.txt", withNames(basic, {"日本語.txt"})},
        {"x.txt", withNames(basic, {"x.txt"})},
        {"*.none", {}},
    };
    ASSERT_FALSE(txt.empty());
    ASSERT_FALSE(comp.empty());
    for (const Case& c : cases) {
        EXPECT_EQ(FixtureFacts::fromOutput(searchJson(image, {"--days", "1000000", "--pattern", c.pattern})),
                  FixtureFacts::listedSet(c.expected))
            << c.pattern;
    }
    EXPECT_EQ(FixtureFacts::fromOutput(searchJson(fixtureImage("s4096"), {"--days", "1000000", "-p", "GRÖßE.TXT"})),
              FixtureFacts::listedSet(withNames(fixtureFacts("s4096"), {"Größe.txt"})));
}

TEST(SearchCli, AgeLimitKeepsFilesModifiedOrCreatedWithinTheDays) {
    // Day counts reaching back to fixed dates, from today's date, so that
    // the old-dated fixture files fall on both sides of some of them.
    const std::uint64_t now = FixtureFacts::nowNt();
    const std::uint64_t dates[] = {
        129328704000000000ULL,  // 2010-10-30
        130645440000000000ULL,  // 2015-01-01
        131262336000000000ULL,  // 2016-12-15 (between 2015 and 2019/2020)
        132223104000000000ULL,  // 2020-01-01 (between 2019 and 2020-06)
        132524640000000000ULL,  // 2020-12-15
    };
    for (const std::string name : {"basic", "demo"}) {
        SCOPED_TRACE(name);
        const nlohmann::json facts = fixtureFacts(name);
        std::set<std::set<FixtureFacts::Listed>> distinct;
        for (std::uint64_t date : dates) {
            const std::int64_t days = static_cast<std::int64_t>((now - date) / kTicksPerDay);
            const std::uint64_t threshold = now - static_cast<std::uint64_t>(days) * kTicksPerDay;
            std::vector<nlohmann::json> expected;
            bool nearEdge = false;
            for (const auto& f : FixtureFacts::listable(facts)) {
                const std::uint64_t m = f.at("mtime_nt"), c = f.at("crtime_nt");
                for (std::uint64_t t : {m, c}) {
                    if ((t > threshold ? t - threshold : threshold - t) < 2 * kTicksPerDay) nearEdge = true;
                }
                if (m >= threshold || c >= threshold) expected.push_back(f);
            }
            if (nearEdge) continue;  // too close to call by a clock a second off
            const auto got = FixtureFacts::fromOutput(searchJson(fixtureImage(name), {"--days", std::to_string(days)}));
            EXPECT_EQ(got, FixtureFacts::listedSet(expected)) << days << " days";
            distinct.insert(got);
        }
        if (name == "basic") {
            EXPECT_GE(distinct.size(), 2u) << "no day count separated the old files";
        }
    }
}

TEST(SearchCli, SourcesThatCannotBeSearchedGiveTheirMessageAndStatus) {
    const std::string dir = tempDir("cli-bad-sources");
    // Missing file: the system's reason.
    CliProcess::Result missing = CliProcess::run({"search", dir + "/missing.img"});
    EXPECT_EQ(missing.status, cli::kExitOpenFailed);
    EXPECT_NE(missing.err.find(std::strerror(ENOENT)), std::string::npos) << missing.err;
    EXPECT_EQ(missing.out, "");
    CliProcess::Result directory = CliProcess::run({"search", dir});
    EXPECT_EQ(directory.status, cli::kExitOpenFailed);
    EXPECT_NE(directory.err.find(std::strerror(EISDIR)), std::string::npos) << directory.err;

    // Each source is named for what it is before anything is called
    // damaged, and nobody is sent to another program.
    const nlohmann::json facts = fixtureFacts("demo");
    const std::uint64_t cluster = facts.at("cluster_size"), recordSize = facts.at("mft_record_size");
    writeFile(dir + "/zeros.img", std::vector<std::uint8_t>(1 << 20, 0));
    writeFile(dir + "/text.img", std::vector<std::uint8_t>(4096, 'x'));
    writeFile(dir + "/empty.img", {});
    writeFile(dir + "/tiny.img", std::vector<std::uint8_t>(100, 'x'));
    // An NTFS volume cut off inside its boot sector.
    copyFile(fixtureImage("demo"), dir + "/truncated.img");
    fs::resize_file(dir + "/truncated.img", 300);
    // A larger volume cut off after its MFT but before the MFT's mirror.
    const nlohmann::json basic = fixtureFacts("basic");
    copyFile(fixtureImage("basic"), dir + "/mirrorless.img");
    fs::resize_file(dir + "/mirrorless.img", 2 << 20);
    // A boot sector with a field out of range (the media descriptor).
    copyFile(fixtureImage("demo"), dir + "/badboot.img");
    patchFile(dir + "/badboot.img", 0x15, {0x00});
    // A valid boot sector over an MFT whose first record and mirror are gone.
    copyFile(fixtureImage("demo"), dir + "/nomft.img");
    for (std::uint64_t lcn : {facts.at("mft_lcn").get<std::uint64_t>(), facts.at("mftmirr_lcn").get<std::uint64_t>()}) {
        patchFile(dir + "/nomft.img", lcn * cluster, std::vector<std::uint8_t>(recordSize, 0));
    }
    struct Case {
        const char* file;
        int status;
        std::string says;
    };
    const Case cases[] = {
        {"zeros.img", cli::kExitBadBoot, ": not NTFS: its first sector is blank"},
        {"text.img", cli::kExitBadBoot, ": not NTFS: "},
        {"empty.img", cli::kExitBadBoot, ": not NTFS: the source is empty (0 bytes)"},
        {"tiny.img", cli::kExitBadBoot, ": not NTFS: the source is only 100 bytes long, too short to hold a file system"},
        {"truncated.img", cli::kExitBadBoot,
         ": an NTFS volume cut off after 300 of " + std::to_string(facts.at("size_bytes").get<std::uint64_t>() - 512) +
             " bytes: its MFT (at byte " + std::to_string(facts.at("mft_lcn").get<std::uint64_t>() * cluster) +
             ") lies past the end, so no file can be listed"},
        {"mirrorless.img", cli::kExitBadBoot,
         ": an NTFS volume cut off after 2097152 of " +
             std::to_string(basic.at("size_bytes").get<std::uint64_t>() - 512) +
             " bytes: its boot record places the MFT's mirror (at byte " +
             std::to_string(basic.at("mftmirr_lcn").get<std::uint64_t>() * basic.at("cluster_size").get<std::uint64_t>()) +
             ") past the end"},
        {"badboot.img", cli::kExitBadBoot, ": damaged NTFS boot record: "},
        {"nomft.img", cli::kExitBadVolume, ": an NTFS volume whose MFT can't be read (damaged): "},
    };
    for (const Case& c : cases) {
        CliProcess::Result r = CliProcess::run({"search", dir + "/" + c.file, "--json"});
        EXPECT_EQ(r.status, c.status) << c.file;
        EXPECT_EQ(r.err.rfind("resurgo: " + dir + "/" + c.file + c.says, 0), 0u) << c.file << ": " << r.err;
        EXPECT_EQ(r.err.find(firstLine(cli::Messages::kBadBootRecord)), std::string::npos) << c.file << ": " << r.err;
        EXPECT_EQ(r.err.find(firstLine(cli::Messages::kBadNtfsDrive)), std::string::npos) << c.file << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.file;
        // Each of them may still hold MFT records the deep scan finds.
        EXPECT_NE(r.err.find("search --deep reads"), std::string::npos) << c.file << ": " << r.err;
    }
}

TEST(SearchCli, ImageTruncatedAfterTheMftStillListsItsFilesAndNeverRestoresGarbage) {
    const nlohmann::json facts = fixtureFacts("demo");
    const std::string dir = tempDir("cli-truncated");
    const std::uint64_t kept = 1 << 20;  // 1 MiB of 16: boot sector, MFT (and no file data beyond it)
    std::uint64_t mftEnd = 0;
    for (const auto& run : facts.at("mft_data_run_list")) {
        mftEnd = std::max<std::uint64_t>(mftEnd, (run.at(0).get<std::uint64_t>() + run.at(1).get<std::uint64_t>()) *
                                                     facts.at("cluster_size").get<std::uint64_t>());
    }
    ASSERT_LE(mftEnd, kept);
    const std::string image = copyFile(fixtureImage("demo"), dir + "/demo-head.img");
    fs::resize_file(image, kept);
    EXPECT_EQ(FixtureFacts::fromOutput(searchJson(image, {"--days", "1000000"})),
              FixtureFacts::listedSet(FixtureFacts::listable(facts)));
    // The search says once that the image is shorter than its volume.
    CliProcess::Result search = CliProcess::run({"search", image, "--days", "1000000"});
    EXPECT_EQ(search.status, 0);
    EXPECT_EQ(search.err, "resurgo: warning: " + image + ": an NTFS volume cut off after " + std::to_string(kept) +
                              " of " + std::to_string(facts.at("size_bytes").get<std::uint64_t>() - 512) +
                              " bytes: files stored past the end are lost in part or whole\n");

    int failures = 0;
    for (const auto& f : FixtureFacts::listable(facts)) {
        const std::string out = dir + "/" + std::to_string(f.at("record").get<int>());
        CliProcess::Result r = CliProcess::run({"restore", image, "--record", std::to_string(f.at("record").get<int>()),
                                                "--output", out});
        if (r.status == 0) {
            EXPECT_EQ(sha256Hex(readFile(out)), f.at("sha256")) << "restored from a cut image with wrong bytes";
        } else {
            ++failures;
            // Nothing of these files is in the image: no file of zeros.
            EXPECT_EQ(r.status, cli::kExitCopyFailed) << r.err;
            EXPECT_EQ(r.err, "resurgo: nothing of " + f.at("name").get<std::string>() +
                                 " could be read: its data lies past the end of the source, an NTFS volume cut off after " +
                                 std::to_string(kept) + " of " +
                                 std::to_string(facts.at("size_bytes").get<std::uint64_t>() - 512) +
                                 " bytes; no file was left at " + out + "\n");
            EXPECT_FALSE(fs::exists(out)) << "no empty file is left behind";
        }
        if (!f.at("data_nonresident").get<bool>()) {
            EXPECT_EQ(r.status, 0) << "resident data lives in the MFT";
        }
    }
    EXPECT_GT(failures, 0);

    // --all leaves no file of zeros either: what it wrote is exactly what restored.
    const std::string all = dir + "/all";
    CliProcess::Result batch = CliProcess::run({"restore", image, "--all", "--output-dir", all, "--days", "1000000"});
    EXPECT_EQ(batch.status, cli::kExitCopyFailed) << batch.err;
    std::set<std::string> expected;
    for (const auto& f : FixtureFacts::listable(facts)) expected.insert(f.at("sha256").get<std::string>());
    int written = 0;
    for (const auto& entry : fs::recursive_directory_iterator(all)) {
        if (!entry.is_regular_file()) continue;
        ++written;
        EXPECT_EQ(expected.count(sha256Hex(readFile(entry.path().string()))), 1u) << entry.path();
    }
    EXPECT_EQ(written + failures, static_cast<int>(FixtureFacts::listable(facts).size())) << batch.err;
}

TEST(SearchCli, HelpDocumentsTheExitStatuses) {
    CliProcess::Result r = CliProcess::run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Exit status"), std::string::npos);
    for (int code : {cli::kExitOk, cli::kExitUsage, cli::kExitOpenFailed, cli::kExitBadBoot, cli::kExitBadVolume,
                     cli::kExitFileDamaged, cli::kExitSameSource, cli::kExitExists, cli::kExitNoSpace,
                     cli::kExitCopyFailed, cli::kExitDamagedUnits, cli::kExitNoSuchRecord, cli::kExitRecordInUse,
                     cli::kExitRecordIsDirectory}) {
        EXPECT_NE(r.out.find("\n" + std::string(code < 10 ? "    " : "   ") + std::to_string(code) + "  "),
                  std::string::npos)
            << code;
    }
    EXPECT_EQ(CliProcess::run({}).status, cli::kExitUsage);
    EXPECT_EQ(CliProcess::run({"search"}).status, cli::kExitUsage);
}
