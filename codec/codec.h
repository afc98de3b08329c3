// Image encoders: CCITT fax (T.4 / T.6), DCT through libjpeg, Flate through
// libdeflate (zlib decodes). A leaf library: the encoders take plain pixel descriptions, caller
// buffers and, where they need more, a CodecHost for memory and trace lines;
// they know nothing of the PDF writer or the bitmap library.
#ifndef TARVO_CODEC_H
#define TARVO_CODEC_H

#include <cstddef>
#include <cstdint>

// Statuses. CCITT and DCT failures are positive, Flate failures are zlib's
// own negative statuses.
enum {
    CODEC_OK = 0,
    CODEC_DCT_FAILED = 1,              // libjpeg failed without a message code
    CODEC_CCITT_FULL_1D = 2,           // capacity reached in 1-D coding
    CODEC_CCITT_FULL_2D = 3,           // capacity reached in 2-D coding
    CODEC_CCITT_MIXED_UNSUPPORTED = 4,  // K > 0
    CODEC_CCITT_FULL_EOFB = 5,         // capacity reached in the end codes
    CODEC_FLATE_BAD_ARGUMENT = -2,     // Z_STREAM_ERROR
    CODEC_FLATE_NO_MEMORY = -4,        // Z_MEM_ERROR
    CODEC_FLATE_FULL = -5,             // Z_BUF_ERROR: the output does not fit
    CODEC_SOURCE_FAILED = -100,        // the caller could not hand over its data
};

// What an encoder takes from its caller, in the manner of zlib's zalloc:
// memory (alloc/realloc/free with the opaque pointer; realloc may be null),
// a place for its trace lines (null: none) and word that the encoder has
// read the last row of its image, which the caller may free from then on
// (null: not wanted). A null host means malloc and nothing else.
struct CodecHost {
    void* (*alloc)(void* opaque, size_t n);
    void* (*realloc)(void* opaque, void* block, size_t n);
    void (*free)(void* opaque, void* block);
    void (*trace)(void* opaque, const char* line);  // one line, ending "\n"
    void (*rows_done)(void* opaque);
    void* opaque;
};

// A read-only raster: a packed bitmap's rows as they lie in memory. The
// table holds entries of 4 bytes (blue, green, red, reserved); rows of 1,
// 2, 4 and 8 bits index it (indices past its end are black), rows of 24
// and 32 bits are blue, green, red (and one unused byte) per pixel, and
// rows of 16 bits, or of 32 bits with masks, are little-endian words
// whose channels the masks place.
struct CodecImage {
    int32_t width;
    int32_t rows;
    bool top_down;  // stored row 0 is the top row
    int64_t stride;
    int bit_count;
    const uint8_t* table;
    int entries;
    const uint8_t* pixels;
    // Rows that are still arriving: wait(source, n) returns once the top n
    // rows are in place, false when they never will be. Null: all are in.
    bool (*wait)(const void* source, int64_t rows);
    // Rows that are read once: after reading the top n rows the encoder may
    // call discard(source, n), and never reads them again. Null: not wanted.
    void (*discard)(const void* source, int64_t rows);
    const void* source;
    // Red, green, blue and alpha masks (alpha 0: none); all 0 for the
    // plain layouts.
    uint32_t masks[4];
    // The converter's colour is the pixel's composited onto white.
    bool flatten_alpha;
    // Bytes of the pixel array that a cut-short file never held (they read
    // as 0): an encoder's memory follows what is held, not what is claimed.
    int64_t missing_bytes;
    // Rows read through a window rather than lying in pixels: row(source,
    // y) gives top row y once wait(source, y + 1) has returned, valid until
    // wait is called for another row.
    const uint8_t* (*row)(const void* source, int64_t y);
};

inline bool codec_image_wait(const CodecImage* im, int64_t rows) {
    return !im->wait || im->wait(im->source, rows);
}

// Rows are given up in runs of this many, each a few hundred kilobytes on
// a page-sized image.
constexpr int64_t CODEC_DISCARD_ROWS = 64;

inline void codec_image_discard(const CodecImage* im, int64_t rows) {
    if (im->discard && (rows % CODEC_DISCARD_ROWS == 0 || rows == im->rows))
        im->discard(im->source, rows);
}

// Row y counted from the top of the picture.
inline const uint8_t* codec_image_row(const CodecImage* im, int64_t y) {
    if (im->row) return im->row(im->source, y);
    const int64_t stored = im->top_down ? y : im->rows - 1 - y;
    return im->pixels + stored * im->stride;
}

// Rows in the layouts the encoders take, from any stored layout: RGB (3
// bytes a pixel, each channel scaled to 8 bits as round(v * 255 / max))
// and alpha (1 byte a pixel, 255 where the image has none).
struct CodecConverter {
    const CodecImage* image;
    int shift[4];
    uint32_t max[4];
    uint8_t scale[4][4096];  // channels of up to 12 bits; wider ones are computed
};
// Whether rows must go through the converter: 2 and 16 bits, bit fields.
bool codec_image_converted(const CodecImage* im);
void codec_converter_init(CodecConverter* c, const CodecImage* im);
void codec_convert_rgb(const CodecConverter* c, int64_t y, uint8_t* rgb);
void codec_convert_alpha(const CodecConverter* c, int64_t y, uint8_t* alpha);

