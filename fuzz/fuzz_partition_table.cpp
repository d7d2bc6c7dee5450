// Partition entries from the fuzzer's input: the input is the start of a
// 4 MiB disk (and, again, its last bytes, where a backup GPT lies), read as
// `resurgo partitions` reads it: the table, then the file system of every
// partition it keeps.
//
// Checked beyond the sanitizers: every entry kept starts and ends inside
// 64-bit byte offsets, an entry marked as overlapping names another entry
// that is kept, and a failure raises ErrorException with a code from the
// table.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/ErrorException.h"
#include "source/FileSystemProbe.h"
#include "source/MemorySource.h"
#include "source/PartitionTable.h"
#include "source/SliceSource.h"

using namespace resurgo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kDisk = 4 << 20;
    std::vector<std::uint8_t> disk(kDisk, 0);
    const std::size_t head = std::min(size, kDisk / 2);
    std::memcpy(disk.data(), data, head);
    std::memcpy(disk.data() + kDisk - head, data, head);
    MemorySource source(std::move(disk));
    try {
        const PartitionTable table = PartitionTable::read(source);
        for (const PARTITION_ENTRY& e : table.entries) {
            if (e.size > UINT64_MAX - e.start) std::abort();
            if (e.overlaps != 0 && table.find(e.overlaps) == nullptr) std::abort();
            if (e.start >= source.size()) continue;
            SliceSource slice(source, e.start, std::min<std::uint64_t>(e.size, source.size() - e.start));
            FileSystemProbe::probe(slice);
        }
    } catch (const ErrorException& e) {
        if (e.code() <= 0 || e.code() > ErrorException::tableSize()) std::abort();
    }
    return 0;
}
