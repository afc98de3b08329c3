// Bitmap library: packed device-independent bitmaps in movable memory blocks,
// and the one operation dispatcher over them.
//
// A DibHandle's block holds, with no gaps: the information header (40 bytes
// for every bitmap this library makes), the colour table (4-byte entries:
// blue, green, red, reserved) and the pixel rows, each padded to 4 bytes,
// bottom-up when the height is positive, top-down when it is negative.
// C11 or C++, C linkage.
#ifndef TARVO_DIB_H
#define TARVO_DIB_H

// The standard headers for C and C++ come with platform.h.
#include "platform/platform.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef PlatMem DibHandle;

// The 40-byte information header, little-endian on disk and in memory.
typedef struct DibInfoHeader {
    uint32_t size;
    int32_t width;
    int32_t height;
    uint16_t planes;
    uint16_t bit_count;
    uint32_t compression;
    uint32_t image_size;
    int32_t x_ppm;
    int32_t y_ppm;
    uint32_t colours_used;
    uint32_t colours_important;
} DibInfoHeader;
#ifdef __cplusplus
static_assert(sizeof(DibInfoHeader) == 40, "information header is 40 bytes");
#else
_Static_assert(sizeof(DibInfoHeader) == 40, "information header is 40 bytes");
#endif

enum {
    DIB_HEADER_SIZE = 40,
    DIB_CORE_HEADER_SIZE = 12,
    DIB_DEFAULT_PPM = 3780,  // 96 dots per inch
};

enum {
    DIB_COMPRESSION_NONE = 0,
    DIB_COMPRESSION_RLE8 = 1,
    DIB_COMPRESSION_RLE4 = 2,
    // 16- or 32-bit pixels whose channels the masks behind the header place:
    // red, green and blue, and with ALPHA_BITFIELDS alpha too.
    DIB_COMPRESSION_BITFIELDS = 3,
    // The file's own JPEG or PNG data, image_size bytes of it where the
    // pixels would be.
    DIB_COMPRESSION_JPEG = 4,
    DIB_COMPRESSION_PNG = 5,
    DIB_COMPRESSION_ALPHA_BITFIELDS = 6,
};

// Status codes. 0 is success.
enum {
    DIB_OK = 0,
    DIB_UNKNOWN_OPERATION = 1,
    DIB_CLIP_NO_PRIVATE_DATA = 1,  // taking a private format that holds nothing
    DIB_ERR_NO_MEMORY = -1,
    DIB_ERR_NO_BITMAP = -2,
    DIB_ERR_LOCK = -3,
    DIB_ERR_STRETCH_MODE = -5,
    DIB_ERR_DRAW = -6,
    DIB_ERR_BIT_COUNT = -8,
    DIB_ERR_OPEN_READ = -10,
    DIB_ERR_OPEN_WRITE = -11,
    DIB_ERR_READ = -12,
    DIB_ERR_WRITE = -13,
    DIB_ERR_FILE_SIZE = -15,
    DIB_ERR_SEEK = -16,
    DIB_ERR_CLIP_OPEN = -20,
    DIB_ERR_CLIP_CLOSE = -21,
    DIB_ERR_CLIP_NO_DIB = -22,
    DIB_ERR_CLIP_NO_DATA = -23,
    DIB_ERR_CLIP_SET = -24,
    DIB_ERR_UNSUPPORTED = -25,
    DIB_ERR_ANGLE = -26,
    DIB_ERR_NO_VIEW = -111,
};

// A short English text for a status: "no error", "file cannot be opened
// for reading", ...; "unknown status" for others.
const char* dib_strerror(int status);

