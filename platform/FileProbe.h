#pragma once
// What the restore's same-source check asks of the system: the identity
// of a path, and what a device's data lives on. SystemFileProbe answers
// from stat, sysfs and /proc/self/mountinfo; tests give fixed answers.

#include <cstdint>
#include <string>
#include <vector>

namespace resurgo {

class FileProbe {
public:
    struct Identity {
        bool exists = false;
        bool isRegular = false;
        bool isDirectory = false;
        bool isBlockDevice = false;
        std::uint64_t device = 0;  // st_dev: the file system holding the path
        std::uint64_t inode = 0;
        std::uint64_t rdev = 0;    // st_rdev: the device a device node names
    };
    // The layers beneath a device: for a partition its whole disk, for a
    // device-mapper or RAID device its members, for a loop device its
    // backing file, for a FUSE or other virtual file system the device or
    // image file it was mounted from.
    struct Lower {
        std::vector<std::uint64_t> devices;
        std::vector<Identity> files;
    };

    virtual ~FileProbe() = default;
    // Follows symbolic links (the file a write would reach).
    virtual Identity identify(const std::string& path) = 0;
    virtual Lower lowerLayers(std::uint64_t device) = 0;
};

} // namespace resurgo
