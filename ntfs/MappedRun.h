#pragma once
// A run of clusters placed at its VCN, and the lookup of the run holding a
// VCN in runs sorted by VCN (O(log runs)).

#include <algorithm>
#include <cstdint>
#include <vector>

namespace resurgo {

struct MappedRun {
    std::uint64_t vcn = 0;     // first VCN of the run
    std::uint64_t length = 0;  // clusters
    std::uint64_t lcn = 0;
    bool sparse = false;
    // The clusters were already mapped at lower VCNs: a corrupt run list
    // that names them again.
    bool repeated = false;

    // Where a walk of runs (sorted by VCN, not overlapping) from vcn on
    // starts: the run holding vcn or the last one before it, else the first.
    static std::vector<MappedRun>::const_iterator from(const std::vector<MappedRun>& runs, std::uint64_t vcn) {
        auto it = std::upper_bound(runs.begin(), runs.end(), vcn,
                                   [](std::uint64_t v, const MappedRun& r) { return v < r.vcn; });
        return it == runs.begin() ? it : it - 1;
    }
    // The run of runs holding vcn, or nullptr when none covers it.
    static const MappedRun* find(const std::vector<MappedRun>& runs, std::uint64_t vcn) {
        const auto it = from(runs, vcn);
        return it != runs.end() && it->vcn <= vcn && vcn - it->vcn < it->length ? &*it : nullptr;
    }
};

} // namespace resurgo
