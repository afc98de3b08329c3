// BMP files: loading into a packed bitmap (with run-length decoding) and
// saving one back.
#include "dib/dib.h"
#include "dib/ahead.h"
#include "dib/decode.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

constexpr size_t FILE_HEADER_SIZE = 14;
constexpr uint32_t OS2_V2_HEADER_SIZE = 64;

// Compression codes of bit-field masks (with and without alpha) and of
// embedded JPEG and PNG data.
enum {
    COMPRESSION_BITFIELDS = 3,
    COMPRESSION_JPEG = 4,
    COMPRESSION_PNG = 5,
    COMPRESSION_ALPHA_BITFIELDS = 6,
};

thread_local int t_load_cause = DIB_CAUSE_NONE;
thread_local int64_t t_rows_missing = 0;

// Records what a load found and returns its status.
int refuse(int status, int cause) {
    t_load_cause = cause;
    return status;
}

const char* const kCauseTexts[] = {
    "no error",
    "no such file",
    "permission denied",
    "it is a directory",
    "the file cannot be opened",
    "not a BMP file",
    "the file header's size field is too small",
    "not a regular file (cannot seek)",
    "the file is truncated",
    "an OS/2 header of a kind not read",
    "unknown information header size",
    // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one text in two pieces
    "unusable bit-field masks: each must be one run of bits within a 16- or 32-bit pixel, "
    "apart from the others",
    "the JPEG or PNG data the file holds is damaged",
    "unknown compression method",
    "run-length data does not match the bit count",
    "top-down run-length data is not allowed",
    // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one text in two pieces
    "unsupported bit count (1, 2, 4, 8, 16, 24 and 32 bits are read; convert others, "
    "64-bit files say, to 32 bits first)",
    "negative width",
    "invalid height",
    "the bitmap is too large",
    "out of memory",
    "reading the file failed",
    // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one text in two pieces
    "the JPEG data the file holds is not baseline or progressive 8-bit grey or colour, "
    "which PDF carries; convert the file to a plain BMP first",
    "the JPEG or PNG data the file holds has another size than its header says",
    "OS/2 Huffman data must have 1 bit per pixel and RLE24 data 24",
};
static_assert(sizeof kCauseTexts / sizeof kCauseTexts[0] == DIB_CAUSE_OS2_DEPTH + 1,
              "a text for every cause");

uint16_t get_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t get_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void put_u16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put_u32(uint8_t* p, uint32_t v) {
    put_u16(p, v);
    put_u16(p + 2, v >> 16);
}

// Bytes after the file header, from a file or from memory.
struct Source {
    FILE* file;
    const uint8_t* data;
    size_t pos;
};

bool source_read(Source* s, void* dst, size_t n) {
    if (n == 0) return true;
    if (s->file) return std::fread(dst, 1, n, s->file) == n;
    std::memcpy(dst, s->data + s->pos, n);
    s->pos += n;
    return true;
}

bool source_skip(Source* s, size_t n) {
    if (n == 0) return true;
    if (s->file) return std::fseek(s->file, static_cast<long>(n), SEEK_CUR) == 0;
    s->pos += n;
    return true;
}

// Checks the 14-byte file header: -2 for no BMP, -15 for a size field of 13
// or less.
int check_file_header(const uint8_t* fh) {
    if (fh[0] != 'B' || fh[1] != 'M') return refuse(DIB_ERR_NO_BITMAP, DIB_CAUSE_NOT_BMP);
    if (get_u32(fh + 2) <= 13) return refuse(DIB_ERR_FILE_SIZE, DIB_CAUSE_FILE_SIZE_FIELD);
    return DIB_OK;
}

// What a file's headers say, put in the terms of the block it loads into.
enum BodyKind {
    BODY_PIXELS,    // stored rows, read as they are
    BODY_RLE,       // RLE8 or RLE4, decoded after reading
    BODY_RLE24,     // OS/2 24-bit run-length data
    BODY_HUFFMAN,   // OS/2 one-dimensional Modified Huffman rows
    BODY_EMBEDDED,  // a whole JPEG or PNG file
};

struct FileFormat {
    DibInfoHeader hdr;      // the block's header: 40 bytes, the file's fields
    uint32_t header_size;   // the file's
    uint32_t entry_size;    // bytes of a colour-table entry in the file: 3 or 4
    uint64_t entries;       // colour-table entries the file holds
    uint64_t masks_in_file;  // mask bytes behind a 40-byte header
    uint32_t masks[4];       // red, green, blue, alpha of bit fields
    uint64_t table_bytes;    // of the block: masks kept, then 4 per entry
    BodyKind kind;
};

// A bit count the loader reads, as stored.
bool plain_depth(unsigned bits) {
    switch (bits) {
    case 1: case 2: case 4: case 8: case 16: case 24: case 32: return true;
    default: return false;
    }
}

