// Rotation by quarter turns, mirroring, flipping and whole-block copies.
//
// Pixels are addressed in image coordinates (x right, y down from the top
// row); a row base and a signed step hide the storage order, so one loop
// serves bottom-up and top-down bitmaps alike.
#include "dib/dib.h"

#include <cstring>

namespace {

enum Motion { MOVE_COPY, MOVE_CW, MOVE_CCW, MOVE_HALF_TURN, MOVE_MIRROR };

// Image row y starts at first + y * step.
struct Rows {
    uint8_t* first;
    ptrdiff_t step;
};

Rows image_rows(const DibView& v) {
    Rows r;
    if (v.header->height > 0) {
        r.first = v.pixels + static_cast<ptrdiff_t>(v.rows - 1) * v.stride;
        r.step = -static_cast<ptrdiff_t>(v.stride);
    } else {
        r.first = v.pixels;
        r.step = v.stride;
    }
    return r;
}

unsigned get_small(const uint8_t* row, int32_t x, int bits) {
    if (bits == 1) return (row[x >> 3] >> (7 - (x & 7))) & 1u;
    return (x & 1) ? row[x >> 1] & 0x0Fu : row[x >> 1] >> 4;
}

// The target starts zero-filled, so setting a pixel is an OR.
void put_small(uint8_t* row, int32_t x, int bits, unsigned v) {
    if (bits == 1)
        row[x >> 3] = static_cast<uint8_t>(row[x >> 3] | v << (7 - (x & 7)));
    else
        row[x >> 1] = static_cast<uint8_t>(row[x >> 1] | ((x & 1) ? v : v << 4));
}

// Source coordinates of target pixel (x, y) for a source of w x h pixels.
void source_of(Motion m, int32_t x, int32_t y, int32_t w, int32_t h, int32_t* sx, int32_t* sy) {
    switch (m) {
    case MOVE_CW: *sx = y; *sy = h - 1 - x; break;
    case MOVE_CCW: *sx = w - 1 - y; *sy = x; break;
    case MOVE_HALF_TURN: *sx = w - 1 - x; *sy = h - 1 - y; break;
    case MOVE_MIRROR: *sx = w - 1 - x; *sy = y; break;
    default: *sx = x; *sy = y; break;
    }
}

// 1- and 4-bit pixels, one at a time within their bytes.
void move_small(Motion m, int bits, const Rows& s, int32_t sw, int32_t sh, const Rows& t,
                int32_t tw, int32_t th) {
    for (int32_t y = 0; y < th; y++) {
        uint8_t* trow = t.first + y * t.step;
        for (int32_t x = 0; x < tw; x++) {
            int32_t sx, sy;
            source_of(m, x, y, sw, sh, &sx, &sy);
            put_small(trow, x, bits, get_small(s.first + sy * s.step, sx, bits));
        }
    }
}

// Whole-byte pixels of B bytes. Quarter turns walk the target in square
// tiles so the column-wise reads of the source stay in cache.
template <int B>
void move_bytes(Motion m, const Rows& s, int32_t sw, int32_t sh, const Rows& t, int32_t tw,
                int32_t th) {
    const int32_t TILE = 64;
    if (m == MOVE_CW || m == MOVE_CCW) {
        for (int32_t y0 = 0; y0 < th; y0 += TILE) {
            const int32_t y1 = y0 + TILE < th ? y0 + TILE : th;
            for (int32_t x0 = 0; x0 < tw; x0 += TILE) {
                const int32_t x1 = x0 + TILE < tw ? x0 + TILE : tw;
                for (int32_t y = y0; y < y1; y++) {
                    uint8_t* d = t.first + y * t.step + static_cast<ptrdiff_t>(x0) * B;
                    // Along a target row the source walks one column, row by row.
                    const uint8_t* p;
                    ptrdiff_t advance;
                    if (m == MOVE_CW) {
                        p = s.first + (sh - 1 - x0) * s.step + static_cast<ptrdiff_t>(y) * B;
                        advance = -s.step;
                    } else {
                        p = s.first + x0 * s.step + static_cast<ptrdiff_t>(sw - 1 - y) * B;
                        advance = s.step;
                    }
                    for (int32_t x = x0; x < x1; x++, d += B, p += advance) std::memcpy(d, p, B);
                }
            }
        }
        return;
    }
    for (int32_t y = 0; y < th; y++) {
        const int32_t sy = m == MOVE_HALF_TURN ? sh - 1 - y : y;
        uint8_t* d = t.first + y * t.step;
        const uint8_t* p = s.first + sy * s.step;
        if (m == MOVE_COPY) {
            std::memcpy(d, p, static_cast<size_t>(tw) * B);
            continue;
        }
        p += static_cast<ptrdiff_t>(sw - 1) * B;
        for (int32_t x = 0; x < tw; x++, d += B, p -= B) std::memcpy(d, p, B);
    }
}

// The new bitmap's colour table: the default-sized table of its bit count,
// filled from the source's entries (a source may list fewer).
void target_table(const DibView& v, uint8_t table[1024]) {
    std::memset(table, 0, 1024);
    const int32_t want = v.bit_count == 1 ? 8 : v.bit_count == 2 ? 16 : v.bit_count == 4 ? 64 : 1024;
    std::memcpy(table, v.colours, static_cast<size_t>(v.colour_bytes < want ? v.colour_bytes : want));
}

// Stores the new bitmap or cleans up, as every producing operation does:
// success frees a source the variable held; failure frees what was made and
// clears the variable unless it holds the source.
int finish(DibHandle source, DibHandle* var, DibHandle made, int status) {
    if (status == DIB_OK) {
        if (*var == source) plat_mem_free(source);
        *var = made;
        return DIB_OK;
    }
    plat_mem_free(made);
    if (*var != source) *var = nullptr;
    return status;
}

// Makes a new bitmap from source by motion m. flip_rows instead copies the
// stored rows in reverse order, whatever the bit count allows.
int transform(DibHandle source, Motion m, bool flip_rows, DibHandle* var) {
    if (!var) return DIB_ERR_NO_BITMAP;
    if (!source) return finish(source, var, nullptr, DIB_ERR_NO_BITMAP);
    DibView v;
    if (dib_view_open(&v, source) != DIB_OK) return finish(source, var, nullptr, DIB_ERR_LOCK);

    const bool turn = m == MOVE_CW || m == MOVE_CCW;
    const DibInfoHeader& h = *v.header;
    // The row order (sign of the height) survives a quarter turn.
    const int32_t tw = turn ? v.rows : v.width;
    const int32_t th_stored = turn ? (h.height < 0 ? -v.width : v.width) : h.height;
    uint8_t table[1024];
    target_table(v, table);
    DibHandle made = nullptr;
    int status = dib_create(tw, th_stored, v.bit_count, turn ? v.y_res : v.x_res,
                            turn ? v.x_res : v.y_res, table, &made);
    // Bit fields and embedded data would lose what places their pixels.
    if (status == DIB_OK && ((v.bit_count != 1 && v.bit_count != 4 && v.bit_count != 8 &&
                              v.bit_count != 24 && v.bit_count != 32) ||
                             v.header->compression != DIB_COMPRESSION_NONE))
        status = DIB_ERR_UNSUPPORTED;
    DibView t;
    if (status == DIB_OK && dib_view_open(&t, made) != DIB_OK) status = DIB_ERR_LOCK;
    if (status == DIB_OK) {
        if (flip_rows) {
            for (int32_t y = 0; y < v.rows; y++)
                std::memcpy(t.pixels + static_cast<ptrdiff_t>(y) * t.stride,
                            v.pixels + static_cast<ptrdiff_t>(v.rows - 1 - y) * v.stride,
                            static_cast<size_t>(v.stride));
        } else {
            const Rows s = image_rows(v), d = image_rows(t);
            switch (v.bit_count) {
            case 1:
            case 4: move_small(m, v.bit_count, s, v.width, v.rows, d, t.width, t.rows); break;
            case 8: move_bytes<1>(m, s, v.width, v.rows, d, t.width, t.rows); break;
            case 24: move_bytes<3>(m, s, v.width, v.rows, d, t.width, t.rows); break;
            default: move_bytes<4>(m, s, v.width, v.rows, d, t.width, t.rows); break;
            }
        }
        dib_view_close(&t);
    }
    dib_view_close(&v);
    return finish(source, var, made, status);
}

int32_t convert_res(int32_t v, int mode) {
    int64_t r = mode == 1 ? (static_cast<int64_t>(v) * 3937 + 50) / 100
                          : (static_cast<int64_t>(v) * 100 + 1968) / 3937;
    if (r > INT32_MAX) return INT32_MAX;
    if (r < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(r);
}

}  // namespace

int dib_rotate(DibHandle source, int angle, DibHandle* var) {
    int a = angle % 360;
    if (a < 0) a += 360;
    if (a % 90 != 0) {
        if (var && *var != source) *var = nullptr;
        return DIB_ERR_ANGLE;
    }
    const Motion m = a == 90 ? MOVE_CW : a == 180 ? MOVE_HALF_TURN : a == 270 ? MOVE_CCW : MOVE_COPY;
    return transform(source, m, false, var);
}

int dib_mirror(DibHandle source, DibHandle* var) { return transform(source, MOVE_MIRROR, false, var); }

int dib_flip(DibHandle source, DibHandle* var) { return transform(source, MOVE_COPY, true, var); }

int dib_copy(PlatMem source, DibHandle* out, int res_mode, int* bit_count_out) {
    if (out) *out = nullptr;
    const size_t size = plat_mem_size(source);
    if (!out || !source || size == 0) return DIB_ERR_NO_BITMAP;
    const uint8_t* from = static_cast<const uint8_t*>(plat_mem_lock(source));
    if (!from) return DIB_ERR_LOCK;
    PlatMem copy = plat_mem_alloc(PLAT_MEM_MOVEABLE, size);
    if (!copy) {
        plat_mem_unlock(source);
        return DIB_ERR_NO_MEMORY;
    }
    uint8_t* to = static_cast<uint8_t*>(plat_mem_lock(copy));
    if (!to) {
        plat_mem_unlock(source);
        plat_mem_free(copy);
        return DIB_ERR_LOCK;
    }
    std::memcpy(to, from, size);
    plat_mem_unlock(source);
    // Fields past the end of a short block are neither read nor written.
    if ((res_mode == 1 || res_mode == 2) && size >= offsetof(DibInfoHeader, colours_used)) {
        DibInfoHeader h;
        std::memcpy(&h, to, offsetof(DibInfoHeader, colours_used));
        h.x_ppm = convert_res(h.x_ppm, res_mode);
        h.y_ppm = convert_res(h.y_ppm, res_mode);
        std::memcpy(to + offsetof(DibInfoHeader, x_ppm), &h.x_ppm, 2 * sizeof(int32_t));
    }
    if (bit_count_out) {
        uint16_t bits = 0;
        if (size >= offsetof(DibInfoHeader, compression))
            std::memcpy(&bits, to + offsetof(DibInfoHeader, bit_count), sizeof bits);
        *bit_count_out = bits;
    }
    plat_mem_unlock(copy);
    *out = copy;
    return DIB_OK;
}
