#include "ui/ProgressBar.h"

#include <commctrl.h>

namespace resurgo {

ProgressBar::ProgressBar() = default;
ProgressBar::~ProgressBar() = default;

void ProgressBar::attach(HWND control) {
    hwnd_ = control;
    ::SendMessageW(hwnd_, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    ::SendMessageW(hwnd_, PBM_SETSTEP, 1, 0);
    ::SendMessageW(hwnd_, PBM_SETPOS, 0, 0);
}

void ProgressBar::setPos(int position) {
    if (hwnd_ != nullptr) ::PostMessageW(hwnd_, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

} // namespace resurgo
