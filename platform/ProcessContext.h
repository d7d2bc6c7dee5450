#pragma once
// What the command line asks of the process it runs in: whether its
// standard streams are terminals, and whether it runs as the superuser.
// POSIX (platform/ProcessContextPosix.cpp).

namespace resurgo {

class ProcessContext {
public:
    enum class Stream { Input, Output, Error };

    static bool isTerminal(Stream stream);
    // The effective user is root.
    static bool runsAsSuperuser();
};

} // namespace resurgo
