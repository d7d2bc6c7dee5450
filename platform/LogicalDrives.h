#pragma once
// The system's drive roots and what its drive and volume queries say of
// each: drive type, label and file-system name, cluster counts. Listing
// asks the system only; it opens no volume. Win32 lists its drive letters;
// other systems have none (volumes and images are named directly). Tests
// give a fixed table instead.

#include <cstdint>
#include <string>
#include <vector>

namespace resurgo {

class LogicalDrives {
public:
    virtual ~LogicalDrives();
    // The drive root paths ("C:\"), every type. False when they can't be
    // had.
    virtual bool driveRoots(std::vector<std::string>& roots) = 0;
    virtual bool isFixedDrive(const std::string& root) = 0;
    virtual bool volumeInformation(const std::string& root, std::string& label, std::string& fileSystem) = 0;
    virtual bool diskFreeSpace(const std::string& root, std::uint32_t& sectorsPerCluster,
                               std::uint32_t& bytesPerSector, std::uint64_t& freeClusters,
                               std::uint64_t& totalClusters) = 0;
    // The system's code for the last failure.
    virtual std::uint32_t lastError() = 0;

    // The running system's drives.
    static LogicalDrives& system();
};

} // namespace resurgo
