#pragma once
// Decoded run lists (mapping pairs) of non-resident attributes.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace resurgo {

struct RUN_ENTRY {
    // Ordinary lists: the run's absolute LCN. Compressed lists: the raw
    // on-disk offset (0 for a sparse run; the first run's value is absolute).
    std::int64_t cluster = 0;
    std::uint32_t length = 0;
    // No clusters on disk (reads as zeros).
    bool sparse = false;
    // Absolute LCN of the run in both kinds of list (meaningless when sparse).
    std::int64_t lcn = 0;
};

class RUN_LIST {
public:
    enum class Kind { Ordinary, OrdinaryAllowSparse, Compressed };

    RUN_LIST();
    // Decodes runs from [begin, end) until they cover lastVcn - startVcn + 1
    // clusters. An attribute whose last VCN lies below its first holds no
    // clusters and decodes to an empty list.
    RUN_LIST(const std::uint8_t* begin, const std::uint8_t* end, std::int64_t startVcn, std::int64_t lastVcn, Kind kind);
    virtual ~RUN_LIST();
    RUN_LIST(const RUN_LIST&) = default;
    RUN_LIST& operator=(const RUN_LIST&) = default;

    // One run at the cursor; advances it. Running LCN is updated for
    // non-sparse runs. Raises 15 (bad field, or the run list runs past end)
    // and, for an ordinary list without sparse runs, 16.
    static void decompress_run(const std::uint8_t*& cursor, const std::uint8_t* end, std::uint32_t& length,
                               std::int64_t& runningLcn, bool allowSparse, bool& sparse);
    static void decompress_run_compressed(const std::uint8_t*& cursor, const std::uint8_t* end,
                                          std::uint32_t& length, std::int64_t& offset);

    const std::vector<RUN_ENTRY>& entries() const { return entries_; }
    std::size_t size() const { return entries_.size(); }
    const RUN_ENTRY& operator[](std::size_t i) const { return entries_[i]; }
    bool empty() const { return entries_.empty(); }
    std::vector<RUN_ENTRY>::const_iterator begin() const { return entries_.begin(); }
    std::vector<RUN_ENTRY>::const_iterator end() const { return entries_.end(); }
    // Sum of the run lengths in clusters.
    std::uint64_t totalClusters() const;

private:
    std::vector<RUN_ENTRY> entries_;
};

} // namespace resurgo
