// Writes the sample bitmaps of examples/ with the project's own bitmap
// library: one of each image class the converter encodes differently.
//
// Usage: make_samples DIR. The output is deterministic, so a test can
// regenerate the samples and compare them with the committed files.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "dib/dib.h"

namespace {

constexpr int32_t PPM_150DPI = 5906;

uint32_t lcg(uint32_t* seed) {
    *seed = *seed * 1664525u + 1013904223u;
    return *seed >> 8;
}

uint8_t clamp(double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Rows are addressed from the top whatever the stored order.
uint8_t* row_at(DibView& v, int y) {
    int stored = v.header->height > 0 ? v.rows - 1 - y : y;
    return v.pixels + static_cast<int64_t>(stored) * v.stride;
}

bool save(DibHandle dib, const std::string& dir, const char* name) {
    std::string path = dir + "/" + name;
    std::wstring wide(path.begin(), path.end());
    bool ok = dib_save_bmp(dib, wide.c_str(), 0) == DIB_OK;
    dib_command(DIB_OP_FREE, &dib, nullptr);
    if (!ok) std::fprintf(stderr, "make_samples: cannot write %s\n", path.c_str());
    return ok;
}

// A 1-bit page of text-like lines: CCITT G4.
bool text_page(const std::string& dir) {
    DibHandle dib = nullptr;
    if (dib_create(800, 500, 1, PPM_150DPI, PPM_150DPI, nullptr, &dib) != DIB_OK) return false;
    DibView v;
    dib_view_open(&v, dib);
    std::memset(v.pixels, 0xFF, static_cast<size_t>(v.pixel_bytes));
    uint32_t seed = 3;
    for (int base = 60; base < v.rows - 40; base += 30) {
        for (int x = 50; x < v.width - 80;) {
            int letters = 2 + static_cast<int>(lcg(&seed) % 7);
            for (int l = 0; l < letters && x < v.width - 80; ++l) {
                int w = 8 + static_cast<int>(lcg(&seed) % 6);
                int kind = static_cast<int>(lcg(&seed) % 3);
                for (int y = base - (kind == 1 ? 20 : 13); y < base; ++y) {
                    // Ragged edges, as a scanner leaves them.
                    int jitter = static_cast<int>(lcg(&seed) % 3) - 1;
                    for (int dx = 0; dx < w; ++dx) {
                        double cx = (dx - (w - 1) / 2.0) / (w / 2.0);
                        double cy = (y - (base - 6.5)) / 6.5;
                        double r = cx * cx + cy * cy;
                        bool on = kind == 0 ? r <= 1.0 + 0.15 * jitter && r >= 0.4 : dx < 3 + jitter;
                        if (on) row_at(v, y)[(x + dx) / 8] &= static_cast<uint8_t>(~(0x80 >> ((x + dx) % 8)));
                    }
                }
                x += w + 3;
            }
            x += 12;
        }
    }
    dib_view_close(&v);
    return save(dib, dir, "text-1bit.bmp");
}

// A 24-bit picture: JPEG.
bool photo(const std::string& dir) {
    DibHandle dib = nullptr;
    if (dib_create(320, 200, 24, PPM_150DPI, PPM_150DPI, nullptr, &dib) != DIB_OK) return false;
    DibView v;
    dib_view_open(&v, dib);
    for (int y = 0; y < v.rows; ++y) {
        uint8_t* row = row_at(v, y);
        for (int x = 0; x < v.width; ++x) {
            double sky = y < 125 ? 1.0 - y / 160.0 : 0.0;
            double hill = 0.5 + 0.5 * std::sin(x / 40.0 + y / 60.0);
            double sun = std::exp(-((x - 240.0) * (x - 240.0) + (y - 45.0) * (y - 45.0)) / 400.0);
            row[3 * x] = clamp(255 * sky + 40 * hill);                 // blue
            row[3 * x + 1] = clamp(120 * sky + 150 * hill * (y >= 125) + 200 * sun);
            row[3 * x + 2] = clamp(60 * sky + 60 * hill * (y >= 125) + 255 * sun);  // red
        }
    }
    dib_view_close(&v);
    return save(dib, dir, "photo-24bit.bmp");
}

// An 8-bit grey ramp: DeviceGray JPEG.
bool grey(const std::string& dir) {
    DibHandle dib = nullptr;
    if (dib_create(256, 128, 8, PPM_150DPI, PPM_150DPI, nullptr, &dib) != DIB_OK) return false;
    DibView v;
    dib_view_open(&v, dib);
    for (int y = 0; y < v.rows; ++y)
        for (int x = 0; x < v.width; ++x)
            row_at(v, y)[x] = static_cast<uint8_t>(y < 64 ? x : 255 - x);
    dib_view_close(&v);
    return save(dib, dir, "grey-8bit.bmp");
}

// An 8-bit chart with a colour table: indexed, stored exactly.
bool chart(const std::string& dir) {
    uint8_t table[256 * 4];
    for (int i = 0; i < 256; ++i) {
        table[4 * i] = static_cast<uint8_t>(i * 7);
        table[4 * i + 1] = static_cast<uint8_t>(255 - i);
        table[4 * i + 2] = static_cast<uint8_t>(i);
        table[4 * i + 3] = 0;
    }
    DibHandle dib = nullptr;
    if (dib_create(320, -160, 8, PPM_150DPI, PPM_150DPI, table, &dib) != DIB_OK) return false;
    DibView v;
    dib_view_open(&v, dib);
    for (int y = 0; y < v.rows; ++y)
        for (int x = 0; x < v.width; ++x) row_at(v, y)[x] = static_cast<uint8_t>((x / 20) * 16 + y / 10);
    dib_view_close(&v);
    return save(dib, dir, "chart-8bit-topdown.bmp");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_samples DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    return text_page(dir) && photo(dir) && grey(dir) && chart(dir) ? 0 : 1;
}
