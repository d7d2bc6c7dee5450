// `resurgo drives` through a fake device table, and the small parts of the
// command: argument checks, output paths, directory text and the progress
// bar.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli/ArgumentCheck.h"
#include "cli/CommandLine.h"
#include "cli/DriveTable.h"
#include "cli/ExitCode.h"
#include "cli/OutputPaths.h"
#include "cli/ResultFormatter.h"
#include "cli/SearchCommand.h"
#include "cli/TerminalProgress.h"
#include "platform/CancelSignal.h"
#include "platform/DeviceSource.h"
#include "recovery/OutputDirectory.h"
#include "support/TestSupport.h"

using namespace resurgo::cli;
using resurgo::BlockDevice;
using resurgo::CancelSignal;
using resurgo::DeviceSource;
using resurgo::test::fixtureImage;
using resurgo::test::tempDir;
using resurgo::test::writeFile;
namespace fs = std::filesystem;

namespace {

class FakeDevices : public DeviceSource {
public:
    std::vector<BlockDevice> devices() override { return table; }
    std::vector<BlockDevice> table;
};

BlockDevice device(const std::string& path, const std::string& type, const std::string& label, std::uint64_t size,
                   bool removable = false) {
    BlockDevice d;
    d.path = path;
    d.fileSystem = type;
    d.label = label;
    d.sizeBytes = size;
    d.removable = removable;
    return d;
}

} // namespace

TEST(Drives, ListsFixedNtfsDevicesWithSizesInMegabytes) {
    FakeDevices fake;
    BlockDevice system = device("/dev/sda2", "ntfs", "System", 8ULL * 512 * 2000000);  // 8192 MB
    system.mountPoint = "/mnt/c";
    system.hasFreeBytes = true;
    system.freeBytes = 1999999999;  // 1999 MB: whole megabytes, rounded down
    fake.table = {device("/dev/sda1", "vfat", "EFI", 500000000), system,
                  device("/dev/sdb1", "ntfs", "Stick", 16000000000ULL, true),  // removable
                  device("/dev/sdc1", "ext4", "", 1000000000), device("/dev/nvme0n1p3", "ntfs", "Data", 999999)};
    BlockDevice denied = device("/dev/vdb", "", "", 1 << 20);
    denied.probeDenied = true;
    fake.table.push_back(denied);

    std::ostringstream out, err;
    std::istringstream in;
    ASSERT_EQ(CommandLine(out, err, in, &fake).run(3, std::vector<const char*>{"resurgo", "drives", "--json"}.data()), 0);
    const nlohmann::json expected = nlohmann::json::parse(R"([
        {"device": "/dev/sda2", "label": "System", "size_mb": 8192, "free_mb": 1999, "mount_point": "/mnt/c"},
        {"device": "/dev/nvme0n1p3", "label": "Data", "size_mb": 0, "free_mb": null, "mount_point": null}])");
    EXPECT_EQ(nlohmann::json::parse(out.str()), expected);
    EXPECT_NE(err.str().find("/dev/vdb"), std::string::npos) << err.str();

    std::ostringstream table, tableErr;
    ASSERT_EQ(CommandLine(table, tableErr, in, &fake).run(2, std::vector<const char*>{"resurgo", "drives"}.data()), 0);
    std::istringstream lines(table.str());
    std::string header, first, second, extra;
    std::getline(lines, header);
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_FALSE(std::getline(lines, extra)) << table.str();
    EXPECT_EQ(std::istringstream(first) >> extra ? extra : "", "/dev/sda2");
    for (const char* field : {"System", "8192", "1999", "/mnt/c"}) EXPECT_NE(first.find(field), std::string::npos) << first;
    for (const char* field : {"/dev/nvme0n1p3", "Data", " 0 ", "-"}) EXPECT_NE(second.find(field), std::string::npos) << second;

    FakeDevices none;
    std::ostringstream empty;
    DriveTable noDrives(none);
    noDrives.load();
    noDrives.writeTable(empty);
    EXPECT_NE(empty.str().find("No fixed NTFS"), std::string::npos);
}

