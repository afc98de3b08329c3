// Clock, tick count and user name, and the hooks that pin them.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

const int64_t UNITS_PER_SECOND = 10000000;
const int64_t UNIX_EPOCH_FILETIME = 116444736000000000;

PlatTime make_time(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    PlatTime t{};
    t.year = y;
    t.month = mo;
    t.day = d;
    t.hour = h;
    t.minute = mi;
    t.second = s;
    t.millisecond = ms;
    return t;
}

struct FiletimeCase {
    PlatTime time;
    int64_t expected;
};

TEST(TimeToFiletime, KnownAnswers) {
    const FiletimeCase cases[] = {
        {make_time(1601, 1, 1), 0},
        {make_time(1601, 1, 1, 0, 0, 0, 1), 10000},
        {make_time(1970, 1, 1), UNIX_EPOCH_FILETIME},
        {make_time(2000, 2, 29, 12, 34, 56, 789), 125963012967890000},
    };
    for (const FiletimeCase& c : cases) {
        int64_t ft = -1;
        ASSERT_TRUE(plat_time_to_filetime(&c.time, &ft)) << c.time.year;
        EXPECT_EQ(ft, c.expected) << c.time.year;
    }
}

// timegm is an independent calendar: leap rules, month lengths, years
// before 1970.
TEST(TimeToFiletime, AgreesWithTimegmOverRandomDates) {
    std::mt19937 rng(42);
    for (int n = 0; n < 20000; ++n) {
        std::tm tm{};
        tm.tm_year = int(1601 + rng() % 8400) - 1900;
        tm.tm_mon = int(rng() % 12);
        tm.tm_mday = int(1 + rng() % 31);
        tm.tm_hour = int(rng() % 24);
        tm.tm_min = int(rng() % 60);
        tm.tm_sec = int(rng() % 60);
        std::tm norm = tm;
        time_t secs = timegm(&norm);
        PlatTime t = make_time(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                               tm.tm_min, tm.tm_sec, int(rng() % 1000));
        int64_t ft = 0;
        bool valid = norm.tm_mday == tm.tm_mday;  // timegm rolled an impossible day over
        ASSERT_EQ(plat_time_to_filetime(&t, &ft), valid) << t.year << "-" << t.month << "-" << t.day;
        if (valid) {
            ASSERT_EQ(ft, (int64_t(secs) * UNITS_PER_SECOND + UNIX_EPOCH_FILETIME) +
                              int64_t(t.millisecond) * 10000);
        }
    }
}

TEST(TimeToFiletime, RejectsFieldsOutOfRange) {
    const PlatTime bad[] = {
        make_time(1600, 12, 31), make_time(30828, 1, 1),  make_time(2000, 0, 1),
        make_time(2000, 13, 1),  make_time(2000, 1, 0),   make_time(1900, 2, 29),
        make_time(2000, 2, 30),  make_time(2001, 4, 31),  make_time(2000, 1, 1, 24),
        make_time(2000, 1, 1, 0, 60), make_time(2000, 1, 1, 0, 0, 60),
        make_time(2000, 1, 1, 0, 0, 0, 1000), make_time(2000, 1, 1, 0, 0, 0, -1),
    };
    for (const PlatTime& t : bad) {
        int64_t ft = 0;
        EXPECT_FALSE(plat_time_to_filetime(&t, &ft))
            << t.year << "-" << t.month << "-" << t.day << " " << t.hour << ":" << t.minute << ":"
            << t.second << "." << t.millisecond;
    }
    int64_t ft = 0;
    PlatTime last = make_time(30827, 12, 31, 23, 59, 59, 999);
    EXPECT_TRUE(plat_time_to_filetime(&last, &ft));
    EXPECT_GT(ft, 0);  // no overflow at the top of the range
}

int64_t to_unix_seconds(const PlatTime& t) {
    int64_t ft = 0;
    EXPECT_TRUE(plat_time_to_filetime(&t, &ft));
    return (ft - UNIX_EPOCH_FILETIME) / UNITS_PER_SECOND;
}

TEST(Clock, SystemTimeIsUtcAndLocalTimeFollowsTheZone) {
#ifdef _WIN32
    GTEST_SKIP() << "the zone comes from the system's settings, not TZ";
#endif
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "XST-02", 1);  // two hours east of UTC, no daylight saving
    tzset();
    PlatTime utc{}, local{};
    plat_system_time(&utc);
    plat_local_time(&local);
    int64_t now = int64_t(std::time(nullptr));
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();

    EXPECT_LE(std::llabs(to_unix_seconds(utc) - now), 2);
    EXPECT_LE(std::llabs(to_unix_seconds(local) - to_unix_seconds(utc) - 7200), 2);
    EXPECT_GE(utc.millisecond, 0);
    EXPECT_LE(utc.millisecond, 999);
}

void pinned_time(PlatTime* utc, PlatTime* local) {
    *utc = make_time(2021, 6, 15, 10, 20, 30, 400);
    utc->day_of_week = 2;
    *local = make_time(2021, 6, 15, 12, 20, 30, 400);
}

