#pragma once
// One NTFS time stamp (100 ns since 1601-01-01 UTC) with its local-time
// display text and the age test of the search.

#include <cstdint>
#include <string>

#include "platform/Platform.h"

namespace resurgo {

// A plain 64-bit value (no vtable): a search keeps three per result.
class FILE_TIME {
public:
    static constexpr std::uint64_t kTicksPerDay = 864000000000ULL;

    // Stores the UTC value once it converts to local time (code 21 when the
    // platform can't; the object is then left as it was); returns a copy.
    FILE_TIME set(std::uint32_t low, std::uint32_t high);
    FILE_TIME set(std::uint64_t value) {
        return set(static_cast<std::uint32_t>(value & 0xFFFFFFFFu), static_cast<std::uint32_t>(value >> 32));
    }
    // A time taken as it stands; its local form is worked out when shown.
    static FILE_TIME fromUtc(std::uint64_t value);
    // Code 21 when the platform can't convert the value to local time.
    void ConvertToLocalSystemTime();
    // "MM.DD.YYYY HH:MM" in local time.
    std::string text() const;
    // True when the time is not earlier than now minus days.
    bool isWithinDays(std::int32_t days) const;
    // The same test against a given current time (for callers that test
    // many times against one moment).
    bool isWithinDays(std::int32_t days, std::uint64_t nowUtc) const;

    std::uint64_t utc() const { return utc_; }
    // Local time; all zero when the platform can't convert the value.
    LocalTime local() const;
    // ISO 8601 UTC with seconds: "2026-12-07T22:30:15Z".
    std::string isoUtc() const;
    // The same appended to out (no allocation once out has room).
    void appendIsoUtc(std::string& out) const;

private:
    std::uint64_t utc_ = 0;
};

} // namespace resurgo
