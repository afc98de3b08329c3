// Login name of the user the process runs as (GetUserNameW).
#include <windows.h>

#include "platform/platform.h"

namespace {

PlatUserHook g_user_hook = nullptr;

}  // namespace

bool plat_user_name(wchar_t* buf, size_t cap) {
    if (g_user_hook) return g_user_hook(buf, cap);
    if (!buf || cap == 0) return false;
    DWORD n = cap > 0xFFFFu ? 0xFFFFu : DWORD(cap);
    if (!GetUserNameW(buf, &n)) {
        buf[0] = 0;
        return false;
    }
    return buf[0] != 0;
}

void plat_set_user_hook(PlatUserHook hook) { g_user_hook = hook; }
