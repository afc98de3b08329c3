#include "support/bmp_writer.h"

#include <cstdio>

namespace {

void put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t>& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

uint8_t index_at(const TestBitmap& bmp, int x, int y) {
    return static_cast<uint8_t>(bmp.pixels[static_cast<size_t>(y) * bmp.width + x]);
}

std::vector<uint8_t> plain_row(const TestBitmap& bmp, int y) {
    size_t stride = (static_cast<size_t>(bmp.width) * bmp.bit_count + 31) / 32 * 4;
    std::vector<uint8_t> row(stride, 0);
    for (int x = 0; x < bmp.width; ++x) {
        uint32_t v = bmp.pixels[static_cast<size_t>(y) * bmp.width + x];
        switch (bmp.bit_count) {
        case 1: row[x / 8] |= static_cast<uint8_t>((v & 1) << (7 - x % 8)); break;
        case 4: row[x / 2] |= static_cast<uint8_t>((v & 15) << (x % 2 ? 0 : 4)); break;
        case 8: row[x] = static_cast<uint8_t>(v); break;
        default: {
            size_t at = static_cast<size_t>(x) * (bmp.bit_count / 8);
            row[at] = static_cast<uint8_t>(v);
            row[at + 1] = static_cast<uint8_t>(v >> 8);
            row[at + 2] = static_cast<uint8_t>(v >> 16);
            if (bmp.bit_count == 32) row[at + 3] = 0x5A;  // unused byte, never shown
        }
        }
    }
    return row;
}

// Encoded runs only, plus an absolute run for 8-bit rows that change on every
// pixel, so both modes of the format are used.
void rle_row(const TestBitmap& bmp, int y, std::vector<uint8_t>& out) {
    int x = 0;
    while (x < bmp.width) {
        uint8_t v = index_at(bmp, x, y);
        int run = 1;
        while (x + run < bmp.width && run < 255 && index_at(bmp, x + run, y) == v) ++run;
        if (bmp.compression == 1 && run == 1 && bmp.width - x >= 4) {
            int n = 0;
            while (x + n < bmp.width && n < 255 &&
                   (x + n + 1 >= bmp.width || index_at(bmp, x + n, y) != index_at(bmp, x + n + 1, y)))
                ++n;
            if (n >= 3) {
                out.push_back(0);
                out.push_back(static_cast<uint8_t>(n));
                for (int i = 0; i < n; ++i) out.push_back(index_at(bmp, x + i, y));
                if (n % 2) out.push_back(0);
                x += n;
                continue;
            }
        }
        out.push_back(static_cast<uint8_t>(run));
        out.push_back(bmp.compression == 2 ? static_cast<uint8_t>(v << 4 | v) : v);
        x += run;
    }
    out.push_back(0);
    out.push_back(0);
}

}  // namespace

std::vector<uint8_t> bmp_encode(const TestBitmap& bmp) {
    std::vector<uint8_t> pixels;
    for (int i = 0; i < bmp.height; ++i) {
        // RLE bitmaps are always stored bottom-up.
        int y = bmp.top_down && bmp.compression == 0 ? i : bmp.height - 1 - i;
        if (bmp.compression) {
            rle_row(bmp, y, pixels);
        } else {
            std::vector<uint8_t> row = plain_row(bmp, y);
            pixels.insert(pixels.end(), row.begin(), row.end());
        }
    }
    if (bmp.compression) {
        pixels.back() = 1;  // the last end-of-line becomes end-of-bitmap
    }
    uint32_t table = static_cast<uint32_t>(bmp.palette.size()) * 4;
    uint32_t offset = 14 + 40 + table;
    std::vector<uint8_t> b;
    b.push_back('B');
    b.push_back('M');
    put32(b, offset + static_cast<uint32_t>(pixels.size()));
    put32(b, 0);
    put32(b, offset);
    put32(b, 40);
    put32(b, static_cast<uint32_t>(bmp.width));
    put32(b, static_cast<uint32_t>(bmp.top_down && !bmp.compression ? -bmp.height : bmp.height));
    put16(b, 1);
    put16(b, static_cast<uint32_t>(bmp.bit_count));
    put32(b, static_cast<uint32_t>(bmp.compression));
    put32(b, static_cast<uint32_t>(pixels.size()));
    put32(b, static_cast<uint32_t>(bmp.x_ppm));
    put32(b, static_cast<uint32_t>(bmp.y_ppm));
    put32(b, bmp.colours_used ? bmp.colours_used : static_cast<uint32_t>(bmp.palette.size()));
    put32(b, 0);
    for (uint32_t c : bmp.palette) put32(b, c);
    b.insert(b.end(), pixels.begin(), pixels.end());
    return b;
}

