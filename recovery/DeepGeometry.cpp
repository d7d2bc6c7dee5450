#include "recovery/DeepGeometry.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "core/ErrorException.h"
#include "ntfs/BootRecordNTFS.h"
#include "source/Source.h"

namespace resurgo {

namespace {

constexpr std::uint32_t kAssumedClusterBytes = 4096;
constexpr std::uint32_t kSectorBytes = 512;

// The cluster holding byte `byte` of a run list (runs from VCN 0), or
// nothing when no run covers it.
std::optional<std::uint64_t> lcnOf(const std::vector<DeepScan::RunsOf::Run>& runs, std::uint64_t vcn) {
    for (const auto& r : runs) {
        if (vcn >= r.vcn && vcn - r.vcn < r.length) return r.lcn + (vcn - r.vcn);
    }
    return std::nullopt;
}

std::int32_t log2Of(std::uint32_t v) {
    std::int32_t n = 0;
    while ((1u << n) < v) ++n;
    return n;
}

} // namespace

DeepGeometry::DeepGeometry() = default;
DeepGeometry::~DeepGeometry() = default;

bool DeepGeometry::fromBootSectors(Source& source, const std::string& root) {
    const std::uint64_t size = source.size();
    std::vector<std::uint64_t> places{0};
    // The backup boot sector is the volume's last sector, of 512 or 4096 bytes.
    for (std::uint64_t s : {std::uint64_t{512}, std::uint64_t{4096}}) {
        if (size >= 2 * s) places.push_back(size - s);
    }
    std::vector<std::uint8_t> sector(BootRecordNTFS::kBootSectorBytes);
    for (std::size_t i = 0; i < places.size(); ++i) {
        BootRecordNTFS boot;
        try {
            if (source.readAt(sector.data(), sector.size(), places[i], "DeepGeometry::fromBootSectors") != sector.size()) {
                continue;
            }
            boot.parse(sector.data(), sector.size(), size / kSectorBytes);
            // A backup names a volume that ends where it lies.
            if (i > 0 && boot.totalSectors * boot.bytesPerSector > places[i]) continue;
            geometry.init(root, boot.bytesPerSector, boot.sectorsPerCluster, boot.clustersPerMftRecord, boot.mftCluster,
                          boot.mftMirrorCluster, boot.clustersPerIndexRecord, boot.totalClusters());
        } catch (const ErrorException&) {
            continue;
        }
        from = i == 0 ? From::BootSector : From::BackupBootSector;
        bootOffset = places[i];
        volumeStart = 0;
        return true;
    }
    return false;
}

void DeepGeometry::infer(const DeepScan::Found& found, std::uint64_t sourceBytes, const std::string& root) {
    // The record size most records have.
    std::map<std::uint32_t, std::uint64_t> sizes;
    for (const auto& r : found.records) ++sizes[r.recordBytes];
    std::uint32_t recordBytes = 1024;
    std::uint64_t most = 0;
    for (const auto& [bytes, count] : sizes) {
        if (count > most) {
            most = count;
            recordBytes = bytes;
        }
    }

    // Votes for (cluster size, volume start): one per index block and per
    // copy of the MFT's first record, for every cluster size under which it
    // fits.
    std::map<std::pair<std::uint32_t, std::uint64_t>, std::uint64_t> votes;
    std::multimap<std::uint64_t, const DeepScan::RunsOf*> allocations;
    for (const auto& a : found.indexAllocations) allocations.emplace(a.recordNumber, &a);
    for (std::uint32_t cs = kMinClusterBytes; cs <= kMaxClusterBytes; cs *= 2) {
        for (const auto& block : found.indexBlocks) {
            // Index block VCNs count clusters, or 512-byte units when a
            // cluster is larger than a block.
            const std::uint64_t unit = block.bytes >= cs ? cs : kSectorBytes;
            const std::uint64_t byte = block.vcn * unit;
            if (block.offset < byte % cs) continue;
            std::set<std::uint64_t> starts;  // one vote per block and cluster size
            auto range = allocations.equal_range(block.directory);
            for (auto it = range.first; it != range.second; ++it) {
                const auto lcn = lcnOf(it->second->runs, byte / cs);
                if (!lcn || *lcn > (block.offset - byte % cs) / cs) continue;
                const std::uint64_t start = block.offset - byte % cs - *lcn * cs;
                if (start % kSectorBytes == 0) starts.insert(start);
            }
            for (std::uint64_t start : starts) ++votes[{cs, start}];
        }
        for (const auto& mft : found.mftRuns) {
            const std::uint64_t lcn = mft.runs.front().lcn;
            if (mft.runs.front().vcn != 0 || lcn > mft.recordOffset / cs) continue;
            ++votes[{cs, mft.recordOffset - lcn * cs}];
        }
    }

    std::uint32_t clusterBytes = kAssumedClusterBytes;
    std::uint64_t start = 0;
    evidence = 0;
    for (const auto& [key, count] : votes) {
        // Ties go to a volume starting at the source's start, then to the
        // usual cluster size.
        const bool better = count > evidence ||
                            (count == evidence && ((key.second == 0) > (start == 0) ||
                                                   ((key.second == 0) == (start == 0) && key.first == kAssumedClusterBytes)));
        if (better) {
            evidence = count;
            clusterBytes = key.first;
            start = key.second;
        }
    }
    from = evidence > 0 ? From::Inferred : From::Assumed;
    volumeStart = start;
    const std::uint64_t volumeBytes = sourceBytes > start ? sourceBytes - start : 0;
    std::uint64_t mftCluster = 0;
    for (const auto& mft : found.mftRuns) {
        if (mft.recordOffset >= start && (mft.recordOffset - start) % clusterBytes == 0 &&
            (mft.recordOffset - start) / clusterBytes == mft.runs.front().lcn) {
            mftCluster = mft.runs.front().lcn;
        }
    }
    geometry.init(root, kSectorBytes, clusterBytes / kSectorBytes, -log2Of(recordBytes), mftCluster, 0, 0,
                  volumeBytes / clusterBytes);
}

} // namespace resurgo
