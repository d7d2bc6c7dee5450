// Drives a running resurgo.exe from another process, as a user would, for
// scripts/gui-smoke.sh: finds the main dialog, picks a drive, types the
// pattern and the age limit, presses Search, reads the listed rows,
// restores a row through the real save-file dialog and message boxes, and
// presses Exit. Windows' (and Wine's) list view does not carry its texts
// across processes, so rows are read through memory allocated in the
// program's process.
//
//   resurgo_gui_driver wait-ready SECONDS
//   resurgo_gui_driver search DRIVE PATTERN DAYS ROWS.tsv
//   resurgo_gui_driver restore ROW DESTINATION-FOLDER MESSAGE.txt
//   resurgo_gui_driver exit
//   resurgo_gui_driver press CONTROL-ID      (clicks a button of the dialog)
//   resurgo_gui_driver dismiss               (OK to the window the dialog opened)
//   resurgo_gui_driver status TEXT.txt       (the status line below the list)
//   resurgo_gui_driver rect RECT.txt         (the dialog on the screen as WxH+X+Y, for a screenshot)
// Exit status 0 when the step worked.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "resources/ResourceIds.h"
#include "ui/WinText.h"

namespace {

using resurgo::WinText;

constexpr int kMessageTextId = 0xFFFF;  // the text of a message box
constexpr int kSaveFileNameCombo = 0x47C;  // cmb13: the save dialog's file name
constexpr int kSaveFileNameEdit = 0x480;   // edt1: the same in the old-style dialog

HWND g_dialog = nullptr;

void fail(const char* what) {
    std::fprintf(stderr, "resurgo_gui_driver: %s\n", what);
    std::fflush(stderr);
}

BOOL CALLBACK findMain(HWND h, LPARAM) {
    wchar_t cls[64] = {};
    ::GetClassNameW(h, cls, 64);
    if (std::wcscmp(cls, L"#32770") == 0 && ::GetDlgItem(h, IDC_RESULT_LIST) != nullptr &&
        ::GetDlgItem(h, IDC_ANIMATION) != nullptr) {
        g_dialog = h;
        return FALSE;
    }
    return TRUE;
}

HWND mainDialog(int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
        g_dialog = nullptr;
        ::EnumWindows(findMain, 0);
        if (g_dialog != nullptr && ::IsWindowVisible(g_dialog)) return g_dialog;
        ::Sleep(100);
    }
    return nullptr;
}

struct OwnedSearch {
    HWND owner;
    HWND found;
    bool messageBox;
};

BOOL CALLBACK findOwned(HWND h, LPARAM p) {
    auto* s = reinterpret_cast<OwnedSearch*>(p);
    wchar_t cls[64] = {};
    ::GetClassNameW(h, cls, 64);
    if (h == s->owner || std::wcscmp(cls, L"#32770") != 0 || !::IsWindowVisible(h)) return TRUE;
    if (::GetWindow(h, GW_OWNER) != s->owner) return TRUE;
    bool isMessage = ::GetDlgItem(h, kMessageTextId) != nullptr;
    if (isMessage != s->messageBox) return TRUE;
    s->found = h;
    return FALSE;
}

HWND ownedWindow(HWND owner, bool messageBox, int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
        OwnedSearch s{owner, nullptr, messageBox};
        ::EnumWindows(findOwned, reinterpret_cast<LPARAM>(&s));
        if (s.found != nullptr) return s.found;
        ::Sleep(100);
    }
    return nullptr;
}