TEST(Drives, WholeDisksAreListedWithTheirNtfsPartitions) {
    FakeDevices fake;
    auto partOf = [](BlockDevice d, const std::string& disk, unsigned n) {
        d.disk = disk;
        d.partition = n;
        return d;
    };
    fake.table = {device("/dev/sda", "", "", 4000000000ULL), partOf(device("/dev/sda1", "vfat", "EFI", 1), "/dev/sda", 1),
                  partOf(device("/dev/sda2", "ntfs", "System", 2), "/dev/sda", 2),
                  partOf(device("/dev/sda3", "ntfs", "Data", 3), "/dev/sda", 3),
                  device("/dev/sdb", "", "", 8000000000ULL, true),  // removable
                  partOf(device("/dev/sdb1", "ntfs", "Stick", 4, true), "/dev/sdb", 1),
                  device("/dev/sdc", "", "", 1000000000), partOf(device("/dev/sdc1", "ext4", "", 5), "/dev/sdc", 1)};
    DriveTable table(fake);
    table.load();
    ASSERT_EQ(table.disks().size(), 1u);
    EXPECT_EQ(table.disks()[0].device.path, "/dev/sda");
    EXPECT_EQ(table.disks()[0].ntfsPartitions, (std::vector<unsigned>{2, 3}));
    const nlohmann::json json = nlohmann::json::parse(table.toJson());
    EXPECT_EQ(json.back(), nlohmann::json::parse(R"({"device": "/dev/sda", "size_mb": 4000, "ntfs_partitions": [2, 3]})"));
    std::ostringstream out;
    table.writeDisks(out);
    EXPECT_NE(out.str().find("/dev/sda  4000 MB  NTFS partitions 2, 3"), std::string::npos) << out.str();
}

TEST(CommandParts, DaysRecordAndPatternChecks) {
    std::int32_t days = -5;
    std::string error;
    EXPECT_TRUE(ArgumentCheck::parseDays("0", days, error));
    EXPECT_EQ(days, 0);
    EXPECT_TRUE(ArgumentCheck::parseDays("1000000", days, error));
    EXPECT_EQ(days, 1000000);
    for (const char* bad : {"1000001", "-1", "+1", " 1", "1 ", "0x10", "", "4294967297"}) {
        EXPECT_FALSE(ArgumentCheck::parseDays(bad, days, error)) << bad;
        EXPECT_NE(error.find("0 to 1000000"), std::string::npos);
    }
    std::uint64_t record = 0;
    EXPECT_TRUE(ArgumentCheck::parseRecord("281474976710655", record, error));  // 2^48 - 1
    EXPECT_EQ(record, 281474976710655ULL);
    EXPECT_FALSE(ArgumentCheck::parseRecord("281474976710656", record, error));
    EXPECT_FALSE(ArgumentCheck::parseRecord("12a", record, error));
    EXPECT_TRUE(ArgumentCheck::checkPattern(std::string(255, '?'), error));
    EXPECT_FALSE(ArgumentCheck::checkPattern(std::string(256, '?'), error));
}

TEST(CommandParts, DirectoryTextUsesSlashesAndDotForTheRoot) {
    // Names are shown whatever they hold.
    struct Case {
        std::vector<std::string> names;
        std::string text;
    };
    for (const Case& c : std::vector<Case>{{{}, "."},
                                           {{"Documents"}, "Documents"},
                                           {{"Documents", "Letters"}, "Documents/Letters"},
                                           {{"dir_@12", "..", "a/b", "!not_found_@7"}, "dir_@12/../a/b/!not_found_@7"},
                                           {{"x", "a\\b"}, "x/a\\b"},
                                           {{"x", "", "y"}, "x//y"}}) {
        EXPECT_EQ(ResultFormatter::directoryText(c.names), c.text);
        resurgo::FOUND_FILE f;
        f.setDirectory(c.names);
        EXPECT_EQ(f.components(), c.names);
    }
    EXPECT_EQ(ResultFormatter::displayWidth("日本語.txt"), 10u);
    EXPECT_EQ(ResultFormatter::displayWidth("café"), 4u);
}

