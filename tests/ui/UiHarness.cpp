#include "UiHarness.h"

#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "resources/ResourceIds.h"
#include "ui/WinText.h"

namespace resurgo::test {

// ---------------------------------------------------------------------------
// FakeDrives

const FakeDrives::Drive* FakeDrives::find(const std::string& root) const {
    for (const Drive& d : drives) {
        if (d.root == root) return &d;
    }
    return nullptr;
}

bool FakeDrives::driveRoots(std::vector<std::string>& roots) {
    roots.clear();
    if (rootsFail) return false;
    for (const Drive& d : drives) roots.push_back(d.root);
    return true;
}

bool FakeDrives::isFixedDrive(const std::string& root) {
    const Drive* d = find(root);
    return d != nullptr && d->fixed;
}

bool FakeDrives::volumeInformation(const std::string& root, std::string& label, std::string& fileSystem) {
    const Drive* d = find(root);
    if (d == nullptr || d->infoFails) return false;
    label = d->label;
    fileSystem = d->fileSystem;
    return true;
}

bool FakeDrives::diskFreeSpace(const std::string& root, std::uint32_t& spc, std::uint32_t& bps,
                               std::uint64_t& freeClusters, std::uint64_t& totalClusters) {
    const Drive* d = find(root);
    if (d == nullptr) return false;
    spc = d->sectorsPerCluster;
    bps = d->bytesPerSector;
    freeClusters = d->freeClusters;
    totalClusters = d->totalClusters;
    return true;
}

// ---------------------------------------------------------------------------
// GatePlatform

bool GatePlatform::readAt(OsHandle h, void* b, std::size_t n, std::uint64_t off, std::size_t& got) {
    for (const auto& r : failRanges) {
        if (off < r.first + r.second && r.first < off + n) {
            ::SetLastError(ERROR_CRC);
            return false;
        }
    }
    if (holdWhen) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!triggered_ && holdWhen()) {
            triggered_ = true;
            held_ = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return open_; });
            held_ = false;
        }
    }
    if (!DelegatingPlatform::readAt(h, b, n, off, got)) return false;
    for (const auto& r : corruptRanges) {
        std::uint64_t from = std::max(off, r.first), to = std::min<std::uint64_t>(off + got, r.first + r.second);
        for (std::uint64_t i = from; i < to; ++i) static_cast<std::uint8_t*>(b)[i - off] = 0xFF;
    }
    for (const auto& [at, bytes] : placed) {
        std::uint64_t from = std::max(off, at), to = std::min<std::uint64_t>(off + got, at + bytes.size());
        for (std::uint64_t i = from; i < to; ++i) static_cast<std::uint8_t*>(b)[i - off] = bytes[i - at];
    }
    return true;
}

bool GatePlatform::writeOutput(OsHandle h, const void* d, std::size_t n, std::size_t& w) {
    if (failWrites) {
        w = 0;
        ::SetLastError(ERROR_DISK_FULL);
        return false;
    }
    return DelegatingPlatform::writeOutput(h, d, n, w);
}

bool GatePlatform::availableSpace(const std::string& p, std::uint64_t& b) {
    if (failSpaceQuery) {
        ::SetLastError(ERROR_BAD_NETPATH);
        return false;
    }
    if (overrideSpace) {
        b = space;
        return true;
    }
    return DelegatingPlatform::availableSpace(p, b);
}

bool GatePlatform::waitHeld(int milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return held_; });
}

void GatePlatform::open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
}

// ---------------------------------------------------------------------------
// UiHarness

UiHarness::UiHarness() {
    // The demo image is drive X: of the test's Wine prefix (wine-ui-run.sh).
    drives.drives.push_back({"X:\\", "demo", "NTFS"});
    impl.seams.drives = &drives;
    impl.seams.saveFileName = [this](HWND, const std::wstring& defaultName) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++saveCalls_;
            saveDefaults_.push_back(defaultName);
        }
        if (onSaveDialog) onSaveDialog();
        std::lock_guard<std::mutex> lock(mutex_);
        if (savePaths.empty()) return std::wstring();
        std::wstring path = savePaths.front();
        savePaths.pop_front();
        return path;
    };
    impl.seams.messageBox = [this](HWND, unsigned id, const std::wstring& text, const std::wstring& caption,
                                   UINT style) {
        std::lock_guard<std::mutex> lock(mutex_);
        shown_.push_back({id, text, caption, style, ::GetCapture() != nullptr});
        if ((style & MB_TYPEMASK) == MB_YESNO) {
            if (answers.empty()) return IDYES;
            int a = answers.front();
            answers.pop_front();
            return a;
        }
        return IDOK;
    };
    impl.seams.openHelp = [](HWND, const std::wstring&, bool) { return true; };
}

UiHarness::~UiHarness() = default;

INT_PTR UiHarness::run(const std::function<void(UiHarness&)>& script) {
    std::thread driver([this, &script] {
        if (!waitUntil([this] { return impl.dialog() != nullptr && ::IsWindowVisible(impl.dialog()); })) {
            ADD_FAILURE() << "the dialog did not appear";
            return;
        }
        script(*this);
        // End the dialog if the script left it open.
        HWND d = impl.dialog();
        if (d != nullptr && ::IsWindow(d)) ::PostMessageW(d, WM_COMMAND, MAKEWPARAM(IDC_EXIT, BN_CLICKED), 0);
    });
    INT_PTR result = impl.runDialog(nullptr);
    driver.join();
    return result;
}

