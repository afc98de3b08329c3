// Bitmap memory model: creation, header queries, views and the dispatcher.
#include "dib/dib.h"
#include "dib/ahead.h"
#include "dib/decode.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// The 12-byte core header keeps its bit count at byte 10.
constexpr size_t CORE_BIT_COUNT_OFFSET = 10;

int default_entries(unsigned bit_count) {
    switch (bit_count) {
    case 1: return 2;
    case 4: return 16;
    case 8: return 256;
    default: return 0;
    }
}

struct StatusText {
    int status;
    const char* text;
};
const StatusText kStatusTexts[] = {
    {DIB_OK, "no error"},
    {DIB_UNKNOWN_OPERATION, "unknown operation, or an empty private clipboard format"},
    {DIB_ERR_NO_MEMORY, "out of memory"},
    {DIB_ERR_NO_BITMAP, "no bitmap"},
    {DIB_ERR_LOCK, "the bitmap cannot be read"},
    {DIB_ERR_STRETCH_MODE, "no drawing surface"},
    {DIB_ERR_DRAW, "the surface cannot draw this bitmap"},
    {DIB_ERR_BIT_COUNT, "bit count not supported"},
    {DIB_ERR_OPEN_READ, "file cannot be opened for reading"},
    {DIB_ERR_OPEN_WRITE, "file cannot be opened for writing"},
    {DIB_ERR_READ, "file cannot be read or is truncated"},
    {DIB_ERR_WRITE, "file cannot be written"},
    {DIB_ERR_FILE_SIZE, "file size field is too small"},
    {DIB_ERR_SEEK, "file cannot be positioned"},
    {DIB_ERR_CLIP_OPEN, "the clipboard cannot be opened"},
    {DIB_ERR_CLIP_CLOSE, "the clipboard cannot be closed"},
    {DIB_ERR_CLIP_NO_DIB, "no bitmap on the clipboard"},
    {DIB_ERR_CLIP_NO_DATA, "no data on the clipboard"},
    {DIB_ERR_CLIP_SET, "the clipboard does not take the bitmap"},
    {DIB_ERR_UNSUPPORTED, "bitmap format not supported"},
    {DIB_ERR_ANGLE, "angle is not a multiple of 90 degrees"},
    {DIB_ERR_NO_VIEW, "no view"},
};

// Locks a block that is at least a 40-byte header long; null otherwise (and
// then the block is left unlocked).
DibInfoHeader* lock_header(DibHandle h) {
    if (!h) return nullptr;
    void* p = plat_mem_lock(h);
    if (!p) return nullptr;
    if (plat_mem_size(h) < DIB_HEADER_SIZE) {
        plat_mem_unlock(h);
        return nullptr;
    }
    return static_cast<DibInfoHeader*>(p);
}

struct Layout {
    int64_t header_size;
    int64_t colour_bytes;
    int64_t stride;
    int64_t rows;
    int64_t pixel_bytes;
    int64_t total;
};

// Where the parts of a locked bitmap lie; false when the header does not
// describe a bitmap that fits in block_size bytes.
bool layout_of(const DibInfoHeader* hdr, size_t block_size, Layout* out) {
    if (hdr->size < DIB_HEADER_SIZE || hdr->width < 0 || hdr->height == INT32_MIN)
        return false;
    Layout l;
    // Readers find the colour table at byte 40 whatever the size field says
    // (every bitmap this library holds has a 40-byte header), so the size
    // check must measure from there too.
    l.header_size = DIB_HEADER_SIZE;
    l.colour_bytes = dib_table_bytes(hdr);
    l.stride = dib_stride(hdr->width, hdr->bit_count);
    l.rows = dib_rows(hdr->height);
    l.pixel_bytes = dib_pixel_bytes(hdr->width, hdr->bit_count, l.rows);
    // Embedded JPEG or PNG data takes the pixels' place whole.
    if (hdr->compression == DIB_COMPRESSION_JPEG || hdr->compression == DIB_COMPRESSION_PNG) {
        l.stride = 0;
        l.pixel_bytes = hdr->image_size;
    }
    l.total = l.header_size + l.colour_bytes + l.pixel_bytes;
    if (l.pixel_bytes < 0 || l.total > static_cast<int64_t>(block_size)) return false;
    *out = l;
    return true;
}

