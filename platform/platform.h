// Operating-system layer: the few services the converter, the writer and the
// bitmap library take from the host. Everything here is plain functions over
// plain data so the rest of the code never includes an OS header. One set of
// files serves POSIX systems (*_posix.cpp), another Windows (*_win32.cpp,
// over the Win32 calls); the build takes one of them. C11 or C++, C
// linkage.
#ifndef TARVO_PLATFORM_H
#define TARVO_PLATFORM_H

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#else
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <wchar.h>
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

// ---------------------------------------------------------------------------
// Command line and paths
//
// Wide text is wchar_t: UTF-32 on Linux, UTF-16 on Windows. Bytes of a Linux
// argument that are not valid UTF-8 are carried as the code points
// U+DC80 + byte, so any Linux file name survives the round trip back to
// bytes unchanged.

// The process's command line, element 0 the program. On POSIX systems
// main's argc and argv decoded with plat_utf8_to_wide; on Windows the
// process's own wide command line (GetCommandLineW split by
// CommandLineToArgvW), main's arguments unused. It also sets standard
// output and error to binary on Windows, so that their lines end in a line
// feed as on Linux. False when out of memory; free with plat_args_free.
typedef struct PlatArgs {
    int count;
    wchar_t** values;
} PlatArgs;
bool plat_args_read(int argc, char** argv, PlatArgs* args);
// Settings for the command's process, first thing in main: a heap for the
// run's thread and one for each thread that makes pages, kept up to blocks
// of 32 MiB, so that an encoder's working memory for one page serves the
// same thread's next page without being mapped and faulted in afresh.
// Buffers whose size is an upper bound go through plat_big_alloc instead.
void plat_process_setup(void);
// Blocks of an upper-bound size (an encoder's output room): their pages
// cost memory only once written, and all of it goes back to the system on
// plat_big_free (given the same size). Null when out of memory; a block's
// bytes are undefined. On Linux they are backed by huge pages where the
// system allows, so filling one takes a fault per 2 MiB, not per 4 KiB;
// plat_big_trim gives back what lies past the bytes in use once the block
// is filled; and the last two blocks freed keep their first 2 MiB for the
// next blocks (a room touched afresh costs its zeroing and faults again).
void* plat_big_alloc(size_t n);
void plat_big_trim(void* block, size_t n, size_t used);
void plat_big_free(void* block, size_t n);
void plat_args_free(PlatArgs* args);  // accepts a zeroed or freed record

// The process exit status that carries a result code: its low byte on
// POSIX systems (all a parent sees there), the whole code on Windows
// (-400 exits with 112 on Linux, with -400 on Windows).
int plat_exit_status(int code);

// Decodes UTF-8 bytes into a wide string; stray bytes become U+DC80 + byte.
// Returns a malloc'ed, NUL-terminated string (free with std::free), or null
// when out of memory or when bytes is null.
wchar_t* plat_utf8_to_wide(const char* bytes);

// The reverse: encodes a wide string as UTF-8, turning U+DC80..U+DCFF back
// into the single bytes they stand for. Other surrogates and values beyond
// U+10FFFF have no UTF-8 form and become U+FFFD. malloc'ed result, or null
// (out of memory, null text).
char* plat_wide_to_utf8(const wchar_t* text);

// Opens a file named by a wide path, as fopen does with the same mode
// (_wfopen on Windows); null with errno set on failure.
FILE* plat_wfopen(const wchar_t* path, const char* mode);
// Reads n bytes at offset of an open file straight into buffer, past the
// stream's own buffer (pread on POSIX systems); a stream read this way is
// only read this way until it is closed. False when fewer came.
bool plat_read_at(FILE* file, uint64_t offset, void* buffer, size_t n);

// Why a call failed, in the system's words ("No space left on device"):
// UTF-8, without a final period or line end; empty when the system named
// nothing.
typedef struct PlatReason {
    char text[160];
} PlatReason;
// The C runtime's words for an errno value (strerror's), on either system;
// an empty text for 0.
void plat_errno_reason(int error, PlatReason* why);

// Overwrites length bytes at p with zeros in a way the compiler may not
// leave out (explicit_bzero; SecureZeroMemory on Windows): for passwords
// once they are used. Accepts null with length 0.
void plat_wipe(void* p, size_t length);

