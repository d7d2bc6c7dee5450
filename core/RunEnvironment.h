#pragma once
// The start-up checks: is the system version supported, and is the user a
// local administrator? The version rule is a pure function of a version
// record, so that it can be tested without the system; the system's facts
// come from a Source (platform/SystemEnvironment for the running system).

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

    // The facts the checks need of the system.
    class Source {
    public:
        virtual ~Source();
        // Fills the version record; false when the system can't tell
        // (every system other than Windows).
        virtual bool readVersion(VERSION_RECORD& out) = 0;
        // True when the user holds the rights the program needs (on
        // Windows: the process token's groups hold the Administrators
        // alias).
        virtual bool isLocalAdmin() = 0;
    };

    explicit RunEnvironment(Source& source);
    virtual ~RunEnvironment();

    // Fills the version record from the source and applies the rule. A
    // version the source can't tell passes (an unknown version is a new
    // one; any version of a system other than Windows is supported).
    bool isSupportedVersion();
    // The source's answer. On Windows a failing security call ends the
    // program through the internal-error report; on a system other than
    // Windows: true, because the rights are checked when a device is opened.
    bool isLocalAdmin();

    // The version rule: Windows NT 4.0 needs Service Pack 3 or later (only
    // the last character of the text is compared), later NT versions pass,
    // versions above 4.0 of another platform fail.
    static bool acceptsVersion(const VERSION_RECORD& record);

    const VERSION_RECORD& versionRecord() const { return version_; }

private:
    Source& source_;
    VERSION_RECORD version_;
};

} // namespace resurgo
