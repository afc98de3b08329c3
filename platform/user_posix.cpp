// Login name of the effective user, from the password database.
#include "platform/platform.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cwchar>
#include <vector>

namespace {

PlatUserHook g_user_hook = nullptr;

}  // namespace

bool plat_user_name(wchar_t* buf, size_t cap) {
    if (g_user_hook) return g_user_hook(buf, cap);
    if (!buf || cap == 0) return false;
    buf[0] = 0;

    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    size_t size = hint > 0 ? size_t(hint) : 1024;
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> scratch;
    for (;;) {
        scratch.resize(size);
        int rc = getpwuid_r(geteuid(), &pw, scratch.data(), scratch.size(), &found);
        if (rc != ERANGE) break;
        if (size >= (1u << 20)) return false;  // a sane entry never needs this much
        size *= 2;
    }
    if (!found || !found->pw_name || !found->pw_name[0]) return false;

    wchar_t* wide = plat_utf8_to_wide(found->pw_name);
    if (!wide) return false;
    size_t len = std::wcslen(wide);
    bool fits = len < cap;
    if (fits) std::wmemcpy(buf, wide, len + 1);
    std::free(wide);
    return fits;
}

void plat_set_user_hook(PlatUserHook hook) { g_user_hook = hook; }
