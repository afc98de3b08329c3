// Movable memory blocks: the failure hook and the count of blocks in use,
// shared by memory_posix.cpp and memory_win32.cpp.
#include "platform/platform_os.h"

// Counted atomically: bitmaps are loaded and freed on more than one thread.
static unsigned g_fail_countdown;
static size_t g_blocks_in_use;

bool plat_os_mem_request_allowed() {
    unsigned left = __atomic_load_n(&g_fail_countdown, __ATOMIC_RELAXED);
    while (left != 0) {
        if (__atomic_compare_exchange_n(&g_fail_countdown, &left, left - 1, false,
                                        __ATOMIC_RELAXED, __ATOMIC_RELAXED))
            return left != 1;
    }
    return true;
}

void plat_os_mem_count(bool added) {
    if (added)
        __atomic_add_fetch(&g_blocks_in_use, 1, __ATOMIC_RELAXED);
    else
        __atomic_sub_fetch(&g_blocks_in_use, 1, __ATOMIC_RELAXED);
}

void plat_mem_fail_after(unsigned n) { __atomic_store_n(&g_fail_countdown, n, __ATOMIC_RELAXED); }

size_t plat_mem_blocks_in_use() { return __atomic_load_n(&g_blocks_in_use, __ATOMIC_RELAXED); }
