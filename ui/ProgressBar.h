#pragma once
// The search's progress bar (control 1004): positions 0 to 100. The search
// reports through it from its worker thread; positions are posted, so the
// worker never waits for the dialog.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "recovery/ProgressSink.h"

namespace resurgo {

class ProgressBar : public ProgressSink {
public:
    ProgressBar();
    virtual ~ProgressBar();

    // Keeps the control; range 0..100, step 1, position 0.
    void attach(HWND control);
    void setPos(int position);
    void setPosition(int position) override { setPos(position); }
    HWND handle() const { return hwnd_; }

private:
    HWND hwnd_ = nullptr;
};

} // namespace resurgo
