#include "volume/Volume.h"

#include <cstdint>

#include "core/ByteReader.h"
#include "core/ErrorException.h"
#include "volume/SectorBuffer.h"

namespace resurgo {

namespace {

constexpr std::size_t kBootBytesPerSectorOffset = 0x0B;

bool isPowerOfTwoSectorSize(std::uint32_t v) { return v >= 512 && v <= 4096 && (v & (v - 1)) == 0; }

} // namespace

Volume::Volume() = default;
Volume::~Volume() = default;

bool Volume::isDriveRoot(const std::string& root) {
    if (root.size() < 2 || root.size() > 3) return false;
    char c = root[0];
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    return letter && root[1] == ':' && (root.size() == 2 || root[2] == '\\');
}

std::string Volume::deviceNameFor(const std::string& root) {
    if (isDriveRoot(root)) return std::string("\\\\.\\") + root.substr(0, 2);
    return root;
}

void Volume::openLogical(const std::string& rootPath) {
    if (isDriveRoot(rootPath)) {
        path = std::string("\\\\.\\") + rootPath;
    } else {
        path = rootPath;
    }
    OsHandle h = platform().openSource(deviceNameFor(rootPath));
    if (h == kNoHandle) {
        std::uint32_t err = platform().lastError();
        throw ErrorException(kErrOpenDisk, err, "Volume::openLogical");
    }
    handle = h;
    try {
        getDiskGeometry();
    } catch (...) {
        platform().closeSource(handle);
        handle = kNoHandle;
        throw;
    }
}

void Volume::getDiskGeometry() {
    SourceGeometry g;
    if (!platform().querySource(handle, g)) {
        std::uint32_t err = platform().lastError();
        throw ErrorException(kErrDiskGeometry, err, "Volume::getDiskGeometry");
    }
    sizeBytes = g.sizeBytes;
    if (!g.fromDevice || g.bytesPerSector == 0) {
        // An image file (or a volume that refuses the geometry query): the
        // sector size is the boot sector's own when it is a sane power of
        // two, else 512; the "geometry" is one sector per track and per
        // cylinder so that its product is the source's sector count.
        std::uint32_t bps = 512;
        std::uint8_t head[512] = {};
        std::size_t got = 0;
        if (sizeBytes >= sizeof head && platform().readAt(handle, head, sizeof head, 0, got) && got == sizeof head) {
            const ByteReader boot(head, sizeof head, kErrDiskGeometry, "Volume::getDiskGeometry");
            const std::uint32_t v = boot.u16(kBootBytesPerSectorOffset);
            if (isPowerOfTwoSectorSize(v)) bps = v;
        }
        g.bytesPerSector = bps;
        g.sectorsPerTrack = 1;
        g.tracksPerCylinder = 1;
        g.cylinders = sizeBytes / bps;
    }
    diskGeometry = g;
    bytesPerSector = g.bytesPerSector;
    sectorsPerTrack = g.sectorsPerTrack;
    tracksPerCylinder = g.tracksPerCylinder;
    cylinders = g.cylinders;
    geometrySectors = static_cast<std::uint64_t>(sectorsPerTrack) * tracksPerCylinder * cylinders;
    sizeMegabytes = static_cast<std::int64_t>(geometrySectors * bytesPerSector / 1000000ULL);
    capacitySectors = bytesPerSector ? sizeBytes / bytesPerSector : 0;
    freeSectors = 0;
}

void Volume::readBytes(void* dst, std::size_t length, std::uint64_t offset, const char* diagnostic) {
    if (handle == kNoHandle) throw ErrorException(kErrReadDisk, diagnostic);
    // A range past the end of the source is an error, never silent zeros.
    if (sizeBytes != 0 && (offset > sizeBytes || length > sizeBytes - offset)) {
        throw ErrorException(kErrReadDisk, diagnostic);
    }
    auto* out = static_cast<std::uint8_t*>(dst);
    std::size_t done = 0;
    while (done < length) {
        std::size_t got = 0;
        if (!platform().readAt(handle, out + done, length - done, offset + done, got)) {
            std::uint32_t err = platform().lastError();
            throw ErrorException(kErrReadDisk, err, diagnostic);
        }
        if (got == 0) throw ErrorException(kErrReadDisk, diagnostic);  // source ended early
        done += got;
    }
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
    if (handle == kNoHandle) return;
    OsHandle h = handle;
    handle = kNoHandle;
    if (!platform().closeSource(h)) {
        std::uint32_t err = platform().lastError();
        throw ErrorException(kErrCloseDisk, err, "Volume::close");
    }
}

} // namespace resurgo
