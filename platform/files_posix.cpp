// Files named by wide paths on POSIX systems: the path is the UTF-8 (with
// escaped stray bytes) the command line gave.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/platform.h"

FILE* plat_wfopen(const wchar_t* path, const char* mode) {
    if (!path || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    char* name = plat_wide_to_utf8(path);
    if (!name) {
        errno = ENOMEM;
        return nullptr;
    }
    FILE* f = std::fopen(name, mode);
    int saved = errno;
    std::free(name);
    errno = saved;
    return f;
}

int plat_file_kind(const wchar_t* path, int64_t* size) {
    if (size) *size = -1;
    char* name = path ? plat_wide_to_utf8(path) : nullptr;
    if (!name) return PLAT_FILE_NONE;
    struct stat st;
    const bool found = stat(name, &st) == 0;
    std::free(name);
    if (!found) return PLAT_FILE_NONE;
    if (size) *size = int64_t(st.st_size);
    if (S_ISDIR(st.st_mode)) return PLAT_FILE_FOLDER;
    if (S_ISFIFO(st.st_mode)) return PLAT_FILE_PIPE;
    return S_ISREG(st.st_mode) ? PLAT_FILE_REGULAR : PLAT_FILE_OTHER;
}

bool plat_is_separator(wchar_t c) { return c == L'/'; }

bool plat_read_at(FILE* file, uint64_t offset, void* buffer, size_t n) {
    const int fd = file ? fileno(file) : -1;
    char* at = static_cast<char*>(buffer);
    while (fd >= 0 && n > 0) {
        if (offset > uint64_t(INT64_MAX)) return false;
        const ssize_t got = pread(fd, at, n, off_t(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        at += got;
        offset += uint64_t(got);
        n -= size_t(got);
    }
    return fd >= 0;
}
