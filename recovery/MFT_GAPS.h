#pragma once
// What a walk of the MFT could not see: records the source would not give
// (their clusters unreadable: a bad sector, a container cluster that can't
// be read), and clusters that the MFT's run list maps a second time (the
// records there are met once, where the clusters were first mapped). A
// search with gaps may have missed deleted files.

#include <cstdint>
#include <vector>

namespace resurgo {

struct MFT_GAPS {
    // Records first .. first + count - 1, whose first byte lies at byte
    // offset of the volume.
    struct Range {
        std::uint64_t first = 0;
        std::uint64_t count = 0;
        std::uint64_t offset = 0;
    };
    // Ranges shown in a message before "and N more".
    static constexpr std::size_t kShownRanges = 8;

    // In record order; adjacent records merged into one range.
    std::vector<Range> unreadable;
    std::uint64_t unreadableRecords = 0;
    // The records the run list maps onto clusters mapped before, at the
    // offset of those clusters' first mapping.
    std::vector<Range> repeated;

    bool empty() const { return unreadable.empty() && repeated.empty(); }

    void addUnreadable(std::uint64_t record, std::uint64_t offset) {
        ++unreadableRecords;
        if (!unreadable.empty() && unreadable.back().first + unreadable.back().count == record) {
            ++unreadable.back().count;
            return;
        }
        unreadable.push_back(Range{record, 1, offset});
    }
    // Appends what a later part of the walk found.
    void addUnreadable(const MFT_GAPS& later) {
        for (const Range& r : later.unreadable) {
            if (!unreadable.empty() && unreadable.back().first + unreadable.back().count == r.first) {
                unreadable.back().count += r.count;
            } else {
                unreadable.push_back(r);
            }
        }
        unreadableRecords += later.unreadableRecords;
    }
};

} // namespace resurgo
