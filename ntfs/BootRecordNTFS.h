#pragma once
// Decodes and checks an NTFS boot sector (sector 0 of the volume) held in
// memory; the caller reads it.

#include <cstddef>
#include <cstdint>
#include <string>

namespace resurgo {

class NTFS_GEOMETRY;

class BootRecordNTFS {
public:
    BootRecordNTFS();
    virtual ~BootRecordNTFS();

    // The boot sector's size: what parse needs at least.
    static constexpr std::size_t kBootSectorBytes = 512;

    // Decodes and checks a boot sector held in memory (at least 512 bytes);
    // geometrySectors bounds the MFT positions. Raises 9 (too short, or no
    // end marker), 10 (not NTFS) or 11 (a field out of range).
    void parse(const std::uint8_t* sector, std::size_t length, std::uint64_t geometrySectors);

    // What the start of a boot sector states about a volume that may be cut
    // off: its length in bytes and where its MFT and the MFT's mirror begin
    // (0 when the fields are out of range or cut off). Reads only the first length bytes, which may be
    // fewer than a sector. False when they do not begin an NTFS boot sector
    // or end before its size fields.
    struct Stated {
        std::uint64_t volumeBytes = 0;
        std::uint64_t mftOffset = 0;
        std::uint64_t mftMirrorOffset = 0;
        // The volume's serial number (0 when cut off before it): a shadow
        // copy of the volume states the same.
        std::uint64_t serialNumber = 0;
    };
    static bool stated(const std::uint8_t* sector, std::size_t length, Stated& out);

    // The volume's geometry (raises as NTFS_GEOMETRY::init does). A volume
    // of 4 KiB sectors may keep 1 KiB records, whose update sequence
    // protects 512-byte strides whatever the sector size: it is addressed
    // in 512-byte sectors, so that every record starts on one (a cluster
    // holds the same bytes either way; reads are by byte offset).
    void makeGeometry(const std::string& root, NTFS_GEOMETRY& geometry) const;

    // Clusters on the volume: total sectors over sectors per cluster.
    std::uint64_t totalClusters() const { return sectorsPerCluster != 0 ? totalSectors / sectorsPerCluster : 0; }

    std::uint64_t totalSectors = 0;
    std::uint32_t heads = 0;
    std::uint32_t sectorsPerTrack = 0;
    std::uint8_t mediaDescriptor = 0;
    std::uint32_t bytesPerSector = 0;
    std::int32_t clustersPerIndexRecord = 0;
    std::int32_t clustersPerMftRecord = 0;
    std::uint32_t sectorsPerCluster = 0;
    std::uint64_t mftMirrorCluster = 0;
    std::uint64_t mftCluster = 0;

private:
    void analize(std::uint64_t geometrySectors);
};

} // namespace resurgo
