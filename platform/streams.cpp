// The buffer of a pipe read whole, shared by streams_posix.cpp and
// streams_win32.cpp.
#include <cstdint>
#include <cstdlib>

#include "platform/platform_os.h"

namespace {
const size_t FIRST_CAPACITY = 64 * 1024;
}

int plat_os_pipe_room(PlatPipeBuffer* b) {
    if (b->length < b->capacity) return PLAT_READ_OK;
    const size_t most = b->limit < SIZE_MAX ? b->limit + 1 : b->limit;
    if (b->capacity >= most) return PLAT_READ_TOO_LARGE;
    const size_t grown = b->capacity == 0 ? FIRST_CAPACITY : b->capacity * 2;
    const size_t next = grown > most || grown < b->capacity ? most : grown;
    uint8_t* larger = static_cast<uint8_t*>(std::realloc(b->data, next));
    if (!larger) return PLAT_READ_NO_MEMORY;
    b->data = larger;
    b->capacity = next;
    return PLAT_READ_OK;
}

int plat_os_pipe_finish(PlatPipeBuffer* b, int status, uint8_t** data, size_t* size) {
    if (status == PLAT_READ_OK && b->length > 0) {
        *data = b->data;
        *size = b->length;
    } else {
        std::free(b->data);
    }
    *b = PlatPipeBuffer{nullptr, 0, 0, b->limit};
    return status;
}