// Each mask one run of bits inside the pixel, none sharing a bit; red,
// green and blue not all empty.
bool masks_usable(const uint32_t masks[4], unsigned bits) {
    uint32_t seen = 0;
    for (int i = 0; i < 4; ++i) {
        const uint32_t m = masks[i];
        if (m == 0) continue;
        if (bits == 16 && m > 0xFFFFu) return false;
        const uint32_t low = m & (~m + 1);
        if (((m + low) & m) != 0) return false;  // a gap
        if (seen & m) return false;
        seen |= m;
    }
    return (masks[0] | masks[1] | masks[2]) != 0;
}

// The headers' fields, read from raw (the file's header, zero past its
// size), and how the compression is to be taken. OS/2 2.x headers (16 to
// 64 bytes, but for Windows' 40, 52 and 56) give compressions 3 and 4 the
// meanings Huffman 1D and RLE24.
int read_format(const uint8_t* raw, uint32_t size, FileFormat* f) {
    std::memset(f, 0, sizeof *f);
    DibInfoHeader& hdr = f->hdr;
    f->header_size = size;
    f->entry_size = 4;
    bool os2 = false;
    if (size == DIB_CORE_HEADER_SIZE) {
        hdr.width = get_u16(raw + 4);
        hdr.height = get_u16(raw + 6);
        hdr.planes = get_u16(raw + 8);
        hdr.bit_count = get_u16(raw + 10);
        f->entry_size = 3;
    } else {
        if (size < 16) return refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_HEADER_SIZE);
        os2 = size < DIB_HEADER_SIZE || size == OS2_V2_HEADER_SIZE ||
              (size > DIB_HEADER_SIZE && size < OS2_V2_HEADER_SIZE && size != 52 && size != 56);
        hdr.width = static_cast<int32_t>(get_u32(raw + 4));
        hdr.height = static_cast<int32_t>(get_u32(raw + 8));
        hdr.planes = get_u16(raw + 12);
        hdr.bit_count = get_u16(raw + 14);
        hdr.compression = get_u32(raw + 16);
        hdr.image_size = get_u32(raw + 20);
        hdr.x_ppm = static_cast<int32_t>(get_u32(raw + 24));
        hdr.y_ppm = static_cast<int32_t>(get_u32(raw + 28));
        hdr.colours_used = get_u32(raw + 32);
        hdr.colours_important = get_u32(raw + 36);
    }
    hdr.size = DIB_HEADER_SIZE;
    const unsigned bits = hdr.bit_count;
    switch (hdr.compression) {
    case DIB_COMPRESSION_NONE:
        if (!plain_depth(bits)) return refuse(DIB_ERR_BIT_COUNT, DIB_CAUSE_BIT_COUNT);
        f->kind = BODY_PIXELS;
        break;
    case DIB_COMPRESSION_RLE8:
    case DIB_COMPRESSION_RLE4:
        if (bits != (hdr.compression == DIB_COMPRESSION_RLE8 ? 8u : 4u))
            return refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_RLE_DEPTH);
        f->kind = BODY_RLE;
        break;
    case DIB_COMPRESSION_BITFIELDS:
    case DIB_COMPRESSION_ALPHA_BITFIELDS:
        if (os2 && hdr.compression == DIB_COMPRESSION_BITFIELDS) {
            if (bits != 1) return refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_OS2_DEPTH);
            f->kind = BODY_HUFFMAN;
            break;
        }
        if (bits != 16 && bits != 32) return refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_BITFIELDS);
        f->kind = BODY_PIXELS;
        if (size < 52) {
            // The masks follow a 40-byte header, three or four of them.
            f->masks_in_file = hdr.compression == DIB_COMPRESSION_BITFIELDS ? 12 : 16;
        } else {
            for (int i = 0; i < 3; ++i) f->masks[i] = get_u32(raw + 40 + 4 * i);
            if (size >= 56) f->masks[3] = get_u32(raw + 52);
        }
        break;
    case DIB_COMPRESSION_JPEG:
        if (os2) {
            if (bits != 24) return refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_OS2_DEPTH);
            f->kind = BODY_RLE24;
            break;
        }
        f->kind = BODY_EMBEDDED;
        break;
    case DIB_COMPRESSION_PNG: f->kind = BODY_EMBEDDED; break;
    default: return refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_COMPRESSION);
    }
    if (hdr.width < 0) return refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_WIDTH);
    if (hdr.height == INT32_MIN) return refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_HEIGHT);
    // Run-length and Huffman data are always bottom-up; a top-down header
    // has no meaning for them.
    if ((f->kind == BODY_RLE || f->kind == BODY_RLE24 || f->kind == BODY_HUFFMAN) && hdr.height < 0)
        return refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_RLE_TOP_DOWN);

    // Colour-table entries the file holds. Run-length and Huffman results
    // are made with full tables; a table on a bit-field or embedded image
    // is a hint for palette devices and stays behind.
    if (f->entry_size == 4 && hdr.colours_used != 0)
        f->entries = hdr.colours_used;
    else
        f->entries = bits <= 8 ? uint64_t(1) << bits : 0;
    if (f->kind == BODY_EMBEDDED) f->entries = 0;
    return DIB_OK;
}

