// In-memory drawing surface: the stand-in for a device context that the
// bitmap library draws on. Stretching works per axis: every destination
// pixel maps to a range of source columns and a range of source rows, and
// its colour is the average over that rectangle. Nearest sampling is the
// one-element range around the destination pixel's centre.
#include "platform/platform.h"

#include <cstdlib>
#include <cstring>

namespace {

const int64_t MAX_SURFACE_BYTES = int64_t(1) << 31;

uint32_t read_u32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t rgb(uint32_t r, uint32_t g, uint32_t b) { return r << 16 | g << 8 | b; }

uint32_t expand5(uint32_t v) { return v << 3 | v >> 2; }

// The source range of destination index d (0..dst-1) along one axis of src
// samples: an area when halftoning a shrink, else the nearest sample.
void axis_range(int64_t d, int64_t dst, int64_t src, bool average, int32_t* lo, int32_t* hi) {
    if (average && dst < src) {
        *lo = int32_t(d * src / dst);
        *hi = int32_t((d + 1) * src / dst);
    } else {
        *lo = int32_t((2 * d + 1) * src / (2 * dst));
        *hi = *lo + 1;
    }
}

// Colours of one stored row, 0xRRGGBB per pixel.
void expand_row(const uint8_t* row, int bits, int32_t width, const uint32_t* palette,
                uint32_t* out) {
    switch (bits) {
    case 1:
        for (int32_t i = 0; i < width; i++) out[i] = palette[(row[i >> 3] >> (7 - (i & 7))) & 1];
        break;
    case 4:
        for (int32_t i = 0; i < width; i++)
            out[i] = palette[(i & 1) ? (row[i >> 1] & 0x0F) : (row[i >> 1] >> 4)];
        break;
    case 8:
        for (int32_t i = 0; i < width; i++) out[i] = palette[row[i]];
        break;
    case 16:
        for (int32_t i = 0; i < width; i++) {
            uint32_t v = uint32_t(row[2 * i]) | uint32_t(row[2 * i + 1]) << 8;
            out[i] = rgb(expand5((v >> 10) & 31), expand5((v >> 5) & 31), expand5(v & 31));
        }
        break;
    case 24:
        for (int32_t i = 0; i < width; i++, row += 3) out[i] = rgb(row[2], row[1], row[0]);
        break;
    default:  // 32
        for (int32_t i = 0; i < width; i++, row += 4) out[i] = rgb(row[2], row[1], row[0]);
        break;
    }
}

}  // namespace

PlatSurface* plat_surface_create(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) return nullptr;
    int64_t stride = (int64_t(width) * 3 + 3) / 4 * 4;
    if (stride > MAX_SURFACE_BYTES / height) return nullptr;
    PlatSurface* s = static_cast<PlatSurface*>(std::calloc(1, sizeof(PlatSurface)));
    if (!s) return nullptr;
    s->pixels = static_cast<uint8_t*>(std::calloc(size_t(stride) * size_t(height), 1));
    if (!s->pixels) {
        std::free(s);
        return nullptr;
    }
    s->width = width;
    s->height = height;
    s->stride = int32_t(stride);
    s->stretch_mode = PLAT_STRETCH_COLORONCOLOR;
    return s;
}

void plat_surface_destroy(PlatSurface* s) {
    if (!s) return;
    std::free(s->pixels);
    std::free(s);
}

int plat_surface_set_stretch_mode(PlatSurface* s, int mode) {
    if (!s || (mode != PLAT_STRETCH_COLORONCOLOR && mode != PLAT_STRETCH_HALFTONE)) return 0;
    int old = s->stretch_mode;
    s->stretch_mode = mode;
    return old;
}

uint32_t plat_surface_pixel(const PlatSurface* s, int32_t x, int32_t y) {
    if (!s || x < 0 || y < 0 || x >= s->width || y >= s->height) return 0;
    const uint8_t* p = s->pixels + int64_t(y) * s->stride + int64_t(x) * 3;
    return rgb(p[2], p[1], p[0]);
}

