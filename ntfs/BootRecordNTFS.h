#pragma once
// Reads and checks an NTFS boot sector (sector 0 of the volume).

#include <cstddef>
#include <cstdint>
#include <string>

namespace resurgo {

class Volume;

class BootRecordNTFS {
public:
    BootRecordNTFS();
    virtual ~BootRecordNTFS();

    // Opens its own volume on rootPath, reads and checks sector 0, closes.
    void read(const std::string& rootPath);
    // Decodes and checks a boot sector held in memory (at least 512 bytes);
    // geometrySectors bounds the MFT positions.
    void parse(const std::uint8_t* sector, std::size_t length, std::uint64_t geometrySectors);

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
