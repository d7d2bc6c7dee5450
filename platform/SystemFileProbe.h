#pragma once
// The system's FileProbe. On Linux: stat(2), /sys/dev/block and
// /proc/self/mountinfo. On Windows: a file is its volume and file index
// (GetFileInformationByHandle), a volume its volume name, else its mount
// point; a drive root ("D:\", "\\.\D:") stands for its volume as a device
// does, and no lower layers are known.

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