// Operation codes of dib_command.
enum {
    DIB_OP_LOAD = 1,
    DIB_OP_SAVE = 2,
    DIB_OP_CREATE = 5,
    DIB_OP_FREE = 6,
    DIB_OP_DRAW = 7,
    DIB_OP_ROTATE_CW = 8,
    DIB_OP_ROTATE_CCW = 9,
    DIB_OP_GET_HEADER = 10,
    DIB_OP_WIDTH = 11,
    DIB_OP_HEIGHT = 12,
    DIB_OP_SIZE = 13,
    DIB_OP_WIDTH_TENTH_MM = 14,
    DIB_OP_HEIGHT_TENTH_MM = 15,
    DIB_OP_SIZE_TENTH_MM = 16,
    DIB_OP_XRES_CDPI = 17,
    DIB_OP_YRES_CDPI = 18,
    DIB_OP_RES_CDPI = 19,
    DIB_OP_MIRROR = 20,
    DIB_OP_FLIP = 21,
    DIB_OP_TO_CLIPBOARD = 22,
    DIB_OP_FROM_CLIPBOARD = 23,
    DIB_OP_CONVERT_RES = 24,
    DIB_OP_LOAD_DPI = 25,
    DIB_OP_SAVE_DPI = 26,
    DIB_OP_HDR_SIZE_TENTH_MM = 100,
    DIB_OP_HDR_RES_CDPI = 101,
    DIB_OP_HDR_PALETTE_ENTRIES = 102,
    DIB_OP_HDR_PIXEL_BYTES = 103,
    DIB_OP_HDR_DPI_SIZE_TENTH_MM = 104,
    DIB_OP_HDR_DPI_RES_CDPI = 105,
};

// The one entry point. Subject and parameter depend on the code: a handle,
// the address of a handle variable, a header pointer, a wide path, an
// argument block, or a packed number carried in the pointer's bits.
int dib_command(int code, void* subject, void* param);

// Colour-table entries of a header (40-byte or larger, or a 12-byte core
// header): colours used when nonzero, else 2 / 16 / 256 for 1 / 4 / 8 bits.
int dib_palette_entries(const void* header);

// Bytes between a block's 40-byte header and its pixels: the masks of bit
// fields (three, or four with alpha), then 4 per colour-table entry.
int64_t dib_table_bytes(const DibInfoHeader* hdr);
// Red, green, blue and alpha masks of 16- and 32-bit pixels within their
// little-endian word: the stored bit fields (table is the block's byte 40),
// or 5-5-5 for plain 16-bit pixels. False for plain 32-bit pixels (blue,
// green, red and an unused byte) and every other depth.
bool dib_channel_masks(const DibInfoHeader* hdr, const uint8_t* table, uint32_t masks[4]);

// Row stride in bytes, padded to 4; computed in 64 bits, so callers check it
// against their limits before allocating.
int64_t dib_stride(int64_t width, int64_t bit_count);
// Pixel array bytes, stride x rows, or -1 when a size is negative or the
// stride or the array would exceed 2^31 - 1 bytes (the library's limit).
int64_t dib_pixel_bytes(int64_t width, int64_t bit_count, int64_t rows);

// Units of the header fields, computed in 64 bits and clamped to 32.
int32_t dib_dpi_from_ppm(int32_t ppm);   // dots per inch, (ppm * 100 + 1968) / 3937
int32_t dib_ppm_from_dpi(int32_t dpi);   // pixels per metre, (dpi * 3937 + 50) / 100
int32_t dib_cdpi_from_ppm(int32_t ppm);  // hundredths of a dot per inch; ppm 0 is 3780
// Extent of a number of pixels in tenths of a millimetre; ppm 0 is 3780.
int32_t dib_tenth_mm(int64_t pixels, int32_t ppm);
// Rows of a height whose sign gives the row order.
int64_t dib_rows(int32_t height);

