#pragma once
// Where the drive listing gets its device table: the system's
// (SystemDeviceSource) or, in tests, a fixed list.

#include <vector>

#include "platform/BlockDevice.h"

namespace resurgo {

class DeviceSource {
public:
    virtual ~DeviceSource() = default;
    virtual std::vector<BlockDevice> devices() = 0;
};

} // namespace resurgo
