#pragma once
// Runs the real main dialog (from the test program's resources) on the
// test's thread and a script on a second thread that drives it with window
// messages, as a user would: button commands, the drive selection, typed
// texts, clicks on column headers, reading rows and control states. The
// controller's seams answer the save-file dialog and the message boxes and
// record what was shown.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "ui/Implementation.h"
#include "volume/VolumeListLogical.h"

namespace resurgo::test {

// Drives listed to the dialog: root, label, file system (all fixed).
class FakeDrives : public VolumeListLogical::Source {
public:
    struct Drive {
        std::string root, label, fileSystem;
        bool fixed = true;
        bool infoFails = false;
        std::uint32_t sectorsPerCluster = 8, bytesPerSector = 512;
        std::uint64_t freeClusters = 1000, totalClusters = 4000;
    };
    std::vector<Drive> drives;
    bool rootsFail = false;

    bool driveRoots(std::vector<std::string>& roots) override;
    bool isFixedDrive(const std::string& root) override;
    bool volumeInformation(const std::string& root, std::string& label, std::string& fileSystem) override;
    bool diskFreeSpace(const std::string& root, std::uint32_t& spc, std::uint32_t& bps, std::uint64_t& freeClusters,
                       std::uint64_t& totalClusters) override;
    std::uint32_t lastError() override { return 21; }

private:
    const Drive* find(const std::string& root) const;
};

// A platform that can hold the search's reads at a chosen moment (the
// dialog is then in its Searching state for as long as the test wants) and
// that can fail chosen operations.
class GatePlatform : public DelegatingPlatform {
public:
    // Called on the reading thread before each read of a source; when it
    // answers true the first time, that read waits until open() is called.
    std::function<bool()> holdWhen;
    // Reads touching these byte ranges of a source fail.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> failRanges;
    // Reads of these byte ranges return 0xFF bytes there (damaged data).
    std::vector<std::pair<std::uint64_t, std::uint64_t>> corruptRanges;
    // Reads of a source return these bytes from these offsets on.
    std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> placed;
    bool failWrites = false;
    bool failSpaceQuery = false;
    bool overrideSpace = false;
    std::uint64_t space = 0;

    bool readAt(OsHandle h, void* b, std::size_t n, std::uint64_t off, std::size_t& got) override;
    bool writeOutput(OsHandle h, const void* d, std::size_t n, std::size_t& w) override;
    bool availableSpace(const std::string& p, std::uint64_t& b) override;

    // Waits until a read is held (false after the timeout).
    bool waitHeld(int milliseconds = 60000);
    void open();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool triggered_ = false;
    bool held_ = false;
    bool open_ = false;
};

class UiHarness {
public:
    struct Shown {
        unsigned id;
        std::wstring text;
        std::wstring caption;
        UINT style;
        bool captured;  // the mouse was captured while the box was shown
    };

    UiHarness();
    virtual ~UiHarness();

    Implementation impl;
    FakeDrives drives;

    // Answers for the save-file dialog (one per call; then empty = cancel).
    std::deque<std::wstring> savePaths;
    // Answers for Yes/No questions (then IDYES); OK boxes answer IDOK.
    std::deque<int> answers;
    // Called inside the save-file dialog (the dialog is Restoring then).
    std::function<void()> onSaveDialog;

    // Runs the dialog here and script on a second thread; returns the
    // dialog's result. The script should end the dialog (Exit); if it
    // returns without, the harness presses Exit.
    INT_PTR run(const std::function<void(UiHarness&)>& script);

    // --- for the script thread ---
    HWND dialog() const { return impl.dialog(); }
    HWND item(int id) const { return ::GetDlgItem(impl.dialog(), id); }
    bool enabled(int id) const { return ::IsWindowEnabled(item(id)) != FALSE; }
    // Sends the button's command (the button must be enabled).
    void press(int id);
    void selectDrive(const std::wstring& startOfText);
    void setText(int id, const std::wstring& text);
    std::wstring text(int id) const;
    // Presses Search and waits until the search has ended.
    bool search(const std::wstring& pattern, const std::wstring& days = L"32767");
    bool waitSearchEnded(int milliseconds = 60000);
    bool waitUntil(const std::function<bool()>& condition, int milliseconds = 60000);
    // Clicks a column header with the mouse messages the header gets.
    void clickColumn(int column);
    int rowCount() const;
    std::wstring cell(int row, int column) const;
    int selectedRow() const;
    void selectRow(int row);  // -1 clears the selection
    LPARAM itemData(int row) const;

    std::vector<Shown> shown();
    std::vector<unsigned> shownIds();
    int saveCalls() const { return saveCalls_; }
    std::vector<std::wstring> saveDefaults();

    // A fresh folder for restored files, as a Windows path.
    static std::wstring outputFolder(const std::string& tag);
    static std::wstring windowsPath(const std::string& path);

private:
    std::mutex mutex_;
    std::vector<Shown> shown_;
    std::vector<std::wstring> saveDefaults_;
    int saveCalls_ = 0;
};

} // namespace resurgo::test
