#pragma once
// The drives a user can search: every fixed drive whose file system is
// NTFS, in the order the system lists them. Listing opens no volume; it
// asks the system's drive and volume queries only, through a Source that
// tests can replace.

#include <cstdint>
#include <string>
#include <vector>

#include "volume/Volume.h"

namespace resurgo {

class VolumeListLogical {
public:
    // The facts the listing needs of the system.
    class Source {
    public:
        virtual ~Source();
        // The drive root paths ("C:\"), every type. False when they can't
        // be had (the listing then fails with code 5).
        virtual bool driveRoots(std::vector<std::string>& roots) = 0;
        virtual bool isFixedDrive(const std::string& root) = 0;
        virtual bool volumeInformation(const std::string& root, std::string& label, std::string& fileSystem) = 0;
        virtual bool diskFreeSpace(const std::string& root, std::uint32_t& sectorsPerCluster,
                                   std::uint32_t& bytesPerSector, std::uint64_t& freeClusters,
                                   std::uint64_t& totalClusters) = 0;
        virtual std::uint32_t lastError() = 0;
    };

    // The system's drives (Win32). Elsewhere a source with no drive roots:
    // other systems name volumes and images directly.
    static Source& systemSource();

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
