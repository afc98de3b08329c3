// What each system's files give the portable parts of the platform layer
// (clock.cpp, memory counting). Only platform/ includes this.
#ifndef TARVO_PLATFORM_OS_H
#define TARVO_PLATFORM_OS_H

#include "platform/platform.h"

// The real-time clock.
PlatInstant plat_os_now();
// The calendar fields of an instant in UTC and, when local is not null, in
// the system's time zone as it was at that instant. Fields stay as they are
// for an instant the system cannot convert.
void plat_os_calendar(PlatInstant t, PlatTime* utc, PlatTime* local);
// Milliseconds from an arbitrary start, wrapping at 2^32.
uint32_t plat_os_ticks();

// Movable memory: false when the failure hook says this allocation fails;
// the count of blocks in use, up for a new block, down for a freed one.
bool plat_os_mem_request_allowed();
void plat_os_mem_count(bool added);

// A pipe read whole: the bytes so far in a buffer that grows to at most
// limit + 1 bytes, the one beyond telling a pipe too long from one of
// exactly limit bytes.
struct PlatPipeBuffer {
    uint8_t* data;
    size_t capacity;
    size_t length;
    size_t limit;
};
// Room after the bytes held: PLAT_READ_OK, PLAT_READ_NO_MEMORY, or
// PLAT_READ_TOO_LARGE once more than limit bytes have come.
int plat_os_pipe_room(PlatPipeBuffer* buffer);
// Hands the bytes over when status is PLAT_READ_OK (null for none), frees
// them otherwise; returns status.
int plat_os_pipe_finish(PlatPipeBuffer* buffer, int status, uint8_t** data, size_t* size);

#endif