std::wstring textOf(HWND h) {
    wchar_t buffer[4096] = {};
    ::SendMessageW(h, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

// Memory in the program's process for list-view messages.
class Remote {
public:
    explicit Remote(HWND window) {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(window, &pid);
        process_ = ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (process_) memory_ = ::VirtualAllocEx(process_, nullptr, kSize, MEM_COMMIT, PAGE_READWRITE);
    }
    ~Remote() {
        if (memory_) ::VirtualFreeEx(process_, memory_, 0, MEM_RELEASE);
        if (process_) ::CloseHandle(process_);
    }
    bool ok() const { return memory_ != nullptr; }

    std::wstring itemText(HWND list, int row, int column) {
        auto* base = static_cast<char*>(memory_);
        LVITEMW item{};
        item.iSubItem = column;
        item.cchTextMax = kTextChars;
        item.pszText = reinterpret_cast<wchar_t*>(base + sizeof(LVITEMW));
        write(base, &item, sizeof item);
        std::vector<wchar_t> zero(kTextChars, 0);
        write(base + sizeof(LVITEMW), zero.data(), zero.size() * sizeof(wchar_t));
        ::SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(base));
        std::vector<wchar_t> text(kTextChars, 0);
        SIZE_T got = 0;
        ::ReadProcessMemory(process_, base + sizeof(LVITEMW), text.data(), text.size() * sizeof(wchar_t), &got);
        text.back() = 0;
        return text.data();
    }

    void selectRow(HWND list, int row) {
        LVITEMW item{};
        item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        item.state = LVIS_SELECTED | LVIS_FOCUSED;
        write(memory_, &item, sizeof item);
        ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(memory_));
        ::SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), FALSE);
    }

private:
    static constexpr int kTextChars = 8192;
    static constexpr SIZE_T kSize = sizeof(LVITEMW) + kTextChars * sizeof(wchar_t);
    void write(void* at, const void* data, SIZE_T n) {
        SIZE_T done = 0;
        ::WriteProcessMemory(process_, at, data, n, &done);
    }
    HANDLE process_ = nullptr;
    void* memory_ = nullptr;
};

bool waitSearchDone(HWND dialog, int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
        if (::IsWindowEnabled(::GetDlgItem(dialog, IDC_SEARCH)) &&
            !::IsWindowEnabled(::GetDlgItem(dialog, IDC_CANCEL_SEARCH))) {
            return true;
        }
        ::Sleep(100);
    }
    return false;
}

void click(HWND dialog, int id) { ::PostMessageW(::GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

bool writeUtf8(const std::wstring& path, const std::string& text) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f) return false;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return true;
}

int doSearch(const std::wstring& drive, const std::wstring& pattern, const std::wstring& days,
             const std::wstring& rowsPath) {
    HWND dialog = mainDialog(30);
    if (!dialog) return fail("no main dialog"), 1;
    HWND drives = ::GetDlgItem(dialog, IDC_DRIVE_LIST);
    LRESULT index = ::SendMessageW(drives, CB_FINDSTRING, static_cast<WPARAM>(-1),
                                   reinterpret_cast<LPARAM>(drive.c_str()));
    if (index == CB_ERR) return fail("drive not listed"), 1;
    ::SendMessageW(drives, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    ::SendMessageW(::GetDlgItem(dialog, IDC_PATTERN), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(pattern.c_str()));
    ::SendMessageW(::GetDlgItem(dialog, IDC_DAYS), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(days.c_str()));
    click(dialog, IDC_SEARCH);
    ::Sleep(300);
    if (!waitSearchDone(dialog, 300)) return fail("search did not end"), 1;
    HWND list = ::GetDlgItem(dialog, IDC_RESULT_LIST);
    Remote remote(list);
    if (!remote.ok()) return fail("no memory in the program's process"), 1;
    int rows = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    std::string tsv;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < 7; ++c) {
            if (c) tsv += '\t';
            tsv += WinText::utf8(remote.itemText(list, r, c));
        }
        tsv += '\n';
    }
    if (rows > 0) remote.selectRow(list, 0);
    if (!writeUtf8(rowsPath, tsv)) return fail("cannot write the rows"), 1;
    std::printf("%d rows\n", rows);
    return 0;
}