TEST(Clock, HookPinsBothClocksUntilCleared) {
    plat_set_time_hook(pinned_time);
    PlatTime utc{}, local{};
    plat_system_time(&utc);
    plat_local_time(&local);
    EXPECT_EQ(utc.hour, 10);
    EXPECT_EQ(utc.day_of_week, 2);
    EXPECT_EQ(local.hour, 12);
    EXPECT_EQ(local.year, 2021);
    plat_set_time_hook(nullptr);
    plat_system_time(&utc);
    EXPECT_LE(std::llabs(to_unix_seconds(utc) - int64_t(std::time(nullptr))), 2);
}

// Successive readings of this clock are 1 ms apart.
int64_t g_clock_ms = 0;
PlatInstant stepping_clock() {
    int64_t ms = g_clock_ms++;
    return PlatInstant{ms / 1000, int32_t(ms % 1000) * 1000000};
}

struct ScopedZone {
    std::string saved;
    bool had;
    explicit ScopedZone(const char* tz) {
        const char* old = std::getenv("TZ");
        had = old != nullptr;
        saved = old ? old : "";
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedZone() {
        if (had)
            setenv("TZ", saved.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
};

int64_t offset_minutes(const PlatTime& utc, const PlatTime& local) {
    int64_t u = 0, l = 0;
    EXPECT_TRUE(plat_time_to_filetime(&utc, &u));
    EXPECT_TRUE(plat_time_to_filetime(&local, &l));
    return (l - u) / (60 * UNITS_PER_SECOND);
}

// The clock is read 1 ms before a minute turns over: two readings for the
// two forms would straddle it, and a zone west of UTC came out one minute
// short (-04'59' for -05'00').
TEST(Clock, BothFormsComeFromOneReading) {
#ifdef _WIN32
    GTEST_SKIP() << "the zone comes from the system's settings, not TZ";
#endif
    const struct {
        const char* tz;
        int64_t minutes;
    } zones[] = {{"XST+05", -300}, {"XST-02", 120}, {"UTC0", 0}, {"XST+03:30", -210}};
    const int64_t minute_end_ms = 1700000040000 - 1;
    plat_set_clock_hook(stepping_clock);
    for (const auto& z : zones) {
        ScopedZone zone(z.tz);
        PlatTime utc{}, local{};
        g_clock_ms = minute_end_ms;
        plat_system_time(&utc);
        plat_local_time(&local);
        EXPECT_EQ(offset_minutes(utc, local), z.minutes) << z.tz << " system, then local";
        EXPECT_EQ(utc.millisecond, 999);
        g_clock_ms = minute_end_ms;
        plat_local_time(&local);
        plat_system_time(&utc);
        EXPECT_EQ(offset_minutes(utc, local), z.minutes) << z.tz << " local, then system";
        g_clock_ms = minute_end_ms;
        plat_clock_read(&utc, &local);
        EXPECT_EQ(offset_minutes(utc, local), z.minutes) << z.tz << " both at once";
        // Each pair is a new reading.
        plat_system_time(&utc);
        EXPECT_EQ(utc.millisecond, 0) << z.tz;
        plat_local_time(&local);
    }
    plat_set_clock_hook(nullptr);
}

uint32_t pinned_tick() { return 123456u; }

TEST(TickCount, CountsMillisecondsAndCanBePinned) {
    uint32_t a = plat_tick_count();
    usleep(60000);
    uint32_t b = plat_tick_count();
#ifdef _WIN32
    EXPECT_GE(b - a, 40u);  // GetTickCount moves in steps of the 10-16 ms timer
#else
    EXPECT_GE(b - a, 50u);
#endif
    EXPECT_LT(b - a, 5000u);

    plat_set_tick_hook(pinned_tick);
    EXPECT_EQ(plat_tick_count(), 123456u);
    plat_set_tick_hook(nullptr);
    EXPECT_NE(plat_tick_count(), 123456u);
}

// `id -un` reads the same database through another program.
std::string id_user_name() {
    FILE* p = popen("id -un 2>/dev/null", "r");
    if (!p) return "";
    char buf[256] = {0};
    std::string name = std::fgets(buf, sizeof buf, p) ? buf : "";
    pclose(p);
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
    return name;
}

TEST(UserName, EffectiveUserFromThePasswordDatabase) {
#ifdef _WIN32
    GTEST_SKIP() << "no password database; win_platform_test checks GetUserNameW";
#endif
    std::string expected = id_user_name();
    if (expected.empty()) GTEST_SKIP() << "the current user has no password entry";
    wchar_t buf[256];
    ASSERT_TRUE(plat_user_name(buf, 256));
    char* bytes = plat_wide_to_utf8(buf);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::string(bytes), expected);
    std::free(bytes);

    // A buffer one short of the name and its terminator is refused.
    wchar_t small[256];
    EXPECT_FALSE(plat_user_name(small, std::wcslen(buf)));
}

}  // namespace
