#include "recovery/ErrorText.h"

#include "ntfs/RUN_LIST.h"
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
    // Failures whose code's fixed text would say something else than what
    // happened.
    std::string text = e.diagnostic() == RUN_LIST::kOutsideDiagnostic ? std::string("a run lies outside the volume")
                                                                       : ErrorException::describe(e.code());
    if (text.empty()) text = e.diagnostic();
    // Where in a record a format failure lies, when the engine knows.
    const std::string where = e.location();
    return where.empty() ? text : text + " (" + where + ")";
}

} // namespace resurgo
