// One MFT record through the update-sequence fixup and the attribute walk.
// The first byte picks the record size and the compressed override; the
// rest is the record (zero-padded or cut to the record size).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "core/ErrorException.h"
#include "ntfs/MFT_RECORD.h"
#include "ntfs/NTFS_GEOMETRY.h"

using namespace resurgo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    static const std::size_t kSizes[] = {1024, 2048, 4096, 1024};
    const std::uint8_t mode = data[0];
    const std::size_t recordSize = kSizes[mode & 3];
    std::optional<bool> compressed;
    if ((mode & 0x0C) == 0x04) compressed = false;
    if ((mode & 0x0C) == 0x08) compressed = true;
    std::vector<std::uint8_t> record(recordSize, 0);
    std::memcpy(record.data(), data + 1, std::min(size - 1, recordSize));

    NTFS_GEOMETRY geometry;
    geometry.init("mem:fuzz", 512, 8, -10, 4, 2047, 1);
    MFT_RECORD rec;
    try {
        rec.parse(record.data(), record.size(), nullptr, geometry, compressed);
    } catch (const ErrorException& e) {
        if (e.code() <= 0 || e.code() > ErrorException::tableSize()) std::abort();
        return 0;
    }
    // Touch everything the walk produced.
    std::uint64_t sum = 0;
    for (const auto& d : rec.dataAttributes) {
        sum += d.runs.totalClusters() + d.value.size() + d.name.size();
        for (const auto& r : d.runs) sum += static_cast<std::uint64_t>(r.lcn) + r.length;
        if (!d.nonResident && d.value.size() != d.valueLength) std::abort();
    }
    for (const auto& n : rec.fileNames) sum += n.name.size() + n.parent().recordNumber();
    for (const auto& e : rec.attributeList) sum += e.name.size() + e.reference.recordNumber();
    sum += rec.standardInformation.fileAttributes();
    volatile std::uint64_t sink = sum;
    (void)sink;
    return 0;
}
