// Files named by wide paths on Windows, where paths are UTF-16 already.
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

FILE* plat_wfopen(const wchar_t* path, const char* mode) {
    wchar_t wide_mode[16];
    size_t n = 0;
    for (; mode && mode[n] && n + 1 < sizeof wide_mode / sizeof wide_mode[0]; ++n)
        wide_mode[n] = wchar_t(static_cast<unsigned char>(mode[n]));
    if (!path || !mode || mode[n]) {
        errno = EINVAL;
        return nullptr;
    }
    wide_mode[n] = 0;
    return _wfopen(path, wide_mode);
}

int plat_file_kind(const wchar_t* path, int64_t* size) {
    if (size) *size = -1;
    if (!path || !*path) return PLAT_FILE_NONE;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(path, GetFileExInfoStandard, &data)) {
        if (size)
            *size = int64_t((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
        return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? PLAT_FILE_FOLDER
                                                                   : PLAT_FILE_REGULAR;
    }
    // Devices (NUL, CON, a named pipe) have no attributes but open.
    HANDLE h = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return PLAT_FILE_NONE;
    const DWORD type = GetFileType(h);
    CloseHandle(h);
    if (size) *size = 0;
    return type == FILE_TYPE_PIPE ? PLAT_FILE_PIPE : PLAT_FILE_OTHER;
}

bool plat_is_separator(wchar_t c) { return c == L'/' || c == L'\\'; }

bool plat_read_at(FILE* file, uint64_t offset, void* buffer, size_t n) {
    return file && offset <= uint64_t(INT64_MAX) && _fseeki64(file, int64_t(offset), SEEK_SET) == 0 &&
           std::fread(buffer, 1, n, file) == n;
}
