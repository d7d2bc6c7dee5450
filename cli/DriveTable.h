#pragma once
// `resurgo drives`: the Linux counterpart of the desktop drive list. Lists
// the block devices that hold NTFS and are not removable, with label, size
// and (when mounted) free space in MB of 1,000,000 bytes. The device table
// comes from a DeviceSource, which tests replace with a fixed list.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "recovery/SystemServices.h"

namespace resurgo::cli {

class DriveTable {
public:
    static constexpr std::uint64_t kBytesPerMegabyte = 1000000;

    explicit DriveTable(DeviceSource& source);
    virtual ~DriveTable();

    // Reads the device table and keeps the NTFS, non-removable devices in
    // the order the source lists them.
    void load();
    const std::vector<BlockDevice>& drives() const { return drives_; }
    // Whole disks (not removable) with the numbers of their NTFS partitions.
    struct Disk {
        BlockDevice device;
        std::vector<unsigned> ntfsPartitions;
    };
    const std::vector<Disk>& disks() const { return disks_; }
    // Devices whose file system could not be learned (no permission).
    const std::vector<std::string>& denied() const { return denied_; }

    static bool isNtfs(const BlockDevice& d);
    void writeTable(std::ostream& out) const;
    // The whole disks and their NTFS partitions, after the table.
    void writeDisks(std::ostream& out) const;
    // Names the devices that could not be read, if any.
    void reportDenied(std::ostream& err) const;
    // The JSON array (indented by two), without a final newline: one object
    // per NTFS device, then one per whole disk holding NTFS partitions.
    std::string toJson() const;

private:
    DeviceSource& source_;
    std::vector<BlockDevice> drives_;
    std::vector<Disk> disks_;
    std::vector<std::string> denied_;
};

} // namespace resurgo::cli
