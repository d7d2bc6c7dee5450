#pragma once
// What a search passed over for its age limit alone: the deleted files
// whose name matched the pattern but that were neither modified nor
// created within the last days. An empty result tells from these whether
// a wider age limit would list something, and which.

#include <cstdint>

namespace resurgo {

struct OLDER_MATCHES {
    static constexpr std::uint64_t kTicksPerDay = 864000000000ULL;

    std::uint64_t count = 0;
    // Of the times that count for the age limit (the later of modified and
    // created), the newest and the oldest among these files; UTC in 100 ns
    // ticks since 1601.
    std::uint64_t newestUtc = 0;
    std::uint64_t oldestUtc = UINT64_MAX;
    // The clock the search compared against.
    std::uint64_t nowUtc = 0;

    // The smallest whole number of days whose age limit includes time.
    std::uint64_t daysToInclude(std::uint64_t utc) const {
        if (utc >= nowUtc) return 0;
        return (nowUtc - utc + kTicksPerDay - 1) / kTicksPerDay;
    }
    std::uint64_t daysForNewest() const { return count == 0 ? 0 : daysToInclude(newestUtc); }
    std::uint64_t daysForAll() const { return count == 0 ? 0 : daysToInclude(oldestUtc); }

    void add(std::uint64_t utc) {
        ++count;
        if (utc > newestUtc) newestUtc = utc;
        if (utc < oldestUtc) oldestUtc = utc;
    }
    void add(const OLDER_MATCHES& other) {
        count += other.count;
        if (other.count == 0) return;
        if (other.newestUtc > newestUtc) newestUtc = other.newestUtc;
        if (other.oldestUtc < oldestUtc) oldestUtc = other.oldestUtc;
    }
};

} // namespace resurgo
