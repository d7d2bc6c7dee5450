// The restore flow through the real dialog: every branch from the
// selection to the message, with the save-file dialog and the message boxes
// answered by the test and the platform failing where a branch needs it.

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "UiHarness.h"
#include "hostile/HostileSupport.h"

#include <commctrl.h>
#include "core/TextUtf.h"
#include "file/FileZ.h"
#include "ntfs/FILE_TIME.h"
#include "recovery/SearchJob.h"
#include "resources/ResourceIds.h"
#include "resources/StringTable.h"
#include "ui/WinText.h"

namespace resurgo::test {
namespace {

const char* const kCyrillic = "\xD0\x9E\xD1\x82\xD0\xBF\xD1\x83\xD1\x81\xD0\xBA_\xD0\xBD\xD0\xB0_\xD0\xBC\xD0\xBE\xD1\x80\xD0\xB5.jpg";

std::string factSha(const std::string& name) {
    const nlohmann::json facts = fixtureFacts("demo");
    for (const auto& f : facts["files"]) {
        if (f["name"].get<std::string>() == name) return f["sha256"].get<std::string>();
    }
    return std::string();
}

std::uint64_t factSize(const std::string& name) {
    const nlohmann::json facts = fixtureFacts("demo");
    for (const auto& f : facts["files"]) {
        if (f["name"].get<std::string>() == name) return f["size"].get<std::uint64_t>();
    }
    return 0;
}

std::string fileSha(const std::wstring& path) { return sha256Hex(readFile(WinText::utf8(path))); }

bool exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Searches X: for everything and selects the row of name.
int searchAndSelect(UiHarness& h, const std::string& name) {
    h.selectDrive(L"X:\\");
    if (!h.search(L"*")) return -1;
    for (int row = 0; row < h.rowCount(); ++row) {
        if (WinText::utf8(h.cell(row, 0)) == name) {
            h.selectRow(row);
            return row;
        }
    }
    return -1;
}

std::wstring in(const std::wstring& folder, const std::string& name) { return folder + L"\\" + WinText::wide(name); }

TEST(RestoreFlowTest, NothingHappensWithoutASelection) {
    UiHarness h;
    h.run([](UiHarness& h) {
        ASSERT_GE(searchAndSelect(h, "scratch.txt"), 0);
        h.selectRow(-1);
        h.press(IDC_RESTORE);
        EXPECT_EQ(h.saveCalls(), 0);
        EXPECT_TRUE(h.shown().empty());
        h.press(IDC_EXIT);
    });
}

TEST(RestoreFlowTest, CancellingTheSaveDialogEndsWithoutMessageOrFile) {
    UiHarness h;
    h.run([](UiHarness& h) {
        ASSERT_GE(searchAndSelect(h, "scratch.txt"), 0);
        h.press(IDC_RESTORE);
        EXPECT_EQ(h.saveCalls(), 1);
        ASSERT_EQ(h.saveDefaults().size(), 1u);
        EXPECT_EQ(h.saveDefaults()[0], L"scratch.txt");
        EXPECT_TRUE(h.shown().empty());
        EXPECT_FALSE(h.impl.job().filesystem.isOpen());
        h.press(IDC_EXIT);
    });
}

TEST(RestoreFlowTest, TheSearchedDriveIsRefusedInEitherCase) {
    UiHarness h;
    h.savePaths = {L"X:\\scratch.txt", L"x:\\scratch.txt", L"x:\\sub\\dir\\scratch.txt"};
    h.run([](UiHarness& h) {
        ASSERT_GE(searchAndSelect(h, "scratch.txt"), 0);
        for (int i = 0; i < 3; ++i) h.press(IDC_RESTORE);
        EXPECT_EQ(h.shownIds(), (std::vector<unsigned>{IDS_SAME_DRIVE, IDS_SAME_DRIVE, IDS_SAME_DRIVE}));
        for (const auto& s : h.shown()) {
            EXPECT_EQ(WinText::utf8(s.text), IDS_TEXT_SAME_DRIVE);
            EXPECT_EQ(s.style, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
        }
        EXPECT_FALSE(exists(L"X:\\scratch.txt"));
        EXPECT_FALSE(h.impl.job().filesystem.isOpen());
        h.press(IDC_EXIT);
    });
}

TEST(RestoreFlowTest, ADeepScanListsTheSameFilesAndRestoresFromWhereItFoundThem) {
    const std::wstring out = UiHarness::outputFolder("deep");
    UiHarness h;
    h.savePaths = {in(out, "scratch.txt"), in(out, "IMG_0002.jpg")};
    h.run([&out](UiHarness& h) {
        ASSERT_GE(searchAndSelect(h, "scratch.txt"), 0);
        const int plainRows = h.rowCount();
        ::SendMessageW(h.item(IDC_DEEP_SCAN), BM_SETCHECK, BST_CHECKED, 0);
        for (const char* name : {"scratch.txt", "IMG_0002.jpg"}) {
            ASSERT_GE(searchAndSelect(h, name), 0) << name;
            EXPECT_TRUE(h.impl.job().options.deep);
            EXPECT_EQ(h.rowCount(), plainRows);
            h.press(IDC_RESTORE);
            EXPECT_EQ(fileSha(in(out, name)), factSha(name)) << name;
        }
        EXPECT_EQ(h.shownIds(), (std::vector<unsigned>{IDS_RESTORED, IDS_RESTORED}));
        EXPECT_FALSE(h.impl.job().filesystem.isOpen());
        h.press(IDC_EXIT);
    });
}

TEST(RestoreFlowTest, FilesWithoutRecordsListACarvedRowThatRestoresItsBytes) {
    // A 100 x 200 bitmap of 24-bit pixels (60054 bytes) placed in free clusters of the
    // demo volume (`ntfscluster -c 3800-3900 demo.img`: no inode uses them).
    std::vector<std::uint8_t> bmp(60054, 0x5A);
    const std::uint8_t header[] = {'B', 'M', 0x96, 0xEA, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0,
                                   100, 0,   0,    0,    200, 0, 0, 0, 1, 0, 24, 0};
    std::copy(std::begin(header), std::end(header), bmp.begin());
    GatePlatform gate;
    gate.placed = {{3800 * fixtureFacts("demo")["cluster_size"].get<std::uint64_t>(), bmp}};
    ScopedPlatform scope(gate);
    const std::wstring out = UiHarness::outputFolder("carved");
    UiHarness h;
    h.savePaths = {in(out, "carved.bmp")};
    h.run([&](UiHarness& h) {
        ::SendMessageW(h.item(IDC_CARVE), BM_SETCHECK, BST_CHECKED, 0);
        h.selectDrive(L"X:\\");
        ASSERT_TRUE(h.search(L"*.bmp"));
        ASSERT_EQ(h.rowCount(), 1);
        EXPECT_EQ(WinText::utf8(h.cell(0, 6)), IDS_TEXT_CONDITION_CARVED);
        h.selectRow(0);
        h.press(IDC_RESTORE);
        EXPECT_EQ(readFile(WinText::utf8(in(out, "carved.bmp"))), bmp);
        EXPECT_EQ(h.shownIds(), std::vector<unsigned>{IDS_RESTORED});
        h.press(IDC_EXIT);
    });
}

TEST(RestoreFlowTest, SuccessShowsMessage9AndRestoresTheData) {
    const std::wstring out = UiHarness::outputFolder("success");
    UiHarness h;
    h.savePaths = {in(out, "scratch.txt"), in(out, kCyrillic), in(out, "quarterly_report.txt")};
    h.run([&out](UiHarness& h) {
        for (const char* name : {"scratch.txt", kCyrillic, "quarterly_report.txt"}) {
            int row = searchAndSelect(h, name);
            ASSERT_GE(row, 0) << name;
            h.press(IDC_RESTORE);
            EXPECT_EQ(fileSha(in(out, name)), factSha(name)) << name;
            EXPECT_EQ(h.saveDefaults().back(), WinText::wide(name));
        }
        std::vector<UiHarness::Shown> shown = h.shown();
        ASSERT_EQ(shown.size(), 3u);
        EXPECT_EQ(shown[1].id, static_cast<unsigned>(IDS_RESTORED));
        EXPECT_EQ(WinText::utf8(shown[1].text), std::string("File ") + kCyrillic + " successfully restored");
        EXPECT_EQ(WinText::utf8(shown[1].caption), IDS_TEXT_STRING_APP_TITLE);
        EXPECT_EQ(shown[1].style, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
        EXPECT_FALSE(shown[1].captured) << "the mouse capture was kept during the message";
        EXPECT_FALSE(h.impl.job().filesystem.isOpen());
        h.press(IDC_EXIT);
    });
}

TEST(RestoreFlowTest, TheDestinationIsCreatedUnderItsFullUnicodePath) {
    const std::wstring out = UiHarness::outputFolder("unicode") + L"\\\u6062\u590d";  // a folder named in Chinese
    ASSERT_TRUE(::CreateDirectoryW(out.c_str(), nullptr));
    const std::wstring target = out + L"\\\u6587\u4ef6_\u041e\u0442\u043f\u0443\u0441\u043a.txt";
    UiHarness h;
    h.savePaths = {target};
    h.run([&target](UiHarness& h) {
        ASSERT_GE(searchAndSelect(h, "letter_to_bank.txt"), 0);
        h.press(IDC_RESTORE);
        EXPECT_EQ(h.shownIds(), std::vector<unsigned>{IDS_RESTORED});
        EXPECT_TRUE(exists(target));
        EXPECT_EQ(fileSha(target), factSha("letter_to_bank.txt"));
        h.press(IDC_EXIT);
    });
}

TEST(RestoreFlowTest, TheListAndItsSelectionStayAndTheSameResultRestoresAgain) {
    const std::wstring out = UiHarness::outputFolder("again");
    UiHarness h;
    h.savePaths = {in(out, "first.txt"), in(out, "second.txt")};
    h.run([&out](UiHarness& h) {
        int row = searchAndSelect(h, "letter_to_bank.txt");
        ASSERT_GE(row, 0);
        std::vector<std::wstring> before;
        for (int r = 0; r < h.rowCount(); ++r) before.push_back(h.cell(r, 0));
        h.press(IDC_RESTORE);
        h.press(IDC_RESTORE);
        std::vector<std::wstring> after;
        for (int r = 0; r < h.rowCount(); ++r) after.push_back(h.cell(r, 0));
        EXPECT_EQ(before, after);
        EXPECT_EQ(h.selectedRow(), row);
        EXPECT_EQ(h.impl.job().filesystem.resultCount(), 7u);
        EXPECT_EQ(h.shownIds(), (std::vector<unsigned>{IDS_RESTORED, IDS_RESTORED}));
        EXPECT_EQ(fileSha(in(out, "first.txt")), factSha("letter_to_bank.txt"));
        EXPECT_EQ(fileSha(in(out, "second.txt")), factSha("letter_to_bank.txt"));
        h.press(IDC_EXIT);
    });
}

TEST(RestoreFlowTest, AnExistingFileIsOverwrittenOnlyOnYes) {
    const std::wstring out = UiHarness::outputFolder("exists");
    const std::wstring target = in(out, "scratch.txt");
    writeFile(WinText::utf8(target), {'o', 'l', 'd'});
    UiHarness h;
    h.savePaths = {target, target};
    h.answers = {IDNO, IDYES};
    h.run([&target](UiHarness& h) {
        ASSERT_GE(searchAndSelect(h, "scratch.txt"), 0);
        h.press(IDC_RESTORE);
        EXPECT_EQ(h.shownIds(), std::vector<unsigned>{IDS_FILE_EXISTS});
        EXPECT_EQ(readFile(WinText::utf8(target)), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
        EXPECT_FALSE(h.impl.job().filesystem.isOpen());
        h.press(IDC_RESTORE);
        EXPECT_EQ(h.shownIds(), (std::vector<unsigned>{IDS_FILE_EXISTS, IDS_FILE_EXISTS, IDS_RESTORED}));
        EXPECT_EQ(fileSha(target), factSha("scratch.txt"));
        EXPECT_EQ(h.shown()[0].style, static_cast<UINT>(MB_YESNO | MB_ICONINFORMATION));
        h.press(IDC_EXIT);
    });
}

TEST(RestoreFlowTest, NotEnoughFreeSpaceIsRefusedAndExactlyEnoughPasses) {
    const std::wstring out = UiHarness::outputFolder("space");
    const std::uint64_t size = factSize("IMG_0002.jpg");
    GatePlatform gate;
    gate.overrideSpace = true;
    gate.space = size - 1;
    ScopedPlatform scope(gate);
    UiHarness h;
    h.savePaths = {in(out, "a.jpg"), in(out, "b.jpg")};
    h.run([&](UiHarness& h) {
        ASSERT_GE(searchAndSelect(h, "IMG_0002.jpg"), 0);
        h.press(IDC_RESTORE);
        EXPECT_EQ(h.shownIds(), std::vector<unsigned>{IDS_NOT_ENOUGH_SPACE});
        EXPECT_FALSE(exists(in(out, "a.jpg")));
        EXPECT_FALSE(h.shown()[0].captured);
        gate.space = size;
        h.press(IDC_RESTORE);
        EXPECT_EQ(h.shownIds(), (std::vector<unsigned>{IDS_NOT_ENOUGH_SPACE, IDS_RESTORED}));
        EXPECT_EQ(fileSha(in(out, "b.jpg")), factSha("IMG_0002.jpg"));
        h.press(IDC_EXIT);
    });
}

TEST(RestoreFlowTest, AFailingFreeSpaceQueryLetsTheCopyGoOn) {
    const std::wstring out = UiHarness::outputFolder("nospace-query");
    GatePlatform gate;
    gate.failSpaceQuery = true;
    ScopedPlatform scope(gate);
    UiHarness h;
    h.savePaths = {in(out, "old_letter.txt")};
    h.run([&out](UiHarness& h) {
        ASSERT_GE(searchAndSelect(h, "old_letter.txt"), 0);
        h.press(IDC_RESTORE);
        EXPECT_EQ(h.shownIds(), std::vector<unsigned>{IDS_RESTORED});
        EXPECT_EQ(fileSha(in(out, "old_letter.txt")), factSha("old_letter.txt"));
        h.press(IDC_EXIT);
    });
}

TEST(RestoreFlowTest, AWriteFailureShowsMessage8AndReleasesEverything) {
    const std::wstring out = UiHarness::outputFolder("write-fails");
    GatePlatform gate;
    gate.failWrites = true;
    ScopedPlatform scope(gate);
    UiHarness h;
    h.savePaths = {in(out, "IMG_0001.jpg")};
    h.run([](UiHarness& h) {
        ASSERT_GE(searchAndSelect(h, "IMG_0001.jpg"), 0);
        h.press(IDC_RESTORE);
        ASSERT_EQ(h.shownIds(), std::vector<unsigned>{IDS_COPY_FAILED});
        EXPECT_EQ(WinText::utf8(h.shown()[0].text), IDS_TEXT_COPY_FAILED);
        EXPECT_EQ(h.shown()[0].style, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
        EXPECT_FALSE(h.shown()[0].captured);
        EXPECT_FALSE(h.impl.job().filesystem.isOpen());
        EXPECT_TRUE(h.enabled(IDC_RESTORE));
        h.press(IDC_EXIT);
    });
}

TEST(RestoreFlowTest, ADestinationThatCannotBeCreatedShowsMessage8) {
    const std::wstring out = UiHarness::outputFolder("no-folder");
    UiHarness h;
    h.savePaths = {out + L"\\missing\\folder\\scratch.txt"};
    h.run([](UiHarness& h) {
        ASSERT_GE(searchAndSelect(h, "scratch.txt"), 0);
        h.press(IDC_RESTORE);
        EXPECT_EQ(h.shownIds(), std::vector<unsigned>{IDS_COPY_FAILED});
        EXPECT_FALSE(h.shown()[0].captured);
        EXPECT_FALSE(h.impl.job().filesystem.isOpen());
        h.press(IDC_EXIT);
    });
}

TEST(RestoreFlowTest, TheRestoreReadsTheDriveOfTheLastSearch) {
    const std::wstring out = UiHarness::outputFolder("last-drive");
    UiHarness h;
    h.drives.drives.push_back({"C:\\", "other", "NTFS"});
    h.savePaths = {in(out, "scratch.txt")};
    h.run([&out](UiHarness& h) {
        ASSERT_GE(searchAndSelect(h, "scratch.txt"), 0);
        h.selectDrive(L"C:\\");
        h.press(IDC_RESTORE);
        EXPECT_EQ(h.shownIds(), std::vector<unsigned>{IDS_RESTORED});
        EXPECT_EQ(fileSha(in(out, "scratch.txt")), factSha("scratch.txt"));
        h.press(IDC_EXIT);
    });
}

// Byte offsets on the demo image (4096-byte clusters, MFT at cluster 4,
// its mirror at cluster 2047, 1024-byte records).
constexpr std::uint64_t kMft = 4 * 4096;
constexpr std::uint64_t kMirror = 2047 * 4096;

TEST(RestoreFlowTest, UnreadableVolumeStructuresGiveTheirOwnMessages) {
    GatePlatform gate;
    ScopedPlatform scope(gate);
    UiHarness h;
    h.savePaths = {};
    h.run([&gate](UiHarness& h) {
        int row = searchAndSelect(h, "scratch.txt");
        ASSERT_GE(row, 0);
        const FOUND_FILE& f = h.impl.job().filesystem.results().at(static_cast<std::size_t>(h.itemData(row)));
        // Boot sector.
        gate.failRanges = {{0, 512}};
        h.press(IDC_RESTORE);
        // The MFT and its mirror.
        gate.failRanges = {{kMft, 4096}, {kMirror, 4096}};
        h.press(IDC_RESTORE);
        // The file's own record.
        gate.failRanges = {{kMft + f.recordNumber * 1024, 1024}};
        h.press(IDC_RESTORE);
        gate.failRanges.clear();
        EXPECT_EQ(h.shownIds(),
                  (std::vector<unsigned>{IDS_BAD_BOOT_RECORD, IDS_BAD_NTFS_DRIVE, IDS_FILE_DAMAGED}));
        for (const auto& s : h.shown()) EXPECT_EQ(s.style, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
        EXPECT_EQ(h.saveCalls(), 0);
        EXPECT_FALSE(h.impl.job().filesystem.isOpen());
        h.press(IDC_EXIT);
    });
}

TEST(RestoreFlowTest, ClustersTakenInTheBitmapButOwnedByNoFileComeBackAsIntact) {
    // Where $Bitmap lies, and the first cluster of a photo.
    SearchJob probe;
    probe.prepareGeometry("X:\\");
    probe.filesystem.open(probe.geometry);
    auto firstCluster = [&probe](std::uint64_t record) {
        FileZ file;
        file.openRecord(probe.filesystem.volume(), probe.filesystem.geometry(), &probe.filesystem.mftEntry(), record);
        const DATA_ATTRIBUTE* data = file.firstDataExtent();
        return data != nullptr && data->nonResident && !data->runs.empty() ? static_cast<std::uint64_t>(data->runs[0].lcn)
                                                                           : 0;
    };
    const std::uint64_t bitmap = firstCluster(6);
    const std::uint64_t photo = firstCluster(77);
    probe.filesystem.close();
    ASSERT_NE(bitmap, 0u);
    ASSERT_NE(photo, 0u);

    const std::wstring out = UiHarness::outputFolder("overwritten");
    GatePlatform gate;
    ScopedPlatform scope(gate);
    UiHarness h;
    h.savePaths = {in(out, "IMG_0001.jpg")};
    h.run([&](UiHarness& h) {
        // $Bitmap says the photo's first clusters are taken.
        gate.corruptRanges = {{bitmap * 4096 + photo / 8, 1}};
        const int row = searchAndSelect(h, "IMG_0001.jpg");
        gate.corruptRanges.clear();
        ASSERT_GE(row, 0);
        const FOUND_FILE& found = h.impl.job().filesystem.results().at(static_cast<std::size_t>(h.itemData(row)));
        ASSERT_EQ(found.recordNumber, 77u);
        // No file claims those clusters: nothing overwrote them.
        ASSERT_EQ(found.recoverable, 100);
        ASSERT_GT(found.unowned, 0);
        EXPECT_EQ(WinText::utf8(h.cell(row, 6)), std::string(IDS_TEXT_CONDITION_INTACT) + ", " +
                                                     std::to_string(found.unowned) + "% allocated but owned by no file");
        h.press(IDC_RESTORE);
        std::vector<UiHarness::Shown> shown = h.shown();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].id, static_cast<unsigned>(IDS_RESTORED));
        EXPECT_EQ(WinText::utf8(shown[0].text), "File IMG_0001.jpg successfully restored");
        // The clusters only looked taken: the data is all there.
        EXPECT_EQ(fileSha(in(out, "IMG_0001.jpg")), factSha("IMG_0001.jpg"));
        h.press(IDC_EXIT);
    });
}

TEST(RestoreFlowTest, DamagedCompressedUnitsGetTheirOwnMessage) {
    // Where the compressed file's clusters lie.
    SearchJob probe;
    probe.prepareGeometry("X:\\");
    probe.filesystem.open(probe.geometry);
    FileZ file;
    file.openRecord(probe.filesystem.volume(), probe.filesystem.geometry(), &probe.filesystem.mftEntry(), 76);
    ASSERT_EQ(file.getName(), "quarterly_report.txt");
    std::uint64_t firstCluster = 0;
    for (const DATA_ATTRIBUTE* extent : file.dataExtents()) {
        for (const RUN_ENTRY& run : extent->runs) {
            if (!run.sparse && firstCluster == 0) firstCluster = static_cast<std::uint64_t>(run.lcn);
        }
    }
    file.close();
    probe.filesystem.close();
    ASSERT_NE(firstCluster, 0u);

    const std::wstring out = UiHarness::outputFolder("damaged");
    GatePlatform gate;
    ScopedPlatform scope(gate);
    UiHarness h;
    h.savePaths = {in(out, "quarterly_report.txt")};
    h.run([&](UiHarness& h) {
        ASSERT_GE(searchAndSelect(h, "quarterly_report.txt"), 0);
        gate.corruptRanges = {{firstCluster * 4096, 4096}};
        h.press(IDC_RESTORE);
        gate.corruptRanges.clear();
        std::vector<UiHarness::Shown> shown = h.shown();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].id, static_cast<unsigned>(IDS_RESTORED_DAMAGED));
        EXPECT_EQ(shown[0].text.find(L"File quarterly_report.txt restored, but 1 damaged"), 0u) << WinText::utf8(shown[0].text);
        EXPECT_EQ(std::filesystem::file_size(std::filesystem::path(in(out, "quarterly_report.txt"))),
                  factSize("quarterly_report.txt"));
        h.press(IDC_EXIT);
    });
}

} // namespace
} // namespace resurgo::test

namespace resurgo::test {
namespace {

// The demo image, renamed by whoever made it, as drive Y:.
class HostileDrive : public MemoryPlatform {
public:
    using MemoryPlatform::MemoryPlatform;
    OsHandle openSource(const std::string& path) override {
        return MemoryPlatform::openSource(path == "\\\\.\\Y:" ? "mem:y" : path);
    }
};

} // namespace

TEST(RestoreFlowTest, HostileNamesAreProposedAsOneOrdinaryFileInTheChosenFolder) {
    struct Case {
        std::uint64_t record;
        std::string name, proposed;
    };
    const std::vector<Case> cases{
        {80, "..\\..\\..\\..\\PWNED_BS", "_.__.__.__._PWNED_BS"},
        {76, "CON", "_CON"},
        {74, "nul.txt", "_nul.txt"},
        {75, "x:y\x1b. ", "x_y___"},
        {77, "a/b\xE2\x80\xAEgpj.exe", "a_b_gpj.exe"},
    };
    hostile::Image img = hostile::loadImage("demo");
    for (const Case& c : cases) hostile::renameRecord(img, c.record, TextUtf::toUtf16(c.name));
    HostileDrive drive(img.bytes);
    ScopedPlatform scope(drive);

    // The chosen folder lies four folders down in a folder of its own, so
    // that a name that climbs out of it is seen.
    const std::wstring top = UiHarness::outputFolder("hostile");
    const std::wstring chosen = top + L"\\a\\b\\c\\d\\chosen";
    std::filesystem::create_directories(chosen);
    UiHarness h;
    h.drives.drives.push_back({"Y:\\", "hostile", "NTFS"});
    std::vector<std::wstring> proposed;
    // The user accepts the proposed name in the chosen folder.
    h.impl.seams.saveFileName = [&](HWND, const std::wstring& name) {
        proposed.push_back(name);
        return chosen + L"\\" + name;
    };
    h.run([&](UiHarness& h) {
        h.selectDrive(L"Y:\\");
        ASSERT_TRUE(h.search(L"*"));
        for (const Case& c : cases) {
            int row = 0;
            while (row < h.rowCount() &&
                   h.impl.job().filesystem.result(static_cast<std::size_t>(h.itemData(row))).recordNumber != c.record) {
                ++row;
            }
            ASSERT_LT(row, h.rowCount()) << c.record;
            h.selectRow(row);
            h.press(IDC_RESTORE);
        }
        h.press(IDC_EXIT);
    });
    ASSERT_EQ(proposed.size(), cases.size());
    EXPECT_EQ(h.shownIds(), std::vector<unsigned>(cases.size(), IDS_RESTORED));
    const nlohmann::json& files = img.facts.at("files");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].proposed);
        EXPECT_EQ(WinText::utf8(proposed[i]), cases[i].proposed);
        for (const auto& f : files) {
            if (f.at("record") == cases[i].record) {
                EXPECT_EQ(fileSha(chosen + L"\\" + proposed[i]), f.at("sha256"));
            }
        }
    }
    // One ordinary file per restore, all in the chosen folder, nothing else anywhere.
    std::size_t entries = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(top)) {
        if (!e.is_directory()) {
            ++entries;
            EXPECT_EQ(e.path().parent_path(), std::filesystem::path(chosen)) << e.path();
        }
    }
    EXPECT_EQ(entries, cases.size());
}

} // namespace resurgo::test

