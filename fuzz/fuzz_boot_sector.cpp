// A boot sector through the checks: parsed in memory, then read through the
// platform seam as sector 0 of a small in-memory source, and the geometry
// built from whatever passed.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzPlatform.h"
#include "core/ErrorException.h"
#include "ntfs/BootRecordNTFS.h"
#include "ntfs/NTFS_GEOMETRY.h"
#include "recovery/SearchJob.h"

using namespace resurgo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // What the start of a boot sector states about a volume cut off, from
    // however few bytes there are.
    BootRecordNTFS::Stated stated;
    if (BootRecordNTFS::stated(data, size, stated) && stated.volumeBytes == 0) std::abort();
    if (size < 512) return 0;
    BootRecordNTFS boot;
    try {
        boot.parse(data, size, 1u << 20);
        NTFS_GEOMETRY g;
        g.init("mem:fuzz", boot.bytesPerSector, boot.sectorsPerCluster, boot.clustersPerMftRecord, boot.mftCluster,
               boot.mftMirrorCluster, boot.clustersPerIndexRecord, boot.totalClusters());
        if (g.mftRecordSize < 1024 || g.mftRecordSize > 4096 || g.sectorsPerRecord() == 0) std::abort();
    } catch (const ErrorException& e) {
        if (e.code() <= 0 || e.code() > ErrorException::tableSize()) std::abort();
    }

    // The same bytes as the start of a 64 KiB source, read through the seam.
    static std::vector<std::uint8_t> image(64 * 1024);
    std::memset(image.data(), 0, image.size());
    std::memcpy(image.data(), data, std::min(size, image.size()));
    fuzz::FuzzPlatform fp;
    fp.base = image.data();
    fp.baseSize = image.size();
    {
        ScopedPlatform scoped(fp);
        SearchJob job;
        try {
            job.prepareGeometry("mem:fuzz");
        } catch (const ErrorException&) {
        }
        job.driveRoot = "mem:fuzz";
        job.days = 1000000;
        job.run(nullptr, nullptr);
    }
    if (fp.opens != fp.closes) std::abort();  // every source opened is closed once
    return 0;
}
