#include "volume/VolumeListLogical.h"

#include "core/ErrorException.h"

namespace resurgo {

namespace {

constexpr std::int64_t kBytesPerMegabyte = 1000000;

} // namespace

VolumeListLogical::VolumeListLogical() = default;
VolumeListLogical::~VolumeListLogical() = default;

void VolumeListLogical::get_list() { get_list(LogicalDrives::system()); }

void VolumeListLogical::get_list(Source& source) {
    entries.clear();
    driveCount = 0;
    ntfsCount = 0;
    std::vector<std::string> roots;
    if (!source.driveRoots(roots)) {
        throw ErrorException(kErrNoMemory, source.lastError(), "VolumeListLogical::get_list");
    }
    driveCount = static_cast<std::int32_t>(roots.size());
    for (const std::string& root : roots) {
        if (!source.isFixedDrive(root)) continue;
        Volume entry;
        if (!source.volumeInformation(root, entry.volumeLabel, entry.fileSystemName)) {
            throw ErrorException(kErrOpenDisk, source.lastError(), "VolumeListLogical::get_list");
        }
        if (entry.fileSystemName.compare(0, 4, "NTFS") != 0) continue;
        std::uint32_t sectorsPerCluster = 0, bytesPerSector = 0;
        std::uint64_t freeClusters = 0, totalClusters = 0;
        if (!source.diskFreeSpace(root, sectorsPerCluster, bytesPerSector, freeClusters, totalClusters)) {
            throw ErrorException(kErrOpenDisk, source.lastError(), "VolumeListLogical::get_list");
        }
        const std::uint64_t bytesPerCluster = static_cast<std::uint64_t>(sectorsPerCluster) * bytesPerSector;
        entry.sizeMegabytes = static_cast<std::int64_t>(totalClusters * bytesPerCluster) / kBytesPerMegabyte;
        entry.freeMegabytes = static_cast<std::int64_t>(freeClusters * bytesPerCluster) / kBytesPerMegabyte;
        entry.removable = false;
        entry.path = root;
        entries.push_back(entry);
        ++ntfsCount;
    }
}

std::string VolumeListLogical::displayText(const Volume& v) { return v.path + " [" + v.volumeLabel + "]"; }

} // namespace resurgo
