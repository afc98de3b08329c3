// What the command line's record is on either system.
#include <cstdlib>
#include <cwchar>

#include "platform/platform.h"

void plat_args_free(PlatArgs* args) {
    if (!args || !args->values) return;
    // The elements may hold passwords.
    for (int i = 0; i < args->count; ++i) {
        if (args->values[i]) plat_wipe(args->values[i], std::wcslen(args->values[i]) * sizeof(wchar_t));
        std::free(args->values[i]);
    }
    std::free(args->values);
    args->values = nullptr;
    args->count = 0;
}