int64_t held_bytes(const uint8_t* base, const Layout& l, size_t block_size) {
    if (l.total < 0 || uint64_t(l.total) + DIB_HELD_NOTE_SIZE > block_size) return l.pixel_bytes;
    const uint8_t* note = base + l.total;
    if (std::memcmp(note, DIB_HELD_MAGIC, sizeof DIB_HELD_MAGIC) != 0) return l.pixel_bytes;
    uint64_t held = 0;
    for (int i = 7; i >= 0; --i) held = held << 8 | note[8 + i];
    return held < uint64_t(l.pixel_bytes) ? int64_t(held) : l.pixel_bytes;
}

// Result writers for the query codes: a null destination writes nothing.
void put1(void* param, int32_t v) {
    if (param) std::memcpy(param, &v, sizeof v);
}

void put2(void* param, int32_t a, int32_t b) {
    if (!param) return;
    int32_t both[2] = {a, b};
    std::memcpy(param, both, sizeof both);
}

// Codes 11 to 19 and 24: lock, answer from the header, unlock.
int handle_query(int code, DibHandle h, void* param) {
    if (!h) return DIB_ERR_NO_BITMAP;
    DibInfoHeader* hdr = lock_header(h);
    if (!hdr) return DIB_ERR_LOCK;
    const int64_t rows = dib_rows(hdr->height);
    switch (code) {
    case DIB_OP_WIDTH: put1(param, hdr->width); break;
    case DIB_OP_HEIGHT: put1(param, hdr->height); break;
    case DIB_OP_SIZE: put2(param, hdr->width, hdr->height); break;
    case DIB_OP_WIDTH_TENTH_MM: put1(param, dib_tenth_mm(hdr->width, hdr->x_ppm)); break;
    case DIB_OP_HEIGHT_TENTH_MM: put1(param, dib_tenth_mm(rows, hdr->y_ppm)); break;
    case DIB_OP_SIZE_TENTH_MM:
        put2(param, dib_tenth_mm(hdr->width, hdr->x_ppm), dib_tenth_mm(rows, hdr->y_ppm));
        break;
    case DIB_OP_XRES_CDPI: put1(param, dib_cdpi_from_ppm(hdr->x_ppm)); break;
    case DIB_OP_YRES_CDPI: put1(param, dib_cdpi_from_ppm(hdr->y_ppm)); break;
    case DIB_OP_RES_CDPI: put2(param, dib_cdpi_from_ppm(hdr->x_ppm), dib_cdpi_from_ppm(hdr->y_ppm)); break;
    case DIB_OP_CONVERT_RES:
        if (param) {
            hdr->x_ppm = dib_ppm_from_dpi(hdr->x_ppm);
            hdr->y_ppm = dib_ppm_from_dpi(hdr->y_ppm);
        } else {
            hdr->x_ppm = dib_dpi_from_ppm(hdr->x_ppm);
            hdr->y_ppm = dib_dpi_from_ppm(hdr->y_ppm);
        }
        break;
    default: break;
    }
    plat_mem_unlock(h);
    return DIB_OK;
}

// Codes 100 to 105 on a header the caller holds; no lock is taken.
int header_query(int code, const void* subject, void* param) {
    if (!subject) return DIB_ERR_NO_BITMAP;
    // A core header is only 12 bytes long: answer before reading 40.
    if (code == DIB_OP_HDR_PALETTE_ENTRIES) {
        put1(param, dib_palette_entries(subject));
        return DIB_OK;
    }
    DibInfoHeader hdr;
    std::memcpy(&hdr, subject, sizeof hdr);
    if (code == DIB_OP_HDR_PIXEL_BYTES) {
        if (hdr.height == INT32_MIN) return DIB_ERR_UNSUPPORTED;
        const int64_t bytes = dib_pixel_bytes(hdr.width, hdr.bit_count, dib_rows(hdr.height));
        if (bytes < 0) return DIB_ERR_UNSUPPORTED;
        put1(param, static_cast<int32_t>(bytes));
        return DIB_OK;
    }
    if (code == DIB_OP_HDR_DPI_SIZE_TENTH_MM || code == DIB_OP_HDR_DPI_RES_CDPI) {
        hdr.x_ppm = dib_ppm_from_dpi(hdr.x_ppm);
        hdr.y_ppm = dib_ppm_from_dpi(hdr.y_ppm);
    }
    if (code == DIB_OP_HDR_SIZE_TENTH_MM || code == DIB_OP_HDR_DPI_SIZE_TENTH_MM)
        put2(param, dib_tenth_mm(hdr.width, hdr.x_ppm), dib_tenth_mm(dib_rows(hdr.height), hdr.y_ppm));
    else
        put2(param, dib_cdpi_from_ppm(hdr.x_ppm), dib_cdpi_from_ppm(hdr.y_ppm));
    return DIB_OK;
}

