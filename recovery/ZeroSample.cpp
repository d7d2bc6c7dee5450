#include "recovery/ZeroSample.h"

#include <algorithm>
#include <cstring>

#include "core/ErrorException.h"
#include "file/FileZ.h"
#include "ntfs/DATA_ATTRIBUTE.h"
#include "recovery/FilesystemNTFS.h"
#include "recovery/Recoverability.h"

namespace resurgo {

ZeroSample::ZeroSample(FilesystemNTFS& fs) : fs_(fs) {}
ZeroSample::~ZeroSample() = default;

void ZeroSample::apply(std::vector<FOUND_FILE>& results, std::size_t from, const std::atomic<std::uint8_t>* cancel) {
    for (std::size_t i = from; i < results.size(); ++i) {
        if (cancel != nullptr && cancel->load(std::memory_order_relaxed) == 1) return;
        results[i].zeroed = measure(results[i].recordNumber);
    }
}

std::uint8_t ZeroSample::measure(std::uint64_t record) {
    const std::uint64_t clusterBytes = fs_.geometry().clusterBytes();
    const std::uint64_t totalClusters = fs_.geometry().totalClusters;
    if (clusterBytes == 0) return FOUND_FILE::kNotSampled;
    if (cluster_.size() != clusterBytes) cluster_.assign(static_cast<std::size_t>(clusterBytes), 0);
    const std::uint64_t stride = std::max<std::uint64_t>(1, kStrideBytes / clusterBytes);
    std::uint64_t sampled = 0;
    std::uint64_t zeros = 0;
    try {
        FileZ entry;
        fs_.openEntry(record, entry);
        const DATA_ATTRIBUTE* first = entry.firstDataExtent();
        if (first == nullptr || !first->nonResident) return FOUND_FILE::kNotSampled;
        // Clusters past the initialized size hold nothing of the file.
        const std::uint64_t initialized = std::min(first->initializedSize, first->dataSize);
        for (const DATA_ATTRIBUTE* d : entry.dataExtents()) {
            if (!d->nonResident || d->startingVcn < 0) continue;
            std::uint64_t vcn = static_cast<std::uint64_t>(d->startingVcn);
            for (const RUN_ENTRY& r : d->runs) {
                const std::uint64_t runVcn = vcn;
                vcn += r.length;
                if (r.sparse || r.length == 0 || r.lcn < 0) continue;
                const auto lcn = static_cast<std::uint64_t>(r.lcn);
                for (std::uint64_t k = 0; k < r.length; k += stride) {
                    if (runVcn + k >= initialized / clusterBytes + (initialized % clusterBytes != 0 ? 1 : 0)) break;
                    if (totalClusters != 0 && lcn + k >= totalClusters) break;
                    try {
                        fs_.volume().readBytes(cluster_.data(), cluster_.size(), (lcn + k) * clusterBytes,
                                               "ZeroSample::measure");
                    } catch (const ErrorException&) {
                        continue;  // an unreadable cluster tells nothing
                    }
                    ++sampled;
                    const bool zero = cluster_[0] == 0 &&
                                      std::memcmp(cluster_.data(), cluster_.data() + 1, cluster_.size() - 1) == 0;
                    if (zero) ++zeros;
                }
            }
        }
    } catch (const ErrorException&) {
        // Runs outside the volume, a record that can't be read: no sample.
    }
    if (sampled == 0) return FOUND_FILE::kNotSampled;
    return zeros == sampled ? Recoverability::kWhole : Recoverability::percent(zeros, sampled);
}

} // namespace resurgo
