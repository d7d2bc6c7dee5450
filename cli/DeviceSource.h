#pragma once
// Where the drive listing gets its device table: the system's
// (SystemDeviceSource) or, in tests, a fixed list.

#include <vector>

#include "cli/BlockDevice.h"

namespace resurgo::cli {

class DeviceSource {
public:
    virtual ~DeviceSource() = default;
    virtual std::vector<BlockDevice> devices() = 0;
};

} // namespace resurgo::cli
