#include "core/RunEnvironment.h"

namespace resurgo {

RunEnvironment::Source::~Source() = default;

RunEnvironment::RunEnvironment(Source& source) : source_(source) {}
RunEnvironment::~RunEnvironment() = default;

bool RunEnvironment::acceptsVersion(const VERSION_RECORD& record) {
    const bool above40 = record.majorVersion > 4 || (record.majorVersion == 4 && record.minorVersion > 0);
    if (record.platformId != kPlatformWin32Nt && above40) return false;
    if (record.majorVersion == 4 && record.minorVersion == 0) {
        const std::string& sp = record.servicePack;
        if (sp.empty()) return false;
        if (sp.find("Service Pack") == std::string::npos) return false;
        const auto level = static_cast<std::int8_t>(sp.back() - '0');
        return level >= 3;
    }
    return true;
}

bool RunEnvironment::isSupportedVersion() {
    version_ = VERSION_RECORD{};
    if (!source_.readVersion(version_)) {
        version_ = VERSION_RECORD{};
        return true;  // the check cannot fail; an unknown version is a new one
    }
    return acceptsVersion(version_);
}

bool RunEnvironment::isLocalAdmin() { return source_.isLocalAdmin(); }

} // namespace resurgo
