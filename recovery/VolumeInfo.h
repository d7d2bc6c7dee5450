#pragma once
// What an NTFS volume is, for `resurgo info`: its serial number, cluster
// and record sizes, the size of its MFT and how many records it holds,
// its label, and whether it holds a shadow-copy store catalog.

#include <cstdint>
#include <string>

namespace resurgo {

class Source;

class VolumeInfo {
public:
    bool readable = false;   // the boot record and the MFT opened
    std::string failure;     // why not, when not
    std::uint64_t serial = 0;
    std::uint64_t volumeBytes = 0;   // as the boot sector counts it
    std::uint32_t clusterBytes = 0;
    std::uint32_t recordBytes = 0;
    std::uint64_t mftBytes = 0;
    std::uint64_t mftRecords = 0;
    std::string label;
    bool shadowCopies = false;  // a shadow-copy volume header that points to a catalog

    // Reads volume (which the caller keeps alive); never raises.
    static VolumeInfo read(Source& volume);
    // "68844E71844E41B4", as the system shows a serial number.
    std::string serialText() const;
    // Whether the 512 bytes at the shadow-copy header's place (byte 0x1E00
    // of the volume) are a shadow-copy volume header naming a catalog.
    static bool shadowCatalogAt(const std::uint8_t* header, std::size_t size);
};

} // namespace resurgo
