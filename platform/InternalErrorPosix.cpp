// The internal-error report on POSIX: the report goes to standard error.

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/InternalError.h"
#include "platform/Platform.h"

namespace resurgo {

void reportInternalError(const char* text, std::int32_t code) {
    std::uint32_t lastError = static_cast<std::uint32_t>(errno);
    std::string report = composeInternalErrorReport(text ? text : "", lastError, code,
                                                    systemPlatform().errorText(lastError));
    (void)std::fprintf(stderr, "Resurgo internal error\n%s\n", report.c_str());
    std::exit(0);
}

} // namespace resurgo
