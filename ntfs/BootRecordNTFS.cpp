#include "ntfs/BootRecordNTFS.h"

#include <cstring>

#include "core/ByteReader.h"
#include "core/ErrorException.h"
#include "ntfs/NTFS_GEOMETRY.h"
#include "ntfs/UpdateSequence.h"

namespace resurgo {

namespace {

// Boot sector layout (offsets from the start of sector 0).
constexpr std::size_t kOemId = 0x03;
constexpr std::size_t kBytesPerSector = 0x0B;
constexpr std::size_t kSectorsPerCluster = 0x0D;
constexpr std::size_t kMediaDescriptor = 0x15;
constexpr std::size_t kSectorsPerTrack = 0x18;
constexpr std::size_t kHeads = 0x1A;
constexpr std::size_t kTotalSectors = 0x28;
constexpr std::size_t kMftCluster = 0x30;
constexpr std::size_t kMftMirrorCluster = 0x38;
constexpr std::size_t kClustersPerMftRecord = 0x40;
constexpr std::size_t kClustersPerIndexRecord = 0x44;
constexpr std::size_t kSerialNumber = 0x48;
constexpr std::size_t kEndMarker = 0x1FE;
constexpr std::uint16_t kEndMarkerValue = 0xAA55;

// Sectors per cluster above 0x80 encode a power of two: 2^(256 - value).
std::uint32_t decodeSectorsPerCluster(std::uint8_t v) {
    if (v <= 0x80) return v;
    unsigned shift = 256u - v;
    return shift < 32 ? (1u << shift) : 0u;
}

// Clusters per record / index record: the signed byte at the field.
std::int32_t decodeSignedByteField(std::uint8_t v) { return static_cast<std::int8_t>(v); }

} // namespace

BootRecordNTFS::BootRecordNTFS() = default;
BootRecordNTFS::~BootRecordNTFS() = default;

void BootRecordNTFS::parse(const std::uint8_t* sector, std::size_t length, std::uint64_t geometrySectors) {
    if (length < kBootSectorBytes) throw ErrorException(kErrBootSignature, "BootRecordNTFS::read");
    ByteReader r(sector, kBootSectorBytes, kErrBootFormat, "BootRecordNTFS::read");
    if (r.u16(kEndMarker) != kEndMarkerValue) throw ErrorException(kErrBootSignature, "BootRecordNTFS::read");
    if (std::memcmp(sector + kOemId, "NTFS    ", 8) != 0) throw ErrorException(kErrNotNtfsBoot, "BootRecordNTFS::read");
    totalSectors = r.u64(kTotalSectors);
    heads = r.u16(kHeads);
    sectorsPerTrack = r.u16(kSectorsPerTrack);
    mediaDescriptor = r.u8(kMediaDescriptor);
    bytesPerSector = r.u16(kBytesPerSector);
    clustersPerIndexRecord = decodeSignedByteField(r.u8(kClustersPerIndexRecord));
    clustersPerMftRecord = decodeSignedByteField(r.u8(kClustersPerMftRecord));
    sectorsPerCluster = decodeSectorsPerCluster(r.u8(kSectorsPerCluster));
    mftMirrorCluster = r.u64(kMftMirrorCluster);
    mftCluster = r.u64(kMftCluster);
    analize(geometrySectors);
}

bool BootRecordNTFS::stated(const std::uint8_t* sector, std::size_t length, Stated& out) {
    out = Stated();
    ByteReader r(sector, length, kErrBootFormat, "BootRecordNTFS::stated");
    if (!r.contains(kOemId, 8) || std::memcmp(sector + kOemId, "NTFS    ", 8) != 0) return false;
    if (!r.contains(kTotalSectors, 8)) return false;
    const std::uint64_t bytesPerSector = r.u16(kBytesPerSector);
    const std::uint64_t totalSectors = r.u64(kTotalSectors);
    // A sector size out of range says the fields are not to be trusted.
    if ((bytesPerSector & (bytesPerSector - 1)) != 0 || bytesPerSector < 256 || bytesPerSector > 4096) return false;
    if (totalSectors == 0 || totalSectors > UINT64_MAX / bytesPerSector) return false;
    out.volumeBytes = totalSectors * bytesPerSector;
    const std::uint64_t cluster = bytesPerSector * decodeSectorsPerCluster(r.u8(kSectorsPerCluster));
    auto offsetAt = [&](std::size_t field) -> std::uint64_t {
        if (cluster == 0 || !r.contains(field, 8)) return 0;
        const std::uint64_t lcn = r.u64(field);
        return lcn <= UINT64_MAX / cluster ? lcn * cluster : 0;
    };
    out.mftOffset = offsetAt(kMftCluster);
    out.mftMirrorOffset = offsetAt(kMftMirrorCluster);
    if (r.contains(kSerialNumber, 8)) out.serialNumber = r.u64(kSerialNumber);
    return true;
}

void BootRecordNTFS::analize(std::uint64_t geometrySectors) {
    auto fail = [] { throw ErrorException(kErrBootFormat, "BootRecordNTFS::analize"); };
    if (bytesPerSector == 0) fail();
    // The cluster arithmetic needs a power-of-two sector size.
    if ((bytesPerSector & (bytesPerSector - 1)) != 0 || bytesPerSector < 256 || bytesPerSector > 4096) fail();
    if (sectorsPerCluster == 0) fail();
    if (mediaDescriptor != 0xF8) fail();
    if (totalSectors == 0) fail();
    if (mftCluster == 0) fail();
    if (mftMirrorCluster == 0) fail();
    if (mftCluster > geometrySectors) fail();
    if (mftMirrorCluster > geometrySectors) fail();
    if (clustersPerMftRecord == 0) fail();
}

void BootRecordNTFS::makeGeometry(const std::string& root, NTFS_GEOMETRY& geometry) const {
    std::uint32_t bps = bytesPerSector;
    std::uint32_t spc = sectorsPerCluster;
    const std::uint64_t record = clustersPerMftRecord < 0 && clustersPerMftRecord >= -31
                                     ? 1ULL << static_cast<unsigned>(-clustersPerMftRecord)
                                     : 0;
    if (record >= UpdateSequence::kStride && record < bps && bps % UpdateSequence::kStride == 0) {
        spc = static_cast<std::uint32_t>(static_cast<std::uint64_t>(spc) * (bps / UpdateSequence::kStride));
        bps = static_cast<std::uint32_t>(UpdateSequence::kStride);
    }
    geometry.init(root, bps, spc, clustersPerMftRecord, mftCluster, mftMirrorCluster, clustersPerIndexRecord,
                  totalClusters());
}

} // namespace resurgo