// A locked view of a bitmap.
typedef struct DibView {
    int32_t width;
    int32_t rows;
    int32_t row_bytes;   // unpadded
    int32_t stride;
    int32_t padding;
    int32_t bit_count;
    int32_t x_res;
    int32_t y_res;
    DibHandle handle;
    int64_t total_size;
    DibInfoHeader* header;
    uint8_t* colours;
    int32_t colour_bytes;
    uint8_t* pixels;
    int64_t pixel_bytes;
    // Pixel bytes read from a file; the rest of pixel_bytes were missing
    // from it and read as 0. pixel_bytes for every other bitmap.
    int64_t held_bytes;
} DibView;
int dib_view_open(DibView* view, DibHandle h);  // 0, -111 or -3
void dib_view_close(DibView* view);
// The top `rows` rows of h will not be read again before it is freed: their
// memory may go back to the system, and they may then read as zero.
void dib_rows_discard(DibHandle h, int64_t rows);

// Creates a zero-filled bitmap; colour_table (when not null, for 1, 2, 4 and
// 8 bits) supplies the table's bytes. 16 bits and unknown counts give -8.
int dib_create(int32_t width, int32_t height, int bit_count, int32_t x_ppm,
               int32_t y_ppm, const void* colour_table, DibHandle* out);

int dib_describe(DibHandle h, int kind, char* text, size_t text_size);

// Locks the block and returns the pixel array (and the header through
// header_out when given); null when the lock fails.
uint8_t* dib_lock_bits(DibHandle h, DibInfoHeader** header_out);
void dib_unlock(DibHandle h);

// Why the last load on this thread failed, finer than its status: what was
// found in the file. DIB_CAUSE_NONE after a successful load.
enum {
    DIB_CAUSE_NONE = 0,
    DIB_CAUSE_NOT_FOUND = 1,         // no such file
    DIB_CAUSE_PERMISSION = 2,        // no permission to read it
    DIB_CAUSE_IS_DIRECTORY = 3,      // a directory
    DIB_CAUSE_OPEN = 4,              // the file does not open for another reason
    DIB_CAUSE_NOT_BMP = 5,           // no "BM" signature, or too short for one
    DIB_CAUSE_FILE_SIZE_FIELD = 6,   // the file header's size field is too small
    DIB_CAUSE_NOT_SEEKABLE = 7,      // a pipe or device rather than a file
    DIB_CAUSE_TRUNCATED = 8,         // the file ends inside its headers or table
    DIB_CAUSE_OS2_HEADER = 9,        // no longer given: every OS/2 header is read
    DIB_CAUSE_HEADER_SIZE = 10,      // an information header of unknown size
    DIB_CAUSE_BITFIELDS = 11,        // bit-field masks that cannot be read
    DIB_CAUSE_EMBEDDED = 12,         // damaged JPEG or PNG data inside the BMP
    DIB_CAUSE_COMPRESSION = 13,      // another compression method
    DIB_CAUSE_RLE_DEPTH = 14,        // run-length data of the wrong bit count
    DIB_CAUSE_RLE_TOP_DOWN = 15,     // run-length data stored top-down
    DIB_CAUSE_BIT_COUNT = 16,        // a bit count other than 1, 2, 4, 8, 16, 24, 32
    DIB_CAUSE_WIDTH = 17,            // a negative width
    DIB_CAUSE_HEIGHT = 18,           // a height of -2^31
    DIB_CAUSE_TOO_LARGE = 19,        // pixels beyond the library's 2 GiB
    DIB_CAUSE_NO_MEMORY = 20,        // out of memory
    DIB_CAUSE_READ = 21,             // reading failed (the file changed or a device failed)
    DIB_CAUSE_JPEG_KIND = 22,        // embedded JPEG coding that PDF cannot carry
    DIB_CAUSE_EMBEDDED_SIZE = 23,    // embedded JPEG or PNG of another size than the header's
    DIB_CAUSE_OS2_DEPTH = 24,        // OS/2 Huffman or RLE24 data at another bit count
};
int dib_load_cause(void);
// Rows of the last bitmap loaded on this thread that its file did not hold
// whole (they read as colour 0); 0 when the file was complete.
int64_t dib_load_rows_missing(void);
// Words for a cause: "bit-field colour masks are not supported", ...
const char* dib_cause_text(int cause);