void plat_surface_fill(PlatSurface* s, uint32_t colour) {
    if (!s) return;
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
    const uint8_t* hdr = static_cast<const uint8_t*>(info);
    uint32_t hdr_size = read_u32(hdr);
    int32_t src_w = int32_t(read_u32(hdr + 4));
    int32_t stored_h = int32_t(read_u32(hdr + 8));
    int bit_count = hdr[14] | hdr[15] << 8;
    uint32_t compression = read_u32(hdr + 16);
    uint32_t colours_used = read_u32(hdr + 32);
    if (hdr_size < 40 || compression != 0 || src_w <= 0 || stored_h == 0 ||
        stored_h == INT32_MIN)
        return PLAT_SURFACE_ERROR;
    if (bit_count != 1 && bit_count != 4 && bit_count != 8 && bit_count != 16 && bit_count != 24 &&
        bit_count != 32)
        return PLAT_SURFACE_ERROR;
    int32_t src_h = stored_h < 0 ? -stored_h : stored_h;
    int64_t src_stride = (int64_t(src_w) * bit_count + 31) / 32 * 4;

    uint32_t palette[256] = {};
    if (bit_count <= 8) {
        uint32_t entries = colours_used ? colours_used : 1u << bit_count;
        if (entries > (1u << bit_count)) entries = 1u << bit_count;
        const uint8_t* table = hdr + hdr_size;
        for (uint32_t i = 0; i < entries; i++)
            palette[i] = rgb(table[4 * i + 2], table[4 * i + 1], table[4 * i]);
    }

    bool mirror_x = width < 0, mirror_y = height < 0;
    int64_t dst_x = x, dst_y = y, dst_w = width, dst_h = height;
    if (mirror_x) {
        dst_x += dst_w;
        dst_w = -dst_w;
    }
    if (mirror_y) {
        dst_y += dst_h;
        dst_h = -dst_h;
    }
    int64_t x0 = dst_x < 0 ? 0 : dst_x, x1 = dst_x + dst_w > s->width ? s->width : dst_x + dst_w;
    int64_t y0 = dst_y < 0 ? 0 : dst_y, y1 = dst_y + dst_h > s->height ? s->height : dst_y + dst_h;
    if (x0 >= x1 || y0 >= y1) return src_h;

    bool average = s->stretch_mode == PLAT_STRETCH_HALFTONE;
    size_t cols = size_t(x1 - x0);
    int32_t* col_lo = static_cast<int32_t*>(std::malloc(cols * sizeof(int32_t)));
    int32_t* col_hi = static_cast<int32_t*>(std::malloc(cols * sizeof(int32_t)));
    uint64_t* sums = static_cast<uint64_t*>(std::malloc(cols * 3 * sizeof(uint64_t)));
    uint32_t* line = static_cast<uint32_t*>(std::malloc(size_t(src_w) * sizeof(uint32_t)));
    int result = src_h;
    if (!col_lo || !col_hi || !sums || !line) {
        result = PLAT_SURFACE_ERROR;
    } else {
        for (size_t c = 0; c < cols; c++) {
            int64_t d = int64_t(c) + x0 - dst_x;
            if (mirror_x) d = dst_w - 1 - d;
            axis_range(d, dst_w, src_w, average, &col_lo[c], &col_hi[c]);
        }
        const uint8_t* pixels = static_cast<const uint8_t*>(bits);
        int32_t line_row = -1;  // image row now held in line
        for (int64_t py = y0; py < y1; py++) {
            int64_t d = py - dst_y;
            if (mirror_y) d = dst_h - 1 - d;
            int32_t row_lo, row_hi;
            axis_range(d, dst_h, src_h, average, &row_lo, &row_hi);
            std::memset(sums, 0, cols * 3 * sizeof(uint64_t));
            for (int32_t r = row_lo; r < row_hi; r++) {
                if (r != line_row) {
                    int64_t stored = stored_h > 0 ? src_h - 1 - r : r;
                    expand_row(pixels + stored * src_stride, bit_count, src_w, palette, line);
                    line_row = r;
                }
                for (size_t c = 0; c < cols; c++) {
                    uint64_t* sum = sums + 3 * c;
                    for (int32_t i = col_lo[c]; i < col_hi[c]; i++) {
                        sum[0] += line[i] >> 16;
                        sum[1] += (line[i] >> 8) & 0xFF;
                        sum[2] += line[i] & 0xFF;
                    }
                }
            }
            uint8_t* out = s->pixels + py * s->stride + x0 * 3;
            for (size_t c = 0; c < cols; c++, out += 3) {
                uint64_t n = uint64_t(row_hi - row_lo) * uint64_t(col_hi[c] - col_lo[c]);
                const uint64_t* sum = sums + 3 * c;
                out[2] = uint8_t((sum[0] + n / 2) / n);
                out[1] = uint8_t((sum[1] + n / 2) / n);
                out[0] = uint8_t((sum[2] + n / 2) / n);
            }
        }
    }
    std::free(col_lo);
    std::free(col_hi);
    std::free(sums);
    std::free(line);
    return result;
}
