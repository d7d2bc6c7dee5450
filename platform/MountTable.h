#pragma once
// The mounted file systems as /proc/self/mounts lists them.

#include <istream>
#include <string>
#include <vector>

namespace resurgo {

class MountTable {
public:
    struct Entry {
        std::string device;
        std::string mountPoint;
        std::string type;
    };

    // Reads lines "device mountpoint type options dump pass"; the octal
    // escapes of the kernel (\040 for a blank) are decoded.
    static std::vector<Entry> parse(std::istream& in);
    static std::vector<Entry> read(const std::string& path = "/proc/self/mounts");
    static std::string unescape(const std::string& field);
};

} // namespace resurgo