// Where the parts of the file go in the new block.
struct BodyPlan {
    uint64_t file_table_bytes;  // masks and colour table in the file
    uint64_t gap;             // bytes skipped between table and pixels
    uint64_t pixels_to_read;  // the rest of the body reads as 0
    uint64_t body;            // bytes of the block after its table
    uint64_t block_size;
    bool short_data;
};

int plan_body(FileFormat* f, uint64_t data_len, uint32_t pixel_offset, BodyPlan* plan) {
    DibInfoHeader& hdr = f->hdr;
    const uint64_t after_header = data_len - f->header_size;
    // A core header's table may be shorter than its bit count allows; the
    // pixel offset tells.
    if (f->entry_size == 3 && pixel_offset > FILE_HEADER_SIZE + f->header_size) {
        const uint64_t room = pixel_offset - FILE_HEADER_SIZE - f->header_size;
        if (room / 3 < f->entries) f->entries = room / 3;
    }
    plan->file_table_bytes = f->masks_in_file + f->entry_size * f->entries;
    if (plan->file_table_bytes > after_header) return refuse(DIB_ERR_READ, DIB_CAUSE_TRUNCATED);

    const bool fields = hdr.compression == DIB_COMPRESSION_BITFIELDS ||
                        hdr.compression == DIB_COMPRESSION_ALPHA_BITFIELDS;
    if (fields && f->kind == BODY_PIXELS) {
        f->entries = 0;
        hdr.colours_used = 0;
    }
    const int64_t pixel_bytes = f->kind == BODY_EMBEDDED
                                    ? 0
                                    : dib_pixel_bytes(hdr.width, hdr.bit_count, dib_rows(hdr.height));
    if (pixel_bytes < 0) return refuse(DIB_ERR_NO_MEMORY, DIB_CAUSE_TOO_LARGE);

    // Pixels normally follow the colour table. Writers that leave a gap
    // behind it say so in the file header's pixel offset; without honouring
    // it the picture would be read shifted. An offset that points into the
    // headers or past the data is not trusted.
    uint64_t available = after_header - plan->file_table_bytes;
    plan->gap = 0;
    const uint64_t table_end = FILE_HEADER_SIZE + f->header_size + plan->file_table_bytes;
    if (pixel_offset > table_end && pixel_offset - table_end < available) {
        plan->gap = pixel_offset - table_end;
        available -= plan->gap;
    }
    // Uncompressed: exactly the pixel array; bytes the file lacks read as 0.
    // Coded or embedded: everything that follows (embedded data no more
    // than its stated size).
    uint64_t body = available;
    if (f->kind == BODY_PIXELS) body = static_cast<uint64_t>(pixel_bytes);
    if (f->kind == BODY_EMBEDDED && hdr.image_size != 0 && hdr.image_size < available)
        body = hdr.image_size;
    plan->body = body;
    plan->pixels_to_read = std::min(available, body);
    plan->short_data = available < body;
    return DIB_OK;
}

// The masks of a bit-field image, read where the file keeps them, checked
// and put in the block's own form: three behind the header, or four when
// the image has alpha (ALPHA_BITFIELDS).
int settle_masks(Source* src, FileFormat* f) {
    DibInfoHeader& hdr = f->hdr;
    if (f->masks_in_file) {
        uint8_t raw[16];
        if (!source_read(src, raw, size_t(f->masks_in_file))) return refuse(DIB_ERR_READ, DIB_CAUSE_READ);
        for (uint64_t i = 0; i < f->masks_in_file / 4; ++i) f->masks[i] = get_u32(raw + 4 * i);
    }
    if (!masks_usable(f->masks, hdr.bit_count)) return refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_BITFIELDS);
    hdr.compression = f->masks[3] ? DIB_COMPRESSION_ALPHA_BITFIELDS : DIB_COMPRESSION_BITFIELDS;
    return DIB_OK;
}

void put_masks(uint8_t* table, const FileFormat& f) {
    const int n = f.hdr.compression == DIB_COMPRESSION_ALPHA_BITFIELDS ? 4 : 3;
    for (int i = 0; i < n; ++i) put_u32(table + 4 * i, f.masks[i]);
}

// The colour table, as 4-byte entries whatever the file's size.
bool read_table(Source* src, const FileFormat& f, uint8_t* table) {
    const size_t n = static_cast<size_t>(f.entries);
    if (f.entry_size == 4) return source_read(src, table, 4 * n);
    if (!source_read(src, table + n, 3 * n)) return false;
    for (size_t i = 0; i < n; ++i) {
        std::memmove(table + 4 * i, table + n + 3 * i, 3);
        table[4 * i + 3] = 0;
    }
    return true;
}

