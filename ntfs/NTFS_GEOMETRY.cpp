#include "ntfs/NTFS_GEOMETRY.h"

#include "core/ErrorException.h"

namespace resurgo {

NTFS_GEOMETRY::NTFS_GEOMETRY() = default;
NTFS_GEOMETRY::~NTFS_GEOMETRY() = default;

void NTFS_GEOMETRY::init(const std::string& root, std::uint32_t bps, std::uint32_t spc, std::int32_t cpmr,
                         std::uint64_t mft, std::uint64_t mirror, std::int32_t cpir, std::uint64_t clusters) {
    rootPath = root;
    bytesPerSector = bps;
    sectorsPerCluster = spc;
    clustersPerMftRecord = cpmr;
    mftCluster = mft;
    mftMirrorCluster = mirror;
    clustersPerIndexRecord = cpir;
    totalClusters = clusters;
    set_mft_record_size();
}

void NTFS_GEOMETRY::set_mft_record_size() {
    const char* diag = "NTFS_GEOMETRY::set_mft_record_size <Bad MFT record size>";
    std::int32_t v = clustersPerMftRecord;
    std::uint64_t size = 0;
    if (v > 0) {
        size = static_cast<std::uint64_t>(v) * clusterBytes();
    } else if (v < 0 && v >= -31) {
        size = 1ULL << static_cast<unsigned>(-v);
    } else {
        throw ErrorException(kErrRecordSize, diag);
    }
    // Records are protected in 512-byte strides; NTFS uses 1, 2 or 4 KiB.
    if (size != 1024 && size != 2048 && size != 4096) throw ErrorException(kErrRecordSize, diag);
    if (bytesPerSector == 0 || size % bytesPerSector != 0) throw ErrorException(kErrRecordSize, diag);
    mftRecordSize = static_cast<std::uint32_t>(size);
}

} // namespace resurgo
