#pragma once
// What the search's helpers read an open volume through: the volume, its
// geometry and its MFT, all owned elsewhere (by the filesystem), which
// outlives the helpers.

#include <cstdint>

#include "file/FileZ.h"
#include "file/MftReader.h"
#include "ntfs/NTFS_GEOMETRY.h"
#include "volume/Volume.h"

namespace resurgo {

struct VolumeAccess {
    Volume& volume;
    const NTFS_GEOMETRY& geometry;
    const MftReader& mft;

    // Opens MFT record n as an entry, read through the MFT's runs.
    void openEntry(std::uint64_t record, FileZ& entry) const { entry.openRecord(volume, geometry, &mft, record); }
};

} // namespace resurgo
