#include "recovery/ErrorText.h"

#include "platform/Platform.h"

namespace resurgo {

std::string ErrorText::reason(const ErrorException& e) {
    if (e.systemError() != 0) {
        std::string text = platform().errorText(e.systemError());
        if (!text.empty()) return text;
    }
    std::string text = ErrorException::describe(e.code());
    return text.empty() ? e.diagnostic() : text;
}

} // namespace resurgo
