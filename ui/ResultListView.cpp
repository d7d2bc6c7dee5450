#include "ui/ResultListView.h"

#include <algorithm>

#include "resources/StringTable.h"
#include "ui/CompareFoundFiles.h"
#include "ui/WinText.h"

namespace resurgo {

namespace {

struct ColumnLayout {
    unsigned titleId;
    int width;  // pixels at 96 dots per inch
    // Shares the width the other columns leave.
    bool stretches = false;
    // A text as wide as the column's widest: the column is made as wide as
    // it (or its title) needs in the list's font, whatever the width above.
    const wchar_t* sample = nullptr;
    // Made as wide as the widest condition text (or its title) needs.
    bool conditions = false;
};

// The times as FILE_TIME::text() writes them; digits are equally wide in
// the dialog fonts.
constexpr const wchar_t* kTimeSample = L"00.00.0000 00:00";

constexpr ColumnLayout kColumns[ResultListView::kColumnCount] = {
    {IDS_COLUMN_FILENAME, 150, true},           {IDS_COLUMN_SIZE, 60, false, L"00000000"},
    {IDS_COLUMN_DIRECTORY, 150, true},          {IDS_COLUMN_MODIFIED, 100, false, kTimeSample},
    {IDS_COLUMN_CREATED, 100, false, kTimeSample}, {IDS_COLUMN_ACCESSED, 100, false, kTimeSample},
    {IDS_COLUMN_CONDITION, 110, false, nullptr, true},
};
// The three conditions, then the notes added to them (with a percentage),
// then the one of data found through a volume layout a deep scan guessed,
// the one of a file rebuilt from $LogFile, of a carved file, and of a
// file a shadow copy holds (with the copy's date, or its number when the
// date is unknown).
constexpr unsigned kConditionIds[] = {IDS_CONDITION_INTACT,   IDS_CONDITION_PARTLY_OVERWRITTEN,
                                      IDS_CONDITION_OVERWRITTEN, IDS_CONDITION_UNOWNED,
                                      IDS_CONDITION_ZEROED,   IDS_CONDITION_GUESSED,
                                      IDS_CONDITION_JOURNAL,  IDS_CONDITION_CARVED,
                                      IDS_CONDITION_SNAPSHOT, IDS_CONDITION_SNAPSHOT_UNDATED};
constexpr std::size_t kConditionTexts = sizeof kConditionIds / sizeof kConditionIds[0];

// A text with a number (a percentage, a copy) in place of "%u".
std::string withNumber(const std::string& text, unsigned percent) {
    std::string out = text;
    const std::size_t at = out.find("%u");
    if (at != std::string::npos) out.replace(at, 2, std::to_string(percent));
    return out;
}
// Space the list puts around a cell's text, and the narrowest a column
// that stretches becomes (pixels at 96 dots per inch).
constexpr int kCellPadding = 16;
constexpr int kNarrowestStretch = 60;

std::wstring loadString(HINSTANCE module, unsigned id) {
    const wchar_t* text = nullptr;
    int length = ::LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr) {
        const char* fallback = StringTable::text(id);
        return WinText::wide(fallback ? fallback : "");
    }
    return std::wstring(text, static_cast<std::size_t>(length));
}

} // namespace

ResultListView::ResultListView() {
    // The program's own texts until attach loads the module's.
    for (std::size_t i = 0; i < kConditionTexts; ++i) conditions_[i] = StringTable::text(kConditionIds[i]);
}
ResultListView::~ResultListView() = default;

void ResultListView::attach(HWND control, HINSTANCE module) {
    hwnd_ = control;
    ListView_SetExtendedListViewStyle(hwnd_, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER | LVS_EX_LABELTIP);
    HDC dc = ::GetDC(hwnd_);
    int dpi = dc ? ::GetDeviceCaps(dc, LOGPIXELSX) : 96;
    if (dc) ::ReleaseDC(hwnd_, dc);
    for (int i = 0; i < kColumnCount; ++i) {
        std::wstring title = loadString(module, kColumns[i].titleId);
        LVCOLUMNW column{};
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        column.fmt = LVCFMT_LEFT;
        column.cx = ::MulDiv(kColumns[i].width, dpi, 96);
        column.pszText = title.data();
        column.iSubItem = i;
        ::SendMessageW(hwnd_, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&column));
    }
    for (std::size_t i = 0; i < kConditionTexts; ++i) {
        conditions_[i] = WinText::utf8(loadString(module, kConditionIds[i]));
    }
    fitColumns();
    clear();
}

