#pragma once
// The partition table of a disk (MBR with its extended and logical
// partitions, or GPT), as libblkid reads it. Linux build only: elsewhere
// read() finds no table.

#include <cstdint>
#include <string>
#include <vector>

#include "source/PARTITION_ENTRY.h"

namespace resurgo {

class Source;

class PartitionTable {
public:
    // Most MBR logical partitions followed along the extended chain.
    static constexpr int kMaxLogical = 256;

    // The largest GPT entry array read (the format allows 4 GiB; tools
    // write 16 KiB).
    static constexpr std::uint64_t kMaxEntryArray = 64 << 20;

    // Reads the table of disk; scheme stays empty when there is none.
    // Extended partitions (containers of logical ones) are not listed.
    // Entries that end before they start or past any disk's end are left
    // out and named in problems; entries sharing bytes are kept, each
    // marked with the other (overlaps), and named there too. Entries that
    // run past the end of disk (a cut image) are kept as the table gives
    // them. Only the table's sectors are read: an unreadable one raises
    // code 3 when it is the first ones, else counts as blank.
    static PartitionTable read(Source& disk);

    std::string scheme;                    // "mbr", "gpt" or ""
    std::uint32_t sectorSize = 512;        // the unit the table counts in
    std::vector<PARTITION_ENTRY> entries;  // in the table's order
    // What is wrong with the table, one sentence each ("partition 2 ends
    // before it starts (...): left out").
    std::vector<std::string> problems;

    bool empty() const { return scheme.empty(); }
    // The entry numbered n, or nullptr.
    const PARTITION_ENTRY* find(unsigned number) const;
};

} // namespace resurgo
