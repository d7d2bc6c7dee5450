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

// The cluster holding VCN vcn of a run list (sorted by VCN), or nothing
// when no run covers it.
std::optional<std::uint64_t> lcnOf(const std::vector<MappedRun>& runs, std::uint64_t vcn) {
    const MappedRun* r = MappedRun::find(runs, vcn);
    if (r == nullptr) return std::nullopt;
    return r->lcn + (vcn - r->vcn);
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
        std::uint64_t start = 0;
        try {
            if (source.readAt(sector.data(), sector.size(), places[i], "DeepGeometry::fromBootSectors") != sector.size()) {
                continue;
            }
            boot.parse(sector.data(), sector.size(), size / kSectorBytes);
            if (i > 0) {
                // A backup lies at the sector just past the count it states:
                // the volume starts that many sectors before it.
                if (boot.totalSectors > places[i] / boot.bytesPerSector) continue;
                start = places[i] - boot.totalSectors * boot.bytesPerSector;
            }
            boot.makeGeometry(root, geometry);
        } catch (const ErrorException&) {
            continue;
        }
        from = i == 0 ? From::BootSector : From::BackupBootSector;
        bootOffset = places[i];
        volumeStart = start;
        confirmed = true;
        return true;
    }
    return false;
}

namespace {

// Where a $MFT's runs put records: the byte (from the volume's start) of
// record `number`, for records of recordBytes in clusters of clusterBytes.
class MftPlaces {
public:
    MftPlaces(const DeepScan::RunsOf& mft, std::uint64_t clusterBytes, std::uint64_t recordBytes)
        : runs_(mft.runs), clusterBytes_(clusterBytes), recordBytes_(recordBytes) {
        std::sort(runs_.begin(), runs_.end(), [](const auto& a, const auto& b) { return a.vcn < b.vcn; });
    }
    std::optional<std::uint64_t> place(std::uint64_t number) const {
        if (number > UINT64_MAX / recordBytes_) return std::nullopt;
        const std::uint64_t byte = number * recordBytes_;
        const std::uint64_t vcn = byte / clusterBytes_;
        const MappedRun* it = MappedRun::find(runs_, vcn);
        if (it == nullptr) return std::nullopt;
        const std::uint64_t lcn = it->lcn + (vcn - it->vcn);
        if (lcn < it->lcn || lcn > (UINT64_MAX - clusterBytes_) / clusterBytes_) return std::nullopt;
        return lcn * clusterBytes_ + byte % clusterBytes_;
    }

private:
    std::vector<MappedRun> runs_;
    std::uint64_t clusterBytes_;
    std::uint64_t recordBytes_;
};

// Records found exactly where the runs put their numbers, the volume
// starting at start.
std::uint64_t recordsInPlace(const DeepScan::Found& found, const MftPlaces& places, std::uint64_t start,
                             std::uint32_t recordBytes) {
    std::uint64_t n = 0;
    for (const auto& r : found.records) {
        if (r.recordBytes != recordBytes || r.offset < start) continue;
        const auto at = places.place(r.recordNumber);
        if (at && *at == r.offset - start) ++n;
    }
    return n;
}

// Distinct $MFT run lists found (copies of one list count once); a few at most.
constexpr std::size_t kMaxMftLists = 4;
// Candidates from index blocks whose record agreements are counted.
constexpr std::size_t kMaxIndexCandidates = 4;

} // namespace