void ResultListView::fitColumns() {
    if (hwnd_ == nullptr) return;
    HDC dc = ::GetDC(hwnd_);
    const int dpi = dc ? ::GetDeviceCaps(dc, LOGPIXELSX) : 96;
    if (dc) ::ReleaseDC(hwnd_, dc);
    auto textWidth = [this](const wchar_t* text) {
        return static_cast<int>(::SendMessageW(hwnd_, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(text)));
    };
    RECT client{};
    ::GetClientRect(hwnd_, &client);
    int available = client.right - client.left;
    if ((::GetWindowLongW(hwnd_, GWL_STYLE) & WS_VSCROLL) == 0) available -= ::GetSystemMetrics(SM_CXVSCROLL);

    int widths[kColumnCount] = {};
    int used = 0, stretching = 0;
    for (int i = 0; i < kColumnCount; ++i) {
        const ColumnLayout& layout = kColumns[i];
        if (layout.stretches) {
            ++stretching;
            continue;
        }
        if (layout.sample != nullptr || layout.conditions) {
            wchar_t title[64] = {};
            LVCOLUMNW column{};
            column.mask = LVCF_TEXT;
            column.pszText = title;
            column.cchTextMax = 64;
            ::SendMessageW(hwnd_, LVM_GETCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&column));
            int widest = textWidth(title);
            if (layout.sample != nullptr) widest = std::max(widest, textWidth(layout.sample));
            if (layout.conditions) {
                // The three conditions; a note widens a cell only (its tip
                // shows it whole).
                for (std::size_t k = 0; k < 3; ++k) {
                    widest = std::max(widest, textWidth(WinText::wide(conditions_[k]).c_str()));
                }
            }
            widths[i] = widest + ::MulDiv(kCellPadding, dpi, 96);
        } else {
            widths[i] = ::MulDiv(layout.width, dpi, 96);
        }
        used += widths[i];
    }
    const int narrowest = ::MulDiv(kNarrowestStretch, dpi, 96);
    int rest = std::max(available - used, 0);
    for (int i = 0; i < kColumnCount; ++i) {
        if (!kColumns[i].stretches) continue;
        widths[i] = std::max(rest / stretching, narrowest);
        rest -= std::min(rest, widths[i]);
        --stretching;
    }
    for (int i = 0; i < kColumnCount; ++i) {
        ::SendMessageW(hwnd_, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(i), MAKELPARAM(widths[i], 0));
    }
}

void ResultListView::clear() {
    order_.clear();
    results_ = nullptr;
    if (hwnd_ != nullptr) {
        ::SendMessageW(hwnd_, LVM_SETITEMCOUNT, 0, 0);
        ::SendMessageW(hwnd_, LVM_DELETEALLITEMS, 0, 0);
    }
}

void ResultListView::fill(const std::vector<FOUND_FILE>& results, const std::string& driveRoot) {
    results_ = &results;
    driveRoot_ = driveRoot;
    order_.resize(results.size());
    // Every row goes on top: result 0 ends as the last row.
    for (std::size_t i = 0; i < order_.size(); ++i) order_[i] = order_.size() - 1 - i;
    if (hwnd_ != nullptr) {
        ::SendMessageW(hwnd_, LVM_SETITEMCOUNT, static_cast<WPARAM>(order_.size()), 0);
        ::InvalidateRect(hwnd_, nullptr, TRUE);
    }
}

