#include "ui/Implementation.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <climits>
#include <cwctype>
#include <vector>

#include "recovery/SystemServices.h"
#include "recovery/ErrorText.h"
#include "recovery/OutputName.h"
#include "recovery/RestoreJob.h"
#include "recovery/RestoreRules.h"
#include "resources/ResourceIds.h"
#include "resources/StringTable.h"
#include "ui/AboutBox.h"
#include "ui/WinText.h"

namespace resurgo {

namespace {

// Longest path the save-file dialog and the program's own path may have.
constexpr DWORD kLongPath = 32768;
constexpr int kMaxDays = 32767;
// How long the controller's end waits for a worker that is still running.
constexpr DWORD kWorkerExitWaitMs = 10000;
// The pattern field holds at most as many characters as the search accepts.
constexpr WPARAM kMaxPatternCharacters = SearchJob::kMaxPatternLength;

std::wstring windowText(HWND control) {
    int length = ::GetWindowTextLengthW(control);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    int got = ::GetWindowTextW(control, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
    return text;
}

} // namespace

Implementation::Implementation() = default;

Implementation::~Implementation() {
    // No worker may outlive its controller.
    // (runDialog has waited already; this is the way out of an internal
    // error, where the dialog thread no longer answers the worker's last
    // message: the wait is bounded.)
    if (thread_ != nullptr) {
        cancel_ = 1;
        ::WaitForSingleObject(thread_, kWorkerExitWaitMs);
        ::CloseHandle(thread_);
        thread_ = nullptr;
    }
}

void Implementation::setApplication(HINSTANCE module, const std::wstring& title, HICON smallIcon) {
    module_ = module;
    title_ = title;
    smallIcon_ = smallIcon;
}

std::wstring Implementation::loadString(unsigned id) const {
    const wchar_t* text = nullptr;
    int length = ::LoadStringW(module_, id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr) return std::wstring();
    return std::wstring(text, static_cast<std::size_t>(length));
}

INT_PTR Implementation::runDialog(HWND parent) {
    if (module_ == nullptr) module_ = ::GetModuleHandleW(nullptr);
    if (title_.empty()) title_ = loadString(IDS_STRING_APP_TITLE);
    if (smallIcon_ == nullptr) {
        smallIcon_ = static_cast<HICON>(
            ::LoadImageW(module_, MAKEINTRESOURCEW(IDI_APPICONSM), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    }
    exitPending_ = false;
    INT_PTR result = ::DialogBoxParamW(module_, MAKEINTRESOURCEW(IDD_APPDIALOG), parent, DialogProc,
                                       reinterpret_cast<LPARAM>(this));
    waitForWorker();
    dialog_ = nullptr;
    progress_.attach(nullptr);
    return result;
}

INT_PTR CALLBACK Implementation::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    Implementation* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<Implementation*>(lParam);
        ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        if (self->smallIcon_ != nullptr) {
            ::SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(self->smallIcon_));
        }
        self->Init(dialog);
        return TRUE;
    }
    self = reinterpret_cast<Implementation*>(::GetWindowLongPtrW(dialog, DWLP_USER));
    if (self == nullptr) return FALSE;
    return self->handleMessage(message, wParam, lParam);
}

INT_PTR Implementation::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        if (exitPending_) return TRUE;  // leaving: only the search's end is awaited
        switch (LOWORD(wParam)) {
        case IDC_SEARCH: StartSearch(); return TRUE;
        case IDC_CANCEL_SEARCH: CancelSearch(); return TRUE;
        case IDC_RESTORE: UneraseSelected(); return TRUE;
        case IDC_HELP_BUTTON: Help(); return TRUE;
        case IDC_ABOUT: About(); return TRUE;
        case IDC_EXIT: Exit(); return TRUE;
        case IDC_DEEP_SCAN:
        case IDC_SNAPSHOTS:
            // A deep scan finds records without a volume to take copies of:
            // ticking one clears the other.
            if (::IsDlgButtonChecked(dialog_, LOWORD(wParam)) == BST_CHECKED) {
                ::CheckDlgButton(dialog_, LOWORD(wParam) == IDC_DEEP_SCAN ? IDC_SNAPSHOTS : IDC_DEEP_SCAN,
                                 BST_UNCHECKED);
            }
            return TRUE;
        default: return FALSE;
        }
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->idFrom != IDC_RESULT_LIST) return FALSE;
        if (header->code == LVN_COLUMNCLICK) {
            auto* view = reinterpret_cast<const NMLISTVIEW*>(lParam);
            list_.sortByColumn(view->iSubItem);
            ::SetWindowLongPtrW(dialog_, DWLP_MSGRESULT, 0);
            return TRUE;
        }
        LRESULT result = 0;
        if (list_.onNotify(header, result)) {
            ::SetWindowLongPtrW(dialog_, DWLP_MSGRESULT, result);
            return TRUE;
        }
        return FALSE;
    }
    case WM_SEARCH_DONE:
        onSearchDone();
        return TRUE;
    case WM_SIZE:
        if (wParam != SIZE_MINIMIZED) onSize(LOWORD(lParam), HIWORD(lParam));
        return FALSE;
    case WM_GETMINMAXINFO:
        if (laidOut_) {
            auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
            info->ptMinTrackSize.x = initialWindow_.cx;
            info->ptMinTrackSize.y = initialWindow_.cy;
            return TRUE;
        }
        return FALSE;
    case WM_EXIT_AFTER_SEARCH:
        waitForWorker();
        Exit();
        return TRUE;
    default:
        return FALSE;
    }
}

