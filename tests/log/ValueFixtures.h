// Values with chosen quality and timestamps for the text tests.
#pragma once

#include "values/HValue.h"
#include "values/hvcore.h"

namespace quillon::test {

inline hvCalendar Today() {
    hvTime now{};
    hvGetCurrentTime(&now);
    hvCalendar today{};
    hvTimeToCalendar(&now, &today);
    return today;
}

inline hvCalendar TodayAt(uint8_t hour, uint8_t minute, uint8_t second, uint16_t ms) {
    hvCalendar c = Today();
    c.hour = hour;
    c.minute = minute;
    c.second = second;
    c.millisecond = ms;
    return c;
}

inline hvCalendar Date(uint16_t year, uint8_t month, uint8_t day, uint8_t hour, uint8_t minute,
                       uint8_t second, uint16_t ms) {
    hvCalendar c{};
    c.year = year;
    c.month = month;
    c.day = day;
    c.hour = hour;
    c.minute = minute;
    c.second = second;
    c.millisecond = ms;
    return c;
}

inline hvTime TimeOf(const hvCalendar &c) {
    hvTime t{};
    hvCalendarToTime(&c, &t);
    return t;
}

inline void Stamp(HVALUE h, const hvCalendar &c, unsigned quality = HV_QUALITY_GOOD) {
    const hvTime t = TimeOf(c);
    hvSetTimestamp(h, t.seconds + t.milliseconds / 1000.0);
    hvSetQuality(h, quality);
}

inline HValue R64(double number, const hvCalendar &at, unsigned quality = HV_QUALITY_GOOD) {
    HValue h = HValue::Create();
    hvSetR64(h.get(), number);
    Stamp(h.get(), at, quality);
    return h;
}

inline HValue Str(const char *text, const hvCalendar &at) {
    HValue h = HValue::Create();
    hvSetString(h.get(), text);
    Stamp(h.get(), at);
    return h;
}

} // namespace quillon::test
