// Synthetic A4 pages at 300 dpi shared by the benchmark programs: a photo, a
// 1-bit text page, a colour document (text blocks, flat colour areas and a
// photo region) and its 8-bit grey rendering. Each call makes a new bitmap
// (null when memory runs out) that the caller frees with DIB_OP_FREE; the
// pixels depend only on the code, never on the run.
#ifndef TARVO_BENCH_PAGES_H
#define TARVO_BENCH_PAGES_H

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dib/dib.h"

constexpr int BENCH_A4_WIDTH = 2480;
constexpr int BENCH_A4_HEIGHT = 3508;
constexpr int32_t BENCH_PPM_300DPI = 11811;

inline uint32_t bench_lcg(uint32_t* seed) {
    *seed = *seed * 1664525u + 1013904223u;
    return *seed >> 8;
}

inline uint8_t bench_clamp(double c) { return uint8_t(c < 0 ? 0 : c > 255 ? 255 : c); }

// One photo pixel as blue, green, red: smooth shapes, texture and the given
// sensor noise.
inline void bench_photo_pixel(int x, int y, int noise, uint8_t* bgr) {
    double s = std::sin(x / 57.0) * std::cos(y / 83.0);
    double t = std::sin((x + y) / 31.0);
    bgr[0] = bench_clamp(128 + 90 * s + noise);
    bgr[1] = bench_clamp(120 + 60 * t + 40 * s + noise);
    bgr[2] = bench_clamp(x * 200.0 / BENCH_A4_WIDTH + 30 * t + noise);
}

// Lines of glyph-like marks (bowls, stems, hooks) 50 pixels apart, words of
// 2 to 9 letters, inside [left, right) x [top, bottom) counted from the top;
// ink(x, y) paints one pixel.
template <typename Ink>
void bench_glyph_lines(int left, int top, int right, int bottom, uint32_t seed, Ink ink) {
    for (int base = top + 34; base + 10 < bottom; base += 50) {
        int x = left;
        while (x + 60 < right) {
            int letters = 2 + int(bench_lcg(&seed) % 8);
            for (int l = 0; l < letters; ++l) {
                int w = 14 + int(bench_lcg(&seed) % 10);
                int kind = int(bench_lcg(&seed) % 4);
                if (x + w >= right) break;
                int from = kind == 1 ? base - 34 : base - 22;
                for (int y = from; y < base + (kind == 3 ? 10 : 0); ++y) {
                    int jitter = int(bench_lcg(&seed) % 3) - 1;
                    for (int dx = 0; dx < w; ++dx) {
                        double cx = (dx - (w - 1) / 2.0) / (w / 2.0);
                        double cy = (y - (base - 11.0)) / 11.0;
                        double r = cx * cx + cy * cy;
                        bool on = kind == 0   ? r <= 1.0 && r >= 0.4
                                  : kind == 1 ? dx < 4 + jitter
                                  : kind == 2 ? dx < 4 || (cy < -0.7 && dx < w - 2)
                                              : dx >= w - 4 + jitter || (r <= 1.0 && r >= 0.4);
                        if (on) ink(x + dx, y);
                    }
                }
                x += w + 5;
            }
            x += 20;
        }
    }
}

// A photo-like 24-bit page.
inline DibHandle bench_photo_page() {
    DibHandle dib = nullptr;
    if (dib_create(BENCH_A4_WIDTH, BENCH_A4_HEIGHT, 24, BENCH_PPM_300DPI, BENCH_PPM_300DPI, nullptr,
                   &dib) != DIB_OK)
        return nullptr;
    DibView v;
    dib_view_open(&v, dib);
    uint32_t seed = 1;
    for (int y = 0; y < v.rows; ++y) {
        uint8_t* row = v.pixels + int64_t(y) * v.stride;
        for (int x = 0; x < v.width; ++x)
            bench_photo_pixel(x, y, int(bench_lcg(&seed) % 17) - 8, row + 3 * x);
    }
    dib_view_close(&v);
    return dib;
}

// A 1-bit page of text, black on white, with a black-then-white table so
// that the writer sees a bilevel image.
inline DibHandle bench_text_page() {
    static const uint8_t BLACK_WHITE[8] = {0, 0, 0, 0, 255, 255, 255, 0};
    DibHandle dib = nullptr;
    if (dib_create(BENCH_A4_WIDTH, BENCH_A4_HEIGHT, 1, BENCH_PPM_300DPI, BENCH_PPM_300DPI,
                   BLACK_WHITE, &dib) != DIB_OK)
        return nullptr;
    DibView v;
    dib_view_open(&v, dib);
    std::memset(v.pixels, 0xFF, size_t(v.pixel_bytes));
    bench_glyph_lines(180, 170, BENCH_A4_WIDTH - 180, BENCH_A4_HEIGHT - 190, 7, [&](int x, int y) {
        uint8_t* row = v.pixels + int64_t(v.rows - 1 - y) * v.stride;  // bottom-up
        row[x / 8] = uint8_t(row[x / 8] & ~(0x80 >> (x % 8)));
    });
    dib_view_close(&v);
    return dib;
}

