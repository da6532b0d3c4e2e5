// Current time and conversions between hvTime and local calendar records.
#include "hvcore/value_model.h"

namespace {

// 100 ns ticks between 1601-01-01 (FILETIME's origin) and 1970-01-01.
constexpr uint64_t kUnixEpochTicks = 116444736000000000ull;
constexpr uint64_t kTicksPerSecond = 10000000ull;
constexpr uint64_t kTicksPerMillisecond = 10000ull;

uint64_t ticksOf(const FILETIME &ft) { return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

bool isLeapYear(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned daysInMonth(unsigned year, unsigned month) {
    static const unsigned char days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

// Checked here rather than left to SystemTimeToFileTime, which not every
// Windows version (nor Wine) validates as strictly.
bool validCalendar(const hvCalendar &c) {
    return c.year >= 1601 && c.year <= 30827 && c.month >= 1 && c.month <= 12 && c.day >= 1 &&
           c.day <= daysInMonth(c.year, c.month) && c.hour < 24 && c.minute < 60 && c.second < 60 &&
           c.millisecond < 1000;
}

// The system's time zone, kept for a second: calendars are converted for
// every logged value, and asking the system each time is slow on some
// platforms (Wine reads the zone file on every call). The zone carries its
// daylight-saving rules, so a kept one converts across a change of season.
class TimeZoneCache {
public:
    bool Get(TIME_ZONE_INFORMATION &zone) {
        const ULONGLONG now = GetTickCount64();
        AcquireSRWLockShared(&lock_);
        const bool fresh = known_ && now - fetchedAt_ < kKeepMs;
        if (fresh) zone = zone_;
        ReleaseSRWLockShared(&lock_);
        if (fresh) return true;
        if (GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) return false;
        AcquireSRWLockExclusive(&lock_);
        zone_ = zone;
        fetchedAt_ = now;
        known_ = true;
        ReleaseSRWLockExclusive(&lock_);
        return true;
    }

private:
    static constexpr ULONGLONG kKeepMs = 1000;
    SRWLOCK lock_ = SRWLOCK_INIT;
    bool known_ = false;
    ULONGLONG fetchedAt_ = 0;
    TIME_ZONE_INFORMATION zone_{};
};

TimeZoneCache timeZone;

} // namespace

double hv::currentTimestamp() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (double(ticksOf(ft)) - double(kUnixEpochTicks)) / double(kTicksPerSecond);
}

void hvGetCurrentTime(hvTime *now) {
    if (!now) return;
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const uint64_t ticks = ticksOf(ft) - kUnixEpochTicks;
    now->seconds = static_cast<uint32_t>(ticks / kTicksPerSecond);
    now->milliseconds = static_cast<uint16_t>(ticks % kTicksPerSecond / kTicksPerMillisecond);
}

int hvTimeToCalendar(const hvTime *time, hvCalendar *calendar) {
    if (!time || !calendar || !hv::validTime(*time)) return 0;
    const uint64_t ticks =
        kUnixEpochTicks + uint64_t(time->seconds) * kTicksPerSecond + uint64_t(time->milliseconds) * kTicksPerMillisecond;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    SYSTEMTIME utc, local;
    TIME_ZONE_INFORMATION zone;
    if (!timeZone.Get(zone) || !FileTimeToSystemTime(&ft, &utc) || !SystemTimeToTzSpecificLocalTime(&zone, &utc, &local))
        return 0;
    calendar->year = local.wYear;
    calendar->month = static_cast<uint8_t>(local.wMonth);
    calendar->day = static_cast<uint8_t>(local.wDay);
    calendar->hour = static_cast<uint8_t>(local.wHour);
    calendar->minute = static_cast<uint8_t>(local.wMinute);
    calendar->second = static_cast<uint8_t>(local.wSecond);
    calendar->millisecond = local.wMilliseconds;
    return 1;
}

int hvCalendarToTime(const hvCalendar *calendar, hvTime *time) {
    if (!calendar || !time || !validCalendar(*calendar)) return 0;
    SYSTEMTIME local{};
    local.wYear = calendar->year;
    local.wMonth = calendar->month;
    local.wDay = calendar->day;
    local.wHour = calendar->hour;
    local.wMinute = calendar->minute;
    local.wSecond = calendar->second;
    local.wMilliseconds = calendar->millisecond;
    SYSTEMTIME utc;
    FILETIME ft;
    TIME_ZONE_INFORMATION zone;
    if (!timeZone.Get(zone) || !TzSpecificLocalTimeToSystemTime(&zone, &local, &utc) || !SystemTimeToFileTime(&utc, &ft))
        return 0;
    const uint64_t ticks = ticksOf(ft);
    if (ticks < kUnixEpochTicks) return 0;
    const uint64_t since1970 = ticks - kUnixEpochTicks;
    if (since1970 / kTicksPerSecond > UINT32_MAX) return 0;
    time->seconds = static_cast<uint32_t>(since1970 / kTicksPerSecond);
    time->milliseconds = static_cast<uint16_t>(since1970 % kTicksPerSecond / kTicksPerMillisecond);
    return 1;
}