namespace resurgo::test {
namespace {

// What a Windows system shows of the real volume vsstest: the volume as
// drive V:, its two shadow copies as the devices HarddiskVolumeShadowCopy3
// and 5 (the system numbers the copies of all its volumes in one run), and
// a copy of another volume (the demo image) as 4. The files are made at
// test time by tests/fixtures/make_shadow_stores.sh with libvshadow's own
// binding.
class ShadowSystem : public DelegatingPlatform {
public:
    static std::string device(unsigned n) {
        return "\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy" + std::to_string(n);
    }
    // The devices the system lists.
    std::vector<unsigned> listed{3, 4, 5};

    OsHandle openSource(const std::string& path) override {
        const std::string dir = RESURGO_UI_SHADOWS;
        const std::map<std::string, std::string> served{{"\\\\.\\V:", dir + "/volume.raw"},
                                                        {device(3), dir + "/store1.raw"},
                                                        {device(4), fixtureImage("demo")},
                                                        {device(5), dir + "/store2.raw"}};
        const auto at = served.find(path);
        if (at == served.end()) return DelegatingPlatform::openSource(path);
        return DelegatingPlatform::openSource(WinText::utf8(UiHarness::windowsPath(at->second)));
    }
    bool shadowCopyDevices(std::vector<std::string>& devices) override {
        devices.clear();
        for (unsigned n : listed) devices.push_back(device(n));
        return true;
    }
};

} // namespace

// vshadowinfo: copy 1 was made 2013-12-03 06:35:09 UTC; icat on
// vshadowmount's vss1: record 35 is /syslog, 1,247 bytes (the volume now
// holds syslog.gz there). With one of the two copies gone from the system,
// the catalog's dates can't be told apart: the copy left is numbered, not
// dated, and the status line says why.
TEST(RestoreFlowShadowTest, PreviousVersionsListsAndRestoresWhatOnlyTheOldestCopyHolds) {
    if (!std::filesystem::exists(UiHarness::windowsPath(std::string(RESURGO_UI_SHADOWS) + "/store2.raw"))) {
        GTEST_SKIP() << "no shadow copy stores in " << RESURGO_UI_SHADOWS << " (made from the real image vsstest)";
    }
    constexpr std::uint64_t kCopy1Created = 130305261097363787;  // FILETIME
    const std::string kSyslogSha256 = "0420b023f8dc1b71ff25191ce4ce88d10028f99f99f7c21532611f4c273aeae9";
    struct Case {
        std::vector<unsigned> listed;
        std::size_t copies;
        std::string condition;
        std::wstring note;  // in the status line
    };
    const std::vector<Case> cases{
        {{3, 4, 5}, 2, "Previous version of " + FILE_TIME::fromUtc(kCopy1Created).text(), L""},
        {{3, 4}, 1, "Previous version (shadow copy 1, date unknown)",
         L"Previous versions: The dates of the shadow copies are unknown (the drive's catalog lists 2 and the system "
         L"shows 1)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.condition);
        ShadowSystem system;
        system.listed = c.listed;
        ScopedPlatform scope(system);
        const std::wstring folder = UiHarness::outputFolder("shadow");
        UiHarness h;
        h.drives.drives.push_back({"V:\\", "vsstest", "NTFS"});
        h.savePaths = {folder + L"\\syslog"};
        std::wstring condition, status;
        h.run([&](UiHarness& h) {
            h.selectDrive(L"V:\\");
            ::CheckDlgButton(h.dialog(), IDC_SNAPSHOTS, BST_CHECKED);
            ASSERT_TRUE(h.search(L"syslog", L"1000000"));
            ASSERT_EQ(h.rowCount(), 1);
            EXPECT_EQ(h.cell(0, 0), L"syslog");
            condition = h.cell(0, 6);
            status = h.text(IDC_STATUS);
            h.selectRow(0);
            h.press(IDC_RESTORE);
            h.press(IDC_EXIT);
        });
        // The other volume's copy is left out.
        EXPECT_EQ(h.impl.job().snapshots().size(), c.copies);
        EXPECT_EQ(WinText::utf8(condition), c.condition);
        if (c.note.empty()) {
            EXPECT_EQ(status.find(L"Previous versions:"), std::wstring::npos) << status;
        } else {
            EXPECT_NE(status.find(c.note), std::wstring::npos) << status;
        }
        EXPECT_EQ(h.shownIds(), std::vector<unsigned>{IDS_RESTORED});
        const std::vector<std::uint8_t> restored = readFile(WinText::utf8(folder + L"\\syslog"));
        EXPECT_EQ(restored.size(), 1247u);
        EXPECT_EQ(sha256Hex(restored), kSyslogSha256);
    }
}

} // namespace resurgo::test
