#pragma once
// The geometry of one NTFS volume as its boot sector describes it.

#include <cstdint>
#include <string>

namespace resurgo {

class NTFS_GEOMETRY {
public:
    NTFS_GEOMETRY();
    virtual ~NTFS_GEOMETRY();
    NTFS_GEOMETRY(const NTFS_GEOMETRY&) = default;
    NTFS_GEOMETRY& operator=(const NTFS_GEOMETRY&) = default;

    void init(const std::string& rootPath, std::uint32_t bytesPerSector, std::uint32_t sectorsPerCluster,
              std::int32_t clustersPerMftRecord, std::uint64_t mftCluster, std::uint64_t mftMirrorCluster,
              std::int32_t clustersPerIndexRecord, std::uint64_t totalClusters = 0);
    // Derives mftRecordSize from clustersPerMftRecord: a positive value
    // counts clusters, a negative value -n means 2^n bytes. Accepts 1024,
    // 2048 and 4096 bytes; raises code 14 otherwise.
    void set_mft_record_size();

    std::uint64_t clusterToSector(std::uint64_t cluster) const { return cluster * sectorsPerCluster; }
    std::uint64_t clusterBytes() const { return static_cast<std::uint64_t>(sectorsPerCluster) * bytesPerSector; }
    std::uint32_t sectorsPerRecord() const { return bytesPerSector ? mftRecordSize / bytesPerSector : 0; }

    std::uint32_t mftRecordSize = 0;
    std::uint32_t bytesPerSector = 0;
    std::int32_t clustersPerIndexRecord = 0;
    std::int32_t clustersPerMftRecord = 0;
    std::uint64_t mftMirrorCluster = 0;
    std::uint64_t mftCluster = 0;
    std::uint32_t sectorsPerCluster = 0;
    // Clusters on the volume (the boot sector's total sectors over sectors
    // per cluster); run lists are checked against it. 0 when unknown: then
    // they are not.
    std::uint64_t totalClusters = 0;
    std::string rootPath;
};

} // namespace resurgo
