#include "support/dib_pixels.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/bmp_writer.h"

namespace {

struct Locked {
    DibInfoHeader hdr;
    const uint8_t* table;
    const uint8_t* pixels;
    size_t stride;
    int rows;
};

bool lock(DibHandle h, Locked* l) {
    const uint8_t* base = static_cast<const uint8_t*>(plat_mem_lock(h));
    if (!base) return false;
    std::memcpy(&l->hdr, base, sizeof l->hdr);
    uint32_t entries = l->hdr.colours_used;
    if (entries == 0 && l->hdr.bit_count <= 8) entries = 1u << l->hdr.bit_count;
    l->table = base + 40;
    l->pixels = l->table + 4 * entries;
    l->stride = bmp_stride(l->hdr.width, l->hdr.bit_count);
    l->rows = l->hdr.height < 0 ? -l->hdr.height : l->hdr.height;
    return true;
}

uint32_t raw_at(const Locked& l, int x, int y) {
    const int stored = l.hdr.height < 0 ? y : l.rows - 1 - y;
    const uint8_t* row = l.pixels + l.stride * static_cast<size_t>(stored);
    switch (l.hdr.bit_count) {
    case 1: return (row[x / 8] >> (7 - x % 8)) & 1;
    case 2: return (row[x / 4] >> (6 - 2 * (x % 4))) & 3;
    case 4: return (row[x / 2] >> (x % 2 ? 0 : 4)) & 15;
    case 8: return row[x];
    case 16: return static_cast<uint32_t>(row[2 * x] | row[2 * x + 1] << 8);
    case 24: return static_cast<uint32_t>(row[3 * x] | row[3 * x + 1] << 8 | row[3 * x + 2] << 16);
    case 32: return static_cast<uint32_t>(row[4 * x] | row[4 * x + 1] << 8 | row[4 * x + 2] << 16);
    default: return 0;
    }
}

}  // namespace

DibHandle dib_from_file_bytes(const std::vector<uint8_t>& file) {
    DibHandle h = nullptr;
    EXPECT_EQ(dib_load_bmp_memory(&h, file.data(), file.size(), 0), DIB_OK);
    return h;
}

DibInfoHeader header_of(DibHandle h) {
    DibInfoHeader hdr{};
    EXPECT_EQ(dib_command(DIB_OP_GET_HEADER, h, &hdr), DIB_OK);
    return hdr;
}

uint32_t dib_pixel_at(DibHandle h, int x, int y) {
    Locked l;
    if (!lock(h, &l)) return 0;
    const uint32_t v = raw_at(l, x, y);
    plat_mem_unlock(h);
    return v;
}

bool dib_read_rgb(DibHandle h, Raster* out) {
    Locked l;
    if (!lock(h, &l)) return false;
    const int bits = l.hdr.bit_count;
    const bool known = bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 ||
                       bits == 32;
    out->width = l.hdr.width;
    out->height = l.rows;
    out->rgb.clear();
    for (int y = 0; known && y < l.rows; ++y) {
        for (int x = 0; x < l.hdr.width; ++x) {
            const uint32_t v = raw_at(l, x, y);
            if (bits <= 8) {
                const uint8_t* e = l.table + 4 * v;
                out->rgb.push_back(uint32_t(e[2]) << 16 | uint32_t(e[1]) << 8 | e[0]);
            } else if (bits == 16) {
                // 5-5-5, each scaled to 0..255 and truncated (Pillow's rule).
                auto widen = [](uint32_t c) { return c * 255 / 31; };
                out->rgb.push_back(widen(v >> 10 & 31) << 16 | widen(v >> 5 & 31) << 8 | widen(v & 31));
            } else {
                out->rgb.push_back(v & 0xFFFFFF);
            }
        }
    }
    plat_mem_unlock(h);
    return known;
}
