// Movable memory blocks on POSIX systems: a handle is the address of a
// small record that sits in front of the block's bytes. Blocks never move,
// so lock only counts.
#include "platform/platform_os.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include <cstdlib>
#include <cstring>
#include <mutex>

// Aligned so the bytes right behind it suit any type the caller stores.
struct alignas(std::max_align_t) PlatMemBlock {
    size_t size;
    unsigned locks;
    bool mapped;  // from mmap rather than malloc
};

// Large blocks (bitmaps) are mapped with their pages made present in one
// go: cheaper than taking a fault on each page as it is first written,
// which is most of the cost of loading a big bitmap. A block asked for
// zeroed is left to the system's zero pages instead, so that what is never
// written (the rows a short file lacks) costs no memory.
static const size_t kMapFrom = size_t(1) << 20;

PlatMem plat_mem_alloc(unsigned flags, size_t size) {
    if (!plat_os_mem_request_allowed()) return nullptr;
    const size_t head = sizeof(PlatMemBlock);
    if (size > SIZE_MAX - head) return nullptr;
    // A block of 0 bytes is still a distinct handle.
    const size_t bytes = head + (size == 0 ? 1 : size);
    void* raw = nullptr;
    bool mapped = false;
    if (bytes >= kMapFrom) {
        const int populate = (flags & PLAT_MEM_ZEROINIT) ? 0 : MAP_POPULATE;
        raw = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | populate,
                   -1, 0);
        if (raw == MAP_FAILED) raw = nullptr;
        mapped = raw != nullptr;
    }
    if (!raw) raw = (flags & PLAT_MEM_ZEROINIT) ? std::calloc(1, bytes) : std::malloc(bytes);
    if (!raw) return nullptr;
    PlatMemBlock* b = static_cast<PlatMemBlock*>(raw);
    b->mapped = mapped;
    b->size = size;
    b->locks = 0;
    plat_os_mem_count(true);
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
    if (h->mapped)
        munmap(h, sizeof(PlatMemBlock) + h->size);
    else
        std::free(h);
    plat_os_mem_count(false);
    return nullptr;
}

size_t plat_mem_size(PlatMem h) { return h ? h->size : 0; }

namespace {

// The advice for the whole units of memory inside [from, to).
void advise_inside(uintptr_t from, uintptr_t to, uintptr_t unit, int advice) {
    const uintptr_t first = (from + unit - 1) / unit * unit;
    const uintptr_t last = to / unit * unit;
    if (first < last) madvise(reinterpret_cast<void*>(first), last - first, advice);
}

uintptr_t page_size() { return uintptr_t(sysconf(_SC_PAGESIZE)); }

}  // namespace

void plat_mem_discard(PlatMem h, size_t offset, size_t length) {
    if (!h || !h->mapped || offset >= h->size) return;
    length = std::min(length, h->size - offset);
    const uintptr_t begin = reinterpret_cast<uintptr_t>(h + 1) + offset;
    advise_inside(begin, begin + length, page_size(), MADV_DONTNEED);
}

unsigned plat_mem_lock_count(PlatMem h) { return h ? h->locks : 0; }

namespace {

// Two freed blocks are kept for the next pages, each with at most its first
// 2 MiB in memory: a page's output room touched afresh cost its zeroing and
// faults again, the kernel's largest share of a run of JPEG pages.
constexpr size_t kKeptBlocks = 2;
constexpr size_t kKeptBytes = size_t(2) << 20;

struct KeptBlock {
    void* block;
    size_t n;
};

std::mutex g_kept_lock;
KeptBlock g_kept[kKeptBlocks];

// A kept block resized to n bytes (its pages in memory stay), or null.
void* take_kept(size_t n) {
    KeptBlock taken{};
    {
        std::lock_guard<std::mutex> held(g_kept_lock);
        KeptBlock* best = nullptr;
        for (KeptBlock& k : g_kept) {
            if (!k.block) continue;
            const auto off = [n](const KeptBlock& b) { return b.n > n ? b.n - n : n - b.n; };
            if (!best || off(k) < off(*best)) best = &k;
        }
        if (!best) return nullptr;
        taken = *best;
        *best = KeptBlock{};
    }
    if (taken.n == n) return taken.block;
    void* p = mremap(taken.block, taken.n, n, MREMAP_MAYMOVE);
    if (p != MAP_FAILED) return p;
    munmap(taken.block, taken.n);
    return nullptr;
}

}  // namespace

void* plat_big_alloc(size_t n) {
    n = n ? n : 1;
    if (void* kept = take_kept(n)) return kept;
    void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    // A fault per 4 KiB page was most of the kernel's time on a Flate page;
    // refused (no huge pages here) it changes nothing.
    madvise(p, n, MADV_HUGEPAGE);
    return p;
}

void plat_big_trim(void* block, size_t n, size_t used) {
    if (!block || used >= n) return;
    // The rest of the last huge page written would stay in memory; the
    // mapping runs to the end of its last page.
    const uintptr_t begin = reinterpret_cast<uintptr_t>(block);
    const uintptr_t page = page_size();
    advise_inside(begin + used, (begin + n + page - 1) / page * page, page, MADV_DONTNEED);
}

void plat_big_free(void* block, size_t n) {
    if (!block) return;
    n = n ? n : 1;
    {
        std::lock_guard<std::mutex> held(g_kept_lock);
        for (KeptBlock& k : g_kept) {
            if (k.block) continue;
            plat_big_trim(block, n, std::min(n, kKeptBytes));
            k = KeptBlock{block, n};
            return;
        }
    }
    munmap(block, n);
}

void plat_wipe(void* p, size_t length) {
    if (p && length > 0) explicit_bzero(p, length);
}
