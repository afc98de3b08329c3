// Debugger output channel. Linux has no debugger string channel, so the
// lines go to standard error, flushed at once so they interleave correctly
// with the writer's standard-output lines when both reach a terminal.
#include "platform/platform.h"

#include <cstdlib>

void plat_debug_out(const wchar_t* text) {
    char* bytes = plat_wide_to_utf8(text);
    if (!bytes) return;
    std::fputs(bytes, stderr);
    std::fflush(stderr);
    std::free(bytes);
}
