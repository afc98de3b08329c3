// The system's clocks and calendar on Windows. One reading of the system
// time as a FILETIME gives both calendar forms: FileTimeToSystemTime for
// UTC, SystemTimeToTzSpecificLocalTime for the zone's rule at that instant.
#include <windows.h>

#include "platform/platform_os.h"

namespace {

// 100-nanosecond intervals from 1601-01-01 to 1970-01-01.
const int64_t UNIX_EPOCH_TICKS = 116444736000000000LL;
const int64_t TICKS_PER_SECOND = 10000000;

void from_systemtime(const SYSTEMTIME& st, PlatTime* out) {
    out->year = st.wYear;
    out->month = st.wMonth;
    out->day_of_week = st.wDayOfWeek;
    out->day = st.wDay;
    out->hour = st.wHour;
    out->minute = st.wMinute;
    out->second = st.wSecond;
    out->millisecond = st.wMilliseconds;
}

}  // namespace

PlatInstant plat_os_now() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const int64_t ticks =
        int64_t((uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) - UNIX_EPOCH_TICKS;
    int64_t seconds = ticks / TICKS_PER_SECOND;
    int64_t rest = ticks % TICKS_PER_SECOND;
    if (rest < 0) {
        rest += TICKS_PER_SECOND;
        --seconds;
    }
    return PlatInstant{seconds, int32_t(rest * 100)};
}

void plat_os_calendar(PlatInstant t, PlatTime* utc, PlatTime* local) {
    if (t.seconds < -UNIX_EPOCH_TICKS / TICKS_PER_SECOND ||
        t.seconds > (INT64_MAX - UNIX_EPOCH_TICKS) / TICKS_PER_SECOND - 1)
        return;
    const uint64_t ticks =
        uint64_t(t.seconds * TICKS_PER_SECOND + t.nanoseconds / 100 + UNIX_EPOCH_TICKS);
    FILETIME ft;
    ft.dwLowDateTime = DWORD(ticks);
    ft.dwHighDateTime = DWORD(ticks >> 32);
    SYSTEMTIME st_utc;
    if (!FileTimeToSystemTime(&ft, &st_utc)) return;
    if (utc) from_systemtime(st_utc, utc);
    SYSTEMTIME st_local;
    if (local && SystemTimeToTzSpecificLocalTime(nullptr, &st_utc, &st_local))
        from_systemtime(st_local, local);
}

uint32_t plat_os_ticks() { return GetTickCount(); }