int free_variable(DibHandle* var) {
    if (!var) return DIB_ERR_NO_BITMAP;
    DibHandle h = *var;
    *var = nullptr;
    if (!h) return DIB_ERR_NO_BITMAP;
    dib_ahead_stop(h);
    plat_mem_free(h);
    return DIB_OK;
}

int copy_header(DibHandle h, void* param) {
    DibInfoHeader* hdr = lock_header(h);
    if (!hdr) return DIB_ERR_LOCK;
    if (param) std::memcpy(param, hdr, DIB_HEADER_SIZE);
    plat_mem_unlock(h);
    return DIB_OK;
}

}  // namespace

int64_t dib_stride(int64_t width, int64_t bit_count) {
    return ((width * bit_count + 7) / 8 + 3) / 4 * 4;
}

int64_t dib_pixel_bytes(int64_t width, int64_t bit_count, int64_t rows) {
    // Widths and bit counts come from 32- and 16-bit fields, so the stride
    // itself cannot wrap; only its product with the rows can.
    if (width < 0 || bit_count < 0 || rows < 0 || width > INT32_MAX || bit_count > UINT16_MAX)
        return -1;
    const int64_t stride = dib_stride(width, bit_count);
    if (stride > INT32_MAX || (stride > 0 && rows > INT32_MAX / stride)) return -1;
    return stride * rows;
}

int64_t dib_table_bytes(const DibInfoHeader* hdr) {
    const int64_t masks = hdr->compression == DIB_COMPRESSION_BITFIELDS         ? 12
                          : hdr->compression == DIB_COMPRESSION_ALPHA_BITFIELDS ? 16
                                                                                : 0;
    return masks + 4 * static_cast<int64_t>(dib_palette_entries(hdr));
}

bool dib_channel_masks(const DibInfoHeader* hdr, const uint8_t* table, uint32_t masks[4]) {
    const bool fields = hdr->compression == DIB_COMPRESSION_BITFIELDS ||
                        hdr->compression == DIB_COMPRESSION_ALPHA_BITFIELDS;
    if (fields && (hdr->bit_count == 16 || hdr->bit_count == 32)) {
        masks[3] = 0;
        std::memcpy(masks, table, hdr->compression == DIB_COMPRESSION_BITFIELDS ? 12 : 16);
        return true;
    }
    if (hdr->compression == DIB_COMPRESSION_NONE && hdr->bit_count == 16) {
        masks[0] = 0x7C00;
        masks[1] = 0x03E0;
        masks[2] = 0x001F;
        masks[3] = 0;
        return true;
    }
    return false;
}

int dib_palette_entries(const void* header) {
    const uint8_t* p = static_cast<const uint8_t*>(header);
    uint32_t size;
    std::memcpy(&size, p, sizeof size);
    if (size == DIB_CORE_HEADER_SIZE) {
        uint16_t bits;
        std::memcpy(&bits, p + CORE_BIT_COUNT_OFFSET, sizeof bits);
        return default_entries(bits);
    }
    DibInfoHeader hdr;
    std::memcpy(&hdr, p, sizeof hdr);
    if (hdr.colours_used != 0)
        return hdr.colours_used > INT_MAX ? INT_MAX : static_cast<int>(hdr.colours_used);
    return default_entries(hdr.bit_count);
}

int dib_create(int32_t width, int32_t height, int bit_count, int32_t x_ppm,
               int32_t y_ppm, const void* colour_table, DibHandle* out) {
    if (out) *out = nullptr;
    int entries;
    switch (bit_count) {
    case 1: entries = 2; break;
    case 2: entries = 4; break;
    case 4: entries = 16; break;
    case 8: entries = 256; break;
    case 24:
    case 32: entries = 0; break;
    default: return DIB_ERR_BIT_COUNT;
    }
    if (!out) return DIB_ERR_NO_BITMAP;
    if (width < 0 || height == INT32_MIN) return DIB_ERR_UNSUPPORTED;
    const int64_t pixel_bytes = dib_pixel_bytes(width, bit_count, dib_rows(height));
    if (pixel_bytes < 0) return DIB_ERR_NO_MEMORY;
    const size_t colour_bytes = 4 * static_cast<size_t>(entries);
    const size_t total = DIB_HEADER_SIZE + colour_bytes + static_cast<size_t>(pixel_bytes);

    DibHandle h = plat_mem_alloc(PLAT_MEM_MOVEABLE | PLAT_MEM_ZEROINIT, total);
    if (!h) return DIB_ERR_NO_MEMORY;
    uint8_t* base = static_cast<uint8_t*>(plat_mem_lock(h));
    if (!base) {
        plat_mem_free(h);
        return DIB_ERR_LOCK;
    }
    DibInfoHeader hdr{};
    hdr.size = DIB_HEADER_SIZE;
    hdr.width = width;
    hdr.height = height;
    hdr.planes = 1;
    hdr.bit_count = static_cast<uint16_t>(bit_count);
    hdr.compression = DIB_COMPRESSION_NONE;
    hdr.image_size = static_cast<uint32_t>(pixel_bytes);
    hdr.x_ppm = x_ppm;
    hdr.y_ppm = y_ppm;
    hdr.colours_used = static_cast<uint32_t>(entries);
    std::memcpy(base, &hdr, sizeof hdr);

    uint8_t* table = base + DIB_HEADER_SIZE;
    if (colour_table && entries > 0) {
        std::memcpy(table, colour_table, colour_bytes);
    } else if (bit_count == 1) {
        std::memset(table + 4, 255, 3);
    } else if (bit_count == 8) {
        for (int i = 0; i < 256; ++i) std::memset(table + 4 * i, i, 3);
    }
    plat_mem_unlock(h);
    *out = h;
    return DIB_OK;
}

