#include "support/bmp_writer.h"

#include "support/tools.h"

namespace {

void put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t>& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

bool write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    return write_file(path, std::string(bytes.begin(), bytes.end()));
}

uint8_t index_at(const TestBitmap& bmp, int x, int y) {
    return static_cast<uint8_t>(bmp.pixels[static_cast<size_t>(y) * bmp.width + x]);
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

std::vector<uint8_t> bmp_encode(const BmpFile& f) {
    const uint32_t offset = 14 + f.header_size + static_cast<uint32_t>(f.colours.size()) + f.gap;
    const uint32_t total = offset + static_cast<uint32_t>(f.body.size());
    std::vector<uint8_t> b;
    b.push_back('B');
    b.push_back('M');
    put32(b, f.file_size ? f.file_size : total);
    put32(b, 0);
    put32(b, offset);
    put32(b, f.header_size);
    put32(b, static_cast<uint32_t>(f.width));
    put32(b, static_cast<uint32_t>(f.height));
    put16(b, 1);
    put16(b, f.bit_count);
    put32(b, f.compression);
    put32(b, static_cast<uint32_t>(f.body.size()));
    put32(b, static_cast<uint32_t>(f.x_ppm));
    put32(b, static_cast<uint32_t>(f.y_ppm));
    put32(b, f.colours_used);
    put32(b, 0);
    // V4 / V5 extras: fill them with a marker so a reader that takes them
    // for colours gives itself away.
    if (f.header_size > 40) b.insert(b.end(), f.header_size - 40, 0x5A);
    b.insert(b.end(), f.colours.begin(), f.colours.end());
    b.insert(b.end(), f.gap, 0xEE);
    b.insert(b.end(), f.body.begin(), f.body.end());
    return b;
}

bool bmp_write(const std::string& path, const BmpFile& f) { return write_bytes(path, bmp_encode(f)); }

size_t bmp_stride(int32_t width, int bit_count) {
    const size_t bits = static_cast<size_t>(width) * static_cast<size_t>(bit_count);
    return (bits + 31) / 32 * 4;
}

std::vector<uint8_t> bmp_rows(int32_t width, int32_t height, int bit_count,
                              const std::function<uint32_t(int x, int y)>& value) {
    const int rows = height < 0 ? -height : height;
    const size_t stride = bmp_stride(width, bit_count);
    std::vector<uint8_t> out(stride * static_cast<size_t>(rows), 0);
    for (int y = 0; y < rows; ++y) {
        const int stored = height < 0 ? y : rows - 1 - y;
        uint8_t* row = out.data() + stride * static_cast<size_t>(stored);
        for (int x = 0; x < width; ++x) {
            const uint32_t v = value(x, y);
            switch (bit_count) {
            case 1: row[x / 8] |= static_cast<uint8_t>((v & 1) << (7 - x % 8)); break;
            case 2: row[x / 4] |= static_cast<uint8_t>((v & 3) << (6 - 2 * (x % 4))); break;
            case 4: row[x / 2] |= static_cast<uint8_t>((v & 15) << (x % 2 ? 0 : 4)); break;
            case 8: row[x] = static_cast<uint8_t>(v); break;
            case 16:
                row[2 * x] = static_cast<uint8_t>(v);
                row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
                break;
            case 24:
            case 32: {
                uint8_t* p = row + x * (bit_count / 8);
                p[0] = static_cast<uint8_t>(v);
                p[1] = static_cast<uint8_t>(v >> 8);
                p[2] = static_cast<uint8_t>(v >> 16);
                if (bit_count == 32) p[3] = static_cast<uint8_t>(v >> 24);
                break;
            }
            default: break;
            }
        }
    }
    return out;
}

std::vector<uint8_t> bmp_colour_table(const std::vector<uint32_t>& palette) {
    std::vector<uint8_t> t;
    for (uint32_t c : palette) put32(t, c);
    return t;
}

BmpFile bmp_file(const TestBitmap& bmp) {
    BmpFile f;
    f.width = bmp.width;
    f.height = bmp.top_down && !bmp.compression ? -bmp.height : bmp.height;
    f.bit_count = static_cast<uint16_t>(bmp.bit_count);
    f.compression = static_cast<uint32_t>(bmp.compression);
    f.x_ppm = bmp.x_ppm;
    f.y_ppm = bmp.y_ppm;
    f.colours_used = bmp.colours_used ? bmp.colours_used : static_cast<uint32_t>(bmp.palette.size());
    f.colours = bmp_colour_table(bmp.palette);
    if (!bmp.compression) {
        f.body = bmp_rows(bmp.width, f.height, bmp.bit_count, [&bmp](int x, int y) {
            const uint32_t v = bmp.pixels[static_cast<size_t>(y) * bmp.width + x];
            // The unused byte of 32-bit pixels is never shown: make it stand out.
            return bmp.bit_count == 32 ? (v & 0xFFFFFF) | 0x5A000000 : v;
        });
        return f;
    }
    for (int y = bmp.height - 1; y >= 0; --y) rle_row(bmp, y, f.body);
    if (!f.body.empty()) f.body.back() = 1;  // the last end-of-line becomes end-of-bitmap
    return f;
}

std::vector<uint8_t> bmp_encode(const TestBitmap& bmp) { return bmp_encode(bmp_file(bmp)); }

bool bmp_write(const std::string& path, const TestBitmap& bmp) {
    return write_bytes(path, bmp_encode(bmp));
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

TestBitmap bmp_pattern(int width, int height, int bit_count, bool top_down, int entries) {
    TestBitmap bmp;
    bmp.width = width;
    bmp.height = height;
    bmp.bit_count = bit_count;
    bmp.top_down = top_down;
    uint32_t levels = 0;
    if (bit_count <= 8) {
        levels = entries ? static_cast<uint32_t>(entries) : 1u << bit_count;
        bmp.palette = colour_palette(static_cast<int>(levels));
    }
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

TestBitmap bmp_bilevel(int width, int height, const std::vector<uint8_t>& ink, bool white_first) {
    TestBitmap bmp;
    bmp.width = width;
    bmp.height = height;
    bmp.bit_count = 1;
    const uint32_t black = white_first ? 1 : 0;
    bmp.palette = {0xFFFFFF, 0xFFFFFF};
    bmp.palette[black] = 0x000000;
    for (uint8_t i : ink) bmp.pixels.push_back(i ? black : 1 - black);
    return bmp;
}

std::vector<uint8_t> noise_ink(int width, int height, uint32_t seed) {
    std::vector<uint8_t> ink;
    for (int i = 0; i < width * height; ++i) {
        seed = seed * 1103515245 + 12345;
        ink.push_back(static_cast<uint8_t>(((seed >> 16) & 1) ^ 1));
    }
    return ink;
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