// What a path names, links followed.
enum {
    PLAT_FILE_NONE = 0,     // nothing, or it cannot be examined
    PLAT_FILE_REGULAR = 1,  // a file
    PLAT_FILE_FOLDER = 2,
    PLAT_FILE_OTHER = 3,    // a device, a socket
    PLAT_FILE_PIPE = 4,     // a FIFO (a named pipe on Windows): read to its end
};
// One of PLAT_FILE_*; *size (when not null) gets the length in bytes the
// system reports for it (a file's length), -1 when nothing is there.
int plat_file_kind(const wchar_t* path, int64_t* size);
// True for a character that separates folders in a path: '/', and on
// Windows '\\' too.
bool plat_is_separator(wchar_t c);
// True when path is one of the system's names for the process's standard
// output: /dev/stdout, /dev/fd/1 or /proc/self/fd/1 on Linux (Windows has
// none).
bool plat_names_stdout(const wchar_t* path);
// True when path lies in the system's tables of devices and processes
// (/dev/ and /proc/ on Linux, \\.\ on Windows), where no file can be made
// beside it.
bool plat_names_device(const wchar_t* path);
// True when stream (stdout or stderr) is a terminal (a console on Windows).
bool plat_is_terminal(FILE* stream);

// ---------------------------------------------------------------------------
// Pipes read whole into memory, as a bitmap on standard input or in a FIFO.
enum {
    PLAT_READ_OK = 0,
    PLAT_READ_NOT_FOUND = -1,   // nothing at the path
    PLAT_READ_PERMISSION = -2,  // no permission to open it
    PLAT_READ_OPEN = -3,        // it does not open for another reason
    PLAT_READ_FAILED = -4,      // reading failed
    PLAT_READ_NO_MEMORY = -5,
    PLAT_READ_TOO_LARGE = -6,   // more than the limit
    PLAT_READ_STOPPED = -7,     // stop said so while the pipe was quiet
};
// Reads standard input (path null) or the FIFO at path to its end. While
// nothing comes (a FIFO with no writer yet, an idle pipe) it asks
// stop(opaque), when stop is not null, about ten times a second and gives
// up once it says true; on Windows the read just waits. On success *data is
// a malloc'ed copy (free with free(); null for an empty pipe) of *size
// bytes, at most limit; on failure null and 0.
int plat_read_pipe(const wchar_t* path, size_t limit, bool (*stop)(void* opaque), void* opaque,
                   uint8_t** data, size_t* size);

// ---------------------------------------------------------------------------
// Output files that replace their target only once complete.
//
// The file is written under another name (unnamed where the file system
// allows, so that no kill at any moment leaves anything behind), flushed to
// disk and then moved over the target, which keeps its permission bits (new
// files get those of the umask). A target that is not a regular file (a
// device, a FIFO) is written directly. On Windows the other name is a new
// file ".name.XXXXXX" beside the target, moved over it with MoveFileExW
// (MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) and removed on
// Ctrl-C, Ctrl-Break and closing the console; a read-only target is not
// replaced.

typedef struct PlatOutputState* PlatOutput;
// Plans the output for target and creates the file to write: null when the
// target's folder takes no new file or the target is a folder, with the
// system's reason in *why (when not null).
PlatOutput plat_output_open(const wchar_t* target, PlatReason* why);
// The path to write the document to, valid until commit or abandon.
const wchar_t* plat_output_path(PlatOutput out);
// The file to write the document to, opened for writing and reading once,
// from what plat_output_open made (on POSIX systems the very file it
// created, unnamed or not); null with the system's reason in *why (when
// not null). The caller closes it before the commit or abandon.
FILE* plat_output_file(PlatOutput out, PlatReason* why);
// Flushes the written file to disk and gives it the target's name; false
// (and nothing left behind) when that fails, with the system's reason in
// *why (when not null). Frees out either way.
bool plat_output_commit(PlatOutput out, PlatReason* why);
// Removes what was written; accepts null. Frees out.
void plat_output_abandon(PlatOutput out);
// What has reached the file so far may start on its way to the disk, so
// that the commit waits for less; a hint, which may do nothing.
void plat_output_written(PlatOutput out);
// True when both paths name the same regular file (through links too; on
// Windows the same volume and file index).
bool plat_same_file(const wchar_t* a, const wchar_t* b);
// Test hook: false makes every output a named temporary file (always so on
// Windows).
void plat_output_allow_unnamed(bool allowed);
// An output for standard output: the document is written to an unnamed
// file in TMPDIR (or /tmp; where unnamed files are not to be had, a hidden
// named one removed as above; on Windows ".tarvo.pdf.XXXXXX" in the
// temporary folder), and plat_output_commit copies it to standard output,
// switched to binary on Windows, only once it is complete: a failed run
// writes nothing there. Null when no temporary file can be made.
PlatOutput plat_output_open_stdout(PlatReason* why);

