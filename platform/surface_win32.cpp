// The drawing surface on Windows: a memory device context with a 24-bit
// top-down DIB section selected into it. Bitmaps are drawn with
// StretchDIBits in the stretch mode set by SetStretchBltMode; the pixels
// are read straight from the DIB section once GDI has flushed its work.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

const int64_t MAX_SURFACE_BYTES = int64_t(1) << 31;

HDC dc_of(const PlatSurface* s) { return static_cast<HDC>(s->device); }

}  // namespace

PlatSurface* plat_surface_create(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) return nullptr;
    const int64_t stride = (int64_t(width) * 3 + 3) / 4 * 4;
    if (stride > MAX_SURFACE_BYTES / height) return nullptr;
    PlatSurface* s = static_cast<PlatSurface*>(std::calloc(1, sizeof(PlatSurface)));
    if (!s) return nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down, as the surface's rows are
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = dc ? CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
    if (!bitmap || !bits || !SelectObject(dc, bitmap)) {
        if (bitmap) DeleteObject(bitmap);
        if (dc) DeleteDC(dc);
        std::free(s);
        return nullptr;
    }
    SetStretchBltMode(dc, COLORONCOLOR);
    s->width = width;
    s->height = height;
    s->stride = int32_t(stride);
    s->stretch_mode = PLAT_STRETCH_COLORONCOLOR;
    s->pixels = static_cast<uint8_t*>(bits);
    s->device = dc;
    return s;
}

void plat_surface_destroy(PlatSurface* s) {
    if (!s) return;
    HDC dc = dc_of(s);
    // The DIB section is freed once no device context holds it.
    HGDIOBJ bitmap = GetCurrentObject(dc, OBJ_BITMAP);
    DeleteDC(dc);
    DeleteObject(bitmap);
    std::free(s);
}

int plat_surface_set_stretch_mode(PlatSurface* s, int mode) {
    if (!s || (mode != PLAT_STRETCH_COLORONCOLOR && mode != PLAT_STRETCH_HALFTONE)) return 0;
    const int old = SetStretchBltMode(dc_of(s), mode);
    if (old == 0) return 0;
    // HALFTONE needs the brush origin set again after the mode changes.
    if (mode == PLAT_STRETCH_HALFTONE) SetBrushOrgEx(dc_of(s), 0, 0, nullptr);
    s->stretch_mode = mode;
    return old;
}

uint32_t plat_surface_pixel(const PlatSurface* s, int32_t x, int32_t y) {
    if (!s || x < 0 || y < 0 || x >= s->width || y >= s->height) return 0;
    GdiFlush();
    const uint8_t* p = s->pixels + int64_t(y) * s->stride + int64_t(x) * 3;
    return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

void plat_surface_fill(PlatSurface* s, uint32_t colour) {
    if (!s) return;
    GdiFlush();
    for (int32_t y = 0; y < s->height; y++) {
        uint8_t* p = s->pixels + int64_t(y) * s->stride;
        for (int32_t x = 0; x < s->width; x++, p += 3) {
            p[0] = uint8_t(colour);
            p[1] = uint8_t(colour >> 8);
            p[2] = uint8_t(colour >> 16);
        }
    }
}

int plat_surface_stretch_dib(PlatSurface* s, int32_t x, int32_t y, int32_t width, int32_t height,
                             const void* info, const void* bits) {
    if (!s || !info || !bits) return PLAT_SURFACE_ERROR;
    const BITMAPINFOHEADER* hdr = static_cast<const BITMAPINFOHEADER*>(info);
    if (hdr->biSize < sizeof(BITMAPINFOHEADER) || hdr->biWidth <= 0 || hdr->biHeight == 0 ||
        hdr->biCompression != BI_RGB)
        return PLAT_SURFACE_ERROR;
    const int rows = hdr->biHeight < 0 ? -hdr->biHeight : hdr->biHeight;
    const int copied = StretchDIBits(dc_of(s), x, y, width, height, 0, 0, hdr->biWidth, rows, bits,
                                     static_cast<const BITMAPINFO*>(info), DIB_RGB_COLORS, SRCCOPY);
    // Callers read the DIB section right after (dib_from_surface).
    GdiFlush();
    if (copied == 0 || copied == int(GDI_ERROR)) return PLAT_SURFACE_ERROR;
    return copied;
}
