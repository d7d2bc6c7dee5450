#pragma once
// Decoded run lists (mapping pairs) of non-resident attributes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/ErrorException.h"

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

    // The diagnostic (code 15) of a list that decodes but whose run lies
    // before cluster 0 or past the volume's last cluster, or whose running
    // LCN overflows.
    static constexpr const char* kOutsideDiagnostic = "RUN_LIST::RUN_LIST <Run outside the volume>";

    // What the runs are checked against, and where the list lies (for the
    // errors it reports).
    struct Context {
        // Clusters on the volume; 0 when unknown (then runs are not bounded).
        std::uint64_t totalClusters = 0;
        // The record that holds the list, when known.
        std::optional<std::uint64_t> recordNumber;
        // Byte offset of the list's first byte from the record's start.
        std::uint64_t recordOffset = 0;
    };

    RUN_LIST();
    // Decodes runs from [begin, end) until they cover lastVcn - startVcn + 1
    // clusters. An attribute whose last VCN lies below its first holds no
    // clusters and decodes to an empty list.
    //
    // A malformed list (a bad field size, a list ending before the range is
    // covered, a sparse run where none may be) raises at once. A list that
    // decodes but names clusters no volume has (a run of length 0, a running
    // LCN that overflows, a run below cluster 0 or reaching past the
    // context's last cluster) keeps its first such fault instead and raises
    // it, code 15 (with the decoder's diagnostic for a run of length 0,
    // kOutsideDiagnostic for the others), whenever its runs are read:
    // the record holding it still opens (a deleted file whose runs are
    // damaged is still listed), only what would follow the runs fails.
    // Errors carry the context's record number and the byte offset of the
    // run at fault within the record.
    RUN_LIST(const std::uint8_t* begin, const std::uint8_t* end, std::int64_t startVcn, std::int64_t lastVcn, Kind kind,
             const Context& context);
    // The same with no record and no volume size known.
    RUN_LIST(const std::uint8_t* begin, const std::uint8_t* end, std::int64_t startVcn, std::int64_t lastVcn,
             Kind kind);
    virtual ~RUN_LIST();
    RUN_LIST(const RUN_LIST&) = default;
    RUN_LIST& operator=(const RUN_LIST&) = default;

    // One run at the cursor; advances it. Running LCN is updated for
    // non-sparse runs. Raises 15 (bad field, the run list runs past end, or
    // the running LCN overflows) and, for an ordinary list without sparse
    // runs, 16.
    static void decompress_run(const std::uint8_t*& cursor, const std::uint8_t* end, std::uint32_t& length,
                               std::int64_t& runningLcn, bool allowSparse, bool& sparse);
    static void decompress_run_compressed(const std::uint8_t*& cursor, const std::uint8_t* end,
                                          std::uint32_t& length, std::int64_t& offset);

    // Every reader of the runs below raises the kept fault, if any.
    const std::vector<RUN_ENTRY>& entries() const {
        check();
        return entries_;
    }
    std::size_t size() const { return entries().size(); }
    const RUN_ENTRY& operator[](std::size_t i) const { return entries()[i]; }
    bool empty() const { return entries().empty(); }
    std::vector<RUN_ENTRY>::const_iterator begin() const { return entries().begin(); }
    std::vector<RUN_ENTRY>::const_iterator end() const { return entries().end(); }
    // Sum of the run lengths in clusters.
    std::uint64_t totalClusters() const;

    // True when the runs decoded but one of them names clusters outside the
    // volume; error() then describes it.
    bool faulty() const { return fault_.has_value(); }
    // Raises the kept fault, if any.
    void check() const {
        if (fault_) raiseFault();
    }
    // The kept fault as the error check() raises, or nothing.
    std::optional<ErrorException> error() const;

private:
    struct Fault {
        const char* diagnostic;
        std::uint64_t recordOffset;
        std::optional<std::uint64_t> recordNumber;
    };
    // The error of the kept fault (fault_ is set).
    ErrorException faultError() const;
    [[noreturn]] void raiseFault() const;

    std::vector<RUN_ENTRY> entries_;
    std::optional<Fault> fault_;
};

} // namespace resurgo