void ResultListView::sortByColumn(int column) {
    if (results_ == nullptr || column < 0 || column >= CompareFoundFiles::kColumns) return;
    const int selected = selectedRow();
    const std::size_t selectedItem = selected >= 0 ? order_[static_cast<std::size_t>(selected)] : 0;
    const std::vector<FOUND_FILE>& results = *results_;
    // The keys are gathered once, so that the sort compares plain values
    // (the order is that of CompareFoundFiles).
    if (column == 0 || column == 2) {
        std::vector<const std::string*> key(results.size());
        for (std::size_t i = 0; i < results.size(); ++i) key[i] = column == 0 ? &results[i].name : &results[i].directory;
        std::stable_sort(order_.begin(), order_.end(), [&key](std::size_t a, std::size_t b) { return *key[a] < *key[b]; });
    } else {
        std::vector<std::uint64_t> key(results.size());
        for (std::size_t i = 0; i < results.size(); ++i) key[i] = CompareFoundFiles::numericKey(results[i], column);
        std::stable_sort(order_.begin(), order_.end(), [&key](std::size_t a, std::size_t b) { return key[a] < key[b]; });
    }
    if (hwnd_ == nullptr) return;
    if (selected >= 0) {
        auto it = std::find(order_.begin(), order_.end(), selectedItem);
        int row = static_cast<int>(it - order_.begin());
        // Single selection: only the old row has to be cleared (clearing
        // every row would visit all of them).
        ListView_SetItemState(hwnd_, selected, 0, LVIS_SELECTED | LVIS_FOCUSED);
        ListView_SetItemState(hwnd_, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
        ListView_EnsureVisible(hwnd_, row, FALSE);
    }
    ::InvalidateRect(hwnd_, nullptr, TRUE);
}

int ResultListView::selectedRow() const {
    if (hwnd_ == nullptr) return -1;
    return static_cast<int>(::SendMessageW(hwnd_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

std::string ResultListView::directoryText(const std::string& driveRoot, const std::string& directory) {
    std::string text = driveRoot + directory;
    if (!text.empty() && text.back() == '\\') text.pop_back();
    return text;
}

unsigned ResultListView::conditionId(std::uint8_t recoverable) {
    return recoverable >= 100 ? IDS_CONDITION_INTACT
           : recoverable == 0 ? IDS_CONDITION_OVERWRITTEN
                              : IDS_CONDITION_PARTLY_OVERWRITTEN;
}

std::string ResultListView::cellText(int row, int column) const {
    if (results_ == nullptr || row < 0 || row >= rowCount()) return std::string();
    const FOUND_FILE& f = (*results_)[order_[static_cast<std::size_t>(row)]];
    switch (column) {
    case 0: return f.name;
    case 1: return std::to_string(f.size);
    case 2: return directoryText(driveRoot_, f.directory);
    case 3: return f.lastModificationTime.text();
    case 4: return f.creationTime.text();
    case 5: return f.lastAccessTime.text();
    case 6: {
        const unsigned id = f.guessedGeometry ? IDS_CONDITION_GUESSED : conditionId(f.recoverable);
        std::string text;
        for (std::size_t i = 0; i < kConditionTexts; ++i) {
            if (kConditionIds[i] == id) text = conditions_[i];
        }
        // Clusters allocated but owned by no file, and sampled zeros.
        if (f.unowned != 0) text += ", " + withNumber(conditions_[3], f.unowned);
        if (f.zeroed != FOUND_FILE::kNotSampled) text += ", " + withNumber(conditions_[4], f.zeroed);
        // A file rebuilt from the journal says so first.
        // A file rebuilt from the journal, carved or kept by a shadow copy
        // says so first.
        std::string first;
        if (f.source == ResultSource::Logfile) first = conditions_[6];
        if (f.source == ResultSource::Carved) first = conditions_[7];
        if (f.source == ResultSource::Snapshot && f.snapshotCreated.utc() != 0) {
            first = conditions_[8];
            const std::size_t at = first.find("%s");
            if (at != std::string::npos) first.replace(at, 2, f.snapshotCreated.text());
        } else if (f.source == ResultSource::Snapshot) {
            first = withNumber(conditions_[9], f.snapshot);
        }
        if (!first.empty()) text = first + (f.recoverable >= 100 ? "" : " (" + text + ")");
        return text;
    }
    default: return std::string();
    }
}

bool ResultListView::onNotify(const NMHDR* header, LRESULT& result) {
    if (header == nullptr || header->hwndFrom != hwnd_) return false;
    if (header->code == LVN_GETDISPINFOW) {
        auto* info = reinterpret_cast<NMLVDISPINFOW*>(const_cast<NMHDR*>(header));
        if ((info->item.mask & LVIF_TEXT) != 0) {
            // The list's own buffer holds 260 characters; a longer text is
            // handed over in our buffer, whole.
            cell_ = WinText::wide(cellText(info->item.iItem, info->item.iSubItem));
            info->item.pszText = cell_.data();
        }
        result = 0;
        return true;
    }
    if (header->code == LVN_ODFINDITEMW) {
        // Typing a name's first letters moves to it.
        auto* find = reinterpret_cast<NMLVFINDITEMW*>(const_cast<NMHDR*>(header));
        result = -1;
        if ((find->lvfi.flags & (LVFI_STRING | LVFI_PARTIAL)) == 0 || find->lvfi.psz == nullptr || results_ == nullptr) {
            return true;
        }
        std::wstring prefix = find->lvfi.psz;
        const int count = rowCount();
        for (int k = 0; k < count; ++k) {
            int row = (find->iStart + k) % count;
            std::wstring name = WinText::wide((*results_)[order_[static_cast<std::size_t>(row)]].name);
            if (name.size() >= prefix.size() &&
                ::CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, name.c_str(), static_cast<int>(prefix.size()),
                                 prefix.c_str(), static_cast<int>(prefix.size())) == CSTR_EQUAL) {
                result = row;
                break;
            }
        }
        return true;
    }
    return false;
}

} // namespace resurgo
