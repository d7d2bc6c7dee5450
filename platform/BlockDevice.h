#pragma once
// What the drive listing knows about one block device.

#include <cstdint>
#include <string>

namespace resurgo {

struct BlockDevice {
    std::string path;         // device node, "/dev/sda1"
    std::string fileSystem;   // as libblkid names it ("ntfs"); empty when unknown
    std::string label;
    std::uint64_t sizeBytes = 0;
    bool removable = false;
    bool probeDenied = false; // the device could not be read to learn its file system
    std::string mountPoint;   // empty when not mounted
    bool hasFreeBytes = false;
    std::uint64_t freeBytes = 0;  // bytes available at the mount point
    unsigned partition = 0;   // a partition's number in its disk's table (0: not a partition)
    std::string disk;         // a partition's whole disk, "/dev/sda"
};

} // namespace resurgo
