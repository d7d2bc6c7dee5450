#pragma once
// The internal-error report: for failures the program does not expect in
// normal use. Shows the report and ends the process with status 0.

#include <cstdint>
#include <string>

namespace resurgo {

// Composes the report text (header, caller's text, code line, system text,
// support line). Pure; used by the report and by tests.
std::string composeInternalErrorReport(const std::string& text, std::uint32_t lastError,
                                       std::int32_t code, const std::string& systemText);

// Reads the last-error value first, shows the report, exits with status 0.
[[noreturn]] void reportInternalError(const char* text, std::int32_t code);

} // namespace resurgo