int decode_body(FileFormat* f, DibHandle* h);

// Plain bitmaps of at least this many pixel bytes may be read ahead.
constexpr uint64_t kAheadFrom = uint64_t(2) << 20;

// Validates the headers against the data_len bytes that follow the file
// header, then reads the bitmap into a new block whose header is always
// 40 bytes long, with the masks of bit fields and the colour table (as
// 4-byte entries) behind it, so every reader finds them at byte 40.
int load_body(Source* src, uint64_t data_len, uint32_t pixel_offset, int dpi_flag,
              DibHandle* out, DibAheadPlan* ahead) {
    uint8_t raw[124] = {};
    if (data_len < 4) return refuse(DIB_ERR_READ, DIB_CAUSE_TRUNCATED);
    if (!source_read(src, raw, 4)) return refuse(DIB_ERR_READ, DIB_CAUSE_READ);
    const uint32_t header_size = get_u32(raw);
    if (header_size > data_len || header_size < 4) {
        if (header_size >= 16 || header_size == DIB_CORE_HEADER_SIZE)
            return refuse(DIB_ERR_READ, DIB_CAUSE_TRUNCATED);
        return refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_HEADER_SIZE);
    }
    const uint32_t kept = std::min<uint32_t>(header_size, sizeof raw);
    if (!source_read(src, raw + 4, kept - 4)) return refuse(DIB_ERR_READ, DIB_CAUSE_READ);
    FileFormat f;
    int status = read_format(raw, header_size, &f);
    if (status != DIB_OK) return status;
    if (!source_skip(src, header_size - kept)) return refuse(DIB_ERR_READ, DIB_CAUSE_READ);
    BodyPlan plan;
    status = plan_body(&f, data_len, pixel_offset, &plan);
    if (status != DIB_OK) return status;
    const bool fields = f.hdr.compression == DIB_COMPRESSION_BITFIELDS ||
                        f.hdr.compression == DIB_COMPRESSION_ALPHA_BITFIELDS;
    uint64_t skip_table = 0;
    if (fields && f.kind == BODY_PIXELS) {
        if ((status = settle_masks(src, &f)) != DIB_OK) return status;
        f.table_bytes = dib_table_bytes(&f.hdr);
        skip_table = plan.file_table_bytes - f.masks_in_file;
    } else {
        f.table_bytes = 4 * f.entries;
        // A 2-bit table's default size is the block's to state.
        if (f.hdr.bit_count == 2 && f.hdr.colours_used == 0) f.hdr.colours_used = 4;
        // A core table the pixel offset leaves no room for is empty: the
        // block gets a full table of black, since 0 would mean full.
        if (f.entry_size == 3 && f.entries == 0 && f.hdr.bit_count <= 8)
            f.table_bytes = dib_table_bytes(&f.hdr);
        else if (f.entry_size == 3)
            f.hdr.colours_used = static_cast<uint32_t>(f.entries);
    }
    if (f.kind == BODY_EMBEDDED) {
        f.hdr.image_size = static_cast<uint32_t>(plan.body);
        f.hdr.colours_used = 0;
        // A header of 1, 4 or 8 bits still implies a table in front of the
        // data; it is left black, the data's own colours being what count.
        f.table_bytes = dib_table_bytes(&f.hdr);
    }
    // Rows the file does not hold whole read as 0; whoever shows the
    // bitmap says so.
    if (f.kind == BODY_PIXELS && plan.short_data) {
        const int64_t stride = dib_stride(f.hdr.width, f.hdr.bit_count);
        t_rows_missing = dib_rows(f.hdr.height) - int64_t(plan.pixels_to_read) / std::max<int64_t>(stride, 1);
    }
    // Rows read through a window leave the block with the header and table.
    const bool window = ahead && ahead->window && src->file && f.kind == BODY_PIXELS;
    const bool note_held = f.kind == BODY_PIXELS && plan.short_data && !window;
    const uint64_t block_size = DIB_HEADER_SIZE + f.table_bytes + (window ? 0 : plan.body) +
                                (note_held ? DIB_HELD_NOTE_SIZE : 0);
    if (block_size > SIZE_MAX || plan.body > UINT32_MAX) return refuse(DIB_ERR_NO_MEMORY, DIB_CAUSE_TOO_LARGE);

    DibHandle h = plat_mem_alloc(PLAT_MEM_MOVEABLE | (plan.short_data && !window ? PLAT_MEM_ZEROINIT : 0),
                                 static_cast<size_t>(block_size));
    if (!h) return refuse(DIB_ERR_NO_MEMORY, DIB_CAUSE_NO_MEMORY);
    uint8_t* base = static_cast<uint8_t*>(plat_mem_lock(h));
    if (!base) {
        plat_mem_free(h);
        return refuse(DIB_ERR_LOCK, DIB_CAUSE_NO_MEMORY);
    }
    std::memcpy(base, &f.hdr, sizeof f.hdr);
    uint8_t* table = base + DIB_HEADER_SIZE;
    uint8_t* body = table + f.table_bytes;
    std::memset(table, 0, static_cast<size_t>(f.table_bytes));
    if (fields && f.kind == BODY_PIXELS) put_masks(table, f);
    if (note_held) dib_note_held(body + plan.body, plan.pixels_to_read);
    const bool read_ahead = window || (ahead && src->file && f.kind == BODY_PIXELS &&
                                       plan.pixels_to_read >= kAheadFrom);
    long pixels_at = -1;
    if (!(fields && f.kind == BODY_PIXELS ? source_skip(src, size_t(skip_table))
                                          : read_table(src, f, table)) ||
        !source_skip(src, static_cast<size_t>(plan.gap)) ||
        (read_ahead ? (pixels_at = std::ftell(src->file)) < 0
                    : !source_read(src, body, static_cast<size_t>(plan.pixels_to_read)))) {
        plat_mem_unlock(h);
        plat_mem_free(h);
        return refuse(DIB_ERR_READ, DIB_CAUSE_READ);
    }
    if (dpi_flag) {
        put_u32(base + 24, static_cast<uint32_t>(dib_dpi_from_ppm(f.hdr.x_ppm)));
        put_u32(base + 28, static_cast<uint32_t>(dib_dpi_from_ppm(f.hdr.y_ppm)));
    }
    if (read_ahead) {
        // The block stays locked for the reading thread.
        *ahead = DibAheadPlan{src->file, h, window ? nullptr : body, uint64_t(pixels_at),
                              plan.pixels_to_read, dib_stride(f.hdr.width, f.hdr.bit_count),
                              dib_rows(f.hdr.height), f.hdr.height < 0, window};
        *out = h;
        return DIB_OK;
    }
    plat_mem_unlock(h);
    if (f.kind != BODY_PIXELS && (status = decode_body(&f, &h)) != DIB_OK) {
        plat_mem_free(h);
        return status;
    }
    *out = h;
    return DIB_OK;
}

