// Current time and local calendar conversions.
#include "tests/hvcore/hv_test_support.h"

#include <windows.h>

#include <cstdint>

namespace {

class Time : public HvTest {};

// Days since 1970-01-01 of a proleptic Gregorian date, computed independently
// of Windows so that the local offset can be checked for plausibility.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

int64_t calendarAsUtcSeconds(const hvCalendar &c) {
    return daysFromCivil(c.year, c.month, c.day) * 86400 + c.hour * 3600 + c.minute * 60 + c.second;
}

TEST_F(Time, CurrentTimeMatchesNewValueTimestamp) {
    hvTime now{0, 1000};
    hvGetCurrentTime(&now);
    EXPECT_LT(now.milliseconds, 1000);
    EXPECT_GT(now.seconds, 1600000000u) << "after September 2020";
    Value v;
    EXPECT_NEAR(hvGetTimestamp(v), now.seconds + now.milliseconds / 1000.0, 2.0);
}

TEST_F(Time, CalendarIsLocalTimeAtAPlausibleOffset) {
    const hvTime t{1700000000u, 250};
    hvCalendar c{};
    ASSERT_TRUE(hvTimeToCalendar(&t, &c));
    EXPECT_EQ(c.millisecond, 250);
    const int64_t offset = calendarAsUtcSeconds(c) - int64_t(t.seconds);
    EXPECT_LE(offset, 14 * 3600);
    EXPECT_GE(offset, -12 * 3600);
    EXPECT_EQ(offset % 900, 0) << "zone offsets are whole quarter hours";
}

// Checked against the zone's own biases: in January and in July the offset is
// either the standard or the daylight one. (Under a UTC zone both are zero;
// run with e.g. TZ=America/New_York to exercise a real offset.)
TEST_F(Time, CalendarOffsetIsOneOfTheZoneBiases) {
    TIME_ZONE_INFORMATION zone{};
    ASSERT_NE(GetTimeZoneInformation(&zone), TIME_ZONE_ID_INVALID);
    const int64_t standard = -int64_t(zone.Bias + zone.StandardBias) * 60;
    const int64_t daylight = -int64_t(zone.Bias + zone.DaylightBias) * 60;
    const uint32_t instants[] = {1705320000u /* 2024-01-15 12:00 UTC */, 1720958400u /* 2024-07-14 12:00 UTC */};
    for (uint32_t s : instants) {
        const hvTime t{s, 0};
        hvCalendar c{};
        ASSERT_TRUE(hvTimeToCalendar(&t, &c));
        const int64_t offset = calendarAsUtcSeconds(c) - int64_t(s);
        EXPECT_TRUE(offset == standard || offset == daylight)
            << "offset " << offset << " s, zone biases " << standard << " / " << daylight;
    }
}

TEST_F(Time, CalendarFieldsFollowTheClock) {
    // Mid-January: no zone changes its offset within the following days.
    const hvTime t{1705320000u, 0}; // 2024-01-15 12:00:00 UTC
    hvCalendar a{}, b{};
    ASSERT_TRUE(hvTimeToCalendar(&t, &a));
    const hvTime later{t.seconds + 86400 + 61, 5};
    ASSERT_TRUE(hvTimeToCalendar(&later, &b));
    EXPECT_EQ(calendarAsUtcSeconds(b) - calendarAsUtcSeconds(a), 86400 + 61);
    EXPECT_EQ(b.millisecond, 5);
}

// Conversions keep the system's time zone for a while; every hour of a
// year (both changes of season included where the zone has them) must still
// read as the system itself converts it.
TEST_F(Time, CalendarAgreesWithTheSystemAcrossAYear) {
    const uint32_t start = 1704067200u;  // 2024-01-01 00:00 UTC
    for (uint32_t s = start; s < start + 366u * 86400u; s += 3600u) {
        const hvTime t{s, 250};
        hvCalendar c{};
        ASSERT_TRUE(hvTimeToCalendar(&t, &c)) << s;
        const uint64_t ticks = (uint64_t(s) + 11644473600ull) * 10000000ull + 250ull * 10000ull;
        FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        SYSTEMTIME utc{}, local{};
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &utc));
        ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
        ASSERT_EQ(c.year, local.wYear) << s;
        ASSERT_EQ(c.month, local.wMonth) << s;
        ASSERT_EQ(c.day, local.wDay) << s;
        ASSERT_EQ(c.hour, local.wHour) << s;
        ASSERT_EQ(c.minute, local.wMinute) << s;
        ASSERT_EQ(c.millisecond, local.wMilliseconds) << s;
    }
}

