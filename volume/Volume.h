#pragma once
// The engine's door to one volume's bytes: sits on a read-only Source (an
// image, a device, a partition slice) and reads sectors, clusters and byte
// ranges at 64-bit positions. Never writes.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace resurgo {

class SectorBuffer;
class Source;

class Volume {
public:
    Volume();
    virtual ~Volume();
    Volume(const Volume&) = default;
    Volume& operator=(const Volume&) = default;

    // Reads through source, which must outlive the volume's use, and
    // learns the sector size.
    void open(Source& source);
    // Opens a drive root ("C:\"), a device node or an image file read-only
    // (the volume then owns its source until close).
    void openLogical(const std::string& rootPath);
    // Reads all of buf at firstSector × buf.bytesPerSector().
    void read(SectorBuffer& buf, std::uint64_t firstSector);
    void readClusters(SectorBuffer& buf, std::uint64_t firstCluster, std::uint32_t clusterCount,
                      std::uint32_t sectorsPerCluster, std::size_t byteOffset);
    // Reads exactly length bytes at a byte offset; raises code 3 with the
    // given diagnostic on an I/O error or a range past the end of the source.
    void readBytes(void* dst, std::size_t length, std::uint64_t offset, const char* diagnostic = "Volume::read");
    // The volume's first sector (bytesPerSector bytes, at least 512), read
    // once per open: learning the sector size of an image reads it already.
    // Raises as read does.
    const std::vector<std::uint8_t>& bootSector();
    void close();

    bool isOpen() const { return source_ != nullptr; }
    Source* source() const { return source_; }
    // "C:\" (with or without the backslash) names a drive letter.
    static bool isDriveRoot(const std::string& root);
    // The name the system is asked to open for a root path.
    static std::string deviceNameFor(const std::string& root);

    std::uint32_t bytesPerSector = 0;
    std::uint64_t capacitySectors = 0;
    // Sectors the medium reports (a device's cylinders × heads × sectors,
    // else the source's length): bounds the MFT positions a boot sector may name.
    std::uint64_t geometrySectors = 0;
    std::int64_t sizeMegabytes = 0;
    // What the drive list knows of a drive it found.
    std::int64_t freeMegabytes = 0;
    bool removable = false;
    std::string fileSystemName;
    std::string volumeLabel;
    std::string path;
    std::uint64_t sizeBytes = 0;  // length of the source; reads past it fail

private:
    void learnGeometry();

    Source* source_ = nullptr;
    std::shared_ptr<Source> owned_;  // the source openLogical made
    std::vector<std::uint8_t> boot_;  // the first sector, once read
};

} // namespace resurgo
