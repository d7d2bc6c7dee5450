// The process's standard streams and user on POSIX: isatty and geteuid.

#include "platform/ProcessContext.h"

#include <unistd.h>

namespace resurgo {

bool ProcessContext::isTerminal(Stream stream) {
    int fd = STDIN_FILENO;
    switch (stream) {
        case Stream::Input:
            fd = STDIN_FILENO;
            break;
        case Stream::Output:
            fd = STDOUT_FILENO;
            break;
        case Stream::Error:
            fd = STDERR_FILENO;
            break;
    }
    return ::isatty(fd) == 1;
}

bool ProcessContext::runsAsSuperuser() { return ::geteuid() == 0; }

} // namespace resurgo