bool bmp_write(const std::string& path, const TestBitmap& bmp) {
    std::vector<uint8_t> bytes = bmp_encode(bmp);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<uint32_t> bmp_expected_rgb(const TestBitmap& bmp) {
    std::vector<uint32_t> rgb(bmp.pixels.size());
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = bmp.bit_count <= 8 ? bmp.palette[bmp.pixels[i]] & 0xFFFFFF
                                    : bmp.pixels[i] & 0xFFFFFF;
    return rgb;
}

std::vector<uint32_t> grey_ramp(int entries) {
    std::vector<uint32_t> p;
    for (int i = 0; i < entries; ++i) p.push_back(static_cast<uint32_t>(i * 0x010101));
    return p;
}

std::vector<uint32_t> colour_palette(int entries) {
    std::vector<uint32_t> p;
    for (int i = 0; i < entries; ++i) {
        uint32_t r = static_cast<uint32_t>(i * 37 + 11) & 0xFF;
        uint32_t g = static_cast<uint32_t>(i * 91 + 5) & 0xFF;
        uint32_t b = static_cast<uint32_t>(255 - i * 13) & 0xFF;
        p.push_back(r << 16 | g << 8 | b);
    }
    return p;
}

TestBitmap bmp_pattern(int width, int height, int bit_count) {
    TestBitmap bmp;
    bmp.width = width;
    bmp.height = height;
    bmp.bit_count = bit_count;
    if (bit_count <= 8) bmp.palette = colour_palette(1 << bit_count);
    uint32_t levels = bit_count <= 8 ? 1u << bit_count : 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint32_t v;
            if (levels) {
                // Bands plus a diagonal so runs of many lengths appear.
                v = ((x / 3 + y / 2) + (x == y ? 1 : 0)) % levels;
            } else {
                uint32_t r = static_cast<uint32_t>(x * 255 / (width > 1 ? width - 1 : 1));
                uint32_t g = static_cast<uint32_t>(y * 255 / (height > 1 ? height - 1 : 1));
                uint32_t b = static_cast<uint32_t>((x + y) * 255 / (width + height));
                v = r << 16 | g << 8 | b;
            }
            bmp.pixels.push_back(v);
        }
    }
    return bmp;
}

std::vector<uint8_t> text_ink(int width, int height, uint32_t seed) {
    std::vector<uint8_t> ink(static_cast<size_t>(width) * height, 0);
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    const int line = 24, x_height = 9, margin = 12;
    for (int base = margin + 14; base + 6 < height - margin; base += line) {
        int x = margin;
        while (x < width - margin - 12) {
            int letters = 2 + static_cast<int>(next() % 7);
            for (int l = 0; l < letters && x < width - margin - 12; ++l) {
                int kind = static_cast<int>(next() % 4);
                int w = 5 + static_cast<int>(next() % 5);
                int top = kind == 1 ? base - 14 : base - x_height;
                for (int y = top; y < base + (kind == 3 ? 4 : 0); ++y) {
                    for (int dx = 0; dx < w; ++dx) {
                        bool on;
                        double cx = (dx - (w - 1) / 2.0) / (w / 2.0);
                        double cy = (y - (base - x_height / 2.0)) / (x_height / 2.0);
                        switch (kind) {
                        case 0: on = cx * cx + cy * cy <= 1.0 && cx * cx + cy * cy >= 0.45; break;
                        case 1: on = dx < 2 || (y > base - x_height && y < base - x_height + 2); break;
                        case 2: on = dx < 2 || (cy < -0.6 && dx < w - 1); break;
                        default: on = dx >= w - 2 || (cx * cx + cy * cy <= 1.0 && cx * cx + cy * cy >= 0.45);
                        }
                        if (on && y >= 0 && y < height) ink[static_cast<size_t>(y) * width + x + dx] = 1;
                    }
                }
                x += w + 2;
            }
            x += 7;
        }
    }
    // Scanner noise: edges move by a pixel here and there, so rows are alike
    // but seldom byte-identical.
    for (int y = 0; y < height; ++y) {
        for (int x = 1; x < width; ++x) {
            size_t at = static_cast<size_t>(y) * width + x;
            if (ink[at] != ink[at - 1] && next() % 3 == 0) ink[at] = ink[at - 1];
        }
    }
    return ink;
}