// ---------------------------------------------------------------------------
// Threads: a second thread for work beside the caller's.
typedef struct PlatThreadState* PlatThread;
// Runs fn(arg) on a new thread; null when none can be made (the caller then
// does the work itself).
PlatThread plat_thread_start(void (*fn)(void* arg), void* arg);
// Waits for the thread to end and frees it; accepts null.
void plat_thread_join(PlatThread t);
// Cores available to the process, at least 1.
int plat_core_count(void);

// ---------------------------------------------------------------------------
// Debugger output channel, one line per call: OutputDebugStringW on
// Windows; standard error in UTF-8 elsewhere, where there is no such channel.
void plat_debug_out(const wchar_t* text);

// ---------------------------------------------------------------------------
// Clock, tick count and user name. Each has a hook so tests can pin them.

typedef struct PlatTime {
    int year;
    int month;   // 1..12
    int day_of_week;  // 0 = Sunday
    int day;     // 1..31
    int hour;
    int minute;
    int second;
    int millisecond;
} PlatTime;

// An instant of the real-time clock: seconds since 1970-01-01 00:00 UTC
// and the nanoseconds into that second (0..999999999).
typedef struct PlatInstant {
    int64_t seconds;
    int32_t nanoseconds;
} PlatInstant;

// Both calendar forms of one reading of the clock. Either pointer may be null.
void plat_clock_read(PlatTime* utc, PlatTime* local);
// The same, one form per call. A call of each made one right after the
// other (either order, no other clock call between) describes one reading:
// the second takes the instant the first one read, so the zone offset
// derived from the pair is exact even when a second or minute turns over
// between the calls.
void plat_system_time(PlatTime* utc);   // current UTC time
void plat_local_time(PlatTime* local);  // current local time
// From now on both clocks give this instant, in UTC for both (local time
// then has a zero offset), until plat_clear_fixed_time. For reproducible
// output; it also overrides the time hook.
void plat_set_fixed_time(int64_t unix_seconds);
void plat_clear_fixed_time(void);
// 100-nanosecond intervals since 1601-01-01, as the calendar fields say
// (no zone applied). False for fields out of range.
bool plat_time_to_filetime(const PlatTime* t, int64_t* out);
uint32_t plat_tick_count(void);  // milliseconds from an arbitrary start

// Login name of the effective user, NUL-terminated into buf of cap wide
// characters. False when unknown or when it does not fit.
bool plat_user_name(wchar_t* buf, size_t cap);

// Test hooks; a null function restores the real source. The time hook
// gives the calendar fields of both clocks directly; the clock hook stands
// for the system's real-time clock, read once per reading, and its instants
// still go through the time zone.
typedef void (*PlatTimeHook)(PlatTime* utc, PlatTime* local);
typedef PlatInstant (*PlatClockHook)(void);
typedef uint32_t (*PlatTickHook)(void);
typedef bool (*PlatUserHook)(wchar_t* buf, size_t cap);
void plat_set_time_hook(PlatTimeHook hook);
void plat_set_clock_hook(PlatClockHook hook);
void plat_set_tick_hook(PlatTickHook hook);
void plat_set_user_hook(PlatUserHook hook);

// ---------------------------------------------------------------------------
// Movable memory blocks (the bitmap library's storage).
//
// A handle names a block; lock yields its address until the matching unlock.
// Blocks never actually move here, but callers must still lock for every
// access and keep no pointer across calls.

typedef struct PlatMemBlock* PlatMem;

enum {
    PLAT_MEM_MOVEABLE = 0x0002,
    PLAT_MEM_ZEROINIT = 0x0040,
};

PlatMem plat_mem_alloc(unsigned flags, size_t size);  // null on failure
void* plat_mem_lock(PlatMem h);                       // null for null h
bool plat_mem_unlock(PlatMem h);                      // true while still locked
PlatMem plat_mem_free(PlatMem h);                     // null on success
size_t plat_mem_size(PlatMem h);                      // 0 for null h
unsigned plat_mem_lock_count(PlatMem h);              // 0 for null h
// The caller will not read bytes [offset, offset + length) of the block
// again: the memory of whole pages inside may go back to the system, and
// those bytes then read as zero. A hint: it may do nothing.
void plat_mem_discard(PlatMem h, size_t offset, size_t length);

// Test hook: the Nth allocation from now (1-based) fails; 0 turns it off.
void plat_mem_fail_after(unsigned n);
// Blocks currently allocated (for leak checks in tests).
size_t plat_mem_blocks_in_use(void);

