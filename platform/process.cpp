// What the command line's record is on either system.
#include <cstdlib>

#include "platform/platform.h"

void plat_args_free(PlatArgs* args) {
    if (!args || !args->values) return;
    for (int i = 0; i < args->count; ++i) std::free(args->values[i]);
    std::free(args->values);
    args->values = nullptr;
    args->count = 0;
}
