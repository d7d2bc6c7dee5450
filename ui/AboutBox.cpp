#include "ui/AboutBox.h"

#include "resources/ResourceIds.h"

namespace resurgo {

AboutBox::AboutBox() = default;
AboutBox::~AboutBox() = default;

INT_PTR AboutBox::run(HINSTANCE module, HWND owner, HICON smallIcon) {
    return ::DialogBoxParamW(module, MAKEINTRESOURCEW(IDD_DIALOG_ABOUT), owner, dialogProc,
                             reinterpret_cast<LPARAM>(smallIcon));
}

INT_PTR CALLBACK AboutBox::dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        if (lParam != 0) ::SendMessageW(dialog, WM_SETICON, ICON_SMALL, lParam);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            ::EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

} // namespace resurgo
