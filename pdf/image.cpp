// Image XObjects: classification of a bitmap, choice of encoding, sample
// preparation, the encoders and the image dictionary.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "codec/codec.h"
#include "pdf/pdfw_private.h"

namespace {

enum ImageClass {
    IMAGE_BILEVEL,
    IMAGE_GREY,
    IMAGE_PALETTE,
    IMAGE_TRUECOLOUR,
};

// The encoders take 32-bit lengths and the output buffer is u + 1024 bytes.
constexpr int64_t PDFW_IMAGE_SLACK = 1024;
constexpr int64_t PDFW_IMAGE_MAX_BYTES = UINT32_MAX - PDFW_IMAGE_SLACK;

struct ImageInfo {
    int32_t width;
    int32_t height;  // signed: negative means stored top-down
    int32_t rows;    // |height|
    int bit_count;
    int32_t hdpi;
    int32_t vdpi;
    ImageClass cls;
    int grey;
    int invert;
    int entries;
    const uint8_t* table;  // blue, green, red, reserved per entry
    const uint8_t* pixels;
    int64_t stride;
};

bool same_rgb(const uint8_t* entry, uint8_t b, uint8_t g, uint8_t r) {
    return entry[0] == b && entry[1] == g && entry[2] == r;
}

int32_t ppm_to_dpi(int32_t ppm) {
    return static_cast<int32_t>((static_cast<int64_t>(ppm) * 100 + 1968) / 3937);
}

// Classes by bit count and table. Only an 8-bit identity ramp is grey: a
// 4-bit ramp (i, i, i) holds sixteen near-black greys that 4-bit DeviceGray
// would stretch over the full range, so it keeps its indexed table.
bool classify(ImageInfo* im) {
    im->grey = 0;
    im->invert = 0;
    switch (im->bit_count) {
    case 1:
        if (im->entries < 2) return false;
        if (same_rgb(im->table, 0, 0, 0) && same_rgb(im->table + 4, 255, 255, 255)) {
            im->cls = IMAGE_BILEVEL;
            im->grey = 1;
        } else if (same_rgb(im->table, 255, 255, 255) && same_rgb(im->table + 4, 0, 0, 0)) {
            im->cls = IMAGE_BILEVEL;
            im->grey = 1;
            im->invert = 1;
        } else {
            im->cls = IMAGE_PALETTE;
            im->entries = 2;
        }
        return true;
    case 4:
    case 8: {
        int full = 1 << im->bit_count;
        if (im->entries != full) return false;
        bool ramp = im->bit_count == 8;
        for (int i = 0; ramp && i < full; ++i) {
            uint8_t v = static_cast<uint8_t>(i);
            ramp = same_rgb(im->table + 4 * i, v, v, v);
        }
        im->cls = ramp ? IMAGE_GREY : IMAGE_PALETTE;
        im->grey = ramp ? 1 : 0;
        return true;
    }
    case 24:
    case 32:
        im->cls = IMAGE_TRUECOLOUR;
        return true;
    default:
        return false;
    }
}

int choose_encoding(const PdfEncodingChoices& enc, const ImageInfo& im) {
    if (!enc.compression_on) return PDFW_FILTER_NONE;
    switch (im.cls) {
    case IMAGE_TRUECOLOUR: return enc.truecolour;
    case IMAGE_GREY: return enc.grey;
    case IMAGE_BILEVEL: return enc.bilevel;
    case IMAGE_PALETTE: return enc.palette;
    }
    return PDFW_FILTER_NONE;
}

int64_t prepared_row_bytes(const ImageInfo& im) {
    if (im.bit_count >= 24) return 3 * static_cast<int64_t>(im.width);
    return (static_cast<int64_t>(im.width) * im.bit_count + 7) / 8;
}

// Rows top to bottom, pixels left to right, RGB for true colour, row
// padding dropped; bilevel images with a white-first table are complemented
// so that a 0 bit is always the painted (black) one.
void prepare_samples(const ImageInfo& im, uint8_t* out, int64_t row_bytes) {
    for (int32_t y = 0; y < im.rows; ++y) {
        int64_t stored = im.height > 0 ? im.rows - 1 - y : y;
        const uint8_t* src = im.pixels + stored * im.stride;
        uint8_t* dst = out + static_cast<int64_t>(y) * row_bytes;
        if (im.bit_count >= 24) {
            int step = im.bit_count / 8;
            for (int32_t x = 0; x < im.width; ++x, src += step, dst += 3) {
                dst[0] = src[2];
                dst[1] = src[1];
                dst[2] = src[0];
            }
        } else if (im.invert) {
            for (int64_t i = 0; i < row_bytes; ++i) dst[i] = static_cast<uint8_t>(~src[i]);
        } else {
            std::memcpy(dst, src, static_cast<size_t>(row_bytes));
        }
    }
}

// The CCITT encoder through the writer's calling convention.
int pdfw_filter_ccitt(PdfDocument*, uint8_t* out, uint32_t* size, const uint8_t* samples,
                      uint32_t length, int32_t columns, int32_t rows) {
    return ccitt_encode(out, size, samples, static_cast<int32_t>(length), -1, 0, columns,
                        rows, 0);
}

bool write_flate(PdfDocument* doc, uint8_t* out, uint32_t* size, const uint8_t* samples,
                 uint32_t u) {
    int rc = pdfw_filter_flate(doc, out, size, samples, u);
    if (rc != 0) std::printf("PDF: ERROR pdfw_filter_flate = %d\n", rc);
    return rc == 0;
}

void print_statistics(int encoding, uint32_t elapsed, uint64_t u, uint64_t p) {
    std::printf("PDF: pdfw_impage_image: encoding: %s, %ldms %ld%% (u=%lu p=%ld)\n",
                pdfw_filter_name(encoding), static_cast<long>(elapsed),
                static_cast<long>(p * 100 / u), static_cast<unsigned long>(u),
                static_cast<long>(p));
}

bool write_colour_space(PdfDocument* doc, const ImageInfo& im, int encoding) {
    switch (im.cls) {
    case IMAGE_BILEVEL: return pdfw_io_key_bool(doc, "/ImageMask", 1);
    case IMAGE_GREY: return pdfw_io_key_name(doc, "/ColorSpace", "/DeviceGray");
    case IMAGE_TRUECOLOUR: return pdfw_io_key_name(doc, "/ColorSpace", "/DeviceRGB");
    case IMAGE_PALETTE: break;
    }
    if (encoding == PDFW_FILTER_DCT) return pdfw_io_key_name(doc, "/ColorSpace", "/DeviceRGB");
    char head[64];
    std::snprintf(head, sizeof head, "/ColorSpace [/Indexed /DeviceRGB %d ", im.entries - 1);
    uint8_t rgb[3 * 256];
    for (int i = 0; i < im.entries; ++i) {
        rgb[3 * i] = im.table[4 * i + 2];
        rgb[3 * i + 1] = im.table[4 * i + 1];
        rgb[3 * i + 2] = im.table[4 * i];
    }
    return pdfw_io_cstring(doc, head) &&
           pdfw_io_token(doc, PDF_TOKEN_HEXSTRING, 0, rgb, 3 * im.entries) &&
           pdfw_io_line(doc, "]");
}

int bits_per_component(const ImageInfo& im, int encoding) {
    if (im.cls == IMAGE_BILEVEL) return 1;
    if (im.cls == IMAGE_TRUECOLOUR) return 8;
    if (im.cls == IMAGE_PALETTE && encoding == PDFW_FILTER_DCT) return 8;
    return im.bit_count;
}

bool write_filter(PdfDocument* doc, const ImageInfo& im, int encoding) {
    switch (encoding) {
    case PDFW_FILTER_NONE: return true;
    case PDFW_FILTER_FLATE: return pdfw_io_key_name(doc, "/Filter", "/FlateDecode");
    case PDFW_FILTER_CCITT:
        return pdfw_io_key_name(doc, "/Filter", "/CCF") && pdfw_io_line(doc, "/DecodeParms") &&
               pdfw_io_line(doc, "<<") && pdfw_io_key_int(doc, "/Columns", im.width) &&
               pdfw_io_key_int(doc, "/K", -1) && pdfw_io_line(doc, ">>");
    case PDFW_FILTER_DCT: return pdfw_io_key_name(doc, "/Filter", "/DCTDecode");
    default: return false;
    }
}

bool write_image_object(PdfDocument* doc, const ImageInfo& im, int encoding, uint8_t* data,
                        int64_t length, PdfObjectId* id) {
    if (!pdfw_obj_new(doc, id, 0) || !pdfw_obj_begin(doc, *id)) return false;
    bool ok = pdfw_io_line(doc, "<<") && pdfw_io_key_name(doc, "/Subtype", "/Image") &&
              write_colour_space(doc, im, encoding) &&
              pdfw_io_key_int(doc, "/BitsPerComponent", bits_per_component(im, encoding)) &&
              pdfw_io_key_int(doc, "/Width", im.width) &&
              pdfw_io_key_int(doc, "/Height", im.rows);
    if (ok && im.hdpi > 0) ok = pdfw_io_key_int(doc, "/HDPI", im.hdpi);
    if (ok && im.vdpi != 0) ok = pdfw_io_key_int(doc, "/VDPI", im.vdpi);
    return ok && write_filter(doc, im, encoding) &&
           pdfw_io_key_int(doc, "/Length", static_cast<long>(length)) &&
           pdfw_io_line(doc, ">>") && pdfw_io_line(doc, "stream") &&
           pdfw_stream_data(doc, data, length, *id) && pdfw_io_line(doc, "\nendstream") &&
           pdfw_obj_end(doc);
}

}  // namespace