// A 24-bit office page: a dark title band with light lettering, a text
// column beside a photo, a tinted box of text, flat-coloured bars, a ruled
// table and a footer.
inline DibHandle bench_document_page() {
    DibHandle dib = nullptr;
    if (dib_create(BENCH_A4_WIDTH, BENCH_A4_HEIGHT, 24, BENCH_PPM_300DPI, BENCH_PPM_300DPI, nullptr,
                   &dib) != DIB_OK)
        return nullptr;
    DibView v;
    dib_view_open(&v, dib);
    auto pixel = [&](int x, int y) { return v.pixels + int64_t(v.rows - 1 - y) * v.stride + 3 * x; };
    auto fill = [&](int x0, int y0, int x1, int y1, uint8_t r, uint8_t g, uint8_t b) {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) {
                uint8_t* p = pixel(x, y);
                p[0] = b, p[1] = g, p[2] = r;
            }
    };
    auto text = [&](int x0, int y0, int x1, int y1, uint32_t seed, uint8_t r, uint8_t g, uint8_t b) {
        bench_glyph_lines(x0, y0, x1, y1, seed, [&](int x, int y) {
            uint8_t* p = pixel(x, y);
            p[0] = b, p[1] = g, p[2] = r;
        });
    };
    const int right = BENCH_A4_WIDTH - 180;
    fill(0, 0, BENCH_A4_WIDTH, BENCH_A4_HEIGHT, 255, 255, 255);
    fill(180, 180, right, 420, 28, 62, 120);
    text(240, 230, 1700, 380, 3, 240, 240, 250);
    text(180, 500, 1180, 1950, 5, 20, 20, 24);
    uint32_t seed = 9;
    for (int y = 520; y < 1500; ++y)
        for (int x = 1280; x < right; ++x)
            bench_photo_pixel(x, y, int(bench_lcg(&seed) % 17) - 8, pixel(x, y));
    text(1280, 1540, right, 1950, 11, 90, 90, 96);
    fill(180, 2020, right, 2520, 255, 244, 204);
    text(240, 2060, right - 60, 2480, 13, 20, 20, 24);
    static const uint8_t BARS[4][3] = {{200, 40, 40}, {40, 150, 70}, {240, 150, 20}, {40, 90, 190}};
    for (int i = 0; i < 8; ++i)
        fill(220 + 120 * i, 3020 - 60 * (i % 5 + 2), 300 + 120 * i, 3020, BARS[i % 4][0],
             BARS[i % 4][1], BARS[i % 4][2]);
    fill(1280, 2600, right, 3020, 236, 236, 236);
    for (int y = 2600; y <= 3020; y += 60) fill(1280, y, right, y + 3, 120, 120, 120);
    for (int x = 1280; x <= right; x += 255) fill(x, 2600, x + 3, 3020, 120, 120, 120);
    text(180, 3120, right, 3330, 17, 60, 60, 60);
    dib_view_close(&v);
    return dib;
}

// The document page in 8 bits with the identity grey table, which the
// writer codes as a grey JPEG; luma weights of ITU-R BT.601.
inline DibHandle bench_grey_page() {
    uint8_t ramp[1024];
    for (int i = 0; i < 256; ++i) {
        std::memset(ramp + 4 * i, i, 3);
        ramp[4 * i + 3] = 0;
    }
    DibHandle colour = bench_document_page();
    DibHandle grey = nullptr;
    if (!colour || dib_create(BENCH_A4_WIDTH, BENCH_A4_HEIGHT, 8, BENCH_PPM_300DPI,
                              BENCH_PPM_300DPI, ramp, &grey) != DIB_OK) {
        dib_command(DIB_OP_FREE, &colour, nullptr);
        return nullptr;
    }
    DibView c, g;
    dib_view_open(&c, colour);
    dib_view_open(&g, grey);
    for (int y = 0; y < c.rows; ++y) {
        const uint8_t* from = c.pixels + int64_t(y) * c.stride;
        uint8_t* to = g.pixels + int64_t(y) * g.stride;
        for (int x = 0; x < c.width; ++x)
            to[x] = uint8_t((29 * from[3 * x] + 150 * from[3 * x + 1] + 77 * from[3 * x + 2]) >> 8);
    }
    dib_view_close(&g);
    dib_view_close(&c);
    dib_command(DIB_OP_FREE, &colour, nullptr);
    return grey;
}

// Top-to-bottom rows of a bitmap stored bottom-up, packed without padding,
// bytes as stored (blue first for 24 bits).
inline std::vector<uint8_t> bench_top_down_rows(DibHandle dib) {
    DibView v;
    dib_view_open(&v, dib);
    std::vector<uint8_t> rows(size_t(v.row_bytes) * size_t(v.rows));
    for (int y = 0; y < v.rows; ++y)
        std::memcpy(&rows[size_t(y) * size_t(v.row_bytes)],
                    v.pixels + int64_t(v.rows - 1 - y) * v.stride, size_t(v.row_bytes));
    dib_view_close(&v);
    return rows;
}

#endif
