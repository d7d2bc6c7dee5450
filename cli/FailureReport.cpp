#include "cli/FailureReport.h"

#include "cli/ExitCode.h"
#include "cli/Messages.h"
#include "platform/Platform.h"

namespace resurgo::cli {

int FailureReport::bootFailure(const ErrorException& e, const std::string& source, std::ostream& err) {
    if (e.code() == kErrOpenDisk || e.code() == kErrDiskGeometry) {
        err << "resurgo: cannot open " << source << ": " << reason(e) << '\n';
        return kExitOpenFailed;
    }
    err << Messages::kBadBootRecord << '\n' << "resurgo: " << source << ": " << reason(e) << '\n';
    return kExitBadBoot;
}

int FailureReport::openFailure(const ErrorException& e, const std::string& source, std::ostream& err) {
    err << Messages::kBadNtfsDrive << '\n' << "resurgo: " << source << ": " << reason(e) << '\n';
    return kExitBadVolume;
}

std::string FailureReport::reason(const ErrorException& e) {
    if (e.systemError() != 0) {
        std::string text = platform().errorText(e.systemError());
        if (!text.empty()) return text;
    }
    std::string text = ErrorException::describe(e.code());
    if (text.empty()) text = e.diagnostic();
    // Where in a record a format failure lies, when the engine knows.
    const std::string where = e.location();
    return where.empty() ? text : text + " (" + where + ")";
}

std::string FailureReport::fill(const char* message, const std::string& text, unsigned long long count) {
    std::string out(message);
    std::string::size_type at = out.find("%s");
    if (at != std::string::npos) {
        out.replace(at, 2, text);
        at += text.size();
    } else {
        at = 0;
    }
    // The count, whatever width the text's conversion names.
    for (const char* conversion : {"%llu", "%lu", "%u"}) {
        std::string::size_type n = out.find(conversion, at);
        if (n != std::string::npos) {
            out.replace(n, std::char_traits<char>::length(conversion), std::to_string(count));
            break;
        }
    }
    return out;
}

} // namespace resurgo::cli
