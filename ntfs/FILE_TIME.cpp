#include "ntfs/FILE_TIME.h"

#include <cstdint>
#include <cstdio>

#include "core/ErrorException.h"

namespace resurgo {

namespace {

// Civil date from days since 1970-01-01 (proleptic Gregorian).
void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
}

} // namespace

FILE_TIME::FILE_TIME() = default;
FILE_TIME::~FILE_TIME() = default;

FILE_TIME FILE_TIME::set(std::uint32_t low, std::uint32_t high) {
    utc_ = (static_cast<std::uint64_t>(high) << 32) | low;
    ConvertToLocalSystemTime();
    return *this;
}

void FILE_TIME::ConvertToLocalSystemTime() {
    LocalTime lt;
    if (!platform().utcToLocal(utc_, lt)) {
        std::uint32_t err = platform().lastError();
        throw ErrorException(kErrTimeConvert, err, "FILE_TIME::ConvertToLocalSystemTime");
    }
    local_ = lt;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d.%02d.%02d %02d:%02d", lt.month, lt.day, lt.year, lt.hour, lt.minute);
    text_ = buf;
}

bool FILE_TIME::isWithinDays(std::int32_t days) const { return isWithinDays(days, platform().currentUtc()); }

bool FILE_TIME::isWithinDays(std::int32_t days, std::uint64_t nowUtc) const {
    // Now minus N days; a span reaching before 1601 means "since ever"
    // rather than wrapping around to a threshold in the far future.
    // More than about 21 million days do not fit in 64 bits of ticks: the
    // span saturates instead of wrapping to a short one.
    std::uint64_t count = days >= 0 ? static_cast<std::uint64_t>(days)
                                    : static_cast<std::uint64_t>(-static_cast<std::int64_t>(days));
    std::uint64_t span = count > UINT64_MAX / kTicksPerDay ? UINT64_MAX : count * kTicksPerDay;
    std::uint64_t threshold;
    if (days >= 0) {
        threshold = span > nowUtc ? 0 : nowUtc - span;
    } else {
        threshold = span > UINT64_MAX - nowUtc ? UINT64_MAX : nowUtc + span;
    }
    // Compared as unsigned 64-bit values, as the platform compares FILETIMEs.
    return utc_ >= threshold;
}

std::string FILE_TIME::isoUtc() const {
    std::int64_t secs = static_cast<std::int64_t>(utc_ / 10000000ULL) - 11644473600LL;
    std::int64_t days = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
    std::int64_t rem = secs - days * 86400;
    std::int64_t y = 0;
    unsigned m = 0, d = 0;
    civilFromDays(days, y, m, d);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<long long>(y), m, d,
                  static_cast<long long>(rem / 3600), static_cast<long long>((rem / 60) % 60),
                  static_cast<long long>(rem % 60));
    return buf;
}

} // namespace resurgo
