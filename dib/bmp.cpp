// BMP files: loading into a packed bitmap (with run-length decoding) and
// saving one back.
#include "dib/dib.h"
#include "dib/ahead.h"

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
    "OS/2 bitmap headers are not supported",
    "unknown information header size",
    "bit-field colour masks are not supported",
    "BMP files holding JPEG or PNG data are not supported",
    "unknown compression method",
    "run-length data does not match the bit count",
    "top-down run-length data is not allowed",
    "unsupported bit count",
    "negative width",
    "invalid height",
    "the bitmap is too large",
    "out of memory",
    "reading the file failed",
};
static_assert(sizeof kCauseTexts / sizeof kCauseTexts[0] == DIB_CAUSE_READ + 1,
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

DibInfoHeader parse_info_header(const uint8_t* raw) {
    DibInfoHeader hdr;
    hdr.size = get_u32(raw);
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
    return hdr;
}

// The compressions the loader decodes, and for the others the cause.
int check_compression(const DibInfoHeader& hdr) {
    // An OS/2 2.x header (64 bytes) gives codes 3 and 4 other meanings:
    // Huffman 1D and 24-bit run-length, neither bit fields nor JPEG.
    if (hdr.size == OS2_V2_HEADER_SIZE &&
        (hdr.compression == COMPRESSION_BITFIELDS || hdr.compression == COMPRESSION_JPEG))
        return refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_COMPRESSION);
    switch (hdr.compression) {
    case DIB_COMPRESSION_NONE: return DIB_OK;
    case DIB_COMPRESSION_RLE8:
        return hdr.bit_count == 8 ? DIB_OK : refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_RLE_DEPTH);
    case DIB_COMPRESSION_RLE4:
        return hdr.bit_count == 4 ? DIB_OK : refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_RLE_DEPTH);
    case COMPRESSION_BITFIELDS:
    case COMPRESSION_ALPHA_BITFIELDS: return refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_BITFIELDS);
    case COMPRESSION_JPEG:
    case COMPRESSION_PNG: return refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_EMBEDDED);
    default: return refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_COMPRESSION);
    }
}

// What the loader takes: the header kinds, compressions and depths it
// reads, against the data_len bytes that follow the file header.
int check_info_header(const DibInfoHeader& hdr, uint64_t data_len) {
    // Core (OS/2) headers keep their fields and 3-byte colours elsewhere.
    if (hdr.size < DIB_HEADER_SIZE)
        return refuse(DIB_ERR_UNSUPPORTED, hdr.size == DIB_CORE_HEADER_SIZE
                                               ? DIB_CAUSE_OS2_HEADER
                                               : DIB_CAUSE_HEADER_SIZE);
    if (hdr.size > data_len) return refuse(DIB_ERR_READ, DIB_CAUSE_TRUNCATED);
    const int status = check_compression(hdr);
    if (status != DIB_OK) return status;
    const bool rle = hdr.compression != DIB_COMPRESSION_NONE;
    if (!rle) {
        switch (hdr.bit_count) {
        case 1: case 4: case 8: case 16: case 24: case 32: break;
        default: return refuse(DIB_ERR_BIT_COUNT, DIB_CAUSE_BIT_COUNT);
        }
    }
    if (hdr.width < 0) return refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_WIDTH);
    if (hdr.height == INT32_MIN) return refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_HEIGHT);
    // Run-length data is always bottom-up; a top-down header has no meaning
    // for it.
    if (rle && hdr.height < 0) return refuse(DIB_ERR_UNSUPPORTED, DIB_CAUSE_RLE_TOP_DOWN);
    return DIB_OK;
}

// Where the parts of the file go in the new block.
struct BodyPlan {
    uint64_t colour_bytes;
    uint64_t gap;             // bytes skipped between table and pixels
    uint64_t pixels_to_read;  // the rest of the body reads as 0
    uint64_t block_size;
    bool short_data;
};

int plan_body(const DibInfoHeader& hdr, const uint8_t* header40, uint64_t data_len,
              uint32_t pixel_offset, BodyPlan* plan) {
    const bool rle = hdr.compression != DIB_COMPRESSION_NONE;
    plan->colour_bytes = 4 * static_cast<uint64_t>(dib_palette_entries(header40));
    if (plan->colour_bytes > data_len - hdr.size) return refuse(DIB_ERR_READ, DIB_CAUSE_TRUNCATED);
    const int64_t pixel_bytes = dib_pixel_bytes(hdr.width, hdr.bit_count, dib_rows(hdr.height));
    if (pixel_bytes < 0) return refuse(DIB_ERR_NO_MEMORY, DIB_CAUSE_TOO_LARGE);

    // Pixels normally follow the colour table. Writers that leave a gap
    // behind it say so in the file header's pixel offset; without honouring
    // it the picture would be read shifted. An offset that points into the
    // headers or past the data is not trusted.
    uint64_t available = data_len - hdr.size - plan->colour_bytes;
    plan->gap = 0;
    const uint64_t table_end = FILE_HEADER_SIZE + hdr.size + plan->colour_bytes;
    if (pixel_offset > table_end && pixel_offset - table_end < available) {
        plan->gap = pixel_offset - table_end;
        available -= plan->gap;
    }
    // Uncompressed: exactly the pixel array; bytes the file lacks read as 0.
    // Run-length: everything that follows the colour table.
    const uint64_t body = rle ? available : static_cast<uint64_t>(pixel_bytes);
    plan->pixels_to_read = std::min(available, body);
    plan->block_size = DIB_HEADER_SIZE + plan->colour_bytes + body;
    plan->short_data = available < body;
    if (plan->block_size > SIZE_MAX) return refuse(DIB_ERR_NO_MEMORY, DIB_CAUSE_TOO_LARGE);
    return DIB_OK;
}

