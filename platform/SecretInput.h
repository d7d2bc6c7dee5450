#pragma once
// Reads a secret (a password) typed by the user: from the terminal with
// echo turned off when standard input is one, else one line of standard
// input. The line end is not kept. POSIX (termios) and Win32 (console
// mode).

#include <string>

namespace resurgo {

class SecretInput {
public:
    // Shows prompt on standard error when reading from a terminal. False
    // when nothing could be read (end of input).
    static bool read(const char* prompt, std::string& secret);
};

} // namespace resurgo
