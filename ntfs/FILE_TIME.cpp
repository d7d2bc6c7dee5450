#include "ntfs/FILE_TIME.h"

#include <cstdint>

#include "core/ErrorException.h"

namespace resurgo {

namespace {

constexpr std::uint64_t kTicksPerSecond = 10000000ULL;
constexpr std::int64_t kSecondsTo1970 = 11644473600LL;

// Civil date from days since 1970-01-01 (proleptic Gregorian).
void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
}

// Appends v zero-padded to at least width digits (the times are shown
// often enough that printf's parsing shows up in profiles).
void appendNumber(std::string& out, std::int64_t v, int width) {
    char digits[24];
    int n = 0;
    bool negative = v < 0;
    std::uint64_t u = negative ? static_cast<std::uint64_t>(-(v + 1)) + 1 : static_cast<std::uint64_t>(v);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (negative) out.push_back('-');
    for (int i = n; i < width; ++i) out.push_back('0');
    while (n > 0) out.push_back(digits[--n]);
}

} // namespace


FILE_TIME FILE_TIME::fromUtc(std::uint64_t value) {
    FILE_TIME t;
    t.utc_ = value;
    return t;
}

FILE_TIME FILE_TIME::set(std::uint32_t low, std::uint32_t high) {
    FILE_TIME converted;
    converted.utc_ = (static_cast<std::uint64_t>(high) << 32) | low;
    converted.ConvertToLocalSystemTime();
    *this = converted;
    return *this;
}

void FILE_TIME::ConvertToLocalSystemTime() {
    LocalTime lt;
    if (!platform().utcToLocal(utc_, lt)) {
        std::uint32_t err = platform().lastError();
        throw ErrorException(kErrTimeConvert, err, "FILE_TIME::ConvertToLocalSystemTime");
    }
}

LocalTime FILE_TIME::local() const {
    // Worked out each time it is asked for: a search keeps three times per
    // result and shows few of them, and nothing is cached that several
    // threads could race on.
    LocalTime lt;
    if (!platform().utcToLocal(utc_, lt)) lt = LocalTime{};
    return lt;
}

std::string FILE_TIME::text() const {
    const LocalTime lt = local();
    std::string s;
    s.reserve(20);
    appendNumber(s, lt.month, 2);
    s.push_back('.');
    appendNumber(s, lt.day, 2);
    s.push_back('.');
    appendNumber(s, lt.year, 2);
    s.push_back(' ');
    appendNumber(s, lt.hour, 2);
    s.push_back(':');
    appendNumber(s, lt.minute, 2);
    return s;
}

bool FILE_TIME::isWithinDays(std::int32_t days) const { return isWithinDays(days, platform().currentUtc()); }

bool FILE_TIME::isWithinDays(std::int32_t days, std::uint64_t nowUtc) const {
    // Now minus N days; a span reaching before 1601 means "since ever"
    // rather than wrapping around to a threshold in the far future. The
    // span itself saturates instead of overflowing for huge N.
    const std::uint64_t magnitude =
        days >= 0 ? static_cast<std::uint64_t>(days) : static_cast<std::uint64_t>(-static_cast<std::int64_t>(days));
    const std::uint64_t span = magnitude > UINT64_MAX / kTicksPerDay ? UINT64_MAX : magnitude * kTicksPerDay;
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
    std::string s;
    appendIsoUtc(s);
    return s;
}

void FILE_TIME::appendIsoUtc(std::string& s) const {
    const std::int64_t secs = static_cast<std::int64_t>(utc_ / kTicksPerSecond) - kSecondsTo1970;
    const std::int64_t days = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
    const auto rem = static_cast<unsigned>(secs - days * 86400);
    std::int64_t y = 0;
    unsigned m = 0, d = 0;
    civilFromDays(days, y, m, d);
    // NTFS times reach from 1601 to 60056: four digits, five at most. Every
    // result shows three times, so this avoids the general number code.
    if (y < 1000 || y > 9999) {
        appendNumber(s, y, 4);
    } else {
        const auto year = static_cast<unsigned>(y);
        char digits[4] = {static_cast<char>('0' + year / 1000), static_cast<char>('0' + year / 100 % 10),
                          static_cast<char>('0' + year / 10 % 10), static_cast<char>('0' + year % 10)};
        s.append(digits, 4);
    }
    const unsigned hour = rem / 3600, minute = rem / 60 % 60, second = rem % 60;
    const char rest[16] = {'-', static_cast<char>('0' + m / 10), static_cast<char>('0' + m % 10), '-',
                           static_cast<char>('0' + d / 10), static_cast<char>('0' + d % 10), 'T',
                           static_cast<char>('0' + hour / 10), static_cast<char>('0' + hour % 10), ':',
                           static_cast<char>('0' + minute / 10), static_cast<char>('0' + minute % 10), ':',
                           static_cast<char>('0' + second / 10), static_cast<char>('0' + second % 10), 'Z'};
    s.append(rest, sizeof rest);
}

} // namespace resurgo
