// The system clipboard on Windows. The calls keep the contract of the
// process clipboard (clipboard_posix.cpp): opening twice fails, and a block
// handed over with SetClipboardData is the system's from then on, so it no
// longer counts among the process's blocks.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform_os.h"

namespace {

const size_t MAX_NAME_BYTES = 255;

bool g_open = false;  // opened through plat_clip_open and not yet closed
unsigned g_fail = 0;

}  // namespace

bool plat_clip_open(const void* owner) {
    if (g_open || (g_fail & PLAT_CLIP_FAIL_OPEN)) return false;
    // An owner that is no window opens the clipboard without one.
    HWND window = static_cast<HWND>(const_cast<void*>(owner));
    if (!OpenClipboard(window && IsWindow(window) ? window : nullptr)) return false;
    g_open = true;
    return true;
}

bool plat_clip_close() {
    if (!g_open || (g_fail & PLAT_CLIP_FAIL_CLOSE)) return false;
    if (!CloseClipboard()) return false;
    g_open = false;
    return true;
}

bool plat_clip_empty() { return g_open && EmptyClipboard(); }

bool plat_clip_set(unsigned format, PlatMem data) {
    if (!g_open || !data || format == 0 || (g_fail & PLAT_CLIP_FAIL_SET)) return false;
    if (!SetClipboardData(format, reinterpret_cast<HANDLE>(data))) return false;
    plat_os_mem_count(false);
    return true;
}

PlatMem plat_clip_get(unsigned format) {
    if (!g_open) return nullptr;
    return reinterpret_cast<PlatMem>(GetClipboardData(format));
}

bool plat_clip_available(unsigned format) { return IsClipboardFormatAvailable(format) != 0; }

unsigned plat_clip_register(const char* name) {
    if (!name || !*name || (g_fail & PLAT_CLIP_FAIL_REGISTER)) return 0;
    if (std::strlen(name) > MAX_NAME_BYTES) return 0;
    wchar_t* wide = plat_utf8_to_wide(name);
    if (!wide) return 0;
    const unsigned id = RegisterClipboardFormatW(wide);
    std::free(wide);
    return id;
}

void plat_clip_reset() {
    if (g_open) CloseClipboard();
    g_open = false;
    g_fail = 0;
    if (OpenClipboard(nullptr)) {
        EmptyClipboard();
        CloseClipboard();
    }
}

void plat_clip_fail(unsigned calls) { g_fail = calls; }