int doRestore(int row, const std::wstring& folder, const std::wstring& messagePath) {
    HWND dialog = mainDialog(30);
    if (!dialog) return fail("no main dialog"), 1;
    HWND list = ::GetDlgItem(dialog, IDC_RESULT_LIST);
    Remote remote(list);
    if (!remote.ok()) return fail("no memory in the program's process"), 1;
    std::wstring name = remote.itemText(list, row, 0);
    if (name.empty()) return fail("no such row"), 1;
    remote.selectRow(list, row);
    click(dialog, IDC_RESTORE);
    HWND save = ownedWindow(dialog, false, 30);
    if (!save) return fail("no save dialog"), 1;
    std::wstring destination = folder + L"\\" + name;
    HWND nameField = ::GetDlgItem(save, kSaveFileNameCombo);
    if (!nameField) nameField = ::GetDlgItem(save, kSaveFileNameEdit);
    if (!nameField) return fail("no file-name field in the save dialog"), 1;
    ::Sleep(300);
    ::SendMessageW(nameField, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(destination.c_str()));
    ::PostMessageW(save, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(save, IDOK)));
    std::string messages;
    for (int answer = 0; answer < 3; ++answer) {
        HWND box = ownedWindow(dialog, true, 60);
        if (!box) return fail("no message after the restore"), 1;
        std::wstring text = textOf(::GetDlgItem(box, kMessageTextId));
        messages += WinText::utf8(text) + "\n";
        if (::GetDlgItem(box, IDYES) != nullptr) {
            // "File exists. Overwrite it?"
            ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), 0);
            ::Sleep(500);
            continue;
        }
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        writeUtf8(messagePath, messages);
        std::printf("%s", messages.c_str());
        return text.find(L"successfully restored") != std::wstring::npos ? 0 : 2;
    }
    return fail("too many questions"), 1;
}

int doExit() {
    HWND dialog = mainDialog(10);
    if (!dialog) return fail("no main dialog"), 1;
    DWORD pid = 0;
    ::GetWindowThreadProcessId(dialog, &pid);
    HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    click(dialog, IDC_EXIT);
    if (process) {
        DWORD r = ::WaitForSingleObject(process, 30000);
        ::CloseHandle(process);
        if (r != WAIT_OBJECT_0) return fail("the program did not end"), 1;
    }
    return 0;
}

int doPress(int id) {
    HWND dialog = mainDialog(10);
    if (!dialog) return fail("no main dialog"), 1;
    if (!::GetDlgItem(dialog, id)) return fail("no such control"), 1;
    click(dialog, id);
    return 0;
}

int doDismiss() {
    HWND dialog = mainDialog(10);
    if (!dialog) return fail("no main dialog"), 1;
    HWND owned = ownedWindow(dialog, true, 2);
    if (!owned) owned = ownedWindow(dialog, false, 10);
    if (!owned) return fail("no window to dismiss"), 1;
    ::PostMessageW(owned, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 0;
}

int doStatus(const std::wstring& path) {
    HWND dialog = mainDialog(10);
    if (!dialog) return fail("no main dialog"), 1;
    const std::wstring text = textOf(::GetDlgItem(dialog, IDC_STATUS));
    std::printf("%s\n", WinText::utf8(text).c_str());
    return writeUtf8(path, WinText::utf8(text) + "\n") ? 0 : (fail("cannot write the status"), 1);
}

int doRect(const std::wstring& path) {
    HWND dialog = mainDialog(10);
    if (!dialog) return fail("no main dialog"), 1;
    RECT r{};
    ::GetWindowRect(dialog, &r);
    char text[64];
    std::snprintf(text, sizeof text, "%ldx%ld+%ld+%ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
    return writeUtf8(path, text) ? 0 : (fail("cannot write the rectangle"), 1);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return fail("usage: wait-ready S | search D P N TSV | restore ROW FOLDER TXT | exit"), 64;
    std::wstring command = argv[1];
    if (command == L"wait-ready" && argc == 3) return mainDialog(_wtoi(argv[2])) ? 0 : (fail("no main dialog"), 1);
    if (command == L"search" && argc == 6) return doSearch(argv[2], argv[3], argv[4], argv[5]);
    if (command == L"restore" && argc == 5) return doRestore(_wtoi(argv[2]), argv[3], argv[4]);
    if (command == L"exit" && argc == 2) return doExit();
    if (command == L"press" && argc == 3) return doPress(_wtoi(argv[2]));
    if (command == L"dismiss" && argc == 2) return doDismiss();
    if (command == L"status" && argc == 3) return doStatus(argv[2]);
    if (command == L"rect" && argc == 3) return doRect(argv[2]);
    return fail("bad arguments"), 64;
}