TEST_F(Time, TimeToCalendarAndBackIsExact) {
    const uint32_t seconds[] = {86400u * 200, 946728000u /* 2000-01-01 12:00 */, 1000000000u, 1705320000u,
                                1720958400u /* mid-July 2024 */, 4000000000u};
    const uint16_t millis[] = {0, 1, 999};
    for (uint32_t s : seconds) {
        for (uint16_t ms : millis) {
            const hvTime t{s, ms};
            hvCalendar c{};
            ASSERT_TRUE(hvTimeToCalendar(&t, &c)) << s;
            hvTime back{0, 0};
            ASSERT_TRUE(hvCalendarToTime(&c, &back)) << s;
            EXPECT_EQ(back.seconds, s);
            EXPECT_EQ(back.milliseconds, ms);
        }
    }
}

TEST_F(Time, CalendarToTimeAndBackIsExact) {
    const hvCalendar leapDay{2024, 2, 29, 12, 34, 56, 789};
    hvTime t{};
    ASSERT_TRUE(hvCalendarToTime(&leapDay, &t));
    hvCalendar back{};
    ASSERT_TRUE(hvTimeToCalendar(&t, &back));
    EXPECT_EQ(back.year, 2024);
    EXPECT_EQ(back.month, 2);
    EXPECT_EQ(back.day, 29);
    EXPECT_EQ(back.hour, 12);
    EXPECT_EQ(back.minute, 34);
    EXPECT_EQ(back.second, 56);
    EXPECT_EQ(back.millisecond, 789);

    const hvCalendar nextDay{2024, 3, 1, 12, 34, 56, 789};
    hvTime t2{};
    ASSERT_TRUE(hvCalendarToTime(&nextDay, &t2));
    EXPECT_EQ(t2.seconds - t.seconds, 86400u);
}

TEST_F(Time, InvalidCalendarsFail) {
    const hvCalendar bad[] = {
        {2023, 2, 29, 0, 0, 0, 0},  {2024, 4, 31, 0, 0, 0, 0},  {2024, 0, 1, 0, 0, 0, 0},
        {2024, 13, 1, 0, 0, 0, 0},  {2024, 1, 0, 0, 0, 0, 0},   {2024, 1, 1, 24, 0, 0, 0},
        {2024, 1, 1, 0, 60, 0, 0},  {2024, 1, 1, 0, 0, 60, 0},  {2024, 1, 1, 0, 0, 0, 1000},
        {1600, 6, 1, 0, 0, 0, 0},   {1900, 2, 29, 0, 0, 0, 0},  {1960, 6, 1, 0, 0, 0, 0},
        {2200, 6, 1, 0, 0, 0, 0},
    };
    for (const hvCalendar &c : bad) {
        hvTime t{42, 42};
        EXPECT_FALSE(hvCalendarToTime(&c, &t)) << c.year << '-' << int(c.month) << '-' << int(c.day);
        EXPECT_EQ(t.seconds, 42u);
        EXPECT_EQ(t.milliseconds, 42);
    }
    const hvCalendar y2000{2000, 2, 29, 12, 0, 0, 0};
    hvTime t{};
    EXPECT_TRUE(hvCalendarToTime(&y2000, &t)) << "2000 is a leap year";

    const hvTime badTime{0, 1000};
    hvCalendar c{1, 1, 1, 1, 1, 1, 1};
    EXPECT_FALSE(hvTimeToCalendar(&badTime, &c));
    EXPECT_EQ(c.year, 1);
}

} // namespace
