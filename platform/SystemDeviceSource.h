#pragma once
// The system's block devices: names, sizes and removability from sysfs,
// file system and label from libblkid, mount points from
// /proc/self/mounts and free space from statvfs.

#include <string>
#include <vector>

#include "platform/DeviceSource.h"

namespace resurgo {

class SystemDeviceSource : public DeviceSource {
public:
    explicit SystemDeviceSource(std::string sysfsRoot = "/sys", std::string mountsPath = "/proc/self/mounts");
    ~SystemDeviceSource() override;

    std::vector<BlockDevice> devices() override;

private:
    std::string sysfsRoot_;
    std::string mountsPath_;
};

} // namespace resurgo
