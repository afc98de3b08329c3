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
    mallopt(M_ARENA_MAX, 1);
    // A fixed threshold: blocks of a megabyte and more (an encoder's buffers
    // for a page) go back to the system when freed, where the default one
    // rises with each such block freed until they stay in the heap.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}
