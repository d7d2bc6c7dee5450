#pragma once
// One partition of a disk's table, in bytes of the disk.

#include <cstdint>
#include <string>

namespace resurgo {

struct PARTITION_ENTRY {
    unsigned number = 0;      // as the table counts: MBR 1-4 primary, 5 on logical; GPT entry index + 1
    std::uint64_t start = 0;  // first byte on the disk
    std::uint64_t size = 0;   // bytes, as the table gives them (may run past the end of a cut image)
    std::string scheme;       // "mbr" or "gpt"
    std::string type;         // MBR: "0x07"; GPT: the type GUID
    std::string name;         // GPT partition name (empty for MBR)
    unsigned overlaps = 0;    // the number of another entry sharing bytes with this one (0 = none)
};

} // namespace resurgo