namespace {

// (cluster size, volume start)
using Key = std::pair<std::uint32_t, std::uint64_t>;

// How much agrees with one candidate geometry.
struct Score {
    Key key;
    std::uint64_t index = 0, records = 0;
    std::uint64_t total() const { return index + records; }
};

// The record size most records have.
std::uint32_t usualRecordBytes(const DeepScan::Found& found) {
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
    return recordBytes;
}

// Votes for (cluster size, volume start): one per index block for every
// cluster size under which it fits its directory's allocation.
std::map<Key, std::uint64_t> indexVotes(const DeepScan::Found& found) {
    std::map<Key, std::uint64_t> votes;
    std::multimap<std::uint64_t, const DeepScan::RunsOf*> allocations;
    for (const auto& a : found.indexAllocations) allocations.emplace(a.recordNumber, &a);
    for (std::uint32_t cs = DeepGeometry::kMinClusterBytes; cs <= DeepGeometry::kMaxClusterBytes; cs *= 2) {
        for (const auto& block : found.indexBlocks) {
            // Index block VCNs count clusters, or 512-byte units when a
            // cluster is larger than a block.
            const std::uint64_t unit = block.bytes >= cs ? cs : kSectorBytes;
            if (block.vcn > UINT64_MAX / unit) continue;
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
    }
    return votes;
}

// The $MFT run lists found, copies of one list once.
std::vector<const DeepScan::RunsOf*> distinctMftLists(const DeepScan::Found& found) {
    std::vector<const DeepScan::RunsOf*> lists;
    for (const auto& mft : found.mftRuns) {
        if (lists.size() >= kMaxMftLists) break;
        const bool seen = std::any_of(lists.begin(), lists.end(), [&](const DeepScan::RunsOf* l) {
            return l->runs.size() == mft.runs.size() &&
                   std::equal(l->runs.begin(), l->runs.end(), mft.runs.begin(), [](const auto& a, const auto& b) {
                       return a.vcn == b.vcn && a.lcn == b.lcn && a.length == b.length;
                   });
        });
        if (!seen) lists.push_back(&mft);
    }
    return lists;
}

// The geometries worth scoring: the index blocks' best, and the starts the
// $MFT run lists give when their copy is record 0 where the MFT begins.
std::set<Key> candidatesOf(const std::map<Key, std::uint64_t>& votes, const std::vector<const DeepScan::RunsOf*>& lists,
                           std::uint32_t recordBytes) {
    std::set<Key> candidates;
    std::vector<std::pair<std::uint64_t, Key>> ranked;
    ranked.reserve(votes.size());
    for (const auto& [key, count] : votes) ranked.push_back({count, key});
    std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (std::size_t i = 0; i < ranked.size() && i < kMaxIndexCandidates; ++i) candidates.insert(ranked[i].second);
    for (const DeepScan::RunsOf* mft : lists) {
        for (std::uint32_t cs = DeepGeometry::kMinClusterBytes; cs <= DeepGeometry::kMaxClusterBytes; cs *= 2) {
            const auto at = MftPlaces(*mft, cs, recordBytes).place(0);
            if (at && *at <= mft->recordOffset) candidates.insert({cs, mft->recordOffset - *at});
        }
    }
    return candidates;
}

// The candidates that anything agrees with, best first: the most
// agreements; ties go to a volume starting at the source's start, then to
// the usual cluster size.
std::vector<Score> ranked(const DeepScan::Found& found, const std::set<Key>& candidates,
                          const std::map<Key, std::uint64_t>& votes, const std::vector<const DeepScan::RunsOf*>& lists,
                          std::uint32_t recordBytes) {
    std::vector<Score> scores;
    for (const Key& key : candidates) {
        Score s{key};
        auto v = votes.find(key);
        if (v != votes.end()) s.index = v->second;
        for (const DeepScan::RunsOf* mft : lists) {
            s.records = std::max(s.records, recordsInPlace(found, MftPlaces(*mft, key.first, recordBytes), key.second,
                                                           recordBytes));
        }
        if (s.total() > 0) scores.push_back(s);
    }
    auto better = [](const Score& a, const Score& b) {
        if (a.total() != b.total()) return a.total() > b.total();
        if ((a.key.second == 0) != (b.key.second == 0)) return a.key.second == 0;
        if ((a.key.first == kAssumedClusterBytes) != (b.key.first == kAssumedClusterBytes)) {
            return a.key.first == kAssumedClusterBytes;
        }
        return a.key < b.key;
    };
    std::sort(scores.begin(), scores.end(), better);
    return scores;
}

} // namespace

void DeepGeometry::infer(const DeepScan::Found& found, std::uint64_t sourceBytes, const std::string& root) {
    const std::uint32_t recordBytes = usualRecordBytes(found);
    const std::map<Key, std::uint64_t> votes = indexVotes(found);
    const std::vector<const DeepScan::RunsOf*> lists = distinctMftLists(found);
    const std::vector<Score> scores = ranked(found, candidatesOf(votes, lists, recordBytes), votes, lists, recordBytes);

    std::uint32_t clusterBytes = kAssumedClusterBytes;
    std::uint64_t start = 0;
    indexAgreements = recordAgreements = evidence = 0;
    confirmed = false;
    if (!scores.empty()) {
        const Score& best = scores.front();
        clusterBytes = best.key.first;
        start = best.key.second;
        indexAgreements = best.index;
        recordAgreements = best.records;
        evidence = best.total();
        // Confirmed: enough independent agreement, and no other geometry
        // with even half as much.
        const bool enough = best.records >= kMinRecordAgreements || best.index >= kMinIndexAgreements;
        const std::uint64_t rival = scores.size() > 1 ? scores[1].total() : 0;
        confirmed = enough && rival * 2 < best.total();
    }
    from = evidence > 0 ? From::Inferred : From::Assumed;
    volumeStart = start;
    const std::uint64_t volumeBytes = sourceBytes > start ? sourceBytes - start : 0;
    std::uint64_t mftCluster = 0;
    for (const DeepScan::RunsOf* mft : lists) {
        const auto at = MftPlaces(*mft, clusterBytes, recordBytes).place(0);
        if (at && mft->recordOffset >= start && mft->recordOffset - start == *at) mftCluster = *at / clusterBytes;
    }
    geometry.init(root, kSectorBytes, clusterBytes / kSectorBytes, -log2Of(recordBytes), mftCluster, 0, 0,
                  volumeBytes / clusterBytes);
}

void DeepGeometry::fromLog(std::uint32_t clusterBytes, std::uint32_t recordBytes, std::uint64_t agreements,
                           std::uint64_t sourceBytes, const std::string& root) {
    from = From::Inferred;
    indexAgreements = recordAgreements = 0;
    logAgreements = evidence = agreements;
    confirmed = agreements >= kMinLogAgreements;
    const std::uint64_t volumeBytes = sourceBytes > volumeStart ? sourceBytes - volumeStart : 0;
    geometry.init(root, kSectorBytes, clusterBytes / kSectorBytes, -log2Of(recordBytes), 0, 0, 0,
                  volumeBytes / clusterBytes);
}

} // namespace resurgo