// Pixel slots of the target: each stored row holds pitch slots (for 4 and
// 8 bits stride * 8 / bits, padding included; for 24 bits the whole pixels
// that fit its stride), and slot p of row r is r * pitch + p. Writes are
// clipped to the pixel array.
struct RleTarget {
    uint8_t* pixels;
    int bits;  // 4, 8 or 24
    int64_t stride;
    int64_t pitch;
    int64_t slots;
};

void set_pixel(const RleTarget& t, int64_t p, unsigned value) {
    if (t.bits == 8) {
        t.pixels[p] = static_cast<uint8_t>(value);
        return;
    }
    uint8_t& b = t.pixels[p >> 1];
    b = (p & 1) ? static_cast<uint8_t>((b & 0xF0) | (value & 0x0F))
                : static_cast<uint8_t>((b & 0x0F) | (value & 0x0F) << 4);
}

uint8_t* pixel24(const RleTarget& t, int64_t p) {
    return t.pixels + (p / t.pitch) * t.stride + (p % t.pitch) * 3;
}

void put_run(const RleTarget& t, int64_t start, unsigned count, const uint8_t* value) {
    const int64_t end = std::min(start + count, t.slots);
    if (start >= end) return;
    if (t.bits == 8) {
        std::memset(t.pixels + start, value[0], static_cast<size_t>(end - start));
    } else if (t.bits == 24) {
        for (int64_t p = start; p < end; ++p) std::memcpy(pixel24(t, p), value, 3);
    } else {
        for (int64_t p = start; p < end; ++p)
            set_pixel(t, p, ((p - start) & 1) ? value[0] & 0x0F : value[0] >> 4);
    }
}

void put_absolute(const RleTarget& t, int64_t start, unsigned count, const uint8_t* data) {
    const int64_t end = std::min(start + count, t.slots);
    if (start >= end) return;
    if (t.bits == 8) {
        std::memcpy(t.pixels + start, data, static_cast<size_t>(end - start));
        return;
    }
    for (int64_t p = start; p < end; ++p) {
        const int64_t i = p - start;
        if (t.bits == 24) {
            std::memcpy(pixel24(t, p), data + 3 * i, 3);
            continue;
        }
        const uint8_t b = data[i >> 1];
        set_pixel(t, p, (i & 1) ? b & 0x0F : b >> 4);
    }
}

