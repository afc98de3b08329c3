// Operating-system layer: the few services the converter, the writer and the
// bitmap library take from the host. Everything here is plain functions over
// plain data so the rest of the code never includes an OS header.
#ifndef TARVO_PLATFORM_H
#define TARVO_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cwchar>

// ---------------------------------------------------------------------------
// Command line and paths
//
// Wide text is wchar_t (UTF-32 on Linux). Bytes of an argument that are not
// valid UTF-8 are carried as the code points U+DC80 + byte, so any Linux file
// name survives the round trip back to bytes unchanged.

// Decodes UTF-8 bytes into a wide string; stray bytes become U+DC80 + byte.
// Returns a malloc'ed, NUL-terminated string (free with std::free), or null
// when out of memory or when bytes is null.
wchar_t* plat_utf8_to_wide(const char* bytes);

// The reverse: encodes a wide string as UTF-8, turning U+DC80..U+DCFF back
// into the single bytes they stand for. Other surrogates and values beyond
// U+10FFFF have no UTF-8 form and become U+FFFD. malloc'ed result, or null
// (out of memory, null text).
char* plat_wide_to_utf8(const wchar_t* text);

// Opens a file named by a wide path, as fopen does with the same mode;
// null with errno set on failure.
FILE* plat_wfopen(const wchar_t* path, const char* mode);

// ---------------------------------------------------------------------------
// Debugger output channel: standard error, one UTF-8 line per call.
void plat_debug_out(const wchar_t* text);

// ---------------------------------------------------------------------------
// Clock, tick count and user name. Each has a hook so tests can pin them.

struct PlatTime {
    int year;
    int month;   // 1..12
    int day_of_week;  // 0 = Sunday
    int day;     // 1..31
    int hour;
    int minute;
    int second;
    int millisecond;
};

void plat_system_time(PlatTime* utc);   // current UTC time
void plat_local_time(PlatTime* local);  // current local time
// 100-nanosecond intervals since 1601-01-01, as the calendar fields say
// (no zone applied). False for fields out of range.
bool plat_time_to_filetime(const PlatTime* t, int64_t* out);
uint32_t plat_tick_count();  // milliseconds from an arbitrary start

// Login name of the effective user, NUL-terminated into buf of cap wide
// characters. False when unknown or when it does not fit.
bool plat_user_name(wchar_t* buf, size_t cap);

// Test hooks; a null function restores the real source.
typedef void (*PlatTimeHook)(PlatTime* utc, PlatTime* local);
typedef uint32_t (*PlatTickHook)();
typedef bool (*PlatUserHook)(wchar_t* buf, size_t cap);
void plat_set_time_hook(PlatTimeHook hook);
void plat_set_tick_hook(PlatTickHook hook);
void plat_set_user_hook(PlatUserHook hook);

// ---------------------------------------------------------------------------
// Movable memory blocks (the bitmap library's storage).
//
// A handle names a block; lock yields its address until the matching unlock.
// Blocks never actually move here, but callers must still lock for every
// access and keep no pointer across calls.

struct PlatMemBlock;
typedef PlatMemBlock* PlatMem;

enum {
    PLAT_MEM_MOVEABLE = 0x0002,
    PLAT_MEM_ZEROINIT = 0x0040,
};

PlatMem plat_mem_alloc(unsigned flags, size_t size);  // null on failure
void* plat_mem_lock(PlatMem h);                       // null for null h
bool plat_mem_unlock(PlatMem h);                      // true while still locked
PlatMem plat_mem_free(PlatMem h);                     // null on success
size_t plat_mem_size(PlatMem h);                      // 0 for null h

// Test hook: the Nth allocation from now (1-based) fails; 0 turns it off.
void plat_mem_fail_after(unsigned n);
// Blocks currently allocated (for leak checks in tests).
size_t plat_mem_blocks_in_use();

#endif
