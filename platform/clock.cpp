// Clock and tick count, with test hooks that pin them. The system's clocks
// and its calendar come from clock_posix.cpp or clock_win32.cpp.
#include "platform/platform.h"
#include "platform/platform_os.h"

namespace {

PlatTimeHook g_time_hook = nullptr;
PlatClockHook g_clock_hook = nullptr;
PlatTickHook g_tick_hook = nullptr;
bool g_fixed = false;
int64_t g_fixed_seconds = 0;

// Both calendar forms of one instant.
struct Reading {
    PlatTime utc;
    PlatTime local;
};

// The reading the first call of a system/local pair took, waiting for the
// other call: taking a second reading there could fall in the next second
// (or minute), and the zone offset derived from the pair would be off by one.
enum PendingKind { PENDING_NONE, PENDING_FOR_LOCAL, PENDING_FOR_UTC };
thread_local PendingKind t_pending = PENDING_NONE;
thread_local Reading t_pending_reading{};

PlatInstant read_instant() {
    if (g_clock_hook) return g_clock_hook();
    return plat_os_now();
}

Reading take_reading() {
    Reading r{};
    if (!g_fixed && g_time_hook) {
        g_time_hook(&r.utc, &r.local);
        return r;
    }
    PlatInstant now = g_fixed ? PlatInstant{g_fixed_seconds, 0} : read_instant();
    plat_os_calendar(now, &r.utc, g_fixed ? nullptr : &r.local);
    if (g_fixed) r.local = r.utc;
    return r;
}

bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : days[m - 1];
}

// Days from 1601-01-01 (the first day of a 400-year Gregorian cycle) to the
// given date.
int64_t days_since_1601(int y, int m, int d) {
    int64_t yy = y - 1601;
    int64_t days = yy * 365 + yy / 4 - yy / 100 + yy / 400;
    for (int k = 1; k < m; ++k) days += days_in_month(y, k);
    return days + d - 1;
}

}  // namespace

void plat_clock_read(PlatTime* utc, PlatTime* local) {
    t_pending = PENDING_NONE;
    Reading r = take_reading();
    if (utc) *utc = r.utc;
    if (local) *local = r.local;
}

void plat_system_time(PlatTime* utc) {
    if (!utc) return;
    if (t_pending == PENDING_FOR_UTC) {
        t_pending = PENDING_NONE;
        *utc = t_pending_reading.utc;
        return;
    }
    t_pending_reading = take_reading();
    t_pending = PENDING_FOR_LOCAL;
    *utc = t_pending_reading.utc;
}

void plat_local_time(PlatTime* local) {
    if (!local) return;
    if (t_pending == PENDING_FOR_LOCAL) {
        t_pending = PENDING_NONE;
        *local = t_pending_reading.local;
        return;
    }
    t_pending_reading = take_reading();
    t_pending = PENDING_FOR_UTC;
    *local = t_pending_reading.local;
}

void plat_set_fixed_time(int64_t unix_seconds) {
    g_fixed = true;
    g_fixed_seconds = unix_seconds;
    t_pending = PENDING_NONE;
}

void plat_clear_fixed_time() {
    g_fixed = false;
    t_pending = PENDING_NONE;
}

bool plat_time_to_filetime(const PlatTime* t, int64_t* out) {
    // The range Windows accepts; 30827 is the last year a signed 64-bit count
    // of 100 ns units from 1601 reaches in full.
    if (!t || !out) return false;
    if (t->year < 1601 || t->year > 30827 || t->month < 1 || t->month > 12) return false;
    if (t->day < 1 || t->day > days_in_month(t->year, t->month)) return false;
    if (t->hour < 0 || t->hour > 23 || t->minute < 0 || t->minute > 59 || t->second < 0 ||
        t->second > 59 || t->millisecond < 0 || t->millisecond > 999)
        return false;
    int64_t seconds = ((days_since_1601(t->year, t->month, t->day) * 24 + t->hour) * 60 +
                       t->minute) * 60 + t->second;
    *out = seconds * 10000000 + int64_t(t->millisecond) * 10000;
    return true;
}

uint32_t plat_tick_count() {
    if (g_tick_hook) return g_tick_hook();
    return plat_os_ticks();
}

// A new source starts without a reading waiting from the old one.
void plat_set_time_hook(PlatTimeHook hook) {
    g_time_hook = hook;
    t_pending = PENDING_NONE;
}
void plat_set_clock_hook(PlatClockHook hook) {
    g_clock_hook = hook;
    t_pending = PENDING_NONE;
}
void plat_set_tick_hook(PlatTickHook hook) { g_tick_hook = hook; }
