#pragma once

#include <cstddef>
// What the command line asks of the process it runs in: whether its
// standard streams are terminals and how wide, and whether it runs as the
// superuser.
// POSIX (platform/ProcessContextPosix.cpp).

namespace resurgo {

class ProcessContext {
public:
    enum class Stream { Input, Output, Error };

    static bool isTerminal(Stream stream);
    // The columns of the terminal on stream; 0 when it is none or does not
    // say.
    static std::size_t terminalColumns(Stream stream);
    // The effective user is root.
    static bool runsAsSuperuser();
};

} // namespace resurgo
