// Bodies of BMP files that are not plain or run-length pixels: JPEG and PNG
// data (kept for PDF to carry, or for PNG decoded with libpng) and OS/2
// Huffman 1D rows.
#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include <png.h>
#include <zlib.h>

#include "codec/codec.h"
#include "dib/decode.h"

namespace {

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint16_t be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// Calls chunk(type, body, length) for each chunk in order, up to IEND;
// false on a cut or a bad CRC, or when chunk says to stop.
template <typename Fn>
bool each_chunk(const uint8_t* data, size_t n, Fn chunk) {
    if (n < 8 || std::memcmp(data, kPngSignature, 8) != 0) return false;
    size_t at = 8;
    while (n - at >= 12) {
        const uint32_t length = be32(data + at);
        if (length > n - at - 12) return false;
        const uint8_t* type = data + at + 4;
        const uint8_t* body = type + 4;
        const uint32_t crc = uint32_t(crc32(crc32(0, nullptr, 0), type, uInt(length + 4)));
        if (crc != be32(body + length)) return false;
        if (!chunk(type, body, length)) return false;
        if (std::memcmp(type, "IEND", 4) == 0) return true;
        at += size_t(length) + 12;
    }
    return false;
}

struct PngReader {
    const uint8_t* data;
    size_t n;
    size_t at;
};

void png_read_memory(png_structp png, png_bytep out, size_t length) {
    PngReader* r = static_cast<PngReader*>(png_get_io_ptr(png));
    if (length > r->n - r->at) png_error(png, "cut short");
    std::memcpy(out, r->data + r->at, length);
    r->at += length;
}

void png_quiet(png_structp, png_const_charp) {}

// A new top-down block: header, masks or table, pixels; locked in *base.
DibHandle new_block(const DibInfoHeader& like, int32_t width, int32_t rows, int bits,
                    uint32_t compression, uint32_t entries, uint8_t** base) {
    DibInfoHeader hdr{};
    hdr.size = DIB_HEADER_SIZE;
    hdr.width = width;
    hdr.height = -rows;
    hdr.planes = 1;
    hdr.bit_count = uint16_t(bits);
    hdr.compression = compression;
    hdr.x_ppm = like.x_ppm;
    hdr.y_ppm = like.y_ppm;
    hdr.colours_used = entries;
    const int64_t pixels = dib_pixel_bytes(width, bits, rows);
    if (pixels < 0) return nullptr;
    hdr.image_size = uint32_t(pixels);
    const int64_t table = dib_table_bytes(&hdr);
    DibHandle h = plat_mem_alloc(PLAT_MEM_MOVEABLE | PLAT_MEM_ZEROINIT,
                                 size_t(DIB_HEADER_SIZE + table + pixels));
    if (!h) return nullptr;
    *base = static_cast<uint8_t*>(plat_mem_lock(h));
    if (!*base) {
        plat_mem_free(h);
        return nullptr;
    }
    std::memcpy(*base, &hdr, sizeof hdr);
    return h;
}

// PNG data PDF cannot carry, decoded into 8-bit indices (grey with the
// ramp, palette with its table), 24-bit colour, or 32-bit colour with
// alpha in bit fields. Sixteen-bit samples are scaled with rounding.
int decode_png(const DibPngInfo& info, const DibInfoHeader& like, const uint8_t* data, size_t n,
               DibHandle* out) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, png_quiet);
    png_infop pinfo = png ? png_create_info_struct(png) : nullptr;
    if (!pinfo) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return dib_load_refuse(DIB_ERR_NO_MEMORY, DIB_CAUSE_NO_MEMORY);
    }
    // Nothing with a destructor lives in the jump region.
    DibHandle volatile made = nullptr;
    png_bytep* volatile row_pointers = nullptr;
    PngReader reader{data, n, 0};
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &pinfo, nullptr);
        std::free(row_pointers);
        if (made) plat_mem_free(made);
        return dib_load_refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_EMBEDDED);
    }
    png_set_read_fn(png, &reader, png_read_memory);
    png_read_info(png, pinfo);
    const bool alpha = (info.colour_type & 4) != 0 || info.transparency;
    if (info.depth == 16) png_set_scale_16(png);
    int bits = 8;
    uint32_t compression = DIB_COMPRESSION_NONE;
    uint32_t entries = 256;
    if (alpha) {
        png_set_expand(png);
        png_set_gray_to_rgb(png);
        png_set_bgr(png);
        bits = 32;
        compression = DIB_COMPRESSION_ALPHA_BITFIELDS;
        entries = 0;
    } else if (info.colour_type == 2) {
        png_set_bgr(png);
        bits = 24;
        entries = 0;
    } else if (info.colour_type == 3) {
        png_set_packing(png);
        entries = uint32_t(info.palette_entries);
    } else {
        png_set_expand_gray_1_2_4_to_8(png);
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, pinfo);
    uint8_t* base = nullptr;
    made = new_block(like, info.width, info.height, bits, compression, entries, &base);
    if (!made) png_error(png, "no memory");
    uint8_t* table = base + DIB_HEADER_SIZE;
    if (alpha) {
        const uint32_t masks[4] = {0xFF0000u, 0xFF00u, 0xFFu, 0xFF000000u};
        std::memcpy(table, masks, sizeof masks);
    } else if (info.colour_type == 3) {
        for (int i = 0; i < info.palette_entries; ++i) {
            table[4 * i] = info.palette[3 * i + 2];
            table[4 * i + 1] = info.palette[3 * i + 1];
            table[4 * i + 2] = info.palette[3 * i];
        }
    } else if (bits == 8) {
        for (int i = 0; i < 256; ++i) std::memset(table + 4 * i, i, 3);
    }
    DibInfoHeader hdr;
    std::memcpy(&hdr, base, sizeof hdr);
    uint8_t* pixels = table + dib_table_bytes(&hdr);
    const int64_t stride = dib_stride(info.width, bits);
    row_pointers = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * size_t(info.height)));
    if (!row_pointers) png_error(png, "no memory");
    for (int32_t y = 0; y < info.height; ++y) row_pointers[y] = pixels + y * stride;
    png_read_image(png, row_pointers);
    png_destroy_read_struct(&png, &pinfo, nullptr);
    std::free(row_pointers);
    plat_mem_unlock(made);
    *out = made;
    return DIB_OK;
}

}  // namespace