bool pdfw_stream_data(PdfDocument* doc, uint8_t* bytes, int64_t length, PdfObjectId id) {
    if (!doc) return false;
    pdfw_encrypt_buffer(doc, id, bytes, length);
    return pdfw_io_data(doc, bytes, length);
}

bool pdfw_impage_image(PdfDocument* doc, DibHandle dib, int res_is_dpi, PdfObjectId* id) {
    if (!doc || !id) return false;
    DibInfoHeader* header = nullptr;
    uint8_t* pixels = dib_lock_bits(dib, &header);
    if (!pixels || !header) {
        dib_unlock(dib);
        pdfw_set_last_error(doc, PDFW_ERR_BITMAP_FORMAT);
        return false;
    }

    ImageInfo im{};
    im.width = header->width;
    im.height = header->height;
    im.bit_count = header->bit_count;
    im.hdpi = res_is_dpi ? header->x_ppm : ppm_to_dpi(header->x_ppm);
    im.vdpi = res_is_dpi ? header->y_ppm : ppm_to_dpi(header->y_ppm);
    im.entries = dib_palette_entries(header);
    im.pixels = pixels;
    // The table ends where the pixels begin, whatever the header's length.
    im.table = pixels - 4 * static_cast<int64_t>(im.entries);
    im.stride = dib_stride(im.width, im.bit_count);

    // A zero or negative size (and INT32_MIN rows) is refused as a format the
    // writer does not handle, before any size is derived from it.
    if (im.width <= 0 || im.height == 0 || im.height == INT32_MIN || !classify(&im)) {
        dib_unlock(dib);
        pdfw_set_last_error(doc, PDFW_ERR_BITMAP_FORMAT);
        return false;
    }
    im.rows = im.height < 0 ? -im.height : im.height;

    int encoding = choose_encoding(doc->encoding, im);
    int64_t row_bytes = prepared_row_bytes(im);
    int64_t u = encoding == PDFW_FILTER_DCT
                    ? static_cast<int64_t>(im.rows) * im.width * (im.grey ? 1 : 3)
                    : static_cast<int64_t>(im.rows) * row_bytes;
    if (u > PDFW_IMAGE_MAX_BYTES) {
        dib_unlock(dib);
        pdfw_set_last_error(doc, PDFW_ERR_BITMAP_FORMAT);
        return false;
    }

    // The colour table is needed after the bitmap is unlocked.
    uint8_t table_copy[4 * 256];
    if (im.cls == IMAGE_PALETTE) {
        std::memcpy(table_copy, im.table, 4 * static_cast<size_t>(im.entries));
        im.table = table_copy;
    }

    uint8_t* samples = nullptr;
    if (encoding != PDFW_FILTER_DCT) {
        samples = static_cast<uint8_t*>(pdfw_alloc(doc, static_cast<size_t>(u)));
        if (!samples) {
            dib_unlock(dib);
            return false;
        }
        prepare_samples(im, samples, row_bytes);
    }
    dib_unlock(dib);
    im.pixels = nullptr;

    // JPEG data is a fraction of the samples, and the encoder hands back a
    // larger buffer when it needs one: a quarter spares the page a second
    // bitmap-sized block (and its page faults).
    const int64_t room = encoding == PDFW_FILTER_DCT ? u / 4 : u;
    const uint32_t capacity = static_cast<uint32_t>(room + PDFW_IMAGE_SLACK);
    uint8_t* out = static_cast<uint8_t*>(pdfw_alloc(doc, capacity));
    if (!out) {
        pdfw_free(doc, samples);
        return false;
    }

    const uint32_t u32 = static_cast<uint32_t>(u);
    uint32_t size = capacity;
    uint32_t start = plat_tick_count();
    uint8_t* data = out;
    int64_t p = 0;
    bool ok = true;

    switch (encoding) {
    case PDFW_FILTER_NONE:
        data = samples;
        p = u;
        break;
    case PDFW_FILTER_FLATE:
        ok = write_flate(doc, out, &size, samples, u32);
        p = size;
        break;
    case PDFW_FILTER_CCITT: {
        int64_t flate_size = 0;
        bool compared = false;
        if (doc->encoding.compare_ccitt_flate) {
            uint32_t trial = capacity;
            if (pdfw_filter_flate(doc, out, &trial, samples, u32) == 0) {
                flate_size = trial;
                size = trial;  // CCITT may not come out larger than Flate
                compared = true;
            }
        }
        start = plat_tick_count();
        int rc = pdfw_filter_ccitt(doc, out, &size, samples, u32, im.width, im.rows);
        if (rc != 0) std::printf("PDF: ERROR ccitt_encode = %d\n", rc);
        if (rc != 0 || (compared && flate_size < size)) {
            std::printf("PDF: ccitt_size=%lu flate_size=%d\n", static_cast<unsigned long>(size),
                        static_cast<int>(flate_size));
            size = capacity;
            encoding = PDFW_FILTER_FLATE;
            ok = write_flate(doc, out, &size, samples, u32);
        }
        p = size;
        break;
    }
    case PDFW_FILTER_DCT: {
        int quality = im.grey ? doc->encoding.grey_quality
                      : im.bit_count < 24 ? doc->encoding.palette_quality
                                          : doc->encoding.truecolour_quality;
        uint8_t* jpeg = out;
        int rc = dct_encode(doc, &jpeg, &size, dib, quality, im.grey);
        if (jpeg != out) {
            // The encoder outgrew our buffer and handed back a larger one.
            pdfw_free(doc, out);
            out = jpeg;
        }
        data = out;
        if (rc != 0) {
            std::printf("PDF: ERROR dct_encode = %d\n", rc);
            pdfw_set_last_error(doc, PDFW_ERR_DCT);
            ok = false;
        }
        p = size;
        break;
    }
    default:
        p = size;
        break;
    }

    if (!ok) {
        print_statistics(encoding, plat_tick_count() - start, static_cast<uint64_t>(u),
                         static_cast<uint64_t>(p));
        pdfw_free(doc, out);
        pdfw_free(doc, samples);
        return false;
    }
    print_statistics(encoding, plat_tick_count() - start, static_cast<uint64_t>(u),
                     static_cast<uint64_t>(p));

    ok = write_image_object(doc, im, encoding, data, p, id);
    pdfw_free(doc, out);
    pdfw_free(doc, samples);
    return ok;
}
