// The command line, the process's settings and the exit status on POSIX
// systems.
#include <cstdlib>
#include <mutex>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "platform/platform.h"

bool plat_args_read(int argc, char** argv, PlatArgs* args) {
    if (!args) return false;
    args->count = 0;
    args->values = static_cast<wchar_t**>(std::calloc(size_t(argc > 0 ? argc : 0) + 1, sizeof(wchar_t*)));
    if (!args->values) return false;
    for (int i = 0; i < argc; ++i) {
        args->values[i] = plat_utf8_to_wide(argv[i] ? argv[i] : "");
        if (!args->values[i]) {
            plat_args_free(args);
            return false;
        }
        args->count = i + 1;
    }
    return true;
}

int plat_exit_status(int code) { return code & 0xFF; }

#ifdef __GLIBC__
constexpr int kTrimThreshold = 128 << 20;
#endif

void plat_process_setup() {
#ifdef __GLIBC__
    // A heap for the run's thread and one for each of the two that make
    // pages: a worker's next page finds its last one's working memory in
    // its own heap, where one shared heap let the two pages' blocks
    // interleave and sometimes grew by a whole third set.
    mallopt(M_ARENA_MAX, 3);
    // Mapping a page's working memory afresh and faulting it in was most of
    // the kernel's share of a run; from the heap it is used again.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
#endif
}

void plat_heap_trim() {
#ifdef __GLIBC__
    // A thread's own heap hands back its free top only when a block is
    // freed into it above the threshold (malloc_trim leaves that top). One
    // thread at a time, or one could free under the other's restored value.
    static std::mutex one_at_a_time;
    std::lock_guard<std::mutex> held(one_at_a_time);
    mallopt(M_TRIM_THRESHOLD, 0);
    void* volatile block = std::malloc(64 << 10);
    std::free(block);
    mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
    malloc_trim(0);
#endif
}
