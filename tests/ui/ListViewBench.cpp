// Benchmark of the results list: fills the real (virtual) list view of the
// main dialog with 100,000 results and sorts it by every column, painting
// after each step; for comparison, inserts rows one by one at the top of an
// ordinary list view, as a list that stores its rows would be filled.
//
//   resurgo_ui_bench [RESULTS] [LIMIT-MS]
// Prints the times; exits 1 when filling or a sort takes longer than
// LIMIT-MS (default 1000; 0 only reports, as the test suite runs it on a
// machine whose load it does not control).

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "recovery/FOUND_FILE.h"
#include "resources/ResourceIds.h"
#include "ui/ResultListView.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

resurgo::ResultListView* g_list = nullptr;

// The dialog hands the list's notifications to the list, as the real one does.
INT_PTR CALLBACK benchProc(HWND dialog, UINT message, WPARAM, LPARAM lParam) {
    if (message == WM_INITDIALOG) return TRUE;
    if (message == WM_NOTIFY && g_list != nullptr) {
        LRESULT result = 0;
        if (g_list->onNotify(reinterpret_cast<const NMHDR*>(lParam), result)) {
            ::SetWindowLongPtrW(dialog, DWLP_MSGRESULT, result);
            return TRUE;
        }
    }
    return FALSE;
}

// Results with varied names, sizes, directories and times, in walk order.
std::vector<resurgo::FOUND_FILE> makeResults(std::size_t n) {
    std::vector<resurgo::FOUND_FILE> out;
    out.reserve(n);
    std::uint64_t seed = 88172645463325252ULL;
    auto next = [&seed] {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        return seed;
    };
    const char* dirs[] = {"Documents\\Letters\\", "Photos\\2026\\", ".\\", "Music\\Albums\\Live\\", "Temp\\"};
    for (std::size_t i = 0; i < n; ++i) {
        std::string name = "file_" + std::to_string(next() % 1000000) + (i % 3 ? ".txt" : ".JPG");
        resurgo::FOUND_FILE f(64 + i, 1000 + i * 2, name);
        f.size = next() % 100000000;
        f.directory = dirs[next() % 5];
        const std::uint64_t t = 134411589763785793ULL - (next() % 3000000000000000ULL);
        f.lastModificationTime.set(t);
        f.creationTime.set(t - next() % 1000000000ULL);
        f.lastAccessTime.set(t + next() % 1000000000ULL);
        out.push_back(std::move(f));
    }
    return out;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::size_t count = argc > 1 ? static_cast<std::size_t>(_wtoi(argv[1])) : 100000;
    const double limit = argc > 2 ? _wtof(argv[2]) : 1000.0;
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_UPDOWN_CLASS | ICC_ANIMATE_CLASS};
    ::InitCommonControlsEx(&icc);
    HINSTANCE module = ::GetModuleHandleW(nullptr);
    HWND dialog = ::CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_APPDIALOG), nullptr, benchProc, 0);
    if (dialog == nullptr) {
        std::fprintf(stderr, "cannot create the dialog\n");
        return 2;
    }
    ::ShowWindow(dialog, SW_SHOW);
    HWND listWindow = ::GetDlgItem(dialog, IDC_RESULT_LIST);

    auto t0 = Clock::now();
    const std::vector<resurgo::FOUND_FILE> results = makeResults(count);
    std::printf("made %zu results in %.1f ms\n", count, msSince(t0));

    resurgo::ResultListView list;
    g_list = &list;
    list.attach(listWindow, module);
    bool slow = false;
    t0 = Clock::now();
    list.fill(results, "C:\\");
    double filled = msSince(t0);
    ::UpdateWindow(listWindow);
    double fill = msSince(t0);
    std::printf("fill %zu rows: %.1f ms (%.1f ms before painting)\n", count, fill, filled);
    slow = slow || (limit > 0 && fill > limit);
    // With a row selected, as after a user's click.
    ListView_SetItemState(listWindow, count / 2, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    const char* names[] = {"Filename", "Size", "Directory", "Modified", "Created", "Accessed", "Condition"};
    for (int column = 0; column < resurgo::ResultListView::kColumnCount; ++column) {
        t0 = Clock::now();
        list.sortByColumn(column);
        double sorted = msSince(t0);
        ::UpdateWindow(listWindow);
        double ms = msSince(t0);
        std::printf("sort by %-9s: %.1f ms (%.1f ms before painting; first row %s)\n", names[column], ms, sorted,
                    list.cellText(0, column).c_str());
        slow = slow || (limit > 0 && ms > limit);
    }
    // Rows inserted one by one at the top of an ordinary list view.
    const int naive = 5000;
    HWND plain = ::CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | LVS_REPORT, 0, 0, 400, 200, dialog, nullptr,
                                   module, nullptr);
    LVCOLUMNW col{};
    col.mask = LVCF_WIDTH;
    col.cx = 100;
    for (int c = 0; c < 6; ++c) ::SendMessageW(plain, LVM_INSERTCOLUMNW, static_cast<WPARAM>(c), reinterpret_cast<LPARAM>(&col));
    t0 = Clock::now();
    for (int i = 0; i < naive; ++i) {
        std::wstring text = L"file_" + std::to_wstring(i);
        LVITEMW item{};
        item.mask = LVIF_TEXT | LVIF_PARAM;
        item.iItem = 0;
        item.pszText = text.data();
        item.lParam = i;
        int row = static_cast<int>(::SendMessageW(plain, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
        for (int c = 1; c < 6; ++c) {
            LVITEMW cell{};
            cell.iSubItem = c;
            cell.pszText = text.data();
            ::SendMessageW(plain, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&cell));
        }
    }
    double insert = msSince(t0);
    std::printf("for comparison: %d rows inserted one by one at the top of an ordinary list: %.1f ms\n", naive, insert);
    ::DestroyWindow(dialog);
    if (limit > 0) {
        std::printf("%s: fill and sorts of %zu results %s %.0f ms each\n", slow ? "SLOW" : "OK", count,
                    slow ? "exceed" : "within", limit);
    }
    return slow ? 1 : 0;
}
