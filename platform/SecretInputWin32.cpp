#include "platform/SecretInput.h"

#include <windows.h>

#include <cstdio>

namespace resurgo {

bool SecretInput::read(const char* prompt, std::string& secret) {
    secret.clear();
    secret.reserve(1024);  // no reallocation leaves a copy behind
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    const bool console = GetConsoleMode(in, &mode) != 0;
    if (console) {
        std::fputs(prompt, stderr);
        std::fflush(stderr);
        SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    }
    bool any = false;
    char c = 0;
    DWORD got = 0;
    while (ReadFile(in, &c, 1, &got, nullptr) && got == 1) {
        any = true;
        if (c == '\n') break;
        secret.push_back(c);
    }
    c = 0;
    if (console) {
        SetConsoleMode(in, mode);
        std::fputs("\n", stderr);
    }
    if (!secret.empty() && secret.back() == '\r') secret.pop_back();
    return any;
}

} // namespace resurgo
