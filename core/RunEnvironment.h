#pragma once
// The start-up checks: is the system version supported, and is the user a
// local administrator? The version rule is a pure function of a version
// record, so that it can be tested without the system.

#include <cstdint>
#include <string>

namespace resurgo {

class RunEnvironment {
public:
    static constexpr std::uint32_t kPlatformWin32Nt = 2;   // VER_PLATFORM_WIN32_NT
    static constexpr std::uint32_t kVersionRecordSize = 148;  // sizeof(OSVERSIONINFOA)

    // The system's version record (the fields of OSVERSIONINFOA; the
    // service-pack text as the system gives it, at most 128 characters).
    struct VERSION_RECORD {
        std::uint32_t recordSize = kVersionRecordSize;
        std::uint32_t majorVersion = 0;
        std::uint32_t minorVersion = 0;
        std::uint32_t buildNumber = 0;
        std::uint32_t platformId = 0;
        std::string servicePack;
    };

    RunEnvironment();
    virtual ~RunEnvironment();

    // Fills the version record from the system and applies the rule. On a
    // system other than Windows: true (any version of it is supported).
    bool isSupportedVersion();
    // True when the process token's groups hold the Administrators alias
    // (also as a deny-only group). A failing security call ends the program
    // through the internal-error report. On a system other than Windows:
    // true, because the rights are checked when a device is opened.
    bool isLocalAdmin();

    // The version rule: Windows NT 4.0 needs Service Pack 3 or later (only
    // the last character of the text is compared), later NT versions pass,
    // versions above 4.0 of another platform fail.
    static bool acceptsVersion(const VERSION_RECORD& record);

    const VERSION_RECORD& versionRecord() const { return version_; }

private:
    VERSION_RECORD version_;
};

} // namespace resurgo
