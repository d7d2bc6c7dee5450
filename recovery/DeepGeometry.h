#pragma once
// The geometry a scan of a whole source works with: the boot sector's,
// else the backup boot sector's (the last sector of the volume, which also
// tells where the volume starts), else inferred from what the scan found.
// Index blocks name their own VCN and their directory; the directory's
// record maps that VCN to a cluster; only the right cluster size puts the
// cluster where the block was found, and the difference is where the
// volume starts on the source. A found $MFT record (or its mirror's copy)
// maps every record number to a place: the right geometry puts the records
// found there, with those numbers. An inference is confirmed only when
// independent pieces of that evidence agree on it and nothing else has as
// much; data read through an unconfirmed one may be another file's. With
// neither, $LogFile's record initializations tell the cluster size: each
// names its record and the VCN it was written at.

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
    // Cluster and record sizes $LogFile's record initializations agree on
    // (agreements of them), for a source where nothing else told them; the
    // volume start stays as it was.
    void fromLog(std::uint32_t clusterBytes, std::uint32_t recordBytes, std::uint64_t agreements,
                 std::uint64_t sourceBytes, const std::string& root);

    From from = From::Assumed;
    NTFS_GEOMETRY geometry;
    // Where the volume starts on the source (0 unless inferred otherwise).
    std::uint64_t volumeStart = 0;
    // The source's offset of the boot sector used.
    std::uint64_t bootOffset = 0;
    // Index blocks, and records found where a found $MFT's runs put their
    // numbers, that agree with an inferred geometry; evidence is their sum.
    std::uint64_t indexAgreements = 0;
    std::uint64_t recordAgreements = 0;
    std::uint64_t logAgreements = 0;
    std::uint64_t evidence = 0;
    // A boot sector's geometry, or an inference the evidence confirms.
    bool confirmed = false;

    // Agreements an inference needs: two index blocks, or this many records
    // (the MFT's system files alone are 16) where a $MFT's runs put them.
    static constexpr std::uint64_t kMinIndexAgreements = 2;
    static constexpr std::uint64_t kMinRecordAgreements = 16;
    // Or this many record initializations in the log, none disagreeing.
    static constexpr std::uint64_t kMinLogAgreements = 4;
};

} // namespace resurgo