void Implementation::Init(HWND dialog) {
    dialog_ = dialog;
    std::wstring caption = loadString(IDS_DIALOG_CAPTION);
    if (!caption.empty()) ::SetWindowTextW(dialog_, caption.c_str());

    try {
        if (seams.drives != nullptr) {
            volumes_.get_list(*seams.drives);
        } else {
            volumes_.get_list();
        }
    } catch (const ErrorException& e) {
        ::SetLastError(e.systemError());
        reportInternalError(e.diagnostic().c_str(), e.code());
    }
    if (volumes_.ntfsCount == 0) {
        ShowMessage(IDS_NO_NTFS_DRIVES, MB_OK | MB_ICONEXCLAMATION);
        ::EndDialog(dialog_, 0);
        return;
    }
    HWND drives = item(IDC_DRIVE_LIST);
    ::SendMessageW(drives, CB_RESETCONTENT, 0, 0);
    for (const Volume& v : volumes_.entries) {
        std::wstring text = WinText::wide(VolumeListLogical::displayText(v));
        ::SendMessageW(drives, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    ::SendMessageW(drives, CB_SETCURSEL, 0, 0);

    ::SendMessageW(item(IDC_PATTERN), EM_LIMITTEXT, kMaxPatternCharacters, 0);
    ::SetWindowTextW(item(IDC_PATTERN), L"*");
    ::SetWindowTextW(item(IDC_DAYS), L"1");
    HWND spin = item(IDC_DAYS_SPIN);
    ::SendMessageW(spin, UDM_SETBUDDY, reinterpret_cast<WPARAM>(item(IDC_DAYS)), 0);
    ::SendMessageW(spin, UDM_SETRANGE32, 1, kMaxDays);
    ::SendMessageW(spin, UDM_SETPOS32, 0, 1);

    list_.attach(item(IDC_RESULT_LIST), module_);
    progress_.attach(item(IDC_PROGRESS));
    RECT window{}, client{};
    ::GetWindowRect(dialog_, &window);
    ::GetClientRect(dialog_, &client);
    initialWindow_ = {window.right - window.left, window.bottom - window.top};
    initialClient_ = {client.right, client.bottom};
    for (auto [id, rect] : {std::pair<int, RECT*>{IDC_RESULT_LIST, &initialList_}, {IDC_STATUS, &initialStatus_}}) {
        ::GetWindowRect(item(id), rect);
        ::MapWindowPoints(nullptr, dialog_, reinterpret_cast<POINT*>(rect), 2);
    }
    laidOut_ = true;
    setStatus(loadString(IDS_STATUS_READY));
    ::EnableWindow(item(IDC_CANCEL_SEARCH), FALSE);
    ::EnableWindow(item(IDC_RESTORE), FALSE);
    thread_ = nullptr;
    searchDone_ = true;
    HWND animation = item(IDC_ANIMATION);
    ::SendMessageW(animation, ACM_OPENW, reinterpret_cast<WPARAM>(module_), IDR_ANIMATION);
    // Rest on the first frame (some animation controls draw nothing until played).
    ::SendMessageW(animation, ACM_PLAY, 1, MAKELPARAM(0, 0));
}

std::int32_t Implementation::parseDays(const std::wstring& text) {
    std::int64_t value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') break;
        value = value * 10 + (c - L'0');
        if (value > INT32_MAX) return INT32_MAX;
    }
    return static_cast<std::int32_t>(value);
}

void Implementation::enableInputs(bool enable) {
    for (int id : {IDC_DRIVE_LIST, IDC_PATTERN, IDC_DAYS, IDC_DAYS_SPIN, IDC_DEEP_SCAN, IDC_VERIFY, IDC_CARVE,
                   IDC_SNAPSHOTS}) {
        ::EnableWindow(item(id), enable);
    }
}

void Implementation::StartSearch() {
    if (isSearching()) return;
    waitForWorker();  // the last worker has handed over its results and is ending
    list_.clear();
    pattern_ = WinText::utf8(windowText(item(IDC_PATTERN)));
    LRESULT selected = ::SendMessageW(item(IDC_DRIVE_LIST), CB_GETCURSEL, 0, 0);
    driveIndex_ = selected == CB_ERR ? 0 : static_cast<int>(selected);
    driveRoot_ = volumes_.entry(driveIndex_).path;
    days_ = parseDays(windowText(item(IDC_DAYS)));
    deep_ = ::IsDlgButtonChecked(dialog_, IDC_DEEP_SCAN) == BST_CHECKED;
    // Sampling reads data: only when asked (the condition then shows zeros).
    verify_ = ::IsDlgButtonChecked(dialog_, IDC_VERIFY) == BST_CHECKED;
    carve_ = ::IsDlgButtonChecked(dialog_, IDC_CARVE) == BST_CHECKED;
    snapshots_ = ::IsDlgButtonChecked(dialog_, IDC_SNAPSHOTS) == BST_CHECKED;
    cancel_ = 0;

    ::EnableWindow(item(IDC_SEARCH), FALSE);
    ::EnableWindow(item(IDC_CANCEL_SEARCH), TRUE);
    ::EnableWindow(item(IDC_RESTORE), FALSE);
    enableInputs(false);
    setStatus(std::wstring());
    ::SetFocus(item(IDC_CANCEL_SEARCH));
    ::SendMessageW(item(IDC_ANIMATION), ACM_PLAY, static_cast<WPARAM>(-1), MAKELPARAM(0, 0xFFFF));

    searchDone_ = false;
    thread_ = ::CreateThread(nullptr, 0, SearchThread, this, 0, &threadId_);
    if (thread_ == nullptr) reportInternalError("Implementation::StartSearch error", 0);
}

void Implementation::CancelSearch() { cancel_ = 1; }

DWORD WINAPI Implementation::SearchThread(LPVOID controller) {
    auto* self = static_cast<Implementation*>(controller);
    self->job_.driveRoot = self->driveRoot_;
    self->job_.pattern = self->pattern_;
    self->job_.days = self->days_;
    self->job_.options.deep = self->deep_;
    self->job_.options.verify = self->verify_;
    self->job_.options.carve = self->carve_;
    self->job_.options.snapshots = self->snapshots_;
    self->job_.options.snapshot = 0;
    self->job_.run(&self->progress_, &self->cancel_);
    // The dialog fills the list while this thread waits; it then sets the
    // controls as the search's end wants them.
    ::SendMessageW(self->dialog_, WM_SEARCH_DONE, 0, 0);
    return 0;
}

void Implementation::onSearchDone() {
    if (exitPending_) {
        searchDone_ = true;
        ::PostMessageW(dialog_, WM_EXIT_AFTER_SEARCH, 0, 0);
        return;
    }
    FillResultList();
    setStatus(searchStatus());
    ::SendMessageW(item(IDC_PROGRESS), PBM_SETPOS, 0, 0);
    ::EnableWindow(item(IDC_SEARCH), TRUE);
    ::EnableWindow(item(IDC_CANCEL_SEARCH), FALSE);
    ::EnableWindow(item(IDC_RESTORE), job_.filesystem.resultCount() > 0);
    enableInputs(true);
    HWND animation = item(IDC_ANIMATION);
    ::SendMessageW(animation, ACM_STOP, 0, 0);
    ::SendMessageW(animation, ACM_PLAY, 1, MAKELPARAM(0, 0));
    if (::GetFocus() == nullptr || !::IsWindowEnabled(::GetFocus())) ::SetFocus(item(IDC_SEARCH));
    searchDone_ = true;
}

void Implementation::onSize(int width, int height) {
    if (!laidOut_) return;
    const int dx = std::max(width - static_cast<int>(initialClient_.cx), 0);
    const int dy = std::max(height - static_cast<int>(initialClient_.cy), 0);
    ::SetWindowPos(item(IDC_RESULT_LIST), nullptr, 0, 0, initialList_.right - initialList_.left + dx,
                   initialList_.bottom - initialList_.top + dy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::SetWindowPos(item(IDC_STATUS), nullptr, initialStatus_.left, initialStatus_.top + dy,
                   initialStatus_.right - initialStatus_.left + dx, initialStatus_.bottom - initialStatus_.top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
    list_.fitColumns();
    ::InvalidateRect(dialog_, nullptr, TRUE);
}

void Implementation::setStatus(const std::wstring& text) { ::SetWindowTextW(item(IDC_STATUS), text.c_str()); }

std::wstring Implementation::searchStatus() const {
    std::wstring text = withSnapshotWarnings(outcomeStatus());
    // A walk that could not read all of the MFT says so after the rest.
    // (Records the MFT's run list maps a second time are met once where
    // first mapped: the list lacks nothing for them.)
    const std::uint64_t missing = job_.filesystem.gaps().unreadableRecords;
    if (missing == 0 || job_.outcome() == SearchJob::Outcome::BootFailed ||
        job_.outcome() == SearchJob::Outcome::OpenFailed) {
        return text;
    }
    while (!text.empty() && std::iswspace(text.back())) text.pop_back();
    return text + L" " + WinText::format(loadString(IDS_STATUS_INCOMPLETE), std::wstring(), missing);
}

std::wstring Implementation::withSnapshotWarnings(std::wstring text) const {
    // Previous versions asked for and not (all) read: the status says why.
    if (!job_.options.snapshots || job_.outcome() != SearchJob::Outcome::Completed) return text;
    std::vector<std::wstring> notes;
    for (const std::string& warning : job_.snapshotWarnings()) {
        notes.push_back(WinText::format(loadString(IDS_STATUS_SNAPSHOTS), WinText::wide(warning)));
    }
    if (notes.empty() && job_.snapshots().empty()) notes.push_back(loadString(IDS_STATUS_NO_SNAPSHOTS));
    for (const std::wstring& note : notes) {
        while (!text.empty() && std::iswspace(text.back())) text.pop_back();
        text += L" " + note;
    }
    return text;
}

std::wstring Implementation::outcomeStatus() const {
    const std::size_t found = job_.filesystem.resultCount();
    const std::wstring pattern = WinText::wide(pattern_);
    switch (job_.outcome()) {
        case SearchJob::Outcome::BootFailed:
        case SearchJob::Outcome::OpenFailed:
            return withDeepHint(
                WinText::format(loadString(IDS_STATUS_UNREADABLE), WinText::wide(ErrorText::reason(*job_.failure()))));
        case SearchJob::Outcome::Cancelled:
            return WinText::format(loadString(IDS_STATUS_CANCELLED), std::wstring(), found);
        case SearchJob::Outcome::WalkFailed:
            return WinText::format(loadString(IDS_STATUS_STOPPED), WinText::wide(ErrorText::reason(*job_.failure())),
                                   found);
        case SearchJob::Outcome::Completed:
        case SearchJob::Outcome::BadPattern:
            break;
    }
    if (found > 0) return WinText::format(loadString(IDS_STATUS_FOUND), std::wstring(), found);
    const OLDER_MATCHES& older = job_.filesystem.olderMatches();
    if (older.count > 0) {
        // A day to spare for the clock moving on; the days field goes up to kMaxDays.
        const std::uint64_t days = std::min<std::uint64_t>(older.daysForAll() + 1, kMaxDays);
        return WinText::format(loadString(IDS_STATUS_NONE_OLDER), pattern,
                               {static_cast<unsigned long long>(days_), older.count, days});
    }
    if (!pattern_.empty() && pattern_.find_first_not_of('*') == std::string::npos) {
        return withDeepHint(loadString(IDS_STATUS_NONE_AT_ALL));
    }
    return WinText::format(loadString(IDS_STATUS_NONE_MATCH), pattern);
}

std::wstring Implementation::withDeepHint(std::wstring text) const {
    // After a search that did not scan, the volume may have been formatted
    // or its boot sector or MFT damaged: a deep scan may find the files.
    if (job_.options.deep) return text;
    while (!text.empty() && std::iswspace(text.back())) text.pop_back();
    return text + (!text.empty() && text.back() == L'.' ? L" " : L". ") + loadString(IDS_STATUS_TRY_DEEP);
}

void Implementation::waitForWorker() {
    if (thread_ == nullptr) return;
    // Called only when the worker has nothing more to send to this thread.
    ::WaitForSingleObject(thread_, INFINITE);
    ::CloseHandle(thread_);
    thread_ = nullptr;
}

void Implementation::beginWait() {
    ::SetCapture(dialog_);
    keptCursor_ = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
    waiting_ = true;
}

void Implementation::endWait() {
    if (!waiting_) return;
    waiting_ = false;
    ::ReleaseCapture();
    ::SetCursor(keptCursor_);
}

void Implementation::FillResultList() {
    const std::vector<FOUND_FILE>& results = job_.filesystem.results();
    rowsListed_ = static_cast<std::int32_t>(results.size());
    beginWait();
    list_.fill(results, driveRoot_);
    endWait();
    ::SetFocus(list_.handle());
}

void Implementation::UneraseSelected() {
    int row = list_.selectedRow();
    if (row < 0) return;
    std::size_t index = list_.itemData(row);
    const int controls[] = {IDC_RESTORE,   IDC_SEARCH,    IDC_DRIVE_LIST, IDC_PATTERN, IDC_DAYS,
                            IDC_DAYS_SPIN, IDC_DEEP_SCAN, IDC_VERIFY,     IDC_CARVE,   IDC_SNAPSHOTS};
    for (int id : controls) ::EnableWindow(item(id), FALSE);
    Unerase(index);
    for (int id : controls) ::EnableWindow(item(id), TRUE);
    ::SetFocus(list_.handle());
}

void Implementation::Unerase(std::size_t index) {
    FilesystemNTFS& fs = job_.filesystem;
    if (index >= fs.resultCount()) reportInternalError("Implementation::Unerase error", 0);
    const FOUND_FILE found = fs.result(index);
    const std::wstring name = WinText::wide(found.name);

    job_.driveRoot = driveRoot_;
    RestoreJob restore(job_);  // closes the filesystem however the restore ends
    if (!OpenFile(restore, found)) return;

    // The file's own name made harmless: accepting it writes one ordinary
    // file in the chosen folder.
    const std::wstring destination = AskSaveFileName(WinText::wide(OutputName::windows(found.name)));
    if (destination.empty()) return;
    const std::string target = WinText::utf8(destination);
    RestoreRules rules(RestoreRules::systemProbe());
    rules.setSource(driveRoot_);
    if (rules.destinationOnSource(target)) {
        restore.close();
        ShowMessage(IDS_SAME_DRIVE, MB_OK | MB_ICONEXCLAMATION);
        return;
    }

    beginWait();
    // What has the name (a link too) is replaced only when the user agrees;
    // a link is replaced, never written through; what is not a file is kept.
    const RestoreRules::Existing existing = rules.existingAt(target);
    const bool replace = existing != RestoreRules::Existing::None;
    switch (RestoreRules::destinationDecision(existing, false, true)) {
        case RestoreRules::Overwrite::Write:
            break;
        case RestoreRules::Overwrite::Ask:
            endWait();
            if (ShowMessage(IDS_FILE_EXISTS, MB_YESNO | MB_ICONINFORMATION) != IDYES) return;
            beginWait();
            break;
        case RestoreRules::Overwrite::Refuse:
            endWait();
            ShowMessage(IDS_FILE_EXISTS, MB_OK | MB_ICONINFORMATION);
            return;
    }
    // A free-space query that fails (a network path) lets the copy go on; a
    // write failure is then reported as any other.
    if (!RestoreRules::hasSpaceFor(target, restore.storedBytes())) {
        endWait();
        restore.close();
        ShowMessage(IDS_NOT_ENOUGH_SPACE, MB_OK | MB_ICONINFORMATION);
        return;
    }
    const RestoreJob::Status status = restore.restoreTo(target, replace ? OutputMode::Replace : OutputMode::NewOnly);
    const RESTORE_RESULT result = restore.result();
    const std::wstring owner = OwnerOf(found);
    restore.close();
    endWait();
    ShowRestored(status, result, found, name, owner);
}

bool Implementation::OpenFile(RestoreJob& restore, const FOUND_FILE& found) {
    // A file a shadow copy holds is read from that copy, as a volume of
    // its own; every other file from the volume.
    job_.options.snapshot = found.source == ResultSource::Snapshot ? found.snapshot : 0;
    // A carved file is read off the source as it lies: no volume to open.
    if (found.carvedType != nullptr) {
        if (restore.selectCarved(found.offset) == RestoreJob::Status::Ready) return true;
        ShowMessage(IDS_FILE_DAMAGED, MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    switch (restore.open()) {
        case RestoreJob::Status::BootFailed:
            ShowMessage(IDS_BAD_BOOT_RECORD, MB_OK | MB_ICONEXCLAMATION);
            return false;
        case RestoreJob::Status::OpenFailed:
            ShowMessage(IDS_BAD_NTFS_DRIVE, MB_OK | MB_ICONEXCLAMATION);
            return false;
        default:
            break;
    }
    // By record number: the record is read through the MFT's runs, also
    // when its sectors lie in two runs. A deep scan's result is opened where
    // the scan found its record.
    const RestoreJob::Status selected = job_.options.deep ? restore.selectAtOffset(found.offset)
                                        : found.source == ResultSource::Logfile ? restore.selectLogged(found.recordNumber)
                                                                                : restore.select(found.recordNumber);
    if (selected != RestoreJob::Status::Ready) {
        restore.close();
        ShowMessage(IDS_FILE_DAMAGED, MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    return true;
}

std::wstring Implementation::OwnerOf(const FOUND_FILE& found) {
    std::wstring owner;
    DIRECTORY_INFO ownerDirectory;
    std::string ownerName;
    if (found.recoverable < 100 && found.overwrittenBy != FOUND_FILE::kNoRecord && !job_.options.deep &&
        job_.filesystem.pathOfRecord(found.overwrittenBy, ownerDirectory, ownerName)) {
        owner = WinText::wide(ResultListView::directoryText(std::string(), ownerDirectory.path) + "\\" + ownerName);
        if (owner.rfind(L".\\", 0) == 0) owner.erase(0, 2);
    }
    return owner;
}

void Implementation::ShowRestored(RestoreJob::Status status, const RESTORE_RESULT& result, const FOUND_FILE& found,
                                  const std::wstring& name, const std::wstring& owner) {
    const std::uint64_t damagedUnits = result.damagedUnits;
    const std::uint64_t unreadableBytes = result.unreadableBytes();
    const std::uint64_t zeroedBytes = result.zeroedBytes;
    switch (status) {
        case RestoreJob::Status::RestoredWiped:
            ShowMessageText(IDS_RESTORED_WIPED, WinText::format(loadString(IDS_RESTORED_WIPED), name, zeroedBytes),
                            MB_OK | MB_ICONEXCLAMATION);
            break;
        case RestoreJob::Status::Restored:
            // Restored in full, as asked; a file partly overwritten since its
            // deletion says by how much, and by which file when one owns it.
            if (found.guessedGeometry) {
                // The bytes came through a layout no evidence confirmed.
                ShowMessageText(IDS_RESTORED_GUESSED, WinText::format(loadString(IDS_RESTORED_GUESSED), name),
                                MB_OK | MB_ICONEXCLAMATION);
            } else if (found.recoverable < 100) {
                std::wstring text =
                    WinText::format(loadString(IDS_RESTORED_OVERWRITTEN), name, 100u - found.recoverable);
                if (!owner.empty()) {
                    const unsigned by = found.recoverable == 0 ? IDS_OVERWRITTEN_BY : IDS_PARTLY_OVERWRITTEN_BY;
                    text += L"; " + WinText::format(loadString(by), owner);
                }
                ShowMessageText(IDS_RESTORED_OVERWRITTEN, text, MB_OK | MB_ICONEXCLAMATION);
            } else {
                ShowMessageText(IDS_RESTORED, WinText::format(loadString(IDS_RESTORED), name),
                                MB_OK | MB_ICONINFORMATION);
            }
            break;
        case RestoreJob::Status::RestoredDamaged:
            if (damagedUnits > 0 || unreadableBytes == 0) {
                ShowMessageText(IDS_RESTORED_DAMAGED,
                                WinText::format(loadString(IDS_RESTORED_DAMAGED), name, damagedUnits),
                                MB_OK | MB_ICONEXCLAMATION);
            } else {
                ShowMessageText(IDS_RESTORED_UNREADABLE,
                                WinText::format(loadString(IDS_RESTORED_UNREADABLE), name, unreadableBytes),
                                MB_OK | MB_ICONEXCLAMATION);
            }
            break;
        default:
            ShowMessage(IDS_COPY_FAILED, MB_OK | MB_ICONEXCLAMATION);
            break;
    }
}

std::wstring Implementation::AskSaveFileName(const std::wstring& defaultName) {
    if (seams.saveFileName) return seams.saveFileName(dialog_, defaultName);
    std::vector<wchar_t> buffer(kLongPath, L'\0');
    defaultName.copy(buffer.data(), std::min<std::size_t>(defaultName.size(), kLongPath - 1));
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = dialog_;
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = kLongPath;
    ofn.Flags = OFN_HIDEREADONLY | OFN_EXPLORER | OFN_NOCHANGEDIR;
    if (!::GetSaveFileNameW(&ofn)) return std::wstring();
    return buffer.data();
}

bool Implementation::FileExists(const std::wstring& path) {
    return RestoreJob::destinationExists(WinText::utf8(path));
}

int Implementation::ShowMessage(unsigned id, UINT style) { return ShowMessageText(id, loadString(id), style); }

int Implementation::ShowMessageText(unsigned id, const std::wstring& text, UINT style) {
    if (seams.messageBox) return seams.messageBox(dialog_, id, text, title_, style);
    return ::MessageBoxW(dialog_, text.c_str(), title_.c_str(), style);
}

void Implementation::Help() {
    std::vector<wchar_t> buffer(kLongPath, L'\0');
    DWORD length = ::GetModuleFileNameW(module_, buffer.data(), kLongPath);
    if (length < 3 || length >= kLongPath) return;
    std::wstring program(buffer.data(), length);
    std::wstring helpFile = program.substr(0, program.size() - 3) + L"hlp";
    std::wstring guide = program.substr(0, program.size() - 3) + L"html";
    const bool winHelp = FileExists(helpFile);
    const std::wstring& target = winHelp ? helpFile : guide;
    bool opened = false;
    if (seams.openHelp) {
        opened = seams.openHelp(dialog_, target, winHelp);
    } else if (winHelp) {
        opened = ::WinHelpW(dialog_, helpFile.c_str(), HELP_FINDER, 0) != FALSE;
    } else {
        // The shell's answer above 32 means the guide's viewer was started.
        opened = FileExists(guide) &&
                 reinterpret_cast<INT_PTR>(::ShellExecuteW(dialog_, L"open", guide.c_str(), nullptr, nullptr,
                                                           SW_SHOWNORMAL)) > 32;
    }
    if (winHelp && opened) {
        helpOpened_ = true;
        helpPath_ = helpFile;
    }
    if (!opened) {
        ShowMessageText(IDS_HELP_NOT_OPENED, WinText::format(loadString(IDS_HELP_NOT_OPENED), target),
                        MB_OK | MB_ICONINFORMATION);
    }
}

void Implementation::About() {
    if (AboutBox::run(module_, dialog_, smallIcon_) == -1) {
        reportInternalError("WinMain: dialog IDD_DIALOG_ABOUT not found", 0);
    }
}

void Implementation::Exit() {
    if (isSearching()) {
        // Stop the worker first; the dialog ends when it has.
        cancel_ = 1;
        exitPending_ = true;
        return;
    }
    if (helpOpened_ && !seams.openHelp) ::WinHelpW(dialog_, helpPath_.c_str(), HELP_QUIT, 0);
    helpOpened_ = false;
    ::EndDialog(dialog_, 1);
}

} // namespace resurgo
