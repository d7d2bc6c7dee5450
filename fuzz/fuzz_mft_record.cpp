// One MFT record through the update-sequence fixup and the attribute walk,
// and through the reading of the clusters its attributes hold (as a record
// in use).
// The first byte picks the record size, the compressed override and whether
// the volume's size bounds the runs; the rest is the record (zero-padded or
// cut to the record size), and also stands in for the clusters of any
// non-resident attribute list the record has.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "core/ErrorException.h"
#include "ntfs/MFT_RECORD.h"
#include "ntfs/NTFS_GEOMETRY.h"
#include "ntfs/RecordClusters.h"

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
    geometry.init("mem:fuzz", 512, 8, -10, 4, 2047, 1, (mode & 0x10) != 0 ? 4096 : 0);

    std::vector<std::uint8_t> copy = record;
    std::vector<RecordClusters::Run> runs;
    try {
        RecordClusters::append(copy.data(), copy.size(), geometry.totalClusters, runs);
    } catch (const ErrorException& e) {
        if (e.code() != kErrRecordFormat) std::abort();
    }
    for (const auto& r : runs) {
        // Every run holds clusters, inside the volume when its size is known.
        if (r.clusters == 0 || r.lcn + r.clusters < r.lcn) std::abort();
        if (geometry.totalClusters != 0 && r.lcn + r.clusters > geometry.totalClusters) std::abort();
    }

    MFT_RECORD rec;
    try {
        rec.parse(record.data(), record.size(), geometry, compressed);
        for (const auto& list : rec.nonResidentLists) {
            const std::uint64_t bytes = list.runs.totalClusters() * geometry.clusterBytes();
            if (list.dataSize > MFT_RECORD::kMaxAttributeListBytes ||
                bytes > MFT_RECORD::kMaxAttributeListBytes + geometry.clusterBytes()) {
                std::abort();  // the record lets through no list larger than NTFS writes
            }
            const std::uint64_t used = std::min<std::uint64_t>(size - 1, list.dataSize);
            rec.decodeAttributeList(data + 1, static_cast<std::size_t>(used));
        }
    } catch (const ErrorException& e) {
        if (e.code() <= 0 || e.code() > ErrorException::tableSize()) std::abort();
        return 0;
    }
    // Touch everything the walk produced.
    std::uint64_t sum = 0;
    for (const auto& d : rec.dataAttributes) {
        sum += d.value.size() + d.name.size();
        if (!d.nonResident && d.value.size() != d.valueLength) std::abort();
        if (d.runs.faulty()) {
            // Runs that name clusters outside the volume raise when read.
            if (d.runs.error()->code() != kErrRunlistField) std::abort();
            continue;
        }
        sum += d.runs.totalClusters();
        for (const auto& r : d.runs) {
            if (r.length == 0) std::abort();
            const std::uint64_t end = static_cast<std::uint64_t>(r.lcn) + r.length;
            if (!r.sparse && (r.lcn < 0 || (geometry.totalClusters != 0 && end > geometry.totalClusters))) {
                std::abort();  // a run outside the volume got through
            }
            sum += end;
        }
    }
    for (const auto& n : rec.fileNames) sum += n.name.size() + n.parent().recordNumber();
    for (const auto& e : rec.attributeList) sum += e.name.size() + e.reference.recordNumber();
    sum += rec.standardInformation.fileAttributes();
    volatile std::uint64_t sink = sum;
    (void)sink;
    return 0;
}