bool dib_jpeg_info(const uint8_t* data, size_t n, DibJpegInfo* out) {
    if (n < 4 || data[0] != 0xFF || data[1] != 0xD8) return false;
    size_t at = 2;
    while (at + 4 <= n) {
        if (data[at] != 0xFF) return false;
        const uint8_t marker = data[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {
            at += 2;
            continue;
        }
        const size_t length = be16(data + at + 2);
        if (length < 2 || length > n - at - 2) return false;
        const uint8_t* body = data + at + 4;
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                           marker != 0xCC;
        if (frame) {
            // Baseline, extended sequential and progressive Huffman coding
            // of 8-bit samples; lossless, hierarchical and arithmetic
            // coding are not for PDF.
            if (length < 8 || marker > 0xC2 || body[0] != 8) return false;
            out->height = be16(body + 1);
            out->width = be16(body + 3);
            out->components = body[5];
            return out->height > 0 && out->width > 0 &&
                   (out->components == 1 || out->components == 3);
        }
        if (marker == 0xDA || marker == 0xD9) return false;  // data before a frame
        at += 2 + length;
    }
    return false;
}

bool dib_png_info(const uint8_t* data, size_t n, DibPngInfo* out) {
    std::memset(out, 0, sizeof *out);
    bool header = false;
    const bool whole = each_chunk(data, n, [&](const uint8_t* type, const uint8_t* body, uint32_t length) {
        if (std::memcmp(type, "IHDR", 4) == 0) {
            if (header || length != 13) return false;
            header = true;
            const uint32_t w = be32(body), h = be32(body + 4);
            if (w == 0 || h == 0 || w > INT32_MAX || h > INT32_MAX) return false;
            out->width = int32_t(w);
            out->height = int32_t(h);
            out->depth = body[8];
            out->colour_type = body[9];
            out->interlaced = body[12] != 0;
            return body[10] == 0 && body[11] == 0 && body[12] <= 1;
        }
        if (!header) return false;
        if (std::memcmp(type, "PLTE", 4) == 0) {
            if (length % 3 != 0 || length / 3 > 256) return false;
            out->palette = body;
            out->palette_entries = int(length / 3);
        } else if (std::memcmp(type, "tRNS", 4) == 0) {
            out->transparency = true;
        } else if (std::memcmp(type, "IDAT", 4) == 0) {
            out->idat_bytes += length;
        }
        return true;
    });
    if (!whole || out->idat_bytes == 0) return false;
    switch (out->colour_type) {
    case 0: return out->depth == 1 || out->depth == 2 || out->depth == 4 || out->depth == 8 ||
                   out->depth == 16;
    case 3: return out->palette_entries > 0 && out->depth <= 8 && (out->depth & (out->depth - 1)) == 0;
    case 2: case 4: case 6: return out->depth == 8 || out->depth == 16;
    default: return false;
    }
}

bool dib_png_carried(const DibPngInfo* info) {
    return info->depth == 8 && !info->interlaced && !info->transparency &&
           (info->colour_type == 0 || info->colour_type == 2 || info->colour_type == 3);
}

void dib_png_idat(const uint8_t* data, size_t n, uint8_t* out) {
    size_t at = 0;
    each_chunk(data, n, [&](const uint8_t* type, const uint8_t* body, uint32_t length) {
        if (std::memcmp(type, "IDAT", 4) == 0) {
            std::memcpy(out + at, body, length);
            at += length;
        }
        return true;
    });
}

int dib_check_embedded(DibHandle* var, const DibInfoHeader& hdr, const uint8_t* data, size_t n) {
    const int64_t rows = dib_rows(hdr.height);
    if (hdr.compression == DIB_COMPRESSION_JPEG) {
        DibJpegInfo jpeg;
        if (!dib_jpeg_info(data, n, &jpeg)) return dib_load_refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_JPEG_KIND);
        if (jpeg.width != hdr.width || jpeg.height != rows)
            return dib_load_refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_EMBEDDED_SIZE);
        plat_mem_unlock(*var);
        return DIB_OK;
    }
    DibPngInfo png;
    if (!dib_png_info(data, n, &png)) return dib_load_refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_EMBEDDED);
    if (png.width != hdr.width || png.height != rows)
        return dib_load_refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_EMBEDDED_SIZE);
    if (dib_png_carried(&png)) {
        plat_mem_unlock(*var);
        return DIB_OK;
    }
    DibHandle decoded = nullptr;
    const int status = decode_png(png, hdr, data, n, &decoded);
    if (status != DIB_OK) return status;
    plat_mem_unlock(*var);
    plat_mem_free(*var);
    *var = decoded;
    return DIB_OK;
}

int dib_decode_huffman(DibHandle* var, const DibInfoHeader& hdr, const uint8_t* table,
                       const uint8_t* data, size_t n) {
    uint8_t two[8] = {};
    std::memcpy(two, table, std::min<size_t>(8, 4 * size_t(dib_palette_entries(&hdr))));
    DibHandle target = nullptr;
    const int status = dib_create(hdr.width, hdr.height, 1, hdr.x_ppm, hdr.y_ppm, two, &target);
    if (status != DIB_OK)
        return dib_load_refuse(status, status == DIB_ERR_NO_MEMORY ? DIB_CAUSE_NO_MEMORY : DIB_CAUSE_READ);
    uint8_t* pixels = dib_lock_bits(target, nullptr);
    if (!pixels) {
        plat_mem_free(target);
        return dib_load_refuse(DIB_ERR_LOCK, DIB_CAUSE_NO_MEMORY);
    }
    codec_mh_decode(data, n, pixels, dib_stride(hdr.width, 1), hdr.width, dib_rows(hdr.height));
    dib_unlock(target);
    plat_mem_unlock(*var);
    plat_mem_free(*var);
    *var = target;
    return DIB_OK;
}
