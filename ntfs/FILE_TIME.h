#pragma once
// One NTFS time stamp (100 ns since 1601-01-01 UTC) with its local-time
// display text and the age test of the search.

#include <cstdint>
#include <string>

#include "platform/Platform.h"

namespace resurgo {

class FILE_TIME {
public:
    static constexpr std::uint64_t kTicksPerDay = 864000000000ULL;

    FILE_TIME();
    virtual ~FILE_TIME();
    FILE_TIME(const FILE_TIME&) = default;
    FILE_TIME& operator=(const FILE_TIME&) = default;

    // Stores the UTC value, converts it to local time; returns a copy.
    FILE_TIME set(std::uint32_t low, std::uint32_t high);
    FILE_TIME set(std::uint64_t value) {
        return set(static_cast<std::uint32_t>(value & 0xFFFFFFFFu), static_cast<std::uint32_t>(value >> 32));
    }
    void ConvertToLocalSystemTime();
    // "MM.DD.YYYY HH:MM" in local time.
    const std::string& text() const { return text_; }
    // True when the time is not earlier than now minus days.
    bool isWithinDays(std::int32_t days) const;
    // The same test against a given current time (for callers that test
    // many times against one moment).
    bool isWithinDays(std::int32_t days, std::uint64_t nowUtc) const;

    std::uint64_t utc() const { return utc_; }
    const LocalTime& local() const { return local_; }
    // ISO 8601 UTC with seconds: "2026-12-07T22:30:15Z".
    std::string isoUtc() const;

private:
    std::string text_;
    LocalTime local_;
    std::uint64_t utc_ = 0;
};

} // namespace resurgo