const char* dib_strerror(int status) {
    for (const StatusText& t : kStatusTexts)
        if (t.status == status) return t.text;
    return "unknown status";
}

int dib_view_open(DibView* view, DibHandle h) {
    if (!view) return DIB_ERR_NO_VIEW;
    std::memset(view, 0, sizeof *view);
    DibInfoHeader* hdr = lock_header(h);
    if (!hdr) return DIB_ERR_LOCK;
    Layout l;
    if (!layout_of(hdr, plat_mem_size(h), &l)) {
        plat_mem_unlock(h);
        return DIB_ERR_LOCK;
    }
    view->width = hdr->width;
    view->rows = static_cast<int32_t>(l.rows);
    view->row_bytes = static_cast<int32_t>((static_cast<int64_t>(hdr->width) * hdr->bit_count + 7) / 8);
    view->stride = static_cast<int32_t>(l.stride);
    view->padding = view->stride - view->row_bytes;
    view->bit_count = hdr->bit_count;
    view->x_res = hdr->x_ppm;
    view->y_res = hdr->y_ppm;
    view->handle = h;
    view->total_size = l.total;
    view->header = hdr;
    view->colours = reinterpret_cast<uint8_t*>(hdr) + DIB_HEADER_SIZE;
    view->colour_bytes = static_cast<int32_t>(l.colour_bytes);
    view->pixels = view->colours + l.colour_bytes;
    view->pixel_bytes = l.pixel_bytes;
    view->held_bytes = held_bytes(reinterpret_cast<const uint8_t*>(hdr), l, plat_mem_size(h));
    return DIB_OK;
}

void dib_rows_discard(DibHandle h, int64_t rows) {
    DibInfoHeader* hdr = lock_header(h);
    if (!hdr) return;
    Layout l;
    if (rows > 0 && layout_of(hdr, plat_mem_size(h), &l)) {
        rows = std::min(rows, l.rows);
        // The top rows lie at the end of a bottom-up block.
        const int64_t from = hdr->height < 0 ? 0 : (l.rows - rows) * l.stride;
        plat_mem_discard(h, size_t(DIB_HEADER_SIZE + l.colour_bytes + from), size_t(rows * l.stride));
    }
    plat_mem_unlock(h);
}

void dib_view_close(DibView* view) {
    if (!view || !view->header) return;
    plat_mem_unlock(view->handle);
    view->header = nullptr;
}

uint8_t* dib_lock_bits(DibHandle h, DibInfoHeader** header_out) {
    if (header_out) *header_out = nullptr;
    DibInfoHeader* hdr = lock_header(h);
    if (!hdr) return nullptr;
    Layout l;
    if (!layout_of(hdr, plat_mem_size(h), &l)) {
        plat_mem_unlock(h);
        return nullptr;
    }
    if (header_out) *header_out = hdr;
    // Pixels follow the table that starts 40 bytes in, whatever the size field.
    return reinterpret_cast<uint8_t*>(hdr) + DIB_HEADER_SIZE + l.colour_bytes;
}

void dib_unlock(DibHandle h) {
    if (h) plat_mem_unlock(h);
}