// Validates the information header against the data_len bytes that follow
// the file header, then reads the bitmap into a new block whose header is
// always 40 bytes long: the colour table and the pixels of a larger header
// move up behind it, so every reader finds the table at byte 40.
// Plain bitmaps of at least this many pixel bytes may be read ahead.
constexpr uint64_t kAheadFrom = uint64_t(2) << 20;

int load_body(Source* src, uint64_t data_len, uint32_t pixel_offset, int dpi_flag,
              DibHandle* out, DibAheadPlan* ahead) {
    uint8_t raw[DIB_HEADER_SIZE];
    if (data_len < DIB_HEADER_SIZE) return refuse(DIB_ERR_READ, DIB_CAUSE_TRUNCATED);
    if (!source_read(src, raw, sizeof raw)) return refuse(DIB_ERR_READ, DIB_CAUSE_READ);
    const DibInfoHeader hdr = parse_info_header(raw);
    int status = check_info_header(hdr, data_len);
    if (status != DIB_OK) return status;
    uint8_t header40[DIB_HEADER_SIZE];
    std::memcpy(header40, raw, sizeof raw);
    put_u32(header40, DIB_HEADER_SIZE);
    BodyPlan plan;
    status = plan_body(hdr, header40, data_len, pixel_offset, &plan);
    if (status != DIB_OK) return status;

    DibHandle h = plat_mem_alloc(PLAT_MEM_MOVEABLE | (plan.short_data ? PLAT_MEM_ZEROINIT : 0),
                                 static_cast<size_t>(plan.block_size));
    if (!h) return refuse(DIB_ERR_NO_MEMORY, DIB_CAUSE_NO_MEMORY);
    uint8_t* base = static_cast<uint8_t*>(plat_mem_lock(h));
    if (!base) {
        plat_mem_free(h);
        return refuse(DIB_ERR_LOCK, DIB_CAUSE_NO_MEMORY);
    }
    std::memcpy(base, header40, sizeof header40);
    uint8_t* table = base + DIB_HEADER_SIZE;
    const bool read_ahead = ahead && src->file && hdr.compression == DIB_COMPRESSION_NONE &&
                            plan.pixels_to_read >= kAheadFrom;
    long pixels_at = -1;
    if (!source_skip(src, hdr.size - DIB_HEADER_SIZE) ||
        !source_read(src, table, static_cast<size_t>(plan.colour_bytes)) ||
        !source_skip(src, static_cast<size_t>(plan.gap)) ||
        (read_ahead ? (pixels_at = std::ftell(src->file)) < 0
                    : !source_read(src, table + plan.colour_bytes,
                                   static_cast<size_t>(plan.pixels_to_read)))) {
        plat_mem_unlock(h);
        plat_mem_free(h);
        return refuse(DIB_ERR_READ, DIB_CAUSE_READ);
    }
    if (dpi_flag) {
        put_u32(base + 24, static_cast<uint32_t>(dib_dpi_from_ppm(hdr.x_ppm)));
        put_u32(base + 28, static_cast<uint32_t>(dib_dpi_from_ppm(hdr.y_ppm)));
    }
    if (read_ahead) {
        // The block stays locked for the reading thread.
        *ahead = DibAheadPlan{src->file, h, table + plan.colour_bytes, uint64_t(pixels_at),
                              plan.pixels_to_read, dib_stride(hdr.width, hdr.bit_count),
                              dib_rows(hdr.height), hdr.height < 0};
        *out = h;
        return DIB_OK;
    }
    plat_mem_unlock(h);
    if (hdr.compression != DIB_COMPRESSION_NONE && (status = dib_decode_rle(&h)) != DIB_OK) {
        plat_mem_free(h);
        return refuse(status, status == DIB_ERR_NO_MEMORY ? DIB_CAUSE_NO_MEMORY : DIB_CAUSE_READ);
    }
    *out = h;
    return DIB_OK;
}