// Runs and escapes as RLE8 has them; an RLE4 run's byte holds two
// alternating pixels, an RLE24 run's three bytes one blue-green-red pixel.
void rle_decode(const uint8_t* data, size_t n, const RleTarget& t) {
    int64_t row = 0, x = 0;
    size_t i = 0;
    const size_t value_bytes = t.bits == 24 ? 3 : 1;
    // A run that starts in (or past) a row's padding begins the next row.
    auto wrap = [&] {
        if (x >= t.pitch) {
            ++row;
            x = 0;
        }
    };
    while (n - i >= 2) {
        const unsigned first = data[i], second = data[i + 1];
        if (first > 0) {
            if (n - i < 1 + value_bytes) return;
            wrap();
            put_run(t, row * t.pitch + x, first, data + i + 1);
            x += first;
            i += 1 + value_bytes;
        } else if (second == 0) {
            i += 2;
            ++row;
            x = 0;
        } else if (second == 1) {
            return;
        } else if (second == 2) {
            i += 2;
            wrap();
            if (n - i < 2) return;
            x += data[i];
            row += data[i + 1];
            i += 2;
        } else {
            i += 2;
            wrap();
            const size_t need = t.bits == 4 ? (second + 1) / 2 : second * value_bytes;
            const size_t have = std::min(need, n - i);
            const unsigned count = t.bits == 4 ? std::min(second, static_cast<unsigned>(have * 2))
                                               : static_cast<unsigned>(have / value_bytes);
            put_absolute(t, row * t.pitch + x, count, data + i);
            if (have < need) return;
            x += second;
            i += std::min(n - i, need + (need & 1));
        }
        // Rows only grow; once past the last one nothing more can land.
        if (row * t.pitch >= t.slots) return;
    }
}

// Replaces the block in *var (header, full colour table, then coded data)
// by the decoded bitmap of the given depth.
int decode_runs(DibHandle* var, const DibInfoHeader& hdr, int bits, const uint8_t* base,
                size_t data_start, size_t size) {
    // The target's table has 16 or 256 entries; those the source lacks
    // stay zero.
    uint8_t table[256 * 4] = {};
    const uint64_t src_colour_bytes = data_start - hdr.size;
    const uint64_t target_colour_bytes = bits == 8 ? 1024 : bits == 4 ? 64 : 0;
    std::memcpy(table, base + hdr.size,
                static_cast<size_t>(std::min(target_colour_bytes, src_colour_bytes)));

    DibHandle target = nullptr;
    int status = dib_create(hdr.width, hdr.height, bits, hdr.x_ppm, hdr.y_ppm,
                            bits == 24 ? nullptr : table, &target);
    if (status != DIB_OK) return status;
    uint8_t* pixels = dib_lock_bits(target, nullptr);
    if (!pixels) {
        plat_mem_free(target);
        return DIB_ERR_LOCK;
    }
    RleTarget t;
    t.pixels = pixels;
    t.bits = bits;
    t.stride = dib_stride(hdr.width, bits);
    t.pitch = bits == 24 ? t.stride / 3 : t.stride * 8 / bits;
    t.slots = t.pitch * hdr.height;
    rle_decode(base + data_start, size - data_start, t);
    dib_unlock(target);
    plat_mem_unlock(*var);
    plat_mem_free(*var);
    *var = target;
    return DIB_OK;
}

int check_rle_header(const DibInfoHeader& hdr, uint64_t colour_bytes, size_t block_size) {
    if (hdr.size < DIB_HEADER_SIZE || hdr.width < 0 || hdr.height < 0) return DIB_ERR_UNSUPPORTED;
    if (!((hdr.compression == DIB_COMPRESSION_RLE8 && hdr.bit_count == 8) ||
          (hdr.compression == DIB_COMPRESSION_RLE4 && hdr.bit_count == 4)))
        return DIB_ERR_UNSUPPORTED;
    if (hdr.size + colour_bytes > block_size) return DIB_ERR_READ;
    return DIB_OK;
}

// A loaded block whose body is not yet pixels: run-length and Huffman data
// are decoded, embedded JPEG is checked and PNG checked or decoded. The
// block's header and table are as the loader made them.
int decode_body(FileFormat* f, DibHandle* h) {
    if (f->kind == BODY_RLE) {
        const int status = dib_decode_rle(h);
        return status == DIB_OK ? DIB_OK
                                : refuse(status, status == DIB_ERR_NO_MEMORY ? DIB_CAUSE_NO_MEMORY
                                                                             : DIB_CAUSE_READ);
    }
    const uint8_t* base = static_cast<const uint8_t*>(plat_mem_lock(*h));
    if (!base) return refuse(DIB_ERR_LOCK, DIB_CAUSE_NO_MEMORY);
    const size_t size = plat_mem_size(*h);
    const size_t data_start = size_t(DIB_HEADER_SIZE + f->table_bytes);
    int status;
    if (f->kind == BODY_RLE24) {
        status = decode_runs(h, f->hdr, 24, base, data_start, size);
    } else if (f->kind == BODY_HUFFMAN) {
        status = dib_decode_huffman(h, f->hdr, base + DIB_HEADER_SIZE, base + data_start,
                                    size - data_start);
    } else {
        status = dib_check_embedded(h, f->hdr, base + data_start, size - data_start);
        // A cause is set where the data is found wanting.
        if (status != DIB_OK) {
            plat_mem_unlock(*h);
            return status;
        }
    }
    // On success the old block went; on failure it is still locked here.
    if (status != DIB_OK) {
        plat_mem_unlock(*h);
        return refuse(status, status == DIB_ERR_NO_MEMORY ? DIB_CAUSE_NO_MEMORY : DIB_CAUSE_READ);
    }
    return DIB_OK;
}

}  // namespace

