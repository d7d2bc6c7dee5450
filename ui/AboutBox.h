#pragma once
// The about box (dialog 107): the application icon beside the program's
// name, version and purpose, closed with OK or its cancel command.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace resurgo {

class AboutBox {
public:
    AboutBox();
    virtual ~AboutBox();

    // Runs the dialog modally; -1 when its resource can't be found.
    static INT_PTR run(HINSTANCE module, HWND owner, HICON smallIcon);

private:
    static INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
};

} // namespace resurgo
