#pragma once
// FileProbe on Linux: stat(2), /sys/dev/block and /proc/self/mountinfo.

#include <string>

#include "platform/FileProbe.h"

namespace resurgo {

class SystemFileProbe : public FileProbe {
public:
    explicit SystemFileProbe(std::string sysfsRoot = "/sys", std::string mountInfoPath = "/proc/self/mountinfo");
    ~SystemFileProbe() override;

    Identity identify(const std::string& path) override;
    Lower lowerLayers(std::uint64_t device) override;

private:
    std::string sysfsRoot_;
    std::string mountInfoPath_;
};

} // namespace resurgo
