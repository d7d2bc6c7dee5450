#include "source/FileSystemProbe.h"

#include <algorithm>
#include <vector>

#include "source/Source.h"

#if defined(RESURGO_HAVE_CONTAINERS)
#include <blkid/blkid.h>

#include "platform/MemoryFile.h"
#endif

namespace resurgo {

std::string FileSystemProbe::Result::text() const {
    if (types.empty()) return "unknown";
    std::vector<std::string> sorted = types;
    std::sort(sorted.begin(), sorted.end());
    std::string out;
    for (const std::string& t : sorted) out += (out.empty() ? "" : "+") + t;
    return out;
}

bool FileSystemProbe::Result::has(const std::string& type) const {
    return std::find(types.begin(), types.end(), type) != types.end();
}

#if defined(RESURGO_HAVE_CONTAINERS)

FileSystemProbe::Result FileSystemProbe::probe(Source& volume,
                                               const std::vector<std::pair<std::uint64_t, std::uint64_t>>& extra) {
    Result result;
    const std::uint64_t size = volume.size();
    if (size == 0) return result;
    // libblkid reads a file descriptor: it is given a sparse memory file of
    // the volume's length holding the volume's first and last megabyte
    // (see PartitionTable for why a copy).
    MemoryFile file("resurgo-volume", size);
    std::vector<std::uint8_t> bytes;
    auto copy = [&](std::uint64_t offset, std::uint64_t length) {
        length = std::min<std::uint64_t>(length, size - offset);
        bytes.assign(static_cast<std::size_t>(length), 0);
        bytes.resize(volume.readAt(bytes.data(), bytes.size(), offset, "FileSystemProbe::probe"));
        if (!bytes.empty()) file.write(bytes.data(), bytes.size(), offset);
    };
    copy(0, kWindowBytes);
    for (const auto& [offset, length] : extra) {
        if (offset < size) copy(offset, std::min<std::uint64_t>(length, kWindowBytes));
    }
    if (size > kWindowBytes) copy(size > 2 * kWindowBytes ? size - kWindowBytes : kWindowBytes, kWindowBytes);

    blkid_probe pr = blkid_new_probe();
    if (pr == nullptr) return result;
    if (blkid_probe_set_device(pr, file.descriptor(), 0, static_cast<blkid_loff_t>(size)) == 0) {
        blkid_probe_enable_partitions(pr, 0);
        blkid_probe_enable_superblocks(pr, 1);
        blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL);
        // Each call goes on with the next probe, so every valid superblock
        // is found, not only the first.
        for (int i = 0; i < 16 && blkid_do_probe(pr) == 0; ++i) {
            const char* value = nullptr;
            if (blkid_probe_lookup_value(pr, "TYPE", &value, nullptr) == 0 && value != nullptr && !result.has(value)) {
                result.types.emplace_back(value);
                const char* label = nullptr;
                if (result.label.empty() && blkid_probe_lookup_value(pr, "LABEL", &label, nullptr) == 0 && label) {
                    result.label = label;
                }
            }
        }
    }
    blkid_free_probe(pr);
    return result;
}

#else

FileSystemProbe::Result FileSystemProbe::probe(Source&, const std::vector<std::pair<std::uint64_t, std::uint64_t>>&) {
    return Result();
}

#endif

} // namespace resurgo
