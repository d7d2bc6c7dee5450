#pragma once
// What file system a volume (a partition, a bare image) holds, as
// libblkid's superblock probes tell: "ntfs", "ext4", "vfat" ... Linux
// build only: elsewhere nothing is found.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace resurgo {

class Source;

class FileSystemProbe {
public:
    // Bytes at each end of the volume the probes are shown: every
    // superblock libblkid knows lies within them.
    static constexpr std::size_t kWindowBytes = 1 << 20;

    struct Result {
        // Every file system whose superblock is valid (more than one when a
        // volume was re-formatted without wiping); empty when none.
        std::vector<std::string> types;
        std::string label;  // of the first one
        // "ntfs", "ext2+ntfs" (sorted, joined with '+'), or "unknown".
        std::string text() const;
        bool has(const std::string& type) const;
    };

    // extra: further byte ranges of the volume the probes may need (the
    // start of an NTFS MFT, where the volume's label is).
    static Result probe(Source& volume,
                        const std::vector<std::pair<std::uint64_t, std::uint64_t>>& extra = {});
};

} // namespace resurgo
