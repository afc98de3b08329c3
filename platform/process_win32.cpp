// The command line and the exit status on Windows.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "platform/platform.h"

bool plat_args_read(int, char**, PlatArgs* args) {
    if (!args) return false;
    args->count = 0;
    args->values = nullptr;
    // The C runtime's text mode would end every line in CR LF; the lines
    // are the same bytes as on Linux.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    int n = 0;
    wchar_t** split = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!split) return false;
    args->values = static_cast<wchar_t**>(std::calloc(size_t(n) + 1, sizeof(wchar_t*)));
    bool ok = args->values != nullptr;
    for (int i = 0; ok && i < n; ++i) {
        const size_t len = std::wcslen(split[i]);
        args->values[i] = static_cast<wchar_t*>(std::malloc((len + 1) * sizeof(wchar_t)));
        ok = args->values[i] != nullptr;
        if (ok) std::wmemcpy(args->values[i], split[i], len + 1);
        args->count = ok ? i + 1 : i;
    }
    // The split copy may hold passwords.
    for (int i = 0; i < n; ++i) plat_wipe(split[i], std::wcslen(split[i]) * sizeof(wchar_t));
    LocalFree(split);
    if (!ok) plat_args_free(args);
    return ok;
}

// A Windows exit code is 32 bits: the caller sees the result code itself.
int plat_exit_status(int code) { return code; }

// The process heap is already one for all threads.
void plat_process_setup() {}
