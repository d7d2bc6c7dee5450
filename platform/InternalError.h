#pragma once
// The internal-error report: for failures the program does not expect in
// normal use. Shows the report (core/InternalError.h composes it) and ends
// the process with status 0: a message box on Win32, standard error on
// POSIX.

#include <cstdint>

#include "core/InternalError.h"

namespace resurgo {

// Reads the last-error value first, shows the report, exits with status 0.
[[noreturn]] void reportInternalError(const char* text, std::int32_t code);

} // namespace resurgo
