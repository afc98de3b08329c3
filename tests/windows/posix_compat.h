// The few POSIX calls the shared test programs use, in their Windows forms;
// the Windows build includes this ahead of every test source.
#ifndef TARVO_TESTS_POSIX_COMPAT_H
#define TARVO_TESTS_POSIX_COMPAT_H

#include <direct.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && getenv(name)) return 0;
    return _putenv_s(name, value);
}
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }
inline int mkdir(const char* path, int) { return _mkdir(path); }
#define popen _popen
#define pclose _pclose

// UTC calendar fields to seconds since 1970 for any Gregorian year (the
// runtime's _mkgmtime stops at 1970 and 3000), normalising as timegm does.
inline time_t timegm(struct tm* t) {
    long long y = t->tm_year + 1900LL + t->tm_mon / 12;
    long long m = t->tm_mon % 12;
    if (m < 0) {
        m += 12;
        --y;
    }
    // Days from 1970-01-01 to the first of the month (civil-from-days inverse).
    const long long yy = m < 2 ? y - 1 : y;
    const long long era = (yy >= 0 ? yy : yy - 399) / 400;
    const long long yoe = yy - era * 400;
    const long long mp = (m + 10) % 12;  // March is 0
    const long long doy = (153 * mp + 2) / 5;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    long long days = era * 146097 + doe - 719468 + (t->tm_mday - 1);
    long long secs = ((days * 24 + t->tm_hour) * 60 + t->tm_min) * 60LL + t->tm_sec;
    // Normalise the fields as timegm does (days past the month's end roll over).
    long long d = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
    long long rest = secs - d * 86400;
    const long long z = d + 719468;
    const long long e = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe2 = z - e * 146097;
    const long long yoe2 = (doe2 - doe2 / 1460 + doe2 / 36524 - doe2 / 146096) / 365;
    const long long doy2 = doe2 - (365 * yoe2 + yoe2 / 4 - yoe2 / 100);
    const long long mp2 = (5 * doy2 + 2) / 153;
    t->tm_mday = int(doy2 - (153 * mp2 + 2) / 5 + 1);
    t->tm_mon = int(mp2 < 10 ? mp2 + 2 : mp2 - 10);
    t->tm_year = int(yoe2 + e * 400 + (t->tm_mon < 2 ? 1 : 0) - 1900);
    t->tm_hour = int(rest / 3600);
    t->tm_min = int(rest / 60 % 60);
    t->tm_sec = int(rest % 60);
    return time_t(secs);
}

#endif