int dib_describe(DibHandle h, int kind, char* text, size_t text_size) {
    if (!h) return DIB_ERR_NO_BITMAP;
    DibInfoHeader* hdr = lock_header(h);
    if (!hdr) return DIB_ERR_LOCK;
    char buf[96];
    if (kind == 0 || kind == 1) {
        const int32_t ppm = kind == 0 ? hdr->x_ppm : hdr->y_ppm;
        std::snprintf(buf, sizeof buf, "%lu",
                      static_cast<unsigned long>(static_cast<uint32_t>(dib_dpi_from_ppm(ppm))));
    } else {
        const int64_t w = hdr->width, rows = dib_rows(hdr->height);
        // A resolution of 0 counts as the default, as in the size queries.
        const int64_t xp = hdr->x_ppm ? hdr->x_ppm : DIB_DEFAULT_PPM;
        const int64_t yp = hdr->y_ppm ? hdr->y_ppm : DIB_DEFAULT_PPM;
        std::snprintf(buf, sizeof buf, "%ld.%02ld x %ld.%02ld cm",
                      static_cast<long>(w * 100 / xp), static_cast<long>(w * 10000 / xp % 100),
                      static_cast<long>(rows * 100 / yp), static_cast<long>(rows * 10000 / yp % 100));
    }
    plat_mem_unlock(h);
    if (text && text_size > 0) std::snprintf(text, text_size, "%s", buf);
    return DIB_OK;
}

int dib_command(int code, void* subject, void* param) {
    DibHandle* var = static_cast<DibHandle*>(subject);
    DibHandle h = static_cast<DibHandle>(subject);
    const wchar_t* path = static_cast<const wchar_t*>(param);
    // Codes 22 and 23 carry the format number and the dpi flag in the bits
    // of the parameter itself.
    const uintptr_t packed = reinterpret_cast<uintptr_t>(param);
    const int clip_format = static_cast<int>((packed >> 16) & 0xFFFF);
    const int clip_dpi = static_cast<int>(packed & 0xFFFF);

    switch (code) {
    case DIB_OP_LOAD: return dib_load_bmp(var, path, 0);
    case DIB_OP_LOAD_DPI: return dib_load_bmp(var, path, 1);
    case DIB_OP_SAVE: return dib_save_bmp(h, path, 0);
    case DIB_OP_SAVE_DPI: return dib_save_bmp(h, path, 1);
    case DIB_OP_CREATE: {
        if (!param) return DIB_ERR_NO_BITMAP;
        DibCreateArgs a;
        std::memcpy(&a, param, sizeof a);
        return dib_create(a.width, a.height, a.bit_count, a.x_ppm, a.y_ppm, a.colour_table, var);
    }
    case DIB_OP_FREE: return free_variable(var);
    case DIB_OP_DRAW: {
        if (!param) return DIB_ERR_DRAW;
        DibDrawArgs a;
        std::memcpy(&a, param, sizeof a);
        return dib_draw(a.device_context, a.x, a.y, a.width, a.height, h, a.angle);
    }
    case DIB_OP_ROTATE_CW: return dib_rotate(static_cast<DibHandle>(param), 90, var);
    case DIB_OP_ROTATE_CCW: return dib_rotate(static_cast<DibHandle>(param), -90, var);
    case DIB_OP_MIRROR: return dib_mirror(static_cast<DibHandle>(param), var);
    case DIB_OP_FLIP: return dib_flip(static_cast<DibHandle>(param), var);
    case DIB_OP_TO_CLIPBOARD: return dib_to_clipboard(h, clip_format, clip_dpi);
    case DIB_OP_FROM_CLIPBOARD: return dib_from_clipboard(var, clip_format, clip_dpi);
    case DIB_OP_GET_HEADER: return copy_header(h, param);
    case DIB_OP_WIDTH:
    case DIB_OP_HEIGHT:
    case DIB_OP_SIZE:
    case DIB_OP_WIDTH_TENTH_MM:
    case DIB_OP_HEIGHT_TENTH_MM:
    case DIB_OP_SIZE_TENTH_MM:
    case DIB_OP_XRES_CDPI:
    case DIB_OP_YRES_CDPI:
    case DIB_OP_RES_CDPI:
    case DIB_OP_CONVERT_RES: return handle_query(code, h, param);
    case DIB_OP_HDR_SIZE_TENTH_MM:
    case DIB_OP_HDR_RES_CDPI:
    case DIB_OP_HDR_PALETTE_ENTRIES:
    case DIB_OP_HDR_PIXEL_BYTES:
    case DIB_OP_HDR_DPI_SIZE_TENTH_MM:
    case DIB_OP_HDR_DPI_RES_CDPI: return header_query(code, subject, param);
    default: return DIB_UNKNOWN_OPERATION;
    }
}
