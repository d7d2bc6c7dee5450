#pragma once
// The engine's only door to the disk: opens a volume (a drive root such as
// "C:\", a device node or a volume image file) for raw reading and reads
// sectors, clusters and byte ranges at 64-bit positions. Never writes.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Platform.h"

namespace resurgo {

class SectorBuffer;

class Volume {
public:
    Volume();
    virtual ~Volume();
    Volume(const Volume&) = default;
    Volume& operator=(const Volume&) = default;

    // Opens the source read-only and learns its geometry.
    void openLogical(const std::string& rootPath);
    void getDiskGeometry();
    // Reads all of buf at firstSector × buf.bytesPerSector().
    void read(SectorBuffer& buf, std::uint64_t firstSector);
    void readClusters(SectorBuffer& buf, std::uint64_t firstCluster, std::uint32_t clusterCount,
                      std::uint32_t sectorsPerCluster, std::size_t byteOffset);
    // Reads exactly length bytes at a byte offset; raises code 3 with the
    // given diagnostic on an I/O error or a range past the end of the source.
    void readBytes(void* dst, std::size_t length, std::uint64_t offset, const char* diagnostic = "Volume::read");
    void close();

    bool isOpen() const { return handle != kNoHandle; }
    // "C:\" (with or without the backslash) names a drive letter.
    static bool isDriveRoot(const std::string& root);
    // The name the system is asked to open for a root path.
    static std::string deviceNameFor(const std::string& root);

    std::uint64_t capacitySectors = 0;
    std::uint64_t freeSectors = 0;
    bool removable = false;
    std::string fileSystemName;
    std::string volumeLabel;
    std::uint32_t bytesPerSector = 0;
    std::uint32_t sectorsPerTrack = 0;
    std::uint32_t tracksPerCylinder = 0;
    std::uint64_t cylinders = 0;
    SourceGeometry diskGeometry;
    std::uint64_t geometrySectors = 0;
    std::int64_t sizeMegabytes = 0;
    std::int64_t freeMegabytes = 0;
    std::string path;
    OsHandle handle = kNoHandle;
    std::uint64_t sizeBytes = 0;  // length of the source; reads past it fail
};

} // namespace resurgo
