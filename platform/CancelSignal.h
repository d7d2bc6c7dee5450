#pragma once
// Ctrl-C as the dialog's Cancel: SIGINT sets the search's cancel flag to 1
// so the walk stops and what was found is shown. A second Ctrl-C ends the
// program as usual.

#include <atomic>
#include <cstdint>

namespace resurgo {

class CancelSignal {
public:
    // Clears the flag and installs the handler; the destructor puts the
    // previous handler back.
    CancelSignal();
    virtual ~CancelSignal();
    CancelSignal(const CancelSignal&) = delete;
    CancelSignal& operator=(const CancelSignal&) = delete;

    static const std::atomic<std::uint8_t>* flag() { return &flag_; }
    static bool cancelled() { return flag_.load() == 1; }

private:
    static void handle(int);
    static std::atomic<std::uint8_t> flag_;
    bool installed_ = false;
};

} // namespace resurgo