void UiHarness::press(int id) {
    EXPECT_TRUE(enabled(id)) << "control " << id << " is disabled";
    ::SendMessageW(dialog(), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(item(id)));
}

void UiHarness::selectDrive(const std::wstring& startOfText) {
    LRESULT i = ::SendMessageW(item(IDC_DRIVE_LIST), CB_FINDSTRING, static_cast<WPARAM>(-1),
                               reinterpret_cast<LPARAM>(startOfText.c_str()));
    ASSERT_NE(i, CB_ERR);
    ::SendMessageW(item(IDC_DRIVE_LIST), CB_SETCURSEL, static_cast<WPARAM>(i), 0);
    ::SendMessageW(dialog(), WM_COMMAND, MAKEWPARAM(IDC_DRIVE_LIST, CBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(item(IDC_DRIVE_LIST)));
}

void UiHarness::setText(int id, const std::wstring& text) {
    ::SendMessageW(item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

std::wstring UiHarness::text(int id) const {
    wchar_t buffer[1024] = {};
    ::SendMessageW(item(id), WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

bool UiHarness::waitUntil(const std::function<bool()>& condition, int milliseconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        ::Sleep(20);
    }
    return condition();
}

bool UiHarness::waitSearchEnded(int milliseconds) {
    return waitUntil([this] { return !impl.isSearching(); }, milliseconds);
}

bool UiHarness::search(const std::wstring& pattern, const std::wstring& days) {
    setText(IDC_PATTERN, pattern);
    setText(IDC_DAYS, days);
    press(IDC_SEARCH);
    return waitSearchEnded();
}

void UiHarness::clickColumn(int column) {
    HWND header = reinterpret_cast<HWND>(::SendMessageW(item(IDC_RESULT_LIST), LVM_GETHEADER, 0, 0));
    RECT r{};
    ::SendMessageW(header, HDM_GETITEMRECT, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&r));
    // A column right of the visible part is scrolled into view first, as
    // the user would; the header then moves with the list.
    RECT client{};
    ::GetClientRect(item(IDC_RESULT_LIST), &client);
    ::SendMessageW(item(IDC_RESULT_LIST), LVM_SCROLL, static_cast<WPARAM>(-100000), 0);
    if (r.right > client.right) {
        ::SendMessageW(item(IDC_RESULT_LIST), LVM_SCROLL, static_cast<WPARAM>(r.right - client.right), 0);
    }
    ::SendMessageW(header, HDM_GETITEMRECT, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&r));
    POINT p{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    LPARAM at = MAKELPARAM(p.x, p.y);
    ::SendMessageW(header, WM_MOUSEMOVE, 0, at);
    ::SendMessageW(header, WM_LBUTTONDOWN, MK_LBUTTON, at);
    ::SendMessageW(header, WM_LBUTTONUP, 0, at);
}

int UiHarness::rowCount() const {
    return static_cast<int>(::SendMessageW(item(IDC_RESULT_LIST), LVM_GETITEMCOUNT, 0, 0));
}

std::wstring UiHarness::cell(int row, int column) const {
    std::vector<wchar_t> buffer(4096, L'\0');
    LVITEMW it{};
    it.iSubItem = column;
    it.pszText = buffer.data();
    it.cchTextMax = static_cast<int>(buffer.size());
    ::SendMessageW(item(IDC_RESULT_LIST), LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&it));
    return it.pszText ? std::wstring(it.pszText) : std::wstring();
}

int UiHarness::selectedRow() const {
    return static_cast<int>(
        ::SendMessageW(item(IDC_RESULT_LIST), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

void UiHarness::selectRow(int row) {
    LVITEMW it{};
    it.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    it.state = 0;
    ::SendMessageW(item(IDC_RESULT_LIST), LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&it));
    if (row < 0) return;
    it.state = LVIS_SELECTED | LVIS_FOCUSED;
    ::SendMessageW(item(IDC_RESULT_LIST), LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&it));
}

LPARAM UiHarness::itemData(int row) const {
    return static_cast<LPARAM>(const_cast<UiHarness*>(this)->impl.resultList().itemData(row));
}

std::vector<UiHarness::Shown> UiHarness::shown() {
    std::lock_guard<std::mutex> lock(mutex_);
    return shown_;
}

std::vector<unsigned> UiHarness::shownIds() {
    std::vector<unsigned> ids;
    for (const Shown& s : shown()) ids.push_back(s.id);
    return ids;
}

std::vector<std::wstring> UiHarness::saveDefaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    return saveDefaults_;
}

std::wstring UiHarness::windowsPath(const std::string& path) {
    std::string p = path;
    // The build tree's paths are Unix paths; Wine shows the root as Z:.
    if (!p.empty() && p[0] == '/') p = "Z:" + p;
    for (char& c : p) {
        if (c == '/') c = '\\';
    }
    return WinText::wide(p);
}

std::wstring UiHarness::outputFolder(const std::string& tag) { return windowsPath(tempDir("ui-" + tag)); }

} // namespace resurgo::test
