// Movable memory blocks: a handle is the address of a small record that sits
// in front of the block's bytes. Blocks never move, so lock only counts.
#include "platform/platform.h"

#include <cstdlib>
#include <cstring>

// Aligned so the bytes right behind it suit any type the caller stores.
struct alignas(std::max_align_t) PlatMemBlock {
    size_t size;
    unsigned locks;
};

static unsigned g_fail_countdown;
static size_t g_blocks_in_use;

PlatMem plat_mem_alloc(unsigned flags, size_t size) {
    if (g_fail_countdown > 0 && --g_fail_countdown == 0) return nullptr;
    const size_t head = sizeof(PlatMemBlock);
    if (size > SIZE_MAX - head) return nullptr;
    // A block of 0 bytes is still a distinct handle.
    const size_t bytes = head + (size == 0 ? 1 : size);
    void* raw = (flags & PLAT_MEM_ZEROINIT) ? std::calloc(1, bytes) : std::malloc(bytes);
    if (!raw) return nullptr;
    PlatMemBlock* b = static_cast<PlatMemBlock*>(raw);
    b->size = size;
    b->locks = 0;
    ++g_blocks_in_use;
    return b;
}

void* plat_mem_lock(PlatMem h) {
    if (!h) return nullptr;
    ++h->locks;
    return h + 1;
}

bool plat_mem_unlock(PlatMem h) {
    if (!h || h->locks == 0) return false;
    --h->locks;
    return h->locks > 0;
}

PlatMem plat_mem_free(PlatMem h) {
    if (!h) return nullptr;
    std::free(h);
    --g_blocks_in_use;
    return nullptr;
}

size_t plat_mem_size(PlatMem h) { return h ? h->size : 0; }

unsigned plat_mem_lock_count(PlatMem h) { return h ? h->locks : 0; }

void plat_mem_fail_after(unsigned n) { g_fail_countdown = n; }

size_t plat_mem_blocks_in_use() { return g_blocks_in_use; }
