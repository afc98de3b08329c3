// The system's clocks and calendar on POSIX systems.
#include <ctime>

#include "platform/platform_os.h"

namespace {

void from_tm(const std::tm& tm, long nsec, PlatTime* out) {
    out->year = tm.tm_year + 1900;
    out->month = tm.tm_mon + 1;
    out->day_of_week = tm.tm_wday;
    out->day = tm.tm_mday;
    out->hour = tm.tm_hour;
    out->minute = tm.tm_min;
    // A leap second (tm_sec 60) has no place in the Windows-style record.
    out->second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
    out->millisecond = int(nsec / 1000000);
}

}  // namespace

PlatInstant plat_os_now() {
    std::timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return PlatInstant{int64_t(ts.tv_sec), int32_t(ts.tv_nsec)};
}

void plat_os_calendar(PlatInstant t, PlatTime* utc, PlatTime* local) {
    const std::time_t secs = std::time_t(t.seconds);
    std::tm tm{};
    if (utc && gmtime_r(&secs, &tm)) from_tm(tm, t.nanoseconds, utc);
    if (local && localtime_r(&secs, &tm)) from_tm(tm, t.nanoseconds, local);
}

uint32_t plat_os_ticks() {
    std::timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    // Wraps after 49.7 days, as the Windows tick count does; callers only
    // take differences.
    uint64_t ms = uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
    return uint32_t(ms);
}