// The JSON array is formatted in blocks on several threads: with enough
// results to span many blocks, it must still be one array with every
// result once, in record order, each object holding the result's values.
TEST(CommandParts, JsonOfManyResultsIsOneArrayInRecordOrder) {
    const std::size_t count = ResultFormatter::kJsonBlock * 5 + 17;
    std::vector<resurgo::FOUND_FILE> results;
    std::map<std::uint64_t, std::string> shownNames;
    for (std::size_t i = 0; i < count; ++i) {
        // Given out of order: the array is in record order all the same.
        const std::uint64_t record = (i * 7919) % count + 16;
        std::string name = "f" + std::to_string(record);
        if (record % 5 == 0) name += "\"quoted\"\\back\tslash";
        if (record % 7 == 0) name += "_\xD0\x9F\xF0\x9F\x98\x80";  // Cyrillic, emoji
        shownNames[record] = name;
        if (record % 11 == 0) {
            name += "\xE2\x82" "a\xC3";  // cut sequences: each replaced once
            shownNames[record] += "\xEF\xBF\xBD" "a\xEF\xBF\xBD";
        }
        resurgo::FOUND_FILE f(record, record * 2, name);
        if (record % 3 == 0) {
            f.setDirectory({});
        } else {
            f.setDirectory({"Docs", "d" + std::to_string(record % 13)});
        }
        // Names that need escapes, and a backslash inside a name.
        if (record % 17 == 0) f.setDirectory({"q\"uo", "te\\d", "\x01"});
        f.size = record * 1000;
        f.lastModificationTime = resurgo::FILE_TIME::fromUtc(132000000000000000ULL + record * 10000000ULL);
        f.creationTime = resurgo::FILE_TIME::fromUtc(131000000000000000ULL + record);
        f.lastAccessTime = resurgo::FILE_TIME::fromUtc(record);
        results.push_back(f);
    }
    std::ostringstream out;
    ResultFormatter::writeJson(out, results);
    const std::string text = out.str();
    ASSERT_EQ(text.substr(0, 5), "[\n  {");
    ASSERT_EQ(text.substr(text.size() - 3), "}\n]");
    const nlohmann::json array = nlohmann::json::parse(text);
    ASSERT_TRUE(array.is_array());
    ASSERT_EQ(array.size(), count);
    std::vector<const resurgo::FOUND_FILE*> byRecord;
    for (const auto& f : results) byRecord.push_back(&f);
    std::sort(byRecord.begin(), byRecord.end(),
              [](const auto* a, const auto* b) { return a->recordNumber < b->recordNumber; });
    for (std::size_t i = 0; i < count; ++i) {
        const resurgo::FOUND_FILE& f = *byRecord[i];
        const nlohmann::json& o = array[i];
        ASSERT_EQ(o["record"], f.recordNumber) << "object " << i;
        EXPECT_EQ(o["first_sector"], f.firstSector);
        EXPECT_EQ(o["offset"], f.offset);
        EXPECT_EQ(o["name"], shownNames[f.recordNumber]);
        EXPECT_EQ(o["size"], f.size);
        EXPECT_EQ(o["modified"], f.lastModificationTime.isoUtc());
        EXPECT_EQ(o["created"], f.creationTime.isoUtc());
        EXPECT_EQ(o["accessed"], f.lastAccessTime.isoUtc());
        EXPECT_EQ(o["recoverable"], f.recoverable);
        EXPECT_EQ(o["unowned"], f.unowned);
        EXPECT_FALSE(o.contains("zeroed"));
        EXPECT_EQ(o["source"], "mft");
        EXPECT_EQ(o.size(), 13u);
    }
    EXPECT_EQ(array[0]["directory"], "Docs/d3");  // record 16
    EXPECT_EQ(array[0]["path_components"], (std::vector<std::string>{"Docs", "d3"}));
    EXPECT_EQ(array[1]["path_components"], (std::vector<std::string>{"q\"uo", "te\\d", "\x01"}));  // record 17
    EXPECT_EQ(array[0]["modified"], "2019-04-17T18:40:16Z");  // 13,200,000,016 s after 1601

    std::ostringstream none;
    ResultFormatter::writeJson(none, {});
    EXPECT_EQ(none.str(), "[]");
}