int dib_decode_rle(DibHandle* var) {
    if (!var || !*var) return DIB_ERR_NO_BITMAP;
    DibHandle src = *var;
    const uint8_t* base = static_cast<const uint8_t*>(plat_mem_lock(src));
    if (!base) return DIB_ERR_LOCK;
    const size_t size = plat_mem_size(src);
    DibInfoHeader hdr;
    if (size < sizeof hdr) {
        plat_mem_unlock(src);
        return DIB_ERR_READ;
    }
    std::memcpy(&hdr, base, sizeof hdr);
    const uint64_t src_colour_bytes = 4 * static_cast<uint64_t>(dib_palette_entries(&hdr));
    int status = check_rle_header(hdr, src_colour_bytes, size);
    if (status == DIB_OK)
        status = decode_runs(var, hdr, hdr.bit_count, base, size_t(hdr.size + src_colour_bytes), size);
    if (status != DIB_OK) plat_mem_unlock(src);
    return status;
}

int dib_load_cause(void) { return t_load_cause; }

void dib_note_held(uint8_t* at, uint64_t held) {
    std::memcpy(at, DIB_HELD_MAGIC, sizeof DIB_HELD_MAGIC);
    for (int i = 0; i < 8; ++i) at[8 + i] = uint8_t(held >> (8 * i));
}

int dib_load_refuse(int status, int cause) { return refuse(status, cause); }

int64_t dib_load_rows_missing(void) { return t_rows_missing; }

const char* dib_cause_text(int cause) {
    if (cause < 0 || cause >= int(sizeof kCauseTexts / sizeof kCauseTexts[0])) return "unknown cause";
    return kCauseTexts[cause];
}

int dib_load_bmp_memory(DibHandle* var, const uint8_t* data, size_t size, int dpi_flag) {
    t_load_cause = DIB_CAUSE_NONE;
    t_rows_missing = 0;
    if (!var) return DIB_ERR_NO_BITMAP;
    *var = nullptr;
    if (!data || size < FILE_HEADER_SIZE) return refuse(DIB_ERR_NO_BITMAP, DIB_CAUSE_NOT_BMP);
    const int status = check_file_header(data);
    if (status != DIB_OK) return status;
    Source src{nullptr, data + FILE_HEADER_SIZE, 0};
    return load_body(&src, size - FILE_HEADER_SIZE, get_u32(data + 10), dpi_flag, var, nullptr);
}

namespace {

// A file loaded whole, or when ahead is given possibly read ahead: then
// ahead->file is set and the file belongs to the plan.
int load_file(DibHandle* var, const wchar_t* path, int dpi_flag, DibAheadPlan* ahead) {
    t_load_cause = DIB_CAUSE_NONE;
    t_rows_missing = 0;
    if (!var) return DIB_ERR_NO_BITMAP;
    *var = nullptr;
    errno = 0;
    FILE* f = path ? plat_wfopen(path, "rb") : nullptr;
    if (!f) {
        return refuse(DIB_ERR_OPEN_READ, errno == ENOENT   ? DIB_CAUSE_NOT_FOUND
                                         : errno == EACCES ? DIB_CAUSE_PERMISSION
                                         : errno == EISDIR ? DIB_CAUSE_IS_DIRECTORY
                                                           : DIB_CAUSE_OPEN);
    }
    uint8_t fh[FILE_HEADER_SIZE];
    int status = DIB_OK;
    long length = -1;
    errno = 0;
    if (std::fread(fh, 1, sizeof fh, f) != sizeof fh)
        status = refuse(DIB_ERR_NO_BITMAP,
                        errno == EISDIR ? DIB_CAUSE_IS_DIRECTORY : DIB_CAUSE_NOT_BMP);
    else
        status = check_file_header(fh);
    if (status == DIB_OK) {
        if (std::fseek(f, 0, SEEK_END) != 0 || (length = std::ftell(f)) < 0 ||
            length < static_cast<long>(FILE_HEADER_SIZE) ||
            std::fseek(f, static_cast<long>(FILE_HEADER_SIZE), SEEK_SET) != 0)
            status = refuse(DIB_ERR_SEEK, DIB_CAUSE_NOT_SEEKABLE);
    }
    if (status == DIB_OK) {
        Source src{f, nullptr, 0};
        status = load_body(&src, static_cast<uint64_t>(length) - FILE_HEADER_SIZE, get_u32(fh + 10),
                           dpi_flag, var, ahead);
    }
    if (!ahead || !ahead->file) std::fclose(f);
    return status;
}

}  // namespace

