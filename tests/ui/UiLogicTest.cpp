// The dialog's logic that needs no window: sort keys, cell texts, message
// formatting, the days field, the version rule, the drive list, the string
// table and the same-volume test.

#include <tuple>

#include <gtest/gtest.h>

#include "UiHarness.h"
#include "core/ErrorException.h"
#include "core/RunEnvironment.h"
#include "recovery/RestoreRules.h"
#include "platform/SystemEnvironment.h"
#include "resources/StringTable.h"
#include "ui/CompareFoundFiles.h"
#include "ui/Implementation.h"
#include "ui/ResultListView.h"
#include "ui/WinText.h"
#include "volume/VolumeListLogical.h"

namespace resurgo::test {
namespace {

FOUND_FILE found(std::uint64_t record, const std::string& name, std::uint64_t size = 0,
                 const std::string& directory = ".\\", std::uint64_t modified = 0) {
    FOUND_FILE f(record, record * 2, name);
    f.size = size;
    f.directory = directory;
    f.lastModificationTime.set(modified);
    f.creationTime.set(modified + 1);
    f.lastAccessTime.set(modified + 2);
    return f;
}

TEST(CompareFoundFilesTest, NamesCompareByteByByteWithUpperCaseFirstAndPrefixFirst) {
    std::vector<FOUND_FILE> r = {found(1, "a.txt"), found(2, "B.txt"), found(3, "a"), found(4, "a.txt")};
    EXPECT_EQ(CompareFoundFiles::compare(r, 1, 0, 0), 0);  // "B.txt" before "a.txt"
    EXPECT_EQ(CompareFoundFiles::compare(r, 0, 1, 0), 1);
    EXPECT_EQ(CompareFoundFiles::compare(r, 2, 0, 0), 0);  // "a" before "a.txt"
    EXPECT_EQ(CompareFoundFiles::compare(r, 0, 3, 0), 1);  // equal keys answer 1
    // UTF-8 bytes above 0x7F sort after ASCII (unsigned bytes).
    std::vector<FOUND_FILE> u = {found(1, "\xD0\x9E"), found(2, "z")};
    EXPECT_EQ(CompareFoundFiles::compare(u, 0, 1, 0), 1);
}

TEST(CompareFoundFilesTest, SizesCompareAsNumbersAndTimesAsStoredValues) {
    std::vector<FOUND_FILE> r = {found(1, "x", 1000, ".\\", 200), found(2, "y", 999, ".\\", 100)};
    EXPECT_EQ(CompareFoundFiles::compare(r, 1, 0, 1), 0);  // 999 before 1000
    EXPECT_EQ(CompareFoundFiles::compare(r, 0, 1, 1), 1);
    for (int column = 3; column <= 5; ++column) {
        EXPECT_EQ(CompareFoundFiles::compare(r, 1, 0, column), 0) << column;
        EXPECT_EQ(CompareFoundFiles::compare(r, 0, 1, column), 1) << column;
    }
    // The condition by the recoverable percentage: overwritten first.
    r[1].recoverable = 40;
    EXPECT_EQ(CompareFoundFiles::compare(r, 1, 0, 6), 0);
    EXPECT_EQ(CompareFoundFiles::compare(r, 0, 1, 6), 1);
    EXPECT_EQ(CompareFoundFiles::compare(r, 0, 1, 7), 0);
    EXPECT_EQ(CompareFoundFiles::compare(r, 1, 0, -1), 0);
}

TEST(CompareFoundFilesTest, DirectoriesCompareWithoutTheDriveRoot) {
    std::vector<FOUND_FILE> r = {found(1, "x", 0, "Documents\\Letters\\"), found(2, "y", 0, ".\\"),
                                 found(3, "z", 0, "Documents\\")};
    EXPECT_EQ(CompareFoundFiles::compare(r, 1, 2, 2), 0);  // "." before "D"
    EXPECT_EQ(CompareFoundFiles::compare(r, 2, 0, 2), 0);  // a prefix first
    EXPECT_EQ(CompareFoundFiles::compare(r, 0, 2, 2), 1);
}

TEST(ResultListViewTextTest, DirectoryTextDropsTheLastBackslashAndIsNeverCut) {
    EXPECT_EQ(ResultListView::directoryText("C:\\", "Documents\\Letters\\"), "C:\\Documents\\Letters");
    EXPECT_EQ(ResultListView::directoryText("C:\\", ".\\"), "C:\\.");
    std::string deep;
    for (int i = 0; i < 300; ++i) deep += "directory\\";
    std::string text = ResultListView::directoryText("D:\\", deep);
    EXPECT_EQ(text.size(), 3 + deep.size() - 1);
    EXPECT_GT(text.size(), 1016u);
}

TEST(ResultListViewTextTest, RowsWithoutAWindowKeepTheirOrderAndItemData) {
    std::vector<FOUND_FILE> r = {found(5, "c", 3), found(9, "a", 1), found(12, "b", 2)};
    // What found a file comes first in its condition: a carve, a shadow copy (and its date).
    r[0].source = ResultSource::Carved;
    std::tie(r[1].source, r[1].recoverable, r[1].snapshotCreated) =
        std::make_tuple(ResultSource::Snapshot, 0, FILE_TIME::fromUtc(0x01CC0F6A2B3C4D5EULL));
    std::string copy = IDS_TEXT_CONDITION_SNAPSHOT;
    copy.replace(copy.find("%s"), 2, r[1].snapshotCreated.text() + " (" IDS_TEXT_CONDITION_OVERWRITTEN ")");
    ResultListView list;
    list.fill(r, "C:\\");
    ASSERT_EQ(list.rowCount(), 3);
    EXPECT_EQ(list.cellText(0, 0), "b");  // record 12 first
    EXPECT_EQ(list.cellText(2, 0), "c");
    EXPECT_EQ(list.itemData(0), 2u);
    list.sortByColumn(0);
    EXPECT_EQ(list.cellText(0, 0), "a");
    EXPECT_EQ(list.itemData(0), 1u);
    list.sortByColumn(7);  // no key: the order stays
    EXPECT_EQ(list.cellText(0, 0), "a");
    EXPECT_EQ(list.cellText(1, 1), "2");
    EXPECT_EQ(list.cellText(1, 2), "C:\\.");
    EXPECT_EQ(list.cellText(0, 6), copy);
    EXPECT_EQ(list.cellText(2, 6), IDS_TEXT_CONDITION_CARVED);
}

TEST(WinTextTest, FormatPutsTheNameAndTheCountInPlace) {
    EXPECT_EQ(WinText::format(L"File %s successfully restored", L"a.txt"), L"File a.txt successfully restored");
    EXPECT_EQ(WinText::format(L"File %s restored, %u bad", L"x%u.txt", 3), L"File x%u.txt restored, 3 bad");
    // Several numbers in order, none taken from the name or from a number put in before.
    EXPECT_EQ(WinText::format(L"\"%s\": %u of %u, %u", L"%u", {12, 3}), L"\"%u\": 12 of 3, %u");
    EXPECT_EQ(WinText::wide("\xD0\x9E\xD1\x82\xD0\xBF\xD1\x83\xD1\x81\xD0\xBA"), L"\u041e\u0442\u043f\u0443\u0441\u043a");
    EXPECT_EQ(WinText::utf8(L"\u6587\u4ef6.txt"), "\xE6\x96\x87\xE4\xBB\xB6.txt");
}

TEST(DaysFieldTest, DigitsUpToTheFirstOtherCharacter) {
    EXPECT_EQ(Implementation::parseDays(L""), 0);
    EXPECT_EQ(Implementation::parseDays(L"1"), 1);
    EXPECT_EQ(Implementation::parseDays(L"32767"), 32767);
    EXPECT_EQ(Implementation::parseDays(L"12abc"), 12);
    EXPECT_EQ(Implementation::parseDays(L"x12"), 0);
    EXPECT_EQ(Implementation::parseDays(L"99999999999999"), INT32_MAX);
}

RunEnvironment::VERSION_RECORD version(std::uint32_t major, std::uint32_t minor, std::uint32_t platformId,
                                       const std::string& sp) {
    RunEnvironment::VERSION_RECORD r;
    r.majorVersion = major;
    r.minorVersion = minor;
    r.platformId = platformId;
    r.servicePack = sp;
    return r;
}

TEST(RunEnvironmentTest, VersionRule) {
    const std::uint32_t nt = RunEnvironment::kPlatformWin32Nt;
    EXPECT_TRUE(RunEnvironment::acceptsVersion(version(4, 0, nt, "Service Pack 3")));
    EXPECT_TRUE(RunEnvironment::acceptsVersion(version(4, 0, nt, "Service Pack 6a")));  // 'a' - '0' >= 3
    EXPECT_FALSE(RunEnvironment::acceptsVersion(version(4, 0, nt, "Service Pack 2")));
    EXPECT_FALSE(RunEnvironment::acceptsVersion(version(4, 0, nt, "")));
    EXPECT_FALSE(RunEnvironment::acceptsVersion(version(4, 0, nt, "Service Pack 10")));
    EXPECT_FALSE(RunEnvironment::acceptsVersion(version(4, 0, nt, "SP 6")));  // the words must be there
    EXPECT_TRUE(RunEnvironment::acceptsVersion(version(5, 0, nt, "")));
    EXPECT_TRUE(RunEnvironment::acceptsVersion(version(10, 0, nt, "whatever")));
    EXPECT_FALSE(RunEnvironment::acceptsVersion(version(4, 10, 1, "")));
    EXPECT_FALSE(RunEnvironment::acceptsVersion(version(4, 90, 1, "")));
    EXPECT_FALSE(RunEnvironment::acceptsVersion(version(4, 0, 1, "Service Pack 2")));
    EXPECT_TRUE(RunEnvironment::acceptsVersion(version(4, 0, 1, "Service Pack 4")));
    EXPECT_TRUE(RunEnvironment::acceptsVersion(version(3, 51, nt, "")));
    // Only the last character counts: a blank there is below '0'.
    EXPECT_FALSE(RunEnvironment::acceptsVersion(version(4, 0, nt, "Service Pack 6 ")));
}

TEST(RunEnvironmentTest, TheSystemIsSupportedAndTheUserIsAnAdministratorUnderWine) {
    SystemEnvironment system;
    RunEnvironment env(system);
    EXPECT_TRUE(env.isSupportedVersion());
    EXPECT_GE(env.versionRecord().majorVersion, 5u);
    EXPECT_TRUE(env.isLocalAdmin());
}

TEST(VolumeListLogicalTest, OnlyFixedNtfsDrivesAreListedWithTheirSizes) {
    FakeDrives d;
    d.drives = {{"A:\\", "", "FAT", false}, {"C:\\", "System", "NTFS"}, {"D:\\", "CD", "CDFS", false},
                {"E:\\", "Data", "FAT32"}};
    d.drives[1].sectorsPerCluster = 8;
    d.drives[1].bytesPerSector = 512;
    d.drives[1].totalClusters = 2000000;
    d.drives[1].freeClusters = 500000;
    VolumeListLogical list;
    list.get_list(d);
    EXPECT_EQ(list.driveCount, 4);
    ASSERT_EQ(list.ntfsCount, 1);
    EXPECT_EQ(list.entry(0).path, "C:\\");
    EXPECT_EQ(list.entry(0).sizeMegabytes, 8192);
    EXPECT_EQ(list.entry(0).freeMegabytes, 2048);
    EXPECT_FALSE(list.entry(0).removable);
    EXPECT_EQ(VolumeListLogical::displayText(list.entry(0)), "C:\\ [System]");
    // A second listing leaves only its own result.
    d.drives[1].label = "Other";
    list.get_list(d);
    ASSERT_EQ(list.ntfsCount, 1);
    EXPECT_EQ(list.entries.size(), 1u);
    EXPECT_EQ(list.entry(0).volumeLabel, "Other");
}

TEST(VolumeListLogicalTest, UnreadableFixedDriveStopsTheListingWithCode1) {
    FakeDrives d;
    d.drives = {{"C:\\", "System", "NTFS"}, {"D:\\", "", "NTFS"}, {"E:\\", "Data", "NTFS"}};
    d.drives[1].infoFails = true;
    VolumeListLogical list;
    try {
        list.get_list(d);
        FAIL() << "no exception";
    } catch (const ErrorException& e) {
        EXPECT_EQ(e.code(), kErrOpenDisk);
        EXPECT_EQ(e.diagnostic(), "VolumeListLogical::get_list");
    }
    EXPECT_EQ(list.ntfsCount, 1);  // what was listed before stays
    d.drives.clear();
    list.get_list(d);
    EXPECT_EQ(list.driveCount, 0);
    EXPECT_EQ(list.ntfsCount, 0);
    d.rootsFail = true;
    EXPECT_THROW(list.get_list(d), ErrorException);
}

TEST(VolumeListLogicalTest, TheWinePrefixListsTheImageDriveX) {
    VolumeListLogical list;
    list.get_list();
    bool x = false;
    for (const Volume& v : list.entries) x = x || v.path == "X:\\";
    EXPECT_TRUE(x) << "drive X: (the demo image) is not listed";
}

TEST(StringTableTest, TheResourceTextsAreTheSharedHeaderTexts) {
    Implementation impl;
    impl.setApplication(::GetModuleHandleW(nullptr), L"", nullptr);
    ASSERT_GE(StringTable::size(), 21u);
    for (const StringTable::Entry& e : StringTable::kEntries) {
        EXPECT_EQ(WinText::utf8(impl.loadString(e.id)), e.text) << "string " << e.id;
    }
    EXPECT_STREQ(StringTable::text(IDS_STRING_APP_TITLE), "Resurgo for NTFS");
    EXPECT_STREQ(StringTable::text(IDS_RESTORED), "File %s successfully restored");
    EXPECT_EQ(StringTable::text(2), nullptr);
}

TEST(SameVolumeTest, TheDialogAsksTheRestoreRulesByVolumeAndFileIdentity) {
    // The dialog's same-source question goes to the engine's rules with the
    // system's probe, as the command line's does: any case of the searched
    // drive, folders not made yet, another drive, a share, and an image
    // searched as the source written by its own name.
    const std::string unixDir = tempDir("same-volume");
    writeFile(unixDir + "/volume.img", std::vector<std::uint8_t>(4096, 0));
    const std::string dir = WinText::utf8(UiHarness::windowsPath(unixDir));
    const std::string image = dir + "\\volume.img";
    struct Row {
        std::string source, target;
        bool onSource;
    };
    const Row rows[] = {
        {"X:\\", "X:\\out.txt", true},
        {"X:\\", "x:\\out.txt", true},
        {"X:\\", "x:\\deep\\folder\\out.txt", true},
        {"\\\\.\\X:", "x:\\out.txt", true},
        {"X:\\", dir + "\\out.txt", false},
        {"X:\\", "\\\\server\\share\\out.txt", false},
        {image, image, true},
        {image, dir + "\\other.img", false},
    };
    for (const Row& row : rows) {
        RestoreRules rules(RestoreRules::systemProbe());
        rules.setSource(row.source);
        EXPECT_EQ(rules.destinationOnSource(row.target), row.onSource) << row.source << " -> " << row.target;
    }
}

} // namespace
} // namespace resurgo::test
