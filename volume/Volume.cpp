#include "volume/Volume.h"

#include <cstdint>

#include "core/ByteReader.h"
#include "core/ErrorException.h"
#include "source/FileSource.h"
#include "volume/SectorBuffer.h"

namespace resurgo {

namespace {

// Bytes per sector, as the boot sector of an NTFS volume states it.
constexpr std::size_t kBootBytesPerSector = 0x0B;
constexpr std::size_t kBootSectorBytes = 512;

bool isPowerOfTwoSectorSize(std::uint32_t v) { return v >= 512 && v <= 4096 && (v & (v - 1)) == 0; }

} // namespace

Volume::Volume() = default;
Volume::~Volume() = default;

bool Volume::isDriveRoot(const std::string& root) { return FileSource::isDriveRoot(root); }

std::string Volume::deviceNameFor(const std::string& root) { return FileSource::deviceNameFor(root); }

void Volume::openLogical(const std::string& rootPath) {
    auto source = std::make_shared<FileSource>(rootPath);
    path = isDriveRoot(rootPath) ? std::string("\\\\.\\") + rootPath : rootPath;
    owned_ = source;
    open(*source);
}

void Volume::open(Source& source) {
    source_ = &source;
    learnGeometry();
}

void Volume::learnGeometry() {
    boot_.clear();
    sizeBytes = source_->size();
    // A device reads in its own sectors. An image (or a source that can't
    // tell) takes the boot sector's own size when it is a sane power of
    // two, else 512.
    std::uint32_t bps = source_->sectorSize();
    if (bps == 0) {
        bps = 512;
        std::uint8_t head[kBootSectorBytes] = {};
        try {
            if (sizeBytes >= sizeof head && source_->readAt(head, sizeof head, 0, "Volume::read") == sizeof head) {
                std::uint32_t v = ByteReader(head, sizeof head, kErrReadDisk, "Volume::read").u16(kBootBytesPerSector);
                if (isPowerOfTwoSectorSize(v)) bps = v;
                boot_.assign(head, head + sizeof head);
            }
        } catch (const ErrorException&) {
            // An unreadable first sector: the boot record's own read says so.
        }
    }
    bytesPerSector = bps;
    capacitySectors = sizeBytes / bps;
    geometrySectors = capacitySectors;
    if (const auto* file = dynamic_cast<const FileSource*>(source_)) {
        const SourceGeometry& g = file->geometry();
        if (g.fromDevice && g.bytesPerSector != 0) {
            geometrySectors = static_cast<std::uint64_t>(g.sectorsPerTrack) * g.tracksPerCylinder * g.cylinders;
        }
    }
    sizeMegabytes = static_cast<std::int64_t>(geometrySectors * bps / 1000000ULL);
}

void Volume::readBytes(void* dst, std::size_t length, std::uint64_t offset, const char* diagnostic) {
    if (source_ == nullptr) throw ErrorException(kErrReadDisk, diagnostic);
    source_->readExact(dst, length, offset, diagnostic);
}

const std::vector<std::uint8_t>& Volume::bootSector() {
    const std::size_t bytes = bytesPerSector < kBootSectorBytes ? kBootSectorBytes : bytesPerSector;
    if (boot_.size() == bytes) return boot_;
    boot_.clear();
    std::vector<std::uint8_t> sector(bytes);
    readBytes(sector.data(), sector.size(), 0, "Volume::read");
    boot_ = std::move(sector);
    return boot_;
}

void Volume::read(SectorBuffer& buf, std::uint64_t firstSector) {
    if (firstSector > UINT64_MAX / buf.bytesPerSector()) throw ErrorException(kErrReadDisk, "Volume::read");
    readBytes(buf.data(), buf.size(), firstSector * buf.bytesPerSector(), "Volume::read");
}

void Volume::readClusters(SectorBuffer& buf, std::uint64_t firstCluster, std::uint32_t clusterCount,
                          std::uint32_t sectorsPerCluster, std::size_t byteOffset) {
    std::uint64_t clusterBytes = static_cast<std::uint64_t>(buf.bytesPerSector()) * sectorsPerCluster;
    std::uint64_t length = clusterBytes * clusterCount;
    if (byteOffset > buf.size() || length > buf.size() - byteOffset) {
        throw ErrorException(kErrReadDisk, "Volume::readClusters");
    }
    if (clusterBytes == 0 || firstCluster > UINT64_MAX / clusterBytes) {
        throw ErrorException(kErrReadDisk, "Volume::readClusters");
    }
    readBytes(buf.data() + byteOffset, static_cast<std::size_t>(length), firstCluster * clusterBytes,
              "Volume::readClusters");
}

void Volume::close() {
    source_ = nullptr;
    boot_.clear();
    if (!owned_) return;
    std::shared_ptr<Source> owned = std::move(owned_);
    owned_.reset();
    // Closing an image or device the volume opened itself.
    if (owned.use_count() == 1) static_cast<FileSource&>(*owned).close();
}

} // namespace resurgo