// Pixel slots of the target: each stored row holds stride * 8 / bits slots,
// padding included, and slot p of row r lies at r * pitch + p. Writes are
// clipped to the pixel array.
struct RleTarget {
    uint8_t* pixels;
    int bits;  // 4 or 8
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

void put_run(const RleTarget& t, int64_t start, unsigned count, uint8_t value) {
    const int64_t end = std::min(start + count, t.slots);
    if (start >= end) return;
    if (t.bits == 8) {
        std::memset(t.pixels + start, value, static_cast<size_t>(end - start));
        return;
    }
    for (int64_t p = start; p < end; ++p)
        set_pixel(t, p, ((p - start) & 1) ? value & 0x0F : value >> 4);
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
        const uint8_t b = data[i >> 1];
        set_pixel(t, p, (i & 1) ? b & 0x0F : b >> 4);
    }
}

void rle_decode(const uint8_t* data, size_t n, const RleTarget& t) {
    int64_t row = 0, x = 0;
    size_t i = 0;
    // A run that starts in (or past) a row's padding begins the next row.
    auto wrap = [&] {
        if (x >= t.pitch) {
            ++row;
            x = 0;
        }
    };
    while (n - i >= 2) {
        const unsigned first = data[i], second = data[i + 1];
        i += 2;
        if (first > 0) {
            wrap();
            put_run(t, row * t.pitch + x, first, static_cast<uint8_t>(second));
            x += first;
        } else if (second == 0) {
            ++row;
            x = 0;
        } else if (second == 1) {
            return;
        } else if (second == 2) {
            wrap();
            if (n - i < 2) return;
            x += data[i];
            row += data[i + 1];
            i += 2;
        } else {
            wrap();
            const size_t need = t.bits == 8 ? second : (second + 1) / 2;
            const size_t have = std::min(need, n - i);
            const unsigned count = t.bits == 8 ? static_cast<unsigned>(have)
                                               : std::min(second, static_cast<unsigned>(have * 2));
            put_absolute(t, row * t.pitch + x, count, data + i);
            if (have < need) return;
            x += second;
            i += std::min(n - i, need + (need & 1));
        }
        // Rows only grow; once past the last one nothing more can land.
        if (row * t.pitch >= t.slots) return;
    }
}

}  // namespace

namespace {

int check_rle_header(const DibInfoHeader& hdr, uint64_t colour_bytes, size_t block_size) {
    if (hdr.size < DIB_HEADER_SIZE || hdr.width < 0 || hdr.height < 0) return DIB_ERR_UNSUPPORTED;
    if (!((hdr.compression == DIB_COMPRESSION_RLE8 && hdr.bit_count == 8) ||
          (hdr.compression == DIB_COMPRESSION_RLE4 && hdr.bit_count == 4)))
        return DIB_ERR_UNSUPPORTED;
    if (hdr.size + colour_bytes > block_size) return DIB_ERR_READ;
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
    if (status != DIB_OK) {
        plat_mem_unlock(src);
        return status;
    }

    // The target's table has 16 or 256 entries; those the source lacks
    // stay zero. The source's table sits behind its header, whatever size.
    uint8_t table[256 * 4] = {};
    const uint64_t target_colour_bytes = hdr.bit_count == 8 ? 1024 : 64;
    std::memcpy(table, base + hdr.size,
                static_cast<size_t>(std::min(target_colour_bytes, src_colour_bytes)));

    DibHandle target = nullptr;
    status = dib_create(hdr.width, hdr.height, hdr.bit_count, hdr.x_ppm, hdr.y_ppm, table, &target);
    if (status != DIB_OK) {
        plat_mem_unlock(src);
        return status;
    }
    DibInfoHeader* out_hdr = nullptr;
    uint8_t* pixels = dib_lock_bits(target, &out_hdr);
    if (!pixels) {
        plat_mem_unlock(src);
        plat_mem_free(target);
        return DIB_ERR_LOCK;
    }
    RleTarget t;
    t.pixels = pixels;
    t.bits = hdr.bit_count;
    const int64_t stride = dib_stride(hdr.width, hdr.bit_count);
    t.pitch = stride * 8 / t.bits;
    t.slots = t.pitch * hdr.height;
    const size_t data_start = static_cast<size_t>(hdr.size + src_colour_bytes);
    rle_decode(base + data_start, size - data_start, t);

    dib_unlock(target);
    plat_mem_unlock(src);
    plat_mem_free(src);
    *var = target;
    return DIB_OK;
}

int dib_load_cause(void) { return t_load_cause; }

const char* dib_cause_text(int cause) {
    if (cause < 0 || cause >= int(sizeof kCauseTexts / sizeof kCauseTexts[0])) return "unknown cause";
    return kCauseTexts[cause];
}

int dib_load_bmp_memory(DibHandle* var, const uint8_t* data, size_t size, int dpi_flag) {
    t_load_cause = DIB_CAUSE_NONE;
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
            const uint64_t colour_bytes = 4 * static_cast<uint64_t>(dib_palette_entries(&hdr));
            const int64_t pixel_bytes = dib_pixel_bytes(hdr.width, hdr.bit_count, dib_rows(hdr.height));
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
