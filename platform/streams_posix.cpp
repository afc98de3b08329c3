// Standard streams and pipes on POSIX systems.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cwchar>

#include "platform/platform_os.h"

namespace {

// How long a quiet pipe is waited on before stop is asked again, in ms.
const int STOP_POLL_MS = 100;

int open_status(int error) {
    if (error == ENOENT) return PLAT_READ_NOT_FOUND;
    return error == EACCES ? PLAT_READ_PERMISSION : PLAT_READ_OPEN;
}

// Everything fd gives until its end.
int read_to_end(int fd, size_t limit, bool (*stop)(void*), void* opaque, uint8_t** data,
                size_t* size) {
    PlatPipeBuffer b{nullptr, 0, 0, limit};
    for (;;) {
        const int room = plat_os_pipe_room(&b);
        if (room != PLAT_READ_OK) return plat_os_pipe_finish(&b, room, data, size);
        // A FIFO opened without a writer reports nothing (not even its end)
        // until one comes, so the wait can be given up.
        struct pollfd watch = {fd, POLLIN, 0};
        const int ready = poll(&watch, 1, STOP_POLL_MS);
        if (ready == 0 && stop && stop(opaque))
            return plat_os_pipe_finish(&b, PLAT_READ_STOPPED, data, size);
        if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
        const ssize_t n = ready < 0 ? -1 : read(fd, b.data + b.length, b.capacity - b.length);
        if (n == 0) return plat_os_pipe_finish(&b, PLAT_READ_OK, data, size);
        if (n > 0)
            b.length += size_t(n);
        else if (errno != EINTR && errno != EAGAIN)
            return plat_os_pipe_finish(&b, PLAT_READ_FAILED, data, size);
    }
}

bool starts_with(const wchar_t* text, const wchar_t* prefix) {
    return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}

}  // namespace

bool plat_names_stdout(const wchar_t* path) {
    return path && (std::wcscmp(path, L"/dev/stdout") == 0 || std::wcscmp(path, L"/dev/fd/1") == 0 ||
                    std::wcscmp(path, L"/proc/self/fd/1") == 0);
}

bool plat_names_device(const wchar_t* path) {
    return path && (starts_with(path, L"/dev/") || starts_with(path, L"/proc/"));
}

bool plat_is_terminal(FILE* stream) { return stream && isatty(fileno(stream)) == 1; }

int plat_read_pipe(const wchar_t* path, size_t limit, bool (*stop)(void*), void* opaque,
                   uint8_t** data, size_t* size) {
    if (!data || !size) return PLAT_READ_FAILED;
    *data = nullptr;
    *size = 0;
    int fd = STDIN_FILENO;
    if (path) {
        char* name = plat_wide_to_utf8(path);
        if (!name) return PLAT_READ_NO_MEMORY;
        // Opened without waiting: a FIFO's open would otherwise block until
        // a writer comes, with no way to give up.
        fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        const int error = errno;
        std::free(name);
        if (fd < 0) return open_status(error);
    }
    const int status = read_to_end(fd, limit, stop, opaque, data, size);
    if (path) close(fd);
    return status;
}
