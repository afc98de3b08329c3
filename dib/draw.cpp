// Drawing a bitmap on a surface, and turning a surface back into a bitmap.
#include "dib/dib.h"

#include <cstring>

int dib_draw(void* device_context, int32_t x, int32_t y, int32_t width, int32_t height,
             DibHandle h, int angle) {
    PlatSurface* surface = static_cast<PlatSurface*>(device_context);
    DibHandle turned = nullptr;
    if (angle != 0) {
        const int status = dib_rotate(h, angle, &turned);
        if (status != DIB_OK) return status;
        h = turned;
    } else if (!h) {
        return DIB_ERR_NO_BITMAP;
    }
    DibView v;
    int status = dib_view_open(&v, h) == DIB_OK ? DIB_OK : DIB_ERR_LOCK;
    if (status == DIB_OK) {
        const int old_mode = plat_surface_set_stretch_mode(surface, PLAT_STRETCH_HALFTONE);
        if (old_mode == 0) {
            status = DIB_ERR_STRETCH_MODE;
        } else {
            if (plat_surface_stretch_dib(surface, x, y, width, height, v.header, v.pixels) ==
                PLAT_SURFACE_ERROR)
                status = DIB_ERR_DRAW;
            plat_surface_set_stretch_mode(surface, old_mode);
        }
        dib_view_close(&v);
    }
    plat_mem_free(turned);
    return status;
}

int dib_from_surface(const PlatSurface* surface, DibHandle* out) {
    if (out) *out = nullptr;
    if (!surface || !out) return DIB_ERR_NO_BITMAP;
    DibHandle made = nullptr;
    int status = dib_create(surface->width, surface->height, 24, 0, 0, nullptr, &made);
    if (status != DIB_OK) return status;
    DibView v;
    if (dib_view_open(&v, made) != DIB_OK) {
        plat_mem_free(made);
        return DIB_ERR_LOCK;
    }
    // The surface keeps its top row first; the bitmap is bottom-up.
    for (int32_t row = 0; row < v.rows; row++)
        std::memcpy(v.pixels + static_cast<ptrdiff_t>(v.rows - 1 - row) * v.stride,
                    surface->pixels + static_cast<ptrdiff_t>(row) * surface->stride,
                    static_cast<size_t>(v.row_bytes));
    dib_view_close(&v);
    *out = made;
    return DIB_OK;
}
