#pragma once
// The runs of the MFT's own data with their starting VCNs, so that the
// cluster holding any byte of the MFT is found in O(log runs).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace resurgo {

class MftRunTable {
public:
    struct Run {
        std::uint64_t vcn = 0;     // first VCN of the run
        std::uint64_t length = 0;  // clusters
        std::uint64_t lcn = 0;
        bool sparse = false;
        // The clusters were already mapped at lower VCNs: a corrupt run list
        // that names them again. Nothing is read here.
        bool repeated = false;
    };

    MftRunTable();
    virtual ~MftRunTable();

    void clear() {
        runs_.clear();
        repeated_.clear();
    }
    // Adds a run at the given VCN (runs are kept sorted by VCN).
    void add(std::uint64_t vcn, std::uint64_t length, std::uint64_t lcn, bool sparse);
    // Sorts the runs by VCN, then marks every cluster that a run maps
    // after a lower VCN mapped it already as repeated (such a run is cut
    // into the pieces mapped for the first time and the repeated ones).
    void sort();
    // Clusters covered (from VCN 0 to the end of the last run).
    std::uint64_t clusterCount() const;
    // The run holding vcn, or nullptr when no run covers it.
    const Run* find(std::uint64_t vcn) const;
    const std::vector<Run>& runs() const { return runs_; }
    bool empty() const { return runs_.empty(); }
    // The repeated pieces, in VCN order, adjacent ones merged when their
    // clusters follow one another.
    const std::vector<Run>& repeated() const { return repeated_; }

private:
    void markRepeated();

    std::vector<Run> runs_;
    std::vector<Run> repeated_;
};

} // namespace resurgo
