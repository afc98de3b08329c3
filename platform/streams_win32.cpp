// Standard streams and pipes on Windows.
#include <windows.h>
#include <io.h>

#include <cstdlib>
#include <cwchar>

#include "platform/platform_os.h"

namespace {

const DWORD CHUNK = 64 * 1024;

int open_status(DWORD error) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return PLAT_READ_NOT_FOUND;
    return error == ERROR_ACCESS_DENIED ? PLAT_READ_PERMISSION : PLAT_READ_OPEN;
}

// Everything the handle gives until its end (a pipe's writer closing it
// ends it with ERROR_BROKEN_PIPE).
int read_to_end(HANDLE h, size_t limit, uint8_t** data, size_t* size) {
    PlatPipeBuffer b{nullptr, 0, 0, limit};
    for (;;) {
        const int room = plat_os_pipe_room(&b);
        if (room != PLAT_READ_OK) return plat_os_pipe_finish(&b, room, data, size);
        const size_t free_bytes = b.capacity - b.length;
        DWORD got = 0;
        if (!ReadFile(h, b.data + b.length, free_bytes > CHUNK ? CHUNK : DWORD(free_bytes), &got,
                      nullptr)) {
            const DWORD error = GetLastError();
            const bool end = error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF;
            return plat_os_pipe_finish(&b, end ? PLAT_READ_OK : PLAT_READ_FAILED, data, size);
        }
        if (got == 0) return plat_os_pipe_finish(&b, PLAT_READ_OK, data, size);
        b.length += got;
    }
}

}  // namespace

bool plat_names_stdout(const wchar_t*) { return false; }

bool plat_names_device(const wchar_t* path) { return path && std::wcsncmp(path, L"\\\\.\\", 4) == 0; }

bool plat_is_terminal(FILE* stream) {
    if (!stream) return false;
    // _isatty is true for NUL too; only a console has a console mode.
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

// Windows pipes cannot be waited on with a time limit here, so stop is not
// asked: the read waits for the pipe's end.
int plat_read_pipe(const wchar_t* path, size_t limit, bool (*)(void*), void*, uint8_t** data,
                   size_t* size) {
    if (!data || !size) return PLAT_READ_FAILED;
    *data = nullptr;
    *size = 0;
    HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
    if (path) {
        h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return open_status(GetLastError());
    } else if (h == nullptr || h == INVALID_HANDLE_VALUE) {
        return PLAT_READ_OPEN;
    }
    const int status = read_to_end(h, limit, data, size);
    if (path) CloseHandle(h);
    return status;
}