// The table's columns are measured over every block before a row is
// written: a long name in the last block widens the first.
TEST(CommandParts, TableOfManyResultsIsAlignedAcrossBlocks) {
    const std::size_t count = ResultFormatter::kTableBlock * 3 + 5;
    std::vector<resurgo::FOUND_FILE> results;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t record = i + 16;
        std::string name = "f" + std::to_string(record);
        if (i == 0) name += std::string(60, 'n');   // highest record last: the last block
        if (i == 7) name += "_\xE6\x97\xA5\x1B";    // wide, and escaped
        resurgo::FOUND_FILE f(record, record, name);
        if (i == count / 2) {
            f.setDirectory({"Deep", "er", std::string(40, 'd')});
        } else {
            f.setDirectory({"Docs"});
        }
        f.size = record * 1000;
        f.recoverable = static_cast<std::uint8_t>(i % 101);
        f.lastModificationTime = resurgo::FILE_TIME::fromUtc(132000000000000000ULL + record * 10000000ULL);
        results.push_back(f);
    }
    std::ostringstream out;
    ResultFormatter::writeTable(out, results);
    std::vector<std::string> lines;
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), count + 1);
    // The longest name has 63 columns, the largest size 7.
    EXPECT_EQ(lines[0].rfind("Record  Name" + std::string(59 + 2 + 3, ' ') + "Size", 0), 0u) << lines[0];
    const std::string never = ResultFormatter::localText(resurgo::FILE_TIME());  // accessed: not set
    const std::size_t percent = lines[1].find('%');
    for (std::size_t row = 1; row <= count; ++row) {
        // Highest record first.
        const std::uint64_t record = count - row + 16;
        const std::string lead = std::to_string(record);
        ASSERT_EQ(lines[row].rfind(std::string(6 - lead.size(), ' ') + lead + "  f" + lead, 0), 0u) << row;
        if (record == 16 + 7) {
            EXPECT_NE(lines[row].find("_\xE6\x97\xA5\\x1b "), std::string::npos) << lines[row];
            continue;
        }
        EXPECT_EQ(lines[row].find('%'), percent) << lines[row];
        EXPECT_EQ(lines[row].substr(lines[row].size() - never.size()), never);  // the last column, unpadded
    }

    // Fitted to 80 columns: every row of every block within them.
    std::ostringstream fitted;
    ResultFormatter::writeTable(fitted, results, 80);
    std::istringstream rows(fitted.str());
    std::size_t n = 0;
    for (std::string line; std::getline(rows, line); ++n) EXPECT_LE(ResultFormatter::displayWidth(line), 80u) << line;
    EXPECT_EQ(n, count + 1);
}

TEST(CommandParts, OutputDirectoriesNeverReuseANameNorFollowALink) {
    EXPECT_EQ(OutputPaths::parentOf("/a/b/c.txt"), "/a/b");
    EXPECT_EQ(OutputPaths::parentOf("c.txt"), ".");
    EXPECT_EQ(OutputPaths::parentOf("/c.txt"), "/");

    const std::string dir = tempDir("cli-paths");
    resurgo::OutputDirectory out(dir, false);
    std::string used;
    writeFile(dir + "/a.txt", {1});
    fs::create_symlink(dir + "/nowhere", dir + "/a (1).txt");  // dangling: still taken
    resurgo::OsHandle h = out.createFile("a.txt", used);
    ASSERT_NE(h, resurgo::kNoHandle);
    resurgo::platform().closeOutput(h);
    EXPECT_EQ(used, "a (2).txt");
    EXPECT_FALSE(fs::exists(dir + "/nowhere"));
    h = out.createFile("a.txt", used);  // the next one, without trying the taken ones again
    resurgo::platform().closeOutput(h);
    EXPECT_EQ(used, "a (3).txt");

    writeFile(dir + "/sub", {1});
    fs::create_directory(dir + "/elsewhere");
    fs::create_directory_symlink(dir + "/elsewhere", dir + "/sub (1)");  // a link to a directory: taken
    EXPECT_EQ(out.enter("sub").path(), dir + "/sub (2)");
    EXPECT_TRUE(fs::is_directory(dir + "/sub (2)"));
    EXPECT_EQ(out.enter("sub").path(), dir + "/sub (2)");  // reused, not numbered again
    EXPECT_TRUE(fs::is_empty(dir + "/elsewhere"));
}

