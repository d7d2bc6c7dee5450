#include "file/MftRunTable.h"

#include <algorithm>
#include <iterator>
#include <map>

namespace resurgo {

MftRunTable::MftRunTable() = default;
MftRunTable::~MftRunTable() = default;

void MftRunTable::add(std::uint64_t vcn, std::uint64_t length, std::uint64_t lcn, bool sparse) {
    if (length == 0) return;
    runs_.push_back(Run{vcn, length, lcn, sparse, false});
}

void MftRunTable::sort() {
    std::stable_sort(runs_.begin(), runs_.end(), [](const Run& a, const Run& b) { return a.vcn < b.vcn; });
    markRepeated();
}

void MftRunTable::markRepeated() {
    repeated_.clear();
    // The clusters mapped so far, as disjoint [first, end) ranges by first
    // cluster: each run looks only at the ranges it meets.
    std::map<std::uint64_t, std::uint64_t> mapped;
    std::vector<Run> out;
    out.reserve(runs_.size());
    auto keep = [&out](const Run& r) {
        if (r.length != 0) out.push_back(r);
    };
    for (const Run& run : runs_) {
        if (run.sparse || run.repeated) {
            keep(run);
            continue;
        }
        // A run whose clusters wrap around the 64-bit range is cut at the
        // top: what lies past it is no cluster of any volume.
        const std::uint64_t first = run.lcn;
        const std::uint64_t end = run.length > UINT64_MAX - first ? UINT64_MAX : first + run.length;
        std::uint64_t at = first;
        auto it = mapped.upper_bound(first);
        if (it != mapped.begin() && std::prev(it)->second > first) --it;
        auto piece = [&](std::uint64_t from, std::uint64_t to, bool again) {
            if (to <= from) return;
            Run p{run.vcn + (from - first), to - from, from, false, again};
            keep(p);
            if (!again) return;
            if (!repeated_.empty()) {
                Run& last = repeated_.back();
                if (last.vcn + last.length == p.vcn && last.lcn + last.length == p.lcn) {
                    last.length += p.length;
                    return;
                }
            }
            repeated_.push_back(p);
        };
        for (; it != mapped.end() && it->first < end && at < end; ++it) {
            piece(at, std::max(at, it->first), false);
            const std::uint64_t coveredEnd = std::min(end, it->second);
            piece(std::max(at, it->first), coveredEnd, true);
            at = std::max(at, coveredEnd);
        }
        piece(at, end, false);
        // Record the run's clusters as mapped, merged with its neighbours.
        std::uint64_t lo = first, hi = end;
        auto from = mapped.upper_bound(lo);
        if (from != mapped.begin() && std::prev(from)->second >= lo) --from;
        auto to = from;
        for (; to != mapped.end() && to->first <= hi; ++to) {
            lo = std::min(lo, to->first);
            hi = std::max(hi, to->second);
        }
        mapped.erase(from, to);
        if (hi > lo) mapped.emplace(lo, hi);
    }
    runs_.swap(out);
}

std::uint64_t MftRunTable::clusterCount() const {
    std::uint64_t end = 0;
    for (const auto& r : runs_) end = std::max(end, r.vcn + r.length);
    return end;
}

const MftRunTable::Run* MftRunTable::find(std::uint64_t vcn) const {
    auto it =
        std::upper_bound(runs_.begin(), runs_.end(), vcn, [](std::uint64_t v, const Run& r) { return v < r.vcn; });
    if (it == runs_.begin()) return nullptr;
    --it;
    if (vcn - it->vcn < it->length) return &*it;
    return nullptr;
}

} // namespace resurgo
