#include "core/InternalError.h"

#include <cstdio>

namespace resurgo {

std::string composeInternalErrorReport(const std::string& text, std::uint32_t lastError,
                                       std::int32_t code, const std::string& systemText) {
    char codeLine[96];
    (void)std::snprintf(codeLine, sizeof codeLine, "\n\nLast error code: %ld, extended code: %d",
                  static_cast<long>(static_cast<std::int32_t>(lastError)), static_cast<int>(code));
    std::string out = "RESURGO INTERNAL ERROR\n\n";
    out += text;
    out += codeLine;
    out += "\n";
    out += systemText;
    out += "\n\nPlease, report about this message to support@resurgo.example";
    return out;
}

} // namespace resurgo
