#include "recovery/ErrorText.h"

#include "platform/Platform.h"

namespace resurgo {

std::string ErrorText::reason(const ErrorException& e) {
    // A source's own words (SourceError) survive a copy as ErrorException.
    const std::string& d = e.diagnostic();
    const std::string prefix = "SourceError <";
    if (d.size() > prefix.size() && d.compare(0, prefix.size(), prefix) == 0 && d.back() == '>') {
        return d.substr(prefix.size(), d.size() - prefix.size() - 1);
    }
    if (e.systemError() != 0) {
        std::string text = platform().errorText(e.systemError());
        if (!text.empty()) return text;
    }
    std::string text = ErrorException::describe(e.code());
    return text.empty() ? e.diagnostic() : text;
}

} // namespace resurgo
