#pragma once
// The controller of the main dialog (dialog 103): fills the dialog, runs a
// search on a worker thread with progress and animation, lists the
// results, restores the selected one, and opens the help and about boxes.
//
// Seams: the save-file dialog, the message boxes, the help viewer and the
// drive list can be replaced (tests answer them); the real ones are the
// default.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "recovery/RestoreJob.h"
#include "recovery/SearchJob.h"
#include "ui/ProgressBar.h"
#include "ui/ResultListView.h"
#include "recovery/DriveList.h"

namespace resurgo {

class Implementation {
public:
    // Sent (not posted) by the worker when a search has ended; both
    // parameters 0.
    static constexpr UINT WM_SEARCH_DONE = WM_APP + 1;
    // Posted to itself when Exit waited for a search to end.
    static constexpr UINT WM_EXIT_AFTER_SEARCH = WM_APP + 2;

    struct Seams {
        // The save-file dialog: the chosen full path, empty when cancelled.
        std::function<std::wstring(HWND owner, const std::wstring& defaultName)> saveFileName;
        // A message box: id is the string-table id of the text (already
        // formatted). Returns the button pressed (IDOK, IDYES, IDNO).
        std::function<int(HWND owner, unsigned id, const std::wstring& text, const std::wstring& caption, UINT style)>
            messageBox;
        // Opens the help: a .hlp file (winHelp true) or the HTML guide.
        // False when it could not be opened.
        std::function<bool(HWND owner, const std::wstring& path, bool winHelp)> openHelp;
        // Where the drive list comes from (the system's drives by default).
        VolumeListLogical::Source* drives = nullptr;
    };

    Implementation();
    virtual ~Implementation();
    Implementation(const Implementation&) = delete;
    Implementation& operator=(const Implementation&) = delete;

    // The module whose resources the dialog uses, the application title
    // (caption of every message box) and the small icon. Loaded from the
    // module when not given.
    void setApplication(HINSTANCE module, const std::wstring& title, HICON smallIcon);
    // Runs dialog 103 modally; returns its result (-1 when it can't be
    // created). Waits for a search still running before it returns.
    INT_PTR runDialog(HWND parent = nullptr);

    // The dialog's operations.
    void Init(HWND dialog);
    void StartSearch();
    void CancelSearch();
    void FillResultList();
    void UneraseSelected();
    void Unerase(std::size_t index);
    std::wstring AskSaveFileName(const std::wstring& defaultName);
    bool FileExists(const std::wstring& path);
    int ShowMessage(unsigned id, UINT style);
    int ShowMessageText(unsigned id, const std::wstring& text, UINT style);
    void Help();
    void About();
    void Exit();

    // The days field's text as a number: digits up to the first other
    // character; empty gives 0; too large gives the largest 32-bit value.
    static std::int32_t parseDays(const std::wstring& text);
    // The string-table text of id (UTF-16).
    std::wstring loadString(unsigned id) const;
    // What the status line says after the last search: how many files were
    // found, or why none (nothing deleted matched: older files do, or the
    // pattern matches none; the drive could not be read).
    std::wstring searchStatus() const;
    // The status for how the search ended and what it found.
    std::wstring outcomeStatus() const;
    // text, and after a search without the deep scan the advice to tick
    // it (for a drive that could not be read or showed no deleted file).
    std::wstring withDeepHint(std::wstring text) const;
    // text, and after a search of previous versions what kept them (or some
    // of them) from being read.
    std::wstring withSnapshotWarnings(std::wstring text) const;

    Seams seams;

    // State, for the tests and the start-up code.
    HWND dialog() const { return dialog_; }
    bool isSearching() const { return thread_ != nullptr && !searchDone_; }
    SearchJob& job() { return job_; }
    ResultListView& resultList() { return list_; }
    const VolumeListLogical& volumes() const { return volumes_; }
    const std::string& searchRoot() const { return driveRoot_; }
    std::int32_t rowsListed() const { return rowsListed_; }
    // The worker of the last search (0 before the first).
    DWORD workerThreadId() const { return threadId_; }

private:
    // Opens the filesystem for restore and selects found in it; says why
    // when it can't.
    bool OpenFile(RestoreJob& restore, const FOUND_FILE& found);
    // The file that now owns what found lost, as the list shows paths
    // (empty when none does or it is not known).
    std::wstring OwnerOf(const FOUND_FILE& found);
    // The message of a restore that ran, in the words of its outcome.
    void ShowRestored(RestoreJob::Status status, const RESTORE_RESULT& result, const FOUND_FILE& found,
                      const std::wstring& name, const std::wstring& owner);
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    static DWORD WINAPI SearchThread(LPVOID controller);
    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void onSearchDone();
    // Keeps the list and the status line at the dialog's bottom and right
    // edges as it is resized.
    void onSize(int width, int height);
    void setStatus(const std::wstring& text);
    void waitForWorker();
    void enableInputs(bool enable);
    void beginWait();
    void endWait();
    HWND item(int id) const { return ::GetDlgItem(dialog_, id); }

    std::wstring title_;
    HINSTANCE module_ = nullptr;
    HICON smallIcon_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
    std::atomic<std::uint8_t> cancel_{0};
    ProgressBar progress_;
    std::int32_t rowsListed_ = 0;
    SearchJob job_;
    std::int32_t days_ = 1;
    bool deep_ = false;
    bool verify_ = false;
    bool carve_ = false;
    bool snapshots_ = false;
    std::string driveRoot_;
    int driveIndex_ = 0;
    std::string pattern_;
    HWND dialog_ = nullptr;
    ResultListView list_;
    VolumeListLogical volumes_;
    // Set by the dialog thread when a search's end has been handled
    // completely (the list filled and the controls set); read by tests.
    std::atomic<bool> searchDone_{true};
    bool exitPending_ = false;
    bool helpOpened_ = false;
    std::wstring helpPath_;
    HCURSOR keptCursor_ = nullptr;
    bool waiting_ = false;
    // The layout as the template made it (client coordinates), for resizing.
    bool laidOut_ = false;
    SIZE initialWindow_{};
    SIZE initialClient_{};
    RECT initialList_{};
    RECT initialStatus_{};
};

} // namespace resurgo