// ---------------------------------------------------------------------------
// Drawing surface and clipboard: what the bitmap library draws on and
// exchanges bitmaps through. On Windows they are a memory device context
// (drawn with SetStretchBltMode and StretchDIBits) and the system
// clipboard; elsewhere a raster and a clipboard of the process's own that
// behave the same way.
//
// A surface is a 24-bit raster, rows top-down, each pixel blue, green, red
// (the byte order of a 24-bit bitmap), rows padded to 4 bytes. On Windows
// it is the device context's DIB section.

typedef struct PlatSurface {
    int32_t width;
    int32_t height;
    int32_t stride;      // bytes per row
    int stretch_mode;    // PLAT_STRETCH_*
    uint8_t* pixels;     // height rows of stride bytes, top row first
    void* device;        // the memory device context on Windows, else null
} PlatSurface;

enum {
    // Nearest sample in both directions.
    PLAT_STRETCH_COLORONCOLOR = 3,
    // Area average along an axis that shrinks, nearest sample along one
    // that grows or stays.
    PLAT_STRETCH_HALFTONE = 4,
    PLAT_SURFACE_ERROR = -1,
};

// A black surface of width x height pixels in COLORONCOLOR mode; null for
// a size of 0 or less, one too large, or when out of memory.
PlatSurface* plat_surface_create(int32_t width, int32_t height);
void plat_surface_destroy(PlatSurface* s);  // accepts null
// Sets the stretch mode; returns the previous one, or 0 for a null surface
// or a mode the surface does not know.
int plat_surface_set_stretch_mode(PlatSurface* s, int mode);
// Colour at (x, y) as 0xRRGGBB; 0 outside the surface or for null.
uint32_t plat_surface_pixel(const PlatSurface* s, int32_t x, int32_t y);
void plat_surface_fill(PlatSurface* s, uint32_t rgb);
// Draws a whole packed bitmap stretched to the destination rectangle and
// clipped to the surface, in the surface's stretch mode. info is its
// information header (40 bytes or more; the colour table follows it at its
// stated size), bits its pixel rows; both must hold the whole bitmap.
// Bit counts 1, 4, 8 (through the colour table; indices past its end are
// black), 16 (5-5-5), 24 and 32, uncompressed, either row order. A negative
// destination width or height mirrors along that axis. Returns the bitmap's
// row count, or PLAT_SURFACE_ERROR for a null argument, an empty bitmap or
// a format it cannot draw.
int plat_surface_stretch_dib(PlatSurface* s, int32_t x, int32_t y,
                             int32_t width, int32_t height, const void* info,
                             const void* bits);

// The clipboard is the system's on Windows, one per process elsewhere.
// Data blocks are PlatMem blocks; a block set on the clipboard belongs to
// it from then on (it no longer counts in plat_mem_blocks_in_use) and is
// freed when replaced or emptied. Every call but availability and
// registration needs the clipboard open.
enum {
    PLAT_CF_DIB = 8,
    PLAT_CF_FIRST_REGISTERED = 0xC000,
    PLAT_CF_LAST_REGISTERED = 0xFFFF,
};

// Opens the clipboard for owner (null allowed); false while it is open
// (on Windows also while another program has it open).
bool plat_clip_open(const void* owner);
bool plat_clip_close(void);  // false when it is not open
// Frees all data; false when the clipboard is not open.
bool plat_clip_empty(void);
// Stores data under format, freeing data held earlier under it. False (and
// data still the caller's) when the clipboard is not open, data is null or
// format is 0.
bool plat_clip_set(unsigned format, PlatMem data);
// The block held under format, still the clipboard's; null when the
// clipboard is not open or holds nothing under format.
PlatMem plat_clip_get(unsigned format);
bool plat_clip_available(unsigned format);
// The number of a named format, the same for the same name (compared
// without regard to ASCII case) for the life of the process, from
// PLAT_CF_FIRST_REGISTERED up; 0 for a null or empty name, a name over 255
// bytes, or when all numbers are taken.
unsigned plat_clip_register(const char* name);

// Test hooks. plat_clip_reset closes the clipboard and frees its data
// (registered names stay). plat_clip_fail makes the named calls fail.
enum {
    PLAT_CLIP_FAIL_OPEN = 1,
    PLAT_CLIP_FAIL_CLOSE = 2,
    PLAT_CLIP_FAIL_SET = 4,
    PLAT_CLIP_FAIL_REGISTER = 8,
};
void plat_clip_reset(void);
void plat_clip_fail(unsigned calls);

#ifdef __cplusplus
}
#endif

#endif
