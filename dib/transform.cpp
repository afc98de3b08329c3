// Transforms, drawing and clipboard transfer: not built yet. Each call
// reports DIB_ERR_NOT_SUPPORTED and leaves its arguments' bitmaps alone.
#include "dib/dib.h"

int dib_rotate(DibHandle, int, DibHandle*) { return DIB_ERR_NOT_SUPPORTED; }
int dib_mirror(DibHandle, DibHandle*) { return DIB_ERR_NOT_SUPPORTED; }
int dib_flip(DibHandle, DibHandle*) { return DIB_ERR_NOT_SUPPORTED; }

int dib_copy(PlatMem, DibHandle* out, int, int*) {
    if (out) *out = nullptr;
    return DIB_ERR_NOT_SUPPORTED;
}

int dib_draw(void*, int32_t, int32_t, int32_t, int32_t, DibHandle, int) {
    return DIB_ERR_NOT_SUPPORTED;
}

int dib_to_clipboard(DibHandle, int, int) { return DIB_ERR_NOT_SUPPORTED; }

int dib_from_clipboard(DibHandle* var, int, int) {
    if (var) *var = nullptr;
    return DIB_ERR_NOT_SUPPORTED;
}