// Codes packed rows ((columns + 7) / 8 bytes each, 1 = white) with K < 0
// (Group 4) or K = 0 (Modified Huffman). space: capacity in, length out on
// success; unchanged on failure. The parameter line goes to the host's
// trace. Returns CODEC_OK or a CODEC_CCITT_ status.
int32_t codec_ccitt_encode(const CodecHost* host, uint8_t* output, uint32_t* space,
                           const uint8_t* data, int32_t input_length, int32_t k,
                           int32_t byte_align, int32_t columns, int32_t rows,
                           int32_t black_is_1);
// The same without the parameter line, telling in *rows_bits how many bits
// the rows took (UINT64_MAX when they did not fit), so that a caller can
// tell what a smaller capacity would have given.
int32_t codec_ccitt_encode_measured(uint8_t* output, uint32_t* space, const uint8_t* data,
                                    int32_t k, int32_t byte_align, int32_t columns,
                                    int32_t rows, uint64_t* rows_bits);
// The status a run with this capacity would have returned, from the rows'
// bits of a run with a capacity at least as large; on CODEC_OK *space is
// the length.
int32_t codec_ccitt_result_for(uint64_t rows_bits, int32_t k, uint32_t capacity,
                               uint32_t* space);
// The parameter line a run with this capacity traces.
void codec_ccitt_trace(const CodecHost* host, uint32_t space, int32_t k, int32_t byte_align,
                       int32_t columns, int32_t rows, int32_t black_is_1);
// The same as codec_ccitt_encode, with its parameter line on standard output.
int32_t ccitt_encode(uint8_t* output, uint32_t* space, const uint8_t* data,
                     int32_t input_length, int32_t k, int32_t byte_align,
                     int32_t columns, int32_t rows, int32_t black_is_1);

// Decodes one-dimensional Modified Huffman rows, most significant bit
// first, into packed rows (stride bytes apart) of columns pixels: black
// runs set their bits, white runs leave them. Fill bits and EOL codes may
// come before any row. Returns the rows decoded; it stops at the first
// bits that match no code, leaving the rest of the rows as they were.
int64_t codec_mh_decode(const uint8_t* data, size_t n, uint8_t* rows, int64_t stride,
                        int32_t columns, int64_t row_count);

// JPEG-codes an image of 1, 4, 8, 24 or 32 bits (grey: an 8-bit image is
// coded as one grey component from its indices). *output is the caller's
// buffer and *size its capacity. On success *size is the JPEG length; when
// the data outgrew the caller's buffer, *output is replaced by a larger
// buffer taken from the host that the caller then owns and frees through
// it. Returns CODEC_OK, or libjpeg's message code (CODEC_DCT_FAILED when
// that is 0); libjpeg's message is traced.
int codec_dct_encode(const CodecHost* host, const CodecImage* image, int quality, int grey,
                     uint8_t** output, uint32_t* size);

// The most a zlib stream of n bytes can take (compressBound's figure).
uint64_t codec_flate_bound(uint64_t n);
// Decodes a zlib stream into dst; *size is the capacity in, the length out.
// CODEC_OK or a CODEC_FLATE_ status.
int codec_inflate(uint8_t* dst, uint32_t* size, const uint8_t* src, uint32_t src_length);
// The same a piece at a time: codec_inflater_read fills out with up to max
// bytes (*got of them; 0 at the end) and returns CODEC_OK or a
// CODEC_FLATE_ status. The source stays the caller's until the free.
struct CodecInflater;
CodecInflater* codec_inflater_new(const uint8_t* src, uint32_t src_length);
int codec_inflater_read(CodecInflater* in, uint8_t* out, size_t max, size_t* got);
void codec_inflater_free(CodecInflater* in);

// zlib stream of the whole source at the default level into dst; *size is
// the capacity in, the produced length out. CODEC_OK or a CODEC_FLATE_
// status (CODEC_FLATE_FULL when it does not fit).
int codec_flate(uint8_t* dst, uint32_t* size, const uint8_t* src, uint32_t src_length);

// Flate of a large source in two parts coded apart, perhaps at the same
// time, and joined into one zlib stream: the second part starts without the
// first's window, which costs a few bytes. codec_deflate_part codes n
// bytes of src as raw deflate into out (room bytes) and takes their
// Adler-32; a part that more_follows then has its last block reopened,
// which takes a walk over its blocks (about a third of the coding's time
// on photographs). False when they do not fit or memory runs out.
struct CodecDeflatePart {
    const uint8_t* src;
    size_t n;
    uint8_t* out;
    size_t room;
    bool more_follows;
    size_t length;    // out
    uint32_t adler;   // out
    int unused_bits;  // out: of the last byte, for a part that more_follows
};
size_t codec_deflate_part_bound(size_t n);
bool codec_deflate_part(CodecDeflatePart* part);
// Joins both parts into one zlib stream without moving the second: the
// first, which more_follows, must have been coded at dst + 2. dst gets the
// zlib header before it and an empty stored block after it (*size: the
// capacity for the whole stream in, the length of dst's bytes out); the
// whole source's Adler-32 goes into the 4 bytes after the second's data.
// The stream is dst's bytes, then second->length + 4 bytes of second->out.
// CODEC_OK, CODEC_FLATE_FULL (the whole exceeds the capacity, or the
// second's room lacks the 4 bytes), or CODEC_FLATE_BAD_ARGUMENT for a first
// part not coded so.
int codec_flate_join(uint8_t* dst, uint32_t* size, const CodecDeflatePart* first,
                     const CodecDeflatePart* second);

#endif
