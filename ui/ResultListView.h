#pragma once
// The results list (control 1007): a report-style list view with seven
// columns, single selection. It is a virtual (owner-data) list over an
// index array: row r shows result order_[r], and order_[r] is the row's
// item data. Filling puts the result with the highest record first (the
// reverse of the walk order); a column click sorts the rows ascending by
// that column's key (CompareFoundFiles), keeping the selected result
// selected. The texts are asked for only for the rows on screen, so
// 100,000 results fill and sort at once.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>

#include <cstddef>
#include <string>
#include <vector>

#include "recovery/FOUND_FILE.h"

namespace resurgo {

class ResultListView {
public:
    static constexpr int kColumnCount = 7;

    ResultListView();
    virtual ~ResultListView();

    // Keeps the control, sets its extended styles, inserts the seven columns
    // (titles from the string table of module, as the condition texts),
    // fits them to the list's width and empties the list.
    void attach(HWND control, HINSTANCE module);
    // Sets the column widths for the list's width: the size, the times and
    // the condition as wide as their texts need, the name and the directory
    // sharing the rest (room for a vertical scroll bar is kept).
    void fitColumns();
    // Deletes all rows and forgets the results.
    void clear();
    // Shows results (which must stay unchanged while shown), the highest
    // index first. driveRoot is put before every directory.
    void fill(const std::vector<FOUND_FILE>& results, const std::string& driveRoot);
    // Sorts the rows ascending by a column's key; the selection follows
    // its result. Other columns leave the order as it is.
    void sortByColumn(int column);

    int rowCount() const { return static_cast<int>(order_.size()); }
    // The selected row, or -1.
    int selectedRow() const;
    // The row's item data: the index of its result.
    std::size_t itemData(int row) const { return order_.at(static_cast<std::size_t>(row)); }
    // A cell's text (UTF-8), as the list shows it.
    std::string cellText(int row, int column) const;
    const std::vector<std::size_t>& order() const { return order_; }
    HWND handle() const { return hwnd_; }

    // The list's notifications (LVN_GETDISPINFOW, LVN_ODFINDITEMW) sent to
    // the dialog. Returns true when handled; result is the answer.
    bool onNotify(const NMHDR* header, LRESULT& result);

    // Drive root and stored directory as the Directory column shows them:
    // "C:\" + "Documents\Letters\" gives C:\Documents\Letters, "C:\" + ".\"
    // gives C:\. (a final backslash is dropped). Never cut.
    static std::string directoryText(const std::string& driveRoot, const std::string& directory);
    // The condition column's text for a recoverable percentage: "Intact"
    // at 100, "Overwritten" at 0, "Partly overwritten" between. The
    // column adds "N% allocated but owned by no file" and, when sampled,
    // "N% read as zeros (wiped)".
    static unsigned conditionId(std::uint8_t recoverable);

private:
    HWND hwnd_ = nullptr;
    const std::vector<FOUND_FILE>* results_ = nullptr;
    std::string driveRoot_;
    // The condition column's texts: intact, partly overwritten, overwritten;
    // the notes on clusters owned by no file and on zeros; a guessed layout.
    std::string conditions_[10];
    std::vector<std::size_t> order_;
    std::wstring cell_;  // the text last handed to the list
};

} // namespace resurgo
