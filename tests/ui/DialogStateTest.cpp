// The main dialog through its real window: layout and tab order, the
// states and the enabling of the controls, the worker thread, Cancel, Exit
// during a search, the about box and the help.

#include <gtest/gtest.h>

#include "UiHarness.h"

#include <commctrl.h>
#include "resources/ResourceIds.h"
#include "resources/StringTable.h"
#include "ui/ResultListView.h"
#include "ui/WinText.h"

namespace resurgo::test {
namespace {

const int kInputs[] = {IDC_DRIVE_LIST, IDC_PATTERN, IDC_DAYS,     IDC_DAYS_SPIN,
                       IDC_DEEP_SCAN,  IDC_VERIFY,  IDC_CARVE, IDC_SNAPSHOTS};

void expectState(UiHarness& h, bool search, bool cancel, bool restore, bool inputs, const char* state) {
    EXPECT_EQ(h.enabled(IDC_SEARCH), search) << state << ": Search";
    EXPECT_EQ(h.enabled(IDC_CANCEL_SEARCH), cancel) << state << ": Cancel";
    EXPECT_EQ(h.enabled(IDC_RESTORE), restore) << state << ": Resurgo!";
    for (int id : kInputs) EXPECT_EQ(h.enabled(id), inputs) << state << ": control " << id;
    EXPECT_TRUE(h.enabled(IDC_EXIT)) << state;
    EXPECT_TRUE(h.enabled(IDC_ABOUT)) << state;
    EXPECT_TRUE(h.enabled(IDC_HELP_BUTTON)) << state;
}

TEST(DialogStateTest, ReadyWithoutResultsAfterOpening) {
    UiHarness h;
    INT_PTR result = h.run([](UiHarness& h) {
        wchar_t caption[256] = {};
        ::GetWindowTextW(h.dialog(), caption, 256);
        EXPECT_EQ(WinText::utf8(caption), StringTable::text(IDS_DIALOG_CAPTION));
        EXPECT_EQ(::SendMessageW(h.item(IDC_DRIVE_LIST), CB_GETCOUNT, 0, 0), 1);
        EXPECT_EQ(h.text(IDC_DRIVE_LIST), L"X:\\ [demo]");
        EXPECT_EQ(h.text(IDC_PATTERN), L"*");
        EXPECT_EQ(h.text(IDC_DAYS), L"1");
        int low = 0, high = 0;
        ::SendMessageW(h.item(IDC_DAYS_SPIN), UDM_GETRANGE32, reinterpret_cast<WPARAM>(&low),
                       reinterpret_cast<LPARAM>(&high));
        EXPECT_EQ(low, 1);
        EXPECT_EQ(high, 32767);
        EXPECT_EQ(reinterpret_cast<HWND>(::SendMessageW(h.item(IDC_DAYS_SPIN), UDM_GETBUDDY, 0, 0)), h.item(IDC_DAYS));
        EXPECT_EQ(::SendMessageW(h.item(IDC_PROGRESS), PBM_GETRANGE, FALSE, 0), 100);
        HWND header = reinterpret_cast<HWND>(::SendMessageW(h.item(IDC_RESULT_LIST), LVM_GETHEADER, 0, 0));
        EXPECT_EQ(::SendMessageW(header, HDM_GETITEMCOUNT, 0, 0), 7);
        EXPECT_EQ(h.rowCount(), 0);
        expectState(h, true, false, false, true, "Ready, no results");
        EXPECT_EQ(WinText::utf8(h.text(IDC_STATUS)), IDS_TEXT_STATUS_READY);
        h.press(IDC_EXIT);
    });
    EXPECT_EQ(result, 1);
}

TEST(DialogStateTest, ControlsLieWhereTheLayoutPutsThemInTabOrder) {
    UiHarness h;
    h.run([](UiHarness& h) {
        // Controls with ids, in the dialog's order (= tab order).
        const int expected[] = {IDC_DRIVE_LIST, IDC_PATTERN,     IDC_DAYS,      IDC_DEEP_SCAN,  IDC_VERIFY,
                                IDC_CARVE,      IDC_SNAPSHOTS,   IDC_SEARCH,     IDC_CANCEL_SEARCH,
                                IDC_DAYS_SPIN,  IDC_PROGRESS, IDC_RESULT_LIST, IDC_RESTORE,   IDC_EXIT,
                                IDC_ABOUT,      IDC_HELP_BUTTON, IDC_ANIMATION, IDC_STATUS};
        std::vector<int> ids;
        for (HWND c = ::GetWindow(h.dialog(), GW_CHILD); c != nullptr; c = ::GetWindow(c, GW_HWNDNEXT)) {
            int id = ::GetDlgCtrlID(c);
            if (id != 0xFFFF && id != -1) ids.push_back(id);
        }
        EXPECT_EQ(ids, std::vector<int>(std::begin(expected), std::end(expected)));
        // Positions in dialog units.
        struct Place {
            int id, x, y, w, h;
        };
        const Place places[] = {{IDC_DRIVE_LIST, 190, 7, 202, 0},  {IDC_PATTERN, 190, 26, 202, 14},
                                {IDC_DEEP_SCAN, 300, 48, 52, 10},  {IDC_VERIFY, 300, 59, 52, 10},
                                {IDC_CARVE, 125, 88, 88, 10},      {IDC_SNAPSHOTS, 125, 99, 88, 10},
                                {IDC_SEARCH, 342, 70, 50, 14},
                                {IDC_CANCEL_SEARCH, 400, 70, 50, 14}, {IDC_PROGRESS, 125, 70, 210, 14},
                                {IDC_RESULT_LIST, 7, 111, 443, 122}, {IDC_RESTORE, 342, 90, 108, 14},
                                {IDC_EXIT, 400, 7, 50, 14},        {IDC_ABOUT, 400, 26, 50, 14},
                                {IDC_HELP_BUTTON, 400, 46, 50, 14}, {IDC_STATUS, 7, 237, 443, 16}};
        for (const Place& p : places) {
            RECT want{p.x, p.y, p.x + p.w, p.y + p.h};
            ::MapDialogRect(h.dialog(), &want);
            RECT got{};
            ::GetWindowRect(h.item(p.id), &got);
            ::MapWindowPoints(nullptr, h.dialog(), reinterpret_cast<POINT*>(&got), 2);
            // Within a pixel: the platform rounds dialog units its own way.
            EXPECT_NEAR(got.left, want.left, 1) << "control " << p.id;
            EXPECT_NEAR(got.top, want.top, 1) << "control " << p.id;
            EXPECT_NEAR(got.right, want.right, 1) << "control " << p.id;
            if (p.h != 0) {
                EXPECT_NEAR(got.bottom, want.bottom, 1) << "control " << p.id;
            }
        }
        // The spin control sits at the right of its buddy (over its border).
        RECT days{}, spin{};
        ::GetWindowRect(h.item(IDC_DAYS), &days);
        ::GetWindowRect(h.item(IDC_DAYS_SPIN), &spin);
        EXPECT_GE(spin.left, days.right - 2);
        EXPECT_LE(spin.left, days.right);
        EXPECT_EQ(spin.top, days.top);
        // No two controls overlap at the default size (labels included),
        // but for the spin control and its buddy.
        std::vector<HWND> children;
        for (HWND c = ::GetWindow(h.dialog(), GW_CHILD); c != nullptr; c = ::GetWindow(c, GW_HWNDNEXT)) {
            children.push_back(c);
        }
        for (std::size_t i = 0; i < children.size(); ++i) {
            for (std::size_t k = i + 1; k < children.size(); ++k) {
                const HWND a = children[i], b = children[k];
                if ((a == h.item(IDC_DAYS_SPIN) || b == h.item(IDC_DAYS_SPIN)) &&
                    (a == h.item(IDC_DAYS) || b == h.item(IDC_DAYS))) {
                    continue;
                }
                RECT ra{}, rb{}, both{};
                ::GetWindowRect(a, &ra);
                ::GetWindowRect(b, &rb);
                EXPECT_FALSE(::IntersectRect(&both, &ra, &rb))
                    << "controls " << ::GetDlgCtrlID(a) << " and " << ::GetDlgCtrlID(b) << " overlap";
            }
        }
        // No default button: Enter starts nothing.
        for (int id : {IDC_SEARCH, IDC_CANCEL_SEARCH, IDC_RESTORE, IDC_EXIT, IDC_ABOUT, IDC_HELP_BUTTON}) {
            EXPECT_EQ(::GetWindowLongW(h.item(id), GWL_STYLE) & BS_DEFPUSHBUTTON, 0) << id;
        }
        h.press(IDC_EXIT);
    });
}

TEST(DialogStateTest, SearchingThenReadyWithResults) {
    GatePlatform gate;
    gate.holdWhen = [] { return true; };  // the first read of the search waits
    ScopedPlatform scope(gate);
    UiHarness h;
    h.run([&gate](UiHarness& h) {
        h.setText(IDC_DAYS, L"32767");
        h.press(IDC_SEARCH);
        ASSERT_TRUE(gate.waitHeld());
        EXPECT_TRUE(h.impl.isSearching());
        expectState(h, false, true, false, false, "Searching");
        EXPECT_EQ(h.rowCount(), 0);
        gate.open();
        ASSERT_TRUE(h.waitSearchEnded());
        expectState(h, true, false, true, true, "Ready with results");
        EXPECT_EQ(h.rowCount(), 7);
        EXPECT_EQ(h.impl.rowsListed(), 7);
        EXPECT_EQ(h.text(IDC_STATUS), WinText::format(WinText::wide(IDS_TEXT_STATUS_FOUND), L"", 7));
        EXPECT_EQ(h.impl.searchRoot(), "X:\\");
        h.press(IDC_EXIT);
    });
}

TEST(DialogStateTest, SearchWithoutResultsKeepsRestoreDisabledAndTheColumns) {
    UiHarness h;
    h.run([](UiHarness& h) {
        ASSERT_TRUE(h.search(L"no-such-file*"));
        EXPECT_EQ(h.rowCount(), 0);
        expectState(h, true, false, false, true, "Ready, no results");
        HWND header = reinterpret_cast<HWND>(::SendMessageW(h.item(IDC_RESULT_LIST), LVM_GETHEADER, 0, 0));
        EXPECT_EQ(::SendMessageW(header, HDM_GETITEMCOUNT, 0, 0), 7);
        // An empty pattern lists nothing; so does an empty days field.
        ASSERT_TRUE(h.search(L""));
        EXPECT_EQ(h.rowCount(), 0);
        ASSERT_TRUE(h.search(L"*", L""));
        EXPECT_EQ(h.rowCount(), 0);
        // After results, a search without results empties the list again.
        ASSERT_TRUE(h.search(L"*.jpg"));
        EXPECT_EQ(h.rowCount(), 3);
        EXPECT_TRUE(h.enabled(IDC_RESTORE));
        ASSERT_TRUE(h.search(L"*.none"));
        EXPECT_EQ(h.rowCount(), 0);
        EXPECT_FALSE(h.enabled(IDC_RESTORE));
        h.press(IDC_EXIT);
    });
}

TEST(DialogStateTest, TheStatusLineSaysWhyNothingWasFoundAndTheDaysItGivesWork) {
    UiHarness h;
    h.run([](UiHarness& h) {
        ASSERT_TRUE(h.search(L"*.none"));
        EXPECT_EQ(h.text(IDC_STATUS), WinText::format(WinText::wide(IDS_TEXT_STATUS_NONE_MATCH), L"*.none"));
        // Every file of the demo image is older than 0 days: how many, and
        // the days that list them.
        ASSERT_TRUE(h.search(L"*.jpg", L"0"));
        const std::wstring status = h.text(IDC_STATUS);
        const std::wstring prefix = WinText::format(WinText::wide(IDS_TEXT_STATUS_NONE_OLDER), L"*.jpg", {0, 3});
        const std::wstring::size_type number = prefix.find(L"%u");
        ASSERT_NE(number, std::wstring::npos);
        ASSERT_EQ(status.substr(0, number), prefix.substr(0, number)) << WinText::utf8(status);
        const std::wstring days = status.substr(number, status.find(L' ', number) - number);
        ASSERT_TRUE(h.search(L"*.jpg", days));
        EXPECT_EQ(h.rowCount(), 3) << WinText::utf8(days);
        // Previous versions of a drive that keeps none: said after the count
        // (ticking them cleared Deep scan).
        ::CheckDlgButton(h.dialog(), IDC_DEEP_SCAN, BST_CHECKED);
        ::CheckDlgButton(h.dialog(), IDC_SNAPSHOTS, BST_CHECKED);
        h.press(IDC_SNAPSHOTS);
        ASSERT_TRUE(h.search(L"*.jpg"));
        EXPECT_FALSE(h.impl.job().options.deep);
        const std::wstring found = WinText::format(WinText::wide(IDS_TEXT_STATUS_FOUND), L"", 3ULL);
        EXPECT_EQ(h.text(IDC_STATUS), found.substr(0, found.find_last_not_of(L' ') + 1) + L" " +
                                          WinText::wide(IDS_TEXT_STATUS_NO_SNAPSHOTS));
        h.press(IDC_EXIT);
    });
    // A drive that is not NTFS (its boot sector's signature gone): said so.
    GatePlatform gate;
    gate.corruptRanges = {{3, 8}};
    ScopedPlatform scope(gate);
    UiHarness k;
    k.run([](UiHarness& k) {
        ASSERT_TRUE(k.search(L"*"));
        EXPECT_EQ(k.rowCount(), 0);
        const std::wstring unreadable = WinText::wide(IDS_TEXT_STATUS_UNREADABLE);
        const std::wstring status = k.text(IDC_STATUS);
        EXPECT_EQ(status.rfind(unreadable.substr(0, unreadable.find(L"%s")), 0), 0u) << WinText::utf8(status);
        // It advises the deep scan, which finds the files by the backup
        // boot sector, and then says how many.
        const std::wstring hint = WinText::wide(IDS_TEXT_STATUS_TRY_DEEP);
        ASSERT_GE(status.size(), hint.size());
        EXPECT_EQ(status.substr(status.size() - hint.size()), hint) << WinText::utf8(status);
        ::SendMessageW(k.item(IDC_DEEP_SCAN), BM_SETCHECK, BST_CHECKED, 0);
        ASSERT_TRUE(k.search(L"*"));
        EXPECT_GT(k.rowCount(), 0);
        EXPECT_EQ(k.text(IDC_STATUS), WinText::format(WinText::wide(IDS_TEXT_STATUS_FOUND), L"",
                                                          static_cast<unsigned long long>(k.rowCount())));
        k.press(IDC_EXIT);
    });
}

TEST(DialogStateTest, TheColumnsFitTheListAndTheListGrowsWithTheDialog) {
    UiHarness h;
    h.run([](UiHarness& h) {
        HWND list = h.item(IDC_RESULT_LIST);
        auto columnsFit = [list](const char* when) {
            RECT client{};
            ::GetClientRect(list, &client);
            int total = 0;
            for (int c = 0; c < ResultListView::kColumnCount; ++c) {
                const int width = static_cast<int>(::SendMessageW(list, LVM_GETCOLUMNWIDTH, c, 0));
                EXPECT_GT(width, 40) << when << ": column " << c;
                total += width;
            }
            EXPECT_LE(total, client.right - ::GetSystemMetrics(SM_CXVSCROLL)) << when;
            return static_cast<int>(::SendMessageW(list, LVM_GETCOLUMNWIDTH, 0, 0));
        };
        ASSERT_TRUE(h.search(L"*"));
        const int nameWidth = columnsFit("default size");
        // A listed time, and the widest condition, fit their columns whole.
        const std::wstring created = h.cell(0, 4);
        EXPECT_LE(::SendMessageW(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(created.c_str())),
                  ::SendMessageW(list, LVM_GETCOLUMNWIDTH, 4, 0) - 8);
        const std::wstring partly = WinText::wide(IDS_TEXT_CONDITION_PARTLY_OVERWRITTEN);
        EXPECT_LE(::SendMessageW(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(partly.c_str())),
                  ::SendMessageW(list, LVM_GETCOLUMNWIDTH, 6, 0) - 8);

        RECT before{}, statusBefore{}, window{};
        ::GetWindowRect(list, &before);
        ::GetWindowRect(h.item(IDC_STATUS), &statusBefore);
        ::GetWindowRect(h.dialog(), &window);
        ::SetWindowPos(h.dialog(), nullptr, 0, 0, window.right - window.left + 200, window.bottom - window.top + 100,
                       SWP_NOMOVE | SWP_NOZORDER);
        RECT after{}, statusAfter{};
        ::GetWindowRect(list, &after);
        ::GetWindowRect(h.item(IDC_STATUS), &statusAfter);
        EXPECT_EQ(after.right - after.left, before.right - before.left + 200);
        EXPECT_EQ(after.bottom - after.top, before.bottom - before.top + 100);
        EXPECT_EQ(statusAfter.top - after.top, statusBefore.top - before.top + 100);
        EXPECT_GT(columnsFit("wider"), nameWidth);
        h.press(IDC_EXIT);
    });
}

TEST(DialogStateTest, CancelDuringASearchListsWhatWasFound) {
    GatePlatform gate;
    UiHarness h;
    // Hold the first read made once the walk is over and directories are
    // being named (the hook runs on the searching thread): the read of the
    // first result's grandparent directory.
    gate.holdWhen = [&h] { return h.impl.job().filesystem.directoryCacheSize() >= 1; };
    ScopedPlatform scope(gate);
    h.run([&gate](UiHarness& h) {
        h.setText(IDC_DAYS, L"32767");
        h.press(IDC_SEARCH);
        ASSERT_TRUE(gate.waitHeld());
        h.press(IDC_CANCEL_SEARCH);
        // Cancel only asks: the dialog stays Searching until the worker ends.
        expectState(h, false, true, false, false, "Searching after Cancel");
        gate.open();
        ASSERT_TRUE(h.waitSearchEnded());
        EXPECT_GE(h.rowCount(), 1);
        EXPECT_LT(h.rowCount(), 7);
        EXPECT_EQ(h.impl.job().outcome(), SearchJob::Outcome::Cancelled);
        expectState(h, true, false, true, true, "Ready with results after Cancel");
        h.press(IDC_EXIT);
    });
}

TEST(DialogStateTest, ExitDuringASearchStopsTheWorkerBeforeTheDialogEnds) {
    GatePlatform gate;
    gate.holdWhen = [] { return true; };
    ScopedPlatform scope(gate);
    UiHarness h;
    DWORD worker = 0;
    INT_PTR result = h.run([&gate, &worker](UiHarness& h) {
        h.press(IDC_SEARCH);
        ASSERT_TRUE(gate.waitHeld());
        worker = h.impl.workerThreadId();
        ::SendMessageW(h.dialog(), WM_COMMAND, MAKEWPARAM(IDC_EXIT, BN_CLICKED), 0);
        // The dialog waits for the worker, which is held.
        ::Sleep(200);
        EXPECT_TRUE(::IsWindowVisible(h.dialog()));
        gate.open();
    });
    EXPECT_EQ(result, 1);
    ASSERT_NE(worker, 0u);
    HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, worker);
    if (thread != nullptr) {
        EXPECT_EQ(::WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "the worker outlived the dialog";
        ::CloseHandle(thread);
    }
    EXPECT_FALSE(h.impl.isSearching());
    EXPECT_EQ(h.impl.job().outcome(), SearchJob::Outcome::Cancelled);
}

TEST(DialogStateTest, CloseBoxAndEscapeEndTheDialogLikeExit) {
    UiHarness h;
    EXPECT_EQ(h.run([](UiHarness& h) { ::SendMessageW(h.dialog(), WM_CLOSE, 0, 0); }), 1);
    UiHarness k;
    EXPECT_EQ(k.run([](UiHarness& k) {
                  // Through the dialog's message loop, which makes Escape its cancel command.
                  ::SetForegroundWindow(k.dialog());
                  ::PostMessageW(k.item(IDC_PATTERN), WM_KEYDOWN, VK_ESCAPE, 0);
                  EXPECT_TRUE(k.waitUntil([&k] { return !::IsWindowVisible(k.dialog()); }, 10000));
              }),
              1);
}

TEST(DialogStateTest, TheSpinControlStepsTheDaysFieldWithinItsRange) {
    UiHarness h;
    h.run([](UiHarness& h) {
        HWND spin = h.item(IDC_DAYS_SPIN);
        ::SendMessageW(spin, UDM_SETPOS32, 0, 41);
        EXPECT_EQ(h.text(IDC_DAYS), L"41");
        ::SendMessageW(spin, UDM_SETPOS32, 0, 99999);
        EXPECT_EQ(h.text(IDC_DAYS), L"32767");
        ::SendMessageW(spin, UDM_SETPOS32, 0, -5);
        EXPECT_EQ(h.text(IDC_DAYS), L"1");
        h.press(IDC_EXIT);
    });
}

TEST(DialogStateTest, RestoringDisablesTheInputsAndGivesThemBack) {
    UiHarness h;
    h.onSaveDialog = [&h] { expectState(h, false, false, false, false, "Restoring"); };
    h.run([](UiHarness& h) {
        ASSERT_TRUE(h.search(L"*"));
        h.selectRow(0);
        h.press(IDC_RESTORE);  // the save dialog is cancelled
        EXPECT_EQ(h.saveCalls(), 1);
        expectState(h, true, false, true, true, "Ready with results after restoring");
        h.press(IDC_EXIT);
    });
}

BOOL CALLBACK findAbout(HWND w, LPARAM p) {
    wchar_t title[128] = {};
    ::GetWindowTextW(w, title, 128);
    if (std::wstring(title) == L"About Resurgo for NTFS" && ::IsWindowVisible(w)) {
        *reinterpret_cast<HWND*>(p) = w;
        return FALSE;
    }
    return TRUE;
}

TEST(DialogStateTest, AboutBoxShowsTheVersionAndClosesWithOk) {
    UiHarness h;
    h.run([](UiHarness& h) {
        ::PostMessageW(h.dialog(), WM_COMMAND, MAKEWPARAM(IDC_ABOUT, BN_CLICKED), 0);
        HWND about = nullptr;
        ASSERT_TRUE(h.waitUntil([&about] {
            ::EnumWindows(findAbout, reinterpret_cast<LPARAM>(&about));
            return about != nullptr;
        }));
        wchar_t text[256] = {};
        ::GetDlgItemTextW(about, IDC_ABOUT_TEXT, text, 256);
        EXPECT_EQ(WinText::utf8(text), TEXT_ABOUT_VERSION);
        EXPECT_NE(::SendMessageW(about, WM_GETICON, ICON_SMALL, 0), 0);
        ::SendMessageW(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        EXPECT_TRUE(h.waitUntil([about] { return !::IsWindow(about); }));
        h.press(IDC_EXIT);
    });
}

TEST(DialogStateTest, HelpOpensTheGuideBesideTheProgram) {
    UiHarness h;
    std::wstring opened;
    bool winHelp = true;
    h.impl.seams.openHelp = [&](HWND, const std::wstring& path, bool isHlp) {
        opened = path;
        winHelp = isHlp;
        return true;
    };
    h.run([](UiHarness& h) {
        h.press(IDC_HELP_BUTTON);
        h.press(IDC_EXIT);
    });
    wchar_t program[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring base(program);
    base.resize(base.size() - 3);
    EXPECT_EQ(opened, base + L"html");
    EXPECT_FALSE(winHelp);
    EXPECT_TRUE(h.shown().empty());
    // The guide beside the program is a real one.
    const std::vector<std::uint8_t> guide = readFile(WinText::utf8(base + L"html"));
    EXPECT_GT(guide.size(), 4000u);

    // When no viewer opens it, the user is told where the guide is.
    UiHarness k;
    k.impl.seams.openHelp = [](HWND, const std::wstring&, bool) { return false; };
    k.run([](UiHarness& k) {
        k.press(IDC_HELP_BUTTON);
        k.press(IDC_EXIT);
    });
    std::vector<UiHarness::Shown> shown = k.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].id, static_cast<unsigned>(IDS_HELP_NOT_OPENED));
    EXPECT_EQ(shown[0].text, WinText::format(WinText::wide(IDS_TEXT_HELP_NOT_OPENED), base + L"html"));
}

TEST(DialogStateTest, NoNtfsDriveShowsMessage12AndEndsTheDialog) {
    UiHarness h;
    h.drives.drives = {{"C:\\", "System", "FAT32"}};
    EXPECT_EQ(h.impl.runDialog(nullptr), 0);
    std::vector<UiHarness::Shown> shown = h.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].id, static_cast<unsigned>(IDS_NO_NTFS_DRIVES));
    EXPECT_EQ(WinText::utf8(shown[0].text), IDS_TEXT_NO_NTFS_DRIVES);
    EXPECT_EQ(WinText::utf8(shown[0].caption), IDS_TEXT_STRING_APP_TITLE);
    EXPECT_EQ(shown[0].style, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
}

} // namespace
} // namespace resurgo::test
