#include "platform/CancelSignal.h"

#include <csignal>
#include <signal.h>

namespace resurgo {

static_assert(std::atomic<std::uint8_t>::is_always_lock_free, "the cancel flag is set from a signal handler");

std::atomic<std::uint8_t> CancelSignal::flag_{0};

namespace {
struct sigaction previousAction;
}

CancelSignal::CancelSignal() {
    flag_.store(0);
    struct sigaction action {};
    action.sa_handler = &CancelSignal::handle;
    sigemptyset(&action.sa_mask);
    // One Ctrl-C cancels; the handler then reverts to the default, so a
    // second one ends the program.
    action.sa_flags = SA_RESETHAND;
    installed_ = ::sigaction(SIGINT, &action, &previousAction) == 0;
}

CancelSignal::~CancelSignal() {
    if (installed_) ::sigaction(SIGINT, &previousAction, nullptr);
}

void CancelSignal::handle(int) { flag_.store(1); }

} // namespace resurgo