int dib_load_bmp(DibHandle* var, const wchar_t* path, int dpi_flag) {
    return load_file(var, path, dpi_flag, nullptr);
}

int dib_load_bmp_ahead(DibHandle* var, const wchar_t* path, int dpi_flag, DibAhead** ahead) {
    if (ahead) *ahead = nullptr;
    if (!ahead) return load_file(var, path, dpi_flag, nullptr);
    DibAheadPlan plan{};
    int status = load_file(var, path, dpi_flag, &plan);
    if (status != DIB_OK || !plan.file) return status;
    status = dib_ahead_start(plan, ahead);
    if (status != DIB_OK) {
        plat_mem_free(*var);
        *var = nullptr;
        return refuse(status, DIB_CAUSE_READ);
    }
    return DIB_OK;
}

int dib_load_bmp_rows(DibHandle* var, const wchar_t* path, int dpi_flag, DibRows** rows) {
    if (rows) *rows = nullptr;
    if (!rows) return load_file(var, path, dpi_flag, nullptr);
    DibAheadPlan plan{};
    plan.window = true;
    const int status = load_file(var, path, dpi_flag, &plan);
    if (status != DIB_OK || !plan.file) return status;
    *var = nullptr;
    *rows = dib_rows_start(plan);
    return *rows ? DIB_OK : refuse(DIB_ERR_NO_MEMORY, DIB_CAUSE_NO_MEMORY);
}

int dib_save_bmp(DibHandle h, const wchar_t* path, int dpi_flag) {
    FILE* f = path ? plat_wfopen(path, "w+b") : nullptr;
    if (!f) return DIB_ERR_OPEN_WRITE;
    uint8_t* base = h ? static_cast<uint8_t*>(plat_mem_lock(h)) : nullptr;
    if (!base) {
        std::fclose(f);
        return DIB_ERR_LOCK;
    }
    const size_t size = plat_mem_size(h);
    DibInfoHeader hdr;
    int status = DIB_OK;
    uint64_t length = 0;
    if (size < sizeof hdr) {
        status = DIB_ERR_UNSUPPORTED;
    } else {
        std::memcpy(&hdr, base, sizeof hdr);
        if (hdr.size < DIB_HEADER_SIZE || hdr.width < 0 || hdr.height == INT32_MIN) {
            status = DIB_ERR_UNSUPPORTED;
        } else {
            const uint64_t colour_bytes = static_cast<uint64_t>(dib_table_bytes(&hdr));
            const bool embedded = hdr.compression == DIB_COMPRESSION_JPEG ||
                                  hdr.compression == DIB_COMPRESSION_PNG;
            const int64_t pixel_bytes = embedded ? int64_t(hdr.image_size)
                                                 : dib_pixel_bytes(hdr.width, hdr.bit_count,
                                                                   dib_rows(hdr.height));
            length = hdr.size + colour_bytes + static_cast<uint64_t>(pixel_bytes);
            // The file's size fields are 32 bits; the block must hold it all.
            if (pixel_bytes < 0 || length > size || length > UINT32_MAX - FILE_HEADER_SIZE)
                status = DIB_ERR_UNSUPPORTED;
            uint8_t fh[FILE_HEADER_SIZE] = {'B', 'M'};
            put_u32(fh + 2, static_cast<uint32_t>(FILE_HEADER_SIZE + length));
            put_u32(fh + 10, static_cast<uint32_t>(FILE_HEADER_SIZE + hdr.size + colour_bytes));
            if (status == DIB_OK) {
                // The block is restored from the saved header afterwards,
                // so the round trip leaves no rounding behind.
                if (dpi_flag) {
                    put_u32(base + 24, static_cast<uint32_t>(dib_ppm_from_dpi(hdr.x_ppm)));
                    put_u32(base + 28, static_cast<uint32_t>(dib_ppm_from_dpi(hdr.y_ppm)));
                }
                if (std::fwrite(fh, 1, sizeof fh, f) != sizeof fh ||
                    std::fwrite(base, 1, static_cast<size_t>(length), f) != length)
                    status = DIB_ERR_WRITE;
                if (dpi_flag) {
                    put_u32(base + 24, static_cast<uint32_t>(hdr.x_ppm));
                    put_u32(base + 28, static_cast<uint32_t>(hdr.y_ppm));
                }
            }
        }
    }
    plat_mem_unlock(h);
    if (std::fclose(f) != 0 && status == DIB_OK) status = DIB_ERR_WRITE;
    return status;
}
