#pragma once
// The running system's answers to the start-up checks (RunEnvironment):
// on Windows its real version and whether the process token holds the
// Administrators alias; elsewhere no version (any is supported) and the
// rights are left to the opening of a device.

#include "core/RunEnvironment.h"

namespace resurgo {

class SystemEnvironment final : public RunEnvironment::Source {
public:
    SystemEnvironment();
    ~SystemEnvironment() override;

    bool readVersion(RunEnvironment::VERSION_RECORD& out) override;
    // Also true for the alias held as a deny-only group. A failing security
    // call ends the program through the internal-error report.
    bool isLocalAdmin() override;
};

} // namespace resurgo