TEST(CommandParts, ProgressBarClampsAndRedrawsOnlyOnChange) {
    std::ostringstream out;
    {
        TerminalProgress bar(out, "Searching");
        EXPECT_EQ(bar.render(0), "Searching [" + std::string(40, '.') + "]   0%");
        EXPECT_EQ(bar.render(100), "Searching [" + std::string(40, '#') + "] 100%");
        EXPECT_EQ(bar.render(250), bar.render(100));
        EXPECT_EQ(bar.render(-3), bar.render(0));
        bar.setPosition(50);
        const std::size_t once = out.str().size();
        bar.setPosition(50);
        EXPECT_EQ(out.str().size(), once);
        bar.setPosition(1000);
        EXPECT_EQ(bar.position(), 100);
    }
    EXPECT_EQ(out.str().substr(out.str().size() - 4), "\r\033[K");  // the line is wiped at the end
}

// One bar over the search and the writing of its results: it never goes
// back, the writing takes the part after the search's, and it ends at 100
// before it is wiped.
TEST(CommandParts, ProgressBarRunsOnceOverSearchAndOutput) {
    for (const bool json : {true, false}) {
        SCOPED_TRACE(json ? "json" : "table");
        SearchCommand::Options o;
        o.source = fixtureImage("basic");
        o.days = 1000000;
        o.json = json;
        o.progressWhileWriting = true;
        std::ostringstream out, err, drawn;
        {
            TerminalProgress bar(drawn, "Searching");
            EXPECT_EQ(SearchCommand().run(o, out, err, &bar, nullptr), kExitOk);
        }
        std::vector<int> shown;
        const std::string text = drawn.str();
        for (std::size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at + 1)) {
            shown.push_back(std::stoi(text.substr(at - 3, 3)));
        }
        ASSERT_GE(shown.size(), 3u) << text;
        EXPECT_EQ(shown.front(), 0);
        EXPECT_EQ(shown.back(), 100);
        EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end())) << text;
        EXPECT_NE(std::find(shown.begin(), shown.end(), SearchCommand::kSearchProgress), shown.end()) << text;
        EXPECT_EQ(text.substr(text.size() - 4), "\r\033[K");
    }
}

TEST(CommandParts, CtrlCCancelsTheSearchAndListsWhatWasFound) {
    static int seen = 0;
    seen = 0;
    auto previous = std::signal(SIGINT, [](int) { ++seen; });
    {
        CancelSignal cancel;
        EXPECT_FALSE(CancelSignal::cancelled());
        std::raise(SIGINT);
        EXPECT_TRUE(CancelSignal::cancelled());
        EXPECT_EQ(seen, 0);

        // A search that starts cancelled stops at once and still prints.
        SearchCommand::Options o;
        o.source = fixtureImage("demo");
        o.days = 1000000;
        o.json = true;
        std::ostringstream out, err;
        EXPECT_EQ(SearchCommand().run(o, out, err, nullptr, CancelSignal::flag()), kExitCancelled);
        EXPECT_EQ(nlohmann::json::parse(out.str()), nlohmann::json::array());
        EXPECT_NE(err.str().find("cancelled"), std::string::npos);
    }
    std::raise(SIGINT);  // the previous handler is back
    EXPECT_EQ(seen, 1);
    std::signal(SIGINT, previous);
}
