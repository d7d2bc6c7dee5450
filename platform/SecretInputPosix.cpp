#include "platform/SecretInput.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>

namespace resurgo {

bool SecretInput::read(const char* prompt, std::string& secret) {
    secret.clear();
    secret.reserve(1024);  // no reallocation leaves a copy behind
    const bool terminal = isatty(STDIN_FILENO) == 1;
    termios saved{};
    bool hidden = false;
    if (terminal && tcgetattr(STDIN_FILENO, &saved) == 0) {
        (void)std::fputs(prompt, stderr);
        (void)std::fflush(stderr);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        hidden = tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
    }
    bool any = false;
    char c = 0;
    while (::read(STDIN_FILENO, &c, 1) == 1) {
        any = true;
        if (c == '\n') break;
        secret.push_back(c);
    }
    c = 0;
    if (hidden) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    if (!secret.empty() && secret.back() == '\r') secret.pop_back();
    return any;
}

} // namespace resurgo
