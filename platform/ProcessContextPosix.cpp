// The process's standard streams and user on POSIX: isatty, the terminal's
// window size and geteuid.

#include "platform/ProcessContext.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace resurgo {

namespace {

int descriptor(ProcessContext::Stream stream) {
    switch (stream) {
        case ProcessContext::Stream::Input:
            return STDIN_FILENO;
        case ProcessContext::Stream::Output:
            return STDOUT_FILENO;
        case ProcessContext::Stream::Error:
            return STDERR_FILENO;
    }
    return STDIN_FILENO;
}

} // namespace

bool ProcessContext::isTerminal(Stream stream) { return ::isatty(descriptor(stream)) == 1; }

std::size_t ProcessContext::terminalColumns(Stream stream) {
    struct winsize size {};
    if (::isatty(descriptor(stream)) != 1 || ::ioctl(descriptor(stream), TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

bool ProcessContext::runsAsSuperuser() { return ::geteuid() == 0; }

} // namespace resurgo