// BMP files. On failure *var is null and nothing is leaked.
int dib_load_bmp(DibHandle* var, const wchar_t* path, int dpi_flag);
// The same from bytes of a whole BMP file already in memory.
int dib_load_bmp_memory(DibHandle* var, const uint8_t* data, size_t size,
                        int dpi_flag);
// The same, handing the bitmap over before its pixels are in: a second
// thread reads the rows, top row first, while the caller already works on
// those that have come in. Whoever reads its pixels waits for them with
// dib_rows_wait; DIB_OP_FREE stops the reading first. *ahead is null when
// the bitmap was read whole (small, run-length, not a plain file, or no
// thread to be had); otherwise the caller ends it with dib_ahead_finish,
// from the thread that uses the bitmap.
typedef struct DibAhead DibAhead;
int dib_load_bmp_ahead(DibHandle* var, const wchar_t* path, int dpi_flag, DibAhead** ahead);
// Waits until the top `rows` rows of h are in place. False when reading
// them failed; true at once for a bitmap not being read ahead.
bool dib_rows_wait(DibHandle h, int64_t rows);
// Reads what is left and frees *ahead (null is accepted). DIB_OK, or the
// status a whole load would have given (DIB_ERR_READ) with its cause in
// *cause; the bitmap then holds rows that were never read.
int dib_ahead_finish(DibAhead** ahead, int* cause);
// A plain bitmap file whose rows are read through a window of a few
// hundred kilobytes as they are asked for, top row first (a bottom-up file
// from its end), so that no bitmap-sized block is made. The header and
// table are loaded as by dib_load_bmp; the rows are read by whoever asks.
// A file whose pixels are coded (run-length, Huffman, JPEG, PNG) is loaded
// whole into *var as dib_load_bmp loads it, with *rows null; otherwise
// *var is null and *rows holds the file open until dib_rows_close.
typedef struct DibRows DibRows;
int dib_load_bmp_rows(DibHandle* var, const wchar_t* path, int dpi_flag, DibRows** rows);
// The bitmap's header and table as a view without pixels (pixels and
// handle null), valid until the rows are closed.
void dib_rows_view(DibRows* rows, DibView* view);
// Brings top row n - 1 into the window, which may let earlier rows go.
// False when reading failed (then and for every later call).
bool dib_rows_need(DibRows* rows, int64_t n);
// Top row y, which the last dib_rows_need brought in (or kept).
const uint8_t* dib_rows_row(const DibRows* rows, int64_t y);
// Closes the file and frees *rows (null is accepted): DIB_OK, or the
// status a whole load would have given (DIB_ERR_READ) with its cause in
// *cause when a read failed.
int dib_rows_close(DibRows** rows, int* cause);
int dib_save_bmp(DibHandle h, const wchar_t* path, int dpi_flag);
int dib_decode_rle(DibHandle* var);

// JPEG and PNG data a BMP file holds (compressions 4 and 5), which the
// loader keeps as it is where PDF can carry it: baseline, extended or
// progressive JPEG of 8-bit grey or colour, and non-interlaced 8-bit grey,
// colour or palette PNG without transparency. Other PNG data is decoded
// into an ordinary bitmap at loading.
typedef struct DibJpegInfo {
    int32_t width;
    int32_t height;
    int components;  // 1 grey, 3 colour
} DibJpegInfo;
// False for data that is not such a JPEG.
bool dib_jpeg_info(const uint8_t* data, size_t n, DibJpegInfo* out);

