// The results list through the real list view: the rows of the demo image
// with their cells (the condition from the facts' recoverable percentage),
// highest record first; the ascending sort by every column through clicks
// on the column headers; the selection across sorts.

#include <algorithm>
#include <map>
#include <regex>

#include <gtest/gtest.h>

#include "UiHarness.h"

#include <commctrl.h>
#include "resources/ResourceIds.h"
#include "resources/StringTable.h"
#include "ui/CompareFoundFiles.h"
#include "ui/ResultListView.h"
#include "ui/WinText.h"

namespace resurgo::test {
namespace {

struct Expected {
    std::uint64_t record;
    std::string name, directory;
    std::uint64_t size;
    int recoverable;
};

// The demo image's deleted files from its facts, highest record first.
std::vector<Expected> deletedFiles() {
    std::vector<Expected> out;
    const nlohmann::json facts = fixtureFacts("demo");
    for (const auto& f : facts["files"]) {
        if (!f["deleted"].get<bool>() || f["is_dir"].get<bool>()) continue;
        std::string dir = f["directory"].get<std::string>();
        std::replace(dir.begin(), dir.end(), '/', '\\');
        out.push_back({f["record"].get<std::uint64_t>(), f["name"].get<std::string>(), dir,
                       f["size"].get<std::uint64_t>(), f["recoverable_tsk"].get<int>()});
    }
    std::sort(out.begin(), out.end(), [](const Expected& a, const Expected& b) { return a.record > b.record; });
    return out;
}

void searchDemo(UiHarness& h) {
    h.selectDrive(L"X:\\");
    ASSERT_TRUE(h.search(L"*"));
}

TEST(ResultListTest, RowsShowTheDeletedFilesHighestRecordFirst) {
    const std::vector<Expected> expected = deletedFiles();
    ASSERT_EQ(expected.size(), 7u);
    UiHarness h;
    h.run([&expected](UiHarness& h) {
        searchDemo(h);
        ASSERT_EQ(h.rowCount(), static_cast<int>(expected.size()));
        const std::wregex time(L"\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d");
        const auto& results = h.impl.job().filesystem.results();
        for (int row = 0; row < h.rowCount(); ++row) {
            const Expected& e = expected[static_cast<std::size_t>(row)];
            EXPECT_EQ(WinText::utf8(h.cell(row, 0)), e.name) << row;
            EXPECT_EQ(WinText::utf8(h.cell(row, 1)), std::to_string(e.size)) << row;
            EXPECT_EQ(WinText::utf8(h.cell(row, 2)), "X:\\" + e.directory) << row;
            for (int c = 3; c <= 5; ++c) EXPECT_TRUE(std::regex_match(h.cell(row, c), time)) << row << "," << c;
            EXPECT_EQ(WinText::utf8(h.cell(row, 6)),
                      StringTable::text(ResultListView::conditionId(static_cast<std::uint8_t>(e.recoverable))))
                << row;
            // The item data leads to the row's result.
            const FOUND_FILE& f = results.at(static_cast<std::size_t>(h.itemData(row)));
            EXPECT_EQ(f.recordNumber, e.record) << row;
            EXPECT_EQ(WinText::utf8(h.cell(row, 3)), f.lastModificationTime.text());
            EXPECT_EQ(WinText::utf8(h.cell(row, 4)), f.creationTime.text());
            EXPECT_EQ(WinText::utf8(h.cell(row, 5)), f.lastAccessTime.text());
        }
        // The last row is the first result of the walk.
        EXPECT_EQ(h.itemData(h.rowCount() - 1), 0);
        // Names in other scripts show as their own characters.
        EXPECT_EQ(h.cell(1, 0), L"\u041e\u0442\u043f\u0443\u0441\u043a_\u043d\u0430_\u043c\u043e\u0440\u0435.jpg");
        h.press(IDC_EXIT);
    });
}

TEST(ResultListTest, EveryColumnClickSortsAscendingByItsKey) {
    UiHarness h;
    h.run([](UiHarness& h) {
        searchDemo(h);
        const auto& results = h.impl.job().filesystem.results();
        const int rows = h.rowCount();
        ASSERT_EQ(rows, 7);
        for (int column = 0; column < ResultListView::kColumnCount; ++column) {
            for (int click = 0; click < 2; ++click) {  // a second click sorts ascending again
                h.clickColumn(column);
                std::vector<LPARAM> seen;
                for (int row = 0; row < rows; ++row) {
                    const FOUND_FILE& f = results.at(static_cast<std::size_t>(h.itemData(row)));
                    EXPECT_EQ(WinText::utf8(h.cell(row, 0)), f.name);
                    seen.push_back(h.itemData(row));
                    if (row > 0) {
                        const FOUND_FILE& before = results.at(static_cast<std::size_t>(h.itemData(row - 1)));
                        EXPECT_FALSE(CompareFoundFiles::less(f, before, column))
                            << "column " << column << " row " << row;
                    }
                }
                std::sort(seen.begin(), seen.end());
                for (int i = 0; i < rows; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
            }
        }
        // By name: upper-case letters first, other scripts last.
        h.clickColumn(0);
        std::vector<std::string> names;
        for (int row = 0; row < rows; ++row) names.push_back(WinText::utf8(h.cell(row, 0)));
        EXPECT_EQ(names[0], "IMG_0001.jpg");
        EXPECT_EQ(names[1], "IMG_0002.jpg");
        EXPECT_EQ(names[2], "letter_to_bank.txt");
        EXPECT_EQ(names[6], "\xD0\x9E\xD1\x82\xD0\xBF\xD1\x83\xD1\x81\xD0\xBA_\xD0\xBD\xD0\xB0_\xD0\xBC\xD0\xBE\xD1\x80\xD0\xB5.jpg");
        // By size: numbers, not texts (1800 before 2500 before 40000-ish sizes).
        h.clickColumn(1);
        EXPECT_EQ(h.cell(0, 1), L"300");
        EXPECT_EQ(h.cell(1, 1), L"1800");
        EXPECT_EQ(h.cell(6, 1), L"180000");
        // By directory, without the drive root.
        h.clickColumn(2);
        EXPECT_EQ(h.cell(0, 2), L"X:\\Documents\\Letters");
        EXPECT_EQ(h.cell(6, 2), L"X:\\Temp");
        h.press(IDC_EXIT);
    });
}

TEST(ResultListTest, TheSelectionFollowsItsResultAcrossSorts) {
    UiHarness h;
    h.run([](UiHarness& h) {
        searchDemo(h);
        h.selectRow(5);  // old_letter.txt
        const LPARAM item = h.itemData(5);
        ASSERT_EQ(h.cell(5, 0), L"old_letter.txt");
        h.clickColumn(1);  // by size: 300, 1800, ...
        EXPECT_EQ(h.selectedRow(), 1);
        EXPECT_EQ(h.itemData(h.selectedRow()), item);
        h.clickColumn(0);
        ASSERT_GE(h.selectedRow(), 0);
        EXPECT_EQ(h.cell(h.selectedRow(), 0), L"old_letter.txt");
        h.press(IDC_EXIT);
    });
}

TEST(ResultListTest, ANewSearchEmptiesTheListFirst) {
    GatePlatform gate;
    gate.holdWhen = [] { return true; };
    UiHarness h;
    h.run([&gate](UiHarness& h) {
        searchDemo(h);
        EXPECT_EQ(h.rowCount(), 7);
        {
            ScopedPlatform scope(gate);
            h.press(IDC_SEARCH);
            ASSERT_TRUE(gate.waitHeld());
            EXPECT_EQ(h.rowCount(), 0);
            gate.open();
            ASSERT_TRUE(h.waitSearchEnded());
        }
        EXPECT_EQ(h.rowCount(), 7);
        h.press(IDC_EXIT);
    });
}

INT_PTR CALLBACK forwardToList(HWND dialog, UINT message, WPARAM, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        return TRUE;
    }
    auto* list = reinterpret_cast<ResultListView*>(::GetWindowLongPtrW(dialog, DWLP_USER));
    LRESULT result = 0;
    if (message == WM_NOTIFY && list != nullptr && list->onNotify(reinterpret_cast<const NMHDR*>(lParam), result)) {
        ::SetWindowLongPtrW(dialog, DWLP_MSGRESULT, result);
        return TRUE;
    }
    return FALSE;
}

TEST(ResultListTest, ALongDirectoryIsShownWhole) {
    std::string deep;
    for (int i = 0; i < 150; ++i) deep += "folder" + std::to_string(i) + "\\";
    std::vector<FOUND_FILE> results(1, FOUND_FILE(70, 140, "deep.txt"));
    results[0].directory = deep;
    ResultListView list;
    HWND dialog = ::CreateDialogParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_APPDIALOG), nullptr,
                                       forwardToList, reinterpret_cast<LPARAM>(&list));
    ASSERT_NE(dialog, nullptr);
    list.attach(::GetDlgItem(dialog, IDC_RESULT_LIST), ::GetModuleHandleW(nullptr));
    list.fill(results, "D:\\");
    std::vector<wchar_t> buffer(8192, L'\0');
    LVITEMW item{};
    item.iSubItem = 2;
    item.pszText = buffer.data();
    item.cchTextMax = static_cast<int>(buffer.size());
    ::SendMessageW(::GetDlgItem(dialog, IDC_RESULT_LIST), LVM_GETITEMTEXTW, 0, reinterpret_cast<LPARAM>(&item));
    const std::string expected = "D:\\" + deep.substr(0, deep.size() - 1);
    EXPECT_GT(expected.size(), 1016u);
    EXPECT_EQ(WinText::utf8(std::wstring(item.pszText)), expected);
    ::DestroyWindow(dialog);
}

} // namespace
} // namespace resurgo::test
