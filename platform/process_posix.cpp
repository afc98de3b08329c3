// The command line, the process's settings and the exit status on POSIX
// systems.
#include <cstdlib>
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

void plat_process_setup() {
#ifdef __GLIBC__
    // A heap for the run's thread and one for each of the two that make
    // pages, kept between pages: a page's working memory (its rows' window,
    // the coders' state) is used again by the next, not mapped and faulted
    // in afresh.
    mallopt(M_ARENA_MAX, 3);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
#endif
}