typedef struct DibPngInfo {
    int32_t width;
    int32_t height;
    int depth;        // bits per sample
    int colour_type;  // 0 grey, 2 colour, 3 palette, 4 and 6 with alpha
    bool interlaced;
    bool transparency;  // a tRNS chunk
    const uint8_t* palette;  // red, green, blue per entry, in the data
    int palette_entries;
    uint64_t idat_bytes;  // the compressed image data, all chunks together
} DibPngInfo;
// False when the chunks are damaged (a bad CRC included) or the header
// or the image data is missing.
bool dib_png_info(const uint8_t* data, size_t n, DibPngInfo* out);
// True for PNG data PDF carries as it is, with PNG predictors.
bool dib_png_carried(const DibPngInfo* info);
// Copies the image data of every IDAT chunk, in order, to out (idat_bytes).
void dib_png_idat(const uint8_t* data, size_t n, uint8_t* out);

// Transforms and transfers.
//
// Rotation (angle a multiple of 90, clockwise for positive angles), mirror
// (left to right) and flip (top to bottom) make a new bitmap of bit count 1,
// 4, 8, 24 or 32 with the source's colour table and row order; a quarter
// turn swaps the sizes and the resolutions. On success the new bitmap is
// stored in *var, and a source that *var held is freed. On failure nothing
// new survives and *var is cleared unless it holds the source, which then
// stays as it was. Statuses: -26 angle, -2 no source or null var, -3 source
// not readable as a bitmap, -8 bit count 16 (or unknown), -25 bit count 2,
// -1 out of memory.
int dib_rotate(DibHandle source, int angle, DibHandle* var);
int dib_mirror(DibHandle source, DibHandle* var);
int dib_flip(DibHandle source, DibHandle* var);
// Copies a whole block into a new one. res_mode 1 converts the resolution
// fields from dots per inch to pixels per metre, 2 the reverse, others keep
// them (fields a short block lacks are left alone). The source's bit count
// goes to *bit_count_out when given. 0, -2 (null or empty source, null
// out), -3, -1.
int dib_copy(PlatMem source, DibHandle* out, int res_mode, int* bit_count_out);
// Draws the whole bitmap, turned by angle first when it is not 0, into the
// rectangle x, y, width, height of a PlatSurface (passed as the device
// context), area-averaged where it shrinks. -2 null handle, -3 unreadable
// bitmap, -5 null surface, -6 a bitmap the surface cannot draw (2 bits),
// or the status of the rotation.
int dib_draw(void* device_context, int32_t x, int32_t y, int32_t width,
             int32_t height, DibHandle h, int angle);
// A new bottom-up 24-bit bitmap holding what the surface shows.
int dib_from_surface(const PlatSurface* surface, DibHandle* out);
// Clipboard transfer: format 0 is the standard bitmap format (replacing
// everything on the clipboard), n names the private format "Kesti#<n>"
// (other formats stay). With dpi_flag the handle's resolutions are dots per
// inch; the clipboard always holds pixels per metre. To: -20 open, -24
// register or set, -21 close, or dib_copy's status. From: -20, -22 no
// standard bitmap on the clipboard (asked for private formats too), -23
// no standard data or no registration, 1 the private format is empty, -21,
// -8 bit count, -25 compressed, -2 a block too short for its header; on
// failure *var is null. A header larger than 40 bytes is cut to 40.
int dib_to_clipboard(DibHandle h, int format, int dpi_flag);
int dib_from_clipboard(DibHandle* var, int format, int dpi_flag);

// Argument block of DIB_OP_CREATE: seven 32-bit words, the first unread.
typedef struct DibCreateArgs {
    int32_t unused;
    int32_t width;
    int32_t height;
    int32_t bit_count;
    int32_t x_ppm;
    int32_t y_ppm;
    const void* colour_table;
} DibCreateArgs;

// Argument block of DIB_OP_DRAW: the first word is unread; the device
// context is a PlatSurface*.
typedef struct DibDrawArgs {
    int32_t unused;
    void* device_context;
    int32_t x;
    int32_t y;
    int32_t width;
    int32_t height;
    int32_t angle;
} DibDrawArgs;

#ifdef __cplusplus
}
#endif

#endif
