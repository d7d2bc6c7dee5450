#include "recovery/VolumeInfo.h"

#include <cstdio>
#include <cstring>

#include "core/ByteReader.h"
#include "core/ErrorException.h"
#include "recovery/ErrorText.h"
#include "recovery/SearchJob.h"
#include "source/FileSystemProbe.h"
#include "source/Source.h"

namespace resurgo {

namespace {

constexpr std::size_t kSerialOffset = 0x48;  // in the NTFS boot sector
constexpr std::size_t kBootBytes = 512;
// The shadow-copy volume header: the shadow-copy GUID, a version, the
// record type (1: volume header), then the catalog's offset at byte 48.
constexpr std::uint64_t kShadowHeaderOffset = 0x1E00;
constexpr std::uint8_t kShadowGuid[16] = {0x6b, 0x87, 0x08, 0x38, 0x76, 0xc1, 0x48, 0x4e,
                                          0xb7, 0xae, 0x04, 0x04, 0x6e, 0x6c, 0xc7, 0x52};
constexpr std::size_t kShadowRecordType = 20;
constexpr std::size_t kShadowCatalogOffset = 48;
constexpr std::uint32_t kShadowVolumeHeader = 1;
constexpr std::uint64_t kLabelWindow = std::uint64_t{64} * 1024;

} // namespace

bool VolumeInfo::shadowCatalogAt(const std::uint8_t* header, std::size_t size) {
    const ByteReader r(header, size, kErrUnrecognized, "VolumeInfo::shadowCatalogAt");
    return r.contains(0, kShadowCatalogOffset + 8) && std::memcmp(header, kShadowGuid, 16) == 0 &&
           r.u32(kShadowRecordType) == kShadowVolumeHeader && r.u64(kShadowCatalogOffset) != 0;
}

VolumeInfo VolumeInfo::read(Source& volume) {
    VolumeInfo info;
    try {
        std::uint8_t boot[kBootBytes] = {};
        volume.readExact(boot, sizeof boot, 0, "VolumeInfo::read");
        info.serial = ByteReader(boot, sizeof boot, kErrBootFormat, "VolumeInfo::read").u64(kSerialOffset);
        SearchJob job;
        job.useSource(&volume);
        job.prepareGeometry();
        job.openFilesystem();
        const NTFS_GEOMETRY& g = job.filesystem.geometry();
        info.volumeBytes = job.bootRecord.totalSectors * job.bootRecord.bytesPerSector;
        info.clusterBytes = static_cast<std::uint32_t>(g.clusterBytes());
        info.recordBytes = g.mftRecordSize;
        info.mftBytes = job.filesystem.mftEntry().getRealSize();
        info.mftRecords = info.recordBytes != 0 ? info.mftBytes / info.recordBytes : 0;
        const std::uint64_t mftOffset = g.mftCluster * g.clusterBytes();
        job.closeFilesystem();
        info.label = FileSystemProbe::probe(volume, {{mftOffset, kLabelWindow}}).label;
        std::uint8_t shadow[kBootBytes] = {};
        const std::size_t got = volume.readAt(shadow, sizeof shadow, kShadowHeaderOffset, "VolumeInfo::read");
        info.shadowCopies = shadowCatalogAt(shadow, got);
        info.readable = true;
    } catch (const ErrorException& e) {
        info.failure = ErrorText::reason(e);
    }
    return info;
}

std::string VolumeInfo::serialText() const {
    char text[24];
    (void)std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(serial));
    return text;
}

} // namespace resurgo
