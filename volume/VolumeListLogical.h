#pragma once
// The drives a user can search: every fixed drive whose file system is
// NTFS, in the order the system lists them. Listing opens no volume; it
// asks the system's drive and volume queries only (platform/LogicalDrives),
// through a source that tests can replace.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/LogicalDrives.h"
#include "volume/Volume.h"

namespace resurgo {

class VolumeListLogical {
public:
    // The facts the listing needs of the system: LogicalDrives::system()
    // lists the system's drives (Win32); elsewhere it has no drive roots,
    // as other systems name volumes and images directly.
    using Source = LogicalDrives;

    VolumeListLogical();
    virtual ~VolumeListLogical();

    // Rebuilds the list from the system. Raises ErrorException (code 5 when
    // the drive list can't be had, 1 when a fixed drive's volume
    // information or free space can't be read); the entries appended
    // before a failure stay.
    void get_list();
    void get_list(Source& source);

    std::int32_t driveCount = 0;
    std::int32_t ntfsCount = 0;
    std::vector<Volume> entries;

    const Volume& entry(std::int32_t i) const { return entries.at(static_cast<std::size_t>(i)); }
    // The text the drive box shows: "C:\ [System]".
    static std::string displayText(const Volume& v);
};

} // namespace resurgo
