#pragma once
// The geometry a scan of a whole source works with: the boot sector's,
// else the backup boot sector's (the last sector of the volume), else
// inferred from what the scan found. Index blocks name their own VCN and
// their directory; the directory's record maps that VCN to a cluster; only
// the right cluster size puts the cluster where the block was found, and
// the difference is where the volume starts on the source. A copy of the
// MFT's first record adds the same kind of evidence from its own runs.

#include <cstdint>
#include <optional>
#include <string>

#include "ntfs/NTFS_GEOMETRY.h"
#include "recovery/DeepScan.h"

namespace resurgo {

class Source;

class DeepGeometry {
public:
    enum class From {
        BootSector,        // sector 0 of the source
        BackupBootSector,  // the last sector of the source
        Inferred,          // from the records and index blocks found
        Assumed,           // nothing to go by: 4 KiB clusters from byte 0
    };

    // Cluster sizes the inference tries.
    static constexpr std::uint32_t kMinClusterBytes = 512;
    static constexpr std::uint32_t kMaxClusterBytes = 65536;

    DeepGeometry();
    virtual ~DeepGeometry();

    // The boot sector, then the backup boot sector at the source's end.
    // False when neither holds an NTFS boot sector.
    bool fromBootSectors(Source& source, const std::string& root);
    // Cluster size, volume start and record size from a scan of source.
    void infer(const DeepScan::Found& found, std::uint64_t sourceBytes, const std::string& root);

    From from = From::Assumed;
    NTFS_GEOMETRY geometry;
    // Where the volume starts on the source (0 unless inferred otherwise).
    std::uint64_t volumeStart = 0;
    // The source's offset of the boot sector used.
    std::uint64_t bootOffset = 0;
    // How many index blocks and MFT record copies agreed on the inference.
    std::uint64_t evidence = 0;
};

} // namespace resurgo
