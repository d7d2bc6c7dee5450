#pragma once
// The internal-error report's text, for failures the program does not
// expect in normal use. Showing it and ending the process is the
// platform's part (platform/InternalError.h).

#include <cstdint>
#include <string>

namespace resurgo {

// Composes the report text (header, caller's text, code line, system text,
// support line). Pure; used by the report and by tests.
std::string composeInternalErrorReport(const std::string& text, std::uint32_t lastError,
                                       std::int32_t code, const std::string& systemText);

} // namespace resurgo
