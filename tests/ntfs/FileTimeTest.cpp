// File times: the local display text, the conversion failure, the age test
// of the search at its boundaries, and the UTC text.

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "core/ErrorException.h"
#include "ntfs/FILE_TIME.h"
#include "support/TestSupport.h"

using namespace resurgo;

namespace {

constexpr std::uint64_t kDay = 864000000000ULL;
constexpr std::uint64_t kSecond = 10000000ULL;

// NTFS ticks of a UTC calendar moment, counted independently of the engine
// (days since 1601-01-01 by whole years and months).
std::uint64_t ntfsTicks(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    auto leap = [](int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
    static const int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    std::uint64_t days = 0;
    for (int y = 1601; y < year; ++y) days += leap(y) ? 366 : 365;
    for (int m = 1; m < month; ++m) days += kMonthDays[m - 1] + ((m == 2 && leap(year)) ? 1 : 0);
    days += static_cast<std::uint64_t>(day - 1);
    return days * kDay + (static_cast<std::uint64_t>(hour) * 3600 + minute * 60 + second) * kSecond;
}

// A platform with a fixed clock and a fixed local-time answer.
class FixedTimePlatform : public test::DelegatingPlatform {
public:
    std::uint64_t now = 0;
    LocalTime answer;
    bool failConversion = false;
    std::uint64_t askedUtc = 0;
    std::uint64_t currentUtc() override { return now; }
    bool utcToLocal(std::uint64_t t, LocalTime& out) override {
        askedUtc = t;
        if (failConversion) return false;
        out = answer;
        return true;
    }
    std::uint32_t lastError() override { return 87; }
};

LocalTime localTime(int year, int month, int day, int hour, int minute, int second = 0) {
    LocalTime t;
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    return t;
}

FILE_TIME at(std::uint64_t utc) {
    FILE_TIME t;
    t.set(utc);
    return t;
}

class FileTimeAge : public ::testing::Test {
protected:
    void SetUp() override { fixed.now = ntfsTicks(2026, 12, 7, 22, 30, 15); }
    FixedTimePlatform fixed;
    ScopedPlatform guard{fixed};
    std::uint64_t now() const { return fixed.now; }
};

} // namespace

TEST(FileTimeText, MonthDayYearHourMinuteZeroPadded) {
    FixedTimePlatform p;
    ScopedPlatform guard(p);
    p.answer = localTime(2000, 12, 6, 14, 5, 59);
    FILE_TIME t;
    FILE_TIME copy = t.set(0x89ABCDEFu, 0x01234567u);
    EXPECT_EQ(t.utc(), 0x0123456789ABCDEFULL);  // low and high halves in place
    EXPECT_EQ(p.askedUtc, 0x0123456789ABCDEFULL);
    EXPECT_EQ(t.text(), "12.06.2000 14:05");     // seconds are not shown
    EXPECT_EQ(copy.text(), t.text());
    EXPECT_EQ(copy.utc(), t.utc());
    EXPECT_EQ(t.local().second, 59);

    p.answer = localTime(1999, 1, 2, 0, 9);
    EXPECT_EQ(at(1).text(), "01.02.1999 00:09");
    p.answer = localTime(10000, 3, 4, 9, 0);
    EXPECT_EQ(at(1).text(), "03.04.10000 09:00");  // the year is never cut
}

TEST(FileTimeText, ConversionFailureRaises21AndKeepsTheOldValue) {
    FixedTimePlatform p;
    ScopedPlatform guard(p);
    p.answer = localTime(2001, 5, 6, 7, 8);
    FILE_TIME t;
    t.set(ntfsTicks(2001, 5, 6, 7, 8));
    p.failConversion = true;
    try {
        t.set(ntfsTicks(2002, 1, 1));
        FAIL() << "no ErrorException raised";
    } catch (const ErrorException& e) {
        EXPECT_EQ(e.code(), kErrTimeConvert);
        EXPECT_EQ(e.systemError(), 87u);
        EXPECT_EQ(e.diagnostic(), "FILE_TIME::ConvertToLocalSystemTime");
    }
    EXPECT_EQ(t.utc(), ntfsTicks(2001, 5, 6, 7, 8));
    p.failConversion = false;
    EXPECT_EQ(t.text(), "05.06.2001 07:08");
}

#ifndef _WIN32
TEST(FileTimeText, SystemConversionInUtcZone) {
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(at(ntfsTicks(2000, 12, 6, 14, 5, 30)).text(), "12.06.2000 14:05");
    EXPECT_EQ(at(ntfsTicks(2024, 2, 29, 9, 5)).text(), "02.29.2024 09:05");
    FILE_TIME t = at(ntfsTicks(1999, 12, 31, 23, 59, 59) + 5000000);
    EXPECT_EQ(t.local().year, 1999);
    EXPECT_EQ(t.local().second, 59);
    EXPECT_EQ(t.local().millisecond, 500);
    if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
    tzset();
}
#endif

TEST(FileTimeText, IsoUtcText) {
    FixedTimePlatform p;
    ScopedPlatform guard(p);
    EXPECT_EQ(at(0).isoUtc(), "1601-01-01T00:00:00Z");
    EXPECT_EQ(at(116444736000000000ULL).isoUtc(), "1970-01-01T00:00:00Z");
    EXPECT_EQ(at(ntfsTicks(2000, 2, 29, 23, 59, 59) + kSecond - 1).isoUtc(), "2000-02-29T23:59:59Z");
    EXPECT_EQ(at(ntfsTicks(2026, 12, 7, 22, 30, 15)).isoUtc(), "2026-12-07T22:30:15Z");
    EXPECT_EQ(at(ntfsTicks(1900, 3, 1)).isoUtc(), "1900-03-01T00:00:00Z");
    EXPECT_EQ(at(0x7FFFFFFFFFFFFFFFULL).isoUtc(), "30828-09-14T02:48:05Z");
}

TEST_F(FileTimeAge, ExactlyNDaysPassesOneTickEarlierFails) {
    for (std::int32_t n : {1, 30, 365, 10000}) {
        SCOPED_TRACE(n);
        std::uint64_t threshold = now() - static_cast<std::uint64_t>(n) * kDay;
        EXPECT_TRUE(at(threshold).isWithinDays(n));
        EXPECT_FALSE(at(threshold - 1).isWithinDays(n));
        EXPECT_TRUE(at(threshold).isWithinDays(n, now()));
        EXPECT_FALSE(at(threshold - 1).isWithinDays(n, now()));
    }
}

TEST_F(FileTimeAge, ZeroDaysAndFutureTimes) {
    EXPECT_TRUE(at(now()).isWithinDays(0));
    EXPECT_FALSE(at(now() - 1).isWithinDays(0));
    for (std::int32_t n : {0, 1, 1000000}) {
        EXPECT_TRUE(at(now() + 1).isWithinDays(n));
        EXPECT_TRUE(at(UINT64_MAX).isWithinDays(n));
    }
}

TEST_F(FileTimeAge, NegativeDaysMoveTheThresholdIntoTheFuture) {
    EXPECT_FALSE(at(now()).isWithinDays(-1));
    EXPECT_FALSE(at(now() + kDay - 1).isWithinDays(-1));
    EXPECT_TRUE(at(now() + kDay).isWithinDays(-1));
    // Beyond the end of the time scale nothing passes, not even the last tick
    // before it; the threshold never wraps around to the past.
    EXPECT_FALSE(at(now() + 1000 * kDay).isWithinDays(-21350399));
    EXPECT_FALSE(at(UINT64_MAX - 1).isWithinDays(INT32_MIN));
    EXPECT_FALSE(at(UINT64_MAX - 1).isWithinDays(-1000000000));
}

TEST_F(FileTimeAge, HugeDayCountsReachBack1601AndAlwaysPass) {
    for (std::int32_t n : {1000000, 21350398, 21350399, 100000000, INT32_MAX}) {
        SCOPED_TRACE(n);
        EXPECT_TRUE(at(0).isWithinDays(n));
        EXPECT_TRUE(at(now() - 2 * kDay).isWithinDays(n));
    }
    // Just inside the range: the threshold is a real moment after 1601.
    std::int32_t days = static_cast<std::int32_t>(now() / kDay);
    EXPECT_TRUE(at(now() - static_cast<std::uint64_t>(days) * kDay).isWithinDays(days));
    EXPECT_FALSE(at(now() - static_cast<std::uint64_t>(days) * kDay - 1).isWithinDays(days));
}
