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

    // Reads the table of disk; scheme stays empty when there is none.
    // Extended partitions (containers of logical ones) are not listed.
    // Raises SourceError (code 8) when entries overlap. Entries that run
    // past the end of disk (a cut image) are kept as the table gives them.
    static PartitionTable read(Source& disk);

    std::string scheme;                    // "mbr", "gpt" or ""
    std::uint32_t sectorSize = 512;        // the unit the table counts in
    std::vector<PARTITION_ENTRY> entries;  // in the table's order

    bool empty() const { return scheme.empty(); }
    // The entry numbered n, or nullptr.
    const PARTITION_ENTRY* find(unsigned number) const;
};

} // namespace resurgo
