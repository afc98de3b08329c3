// Stored rows into the encoders' layouts: indices through the colour table,
// bit fields scaled channel by channel, alpha on its own or composited
// onto white.
#include <cstring>

#include "codec/codec_private.h"

namespace {

uint32_t pixel_word(const uint8_t* row, int32_t x, int bits) {
    if (bits == 16) return uint32_t(row[2 * x] | row[2 * x + 1] << 8);
    const uint8_t* p = row + 4 * x;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

unsigned index_at(const uint8_t* row, int32_t x, int bits) {
    switch (bits) {
    case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1u;
    case 2: return (row[x >> 2] >> (6 - 2 * (x & 3))) & 3u;
    case 4: return (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 15u;
    default: return row[x];
    }
}

uint8_t channel(const CodecConverter* c, int i, uint32_t word) {
    if (c->max[i] == 0) return 0;
    const uint32_t v = (word & c->image->masks[i]) >> c->shift[i];
    if (c->max[i] < 4096) return c->scale[i][v];
    return uint8_t((uint64_t(v) * 510 + c->max[i]) / (2 * uint64_t(c->max[i])));
}

uint8_t over_white(uint8_t colour, uint8_t alpha) {
    return uint8_t((colour * alpha + 255 * (255 - alpha) + 127) / 255);
}

}  // namespace

bool codec_image_converted(const CodecImage* im) {
    return im->bit_count == 2 || im->bit_count == 16 || im->masks[0] || im->masks[1] || im->masks[2];
}

void codec_converter_init(CodecConverter* c, const CodecImage* im) {
    c->image = im;
    for (int i = 0; i < 4; ++i) {
        const uint32_t m = im->masks[i];
        int shift = 0;
        while (m && !((m >> shift) & 1u)) ++shift;
        c->shift[i] = shift;
        c->max[i] = m >> shift;
        if (c->max[i] == 0 || c->max[i] >= 4096) continue;
        for (uint32_t v = 0; v <= c->max[i]; ++v)
            c->scale[i][v] = uint8_t((v * 510 + c->max[i]) / (2 * c->max[i]));
    }
}

void codec_convert_rgb(const CodecConverter* c, int64_t y, uint8_t* rgb) {
    const CodecImage* im = c->image;
    const uint8_t* row = codec_image_row(im, y);
    const int bits = im->bit_count;
    const bool flatten = im->flatten_alpha && im->masks[3];
    for (int32_t x = 0; x < im->width; ++x, rgb += 3) {
        if (bits <= 8) {
            const unsigned i = index_at(row, x, bits);
            if (int(i) < im->entries) {
                const uint8_t* e = im->table + 4 * i;
                rgb[0] = e[2];
                rgb[1] = e[1];
                rgb[2] = e[0];
            } else {
                std::memset(rgb, 0, 3);
            }
        } else if (bits == 24 || (bits == 32 && !im->masks[0] && !im->masks[1] && !im->masks[2])) {
            const uint8_t* p = row + x * (bits / 8);
            rgb[0] = p[2];
            rgb[1] = p[1];
            rgb[2] = p[0];
        } else {
            const uint32_t word = pixel_word(row, x, bits);
            for (int k = 0; k < 3; ++k) rgb[k] = channel(c, k, word);
            if (flatten) {
                const uint8_t a = channel(c, 3, word);
                for (int k = 0; k < 3; ++k) rgb[k] = over_white(rgb[k], a);
            }
        }
    }
}

void codec_convert_alpha(const CodecConverter* c, int64_t y, uint8_t* alpha) {
    const CodecImage* im = c->image;
    if (!im->masks[3] || (im->bit_count != 16 && im->bit_count != 32)) {
        std::memset(alpha, 255, size_t(im->width));
        return;
    }
    const uint8_t* row = codec_image_row(im, y);
    for (int32_t x = 0; x < im->width; ++x) alpha[x] = channel(c, 3, pixel_word(row, x, im->bit_count));
}
