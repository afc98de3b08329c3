// Movable memory blocks on Windows: global memory handles, the kind the
// clipboard takes (GlobalAlloc, GlobalLock, GlobalUnlock, GlobalSize,
// GlobalFree). A PlatMem is the HGLOBAL itself.
#include <windows.h>

#include "platform/platform_os.h"

namespace {

HGLOBAL native(PlatMem h) { return reinterpret_cast<HGLOBAL>(h); }

}  // namespace

PlatMem plat_mem_alloc(unsigned flags, size_t size) {
    if (!plat_os_mem_request_allowed()) return nullptr;
    // A movable block of 0 bytes is a handle of size 0 that does not lock
    // (Windows calls it discarded).
    HGLOBAL h = GlobalAlloc(flags & (GMEM_MOVEABLE | GMEM_ZEROINIT), size);
    if (!h) return nullptr;
    plat_os_mem_count(true);
    return reinterpret_cast<PlatMem>(h);
}

void* plat_mem_lock(PlatMem h) { return h ? GlobalLock(native(h)) : nullptr; }

bool plat_mem_unlock(PlatMem h) { return h && GlobalUnlock(native(h)) != 0; }

PlatMem plat_mem_free(PlatMem h) {
    if (!h) return nullptr;
    if (GlobalFree(native(h))) return h;
    plat_os_mem_count(false);
    return nullptr;
}

size_t plat_mem_size(PlatMem h) { return h ? GlobalSize(native(h)) : 0; }

// Global memory comes from the heap, whose pages cannot be given back
// piecemeal.
void plat_mem_discard(PlatMem, size_t, size_t) {}

unsigned plat_mem_lock_count(PlatMem h) {
    if (!h) return 0;
    const UINT flags = GlobalFlags(native(h));
    return flags == GMEM_INVALID_HANDLE ? 0 : flags & GMEM_LOCKCOUNT;
}

void* plat_big_alloc(size_t n) {
    return VirtualAlloc(nullptr, n ? n : 1, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

// Pages never written are not in the working set: nothing to give back.
void plat_big_trim(void*, size_t, size_t) {}

void plat_big_free(void* block, size_t) {
    if (block) VirtualFree(block, 0, MEM_RELEASE);
}

void plat_wipe(void* p, size_t length) {
    if (p && length > 0) SecureZeroMemory(p, length);
}
