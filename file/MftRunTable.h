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
    };

    MftRunTable();
    virtual ~MftRunTable();

    void clear() { runs_.clear(); }
    // Adds a run at the given VCN (runs are kept sorted by VCN).
    void add(std::uint64_t vcn, std::uint64_t length, std::uint64_t lcn, bool sparse);
    void sort();
    // Clusters covered (from VCN 0 to the end of the last run).
    std::uint64_t clusterCount() const;
    // The run holding vcn, or nullptr when no run covers it.
    const Run* find(std::uint64_t vcn) const;
    const std::vector<Run>& runs() const { return runs_; }
    bool empty() const { return runs_.empty(); }

private:
    std::vector<Run> runs_;
};

} // namespace resurgo
