// JPEG coding of a bitmap through libjpeg's compression API.
//
// Pixels reach the library in the bitmap's own blue-green-red order through
// libjpeg-turbo's extended input colour spaces, so 24- and 32-bit rows are
// handed over in place and palette rows are expanded to BGR triplets.
//
// Output goes to a destination that fills the caller's buffer first and,
// once that is full, continues in a buffer from the host that doubles as
// needed; the caller receives that buffer instead of its own. An image
// with optimised tables is coded with the standard ones into a buffer of
// its own first, and then coded again from there (codec/huffman.cpp), so
// that its coefficients are never all in memory.
//
// libjpeg reports errors by calling error_exit, which here longjmps back to
// dct_encode. Nothing in the jump region has a destructor; everything that
// needs releasing sits in plain structs or volatile locals and is released
// at one label.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// jpeglib.h needs size_t and FILE declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "codec/codec_private.h"

namespace {

struct JpegErrors {
    jpeg_error_mgr pub;  // first: libjpeg sees only this part
    jmp_buf jump;
    int code;
    char message[JMSG_LENGTH_MAX];
};

// Formats into the message buffer; nothing is printed, so warnings vanish.
void jpeg_keep_message(j_common_ptr cinfo) {
    JpegErrors* e = reinterpret_cast<JpegErrors*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, e->message);
}

[[noreturn]] void jpeg_jump_out(j_common_ptr cinfo) {
    JpegErrors* e = reinterpret_cast<JpegErrors*>(cinfo->err);
    (*cinfo->err->output_message)(cinfo);
    e->code = e->pub.msg_code != 0 ? e->pub.msg_code : 1;
    jpeg_destroy(cinfo);
    std::longjmp(e->jump, 1);
}

struct JpegSink {
    jpeg_destination_mgr pub;  // first: libjpeg sees only this part
    const CodecHost* host;
    uint8_t* caller;
    size_t caller_capacity;
    uint8_t* scratch;  // taken from the host as the caller's buffer, when asked for
    bool want_scratch;
    uint8_t* grown;  // null while the data fits the caller's buffer
    size_t grown_capacity;
    size_t length;
};

// Moves on to a larger buffer: called when the current one is full.
void sink_grow(j_compress_ptr cinfo) {
    JpegSink* s = reinterpret_cast<JpegSink*>(cinfo->dest);
    const size_t used = s->grown ? s->grown_capacity : s->caller_capacity;
    // The length goes back through a 32-bit size.
    const size_t limit = UINT32_MAX;
    size_t want = used < 2048 ? 4096 : used * 2;
    if (want > limit) want = limit;
    if (want <= used) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 1);
    uint8_t* bigger;
    if (s->grown) {
        bigger = static_cast<uint8_t*>(codec_realloc(s->host, s->grown, used, want));
    } else {
        bigger = static_cast<uint8_t*>(codec_alloc(s->host, want));
        if (bigger && used > 0) std::memcpy(bigger, s->caller, used);
    }
    if (!bigger) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 2);
    s->grown = bigger;
    s->grown_capacity = want;
    s->pub.next_output_byte = bigger + used;
    s->pub.free_in_buffer = want - used;
}

void sink_init(j_compress_ptr cinfo) {
    JpegSink* s = reinterpret_cast<JpegSink*>(cinfo->dest);
    if (s->want_scratch && !s->scratch && s->caller_capacity > 0) {
        s->scratch = static_cast<uint8_t*>(codec_alloc(s->host, s->caller_capacity));
        if (!s->scratch) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 4);
        s->caller = s->scratch;
    }
    s->pub.next_output_byte = s->caller;
    s->pub.free_in_buffer = s->caller_capacity;
    // The library stores a byte before it checks the room left.
    if (s->caller_capacity == 0) sink_grow(cinfo);
}

boolean sink_empty(j_compress_ptr cinfo) {
    sink_grow(cinfo);
    return TRUE;
}

void sink_term(j_compress_ptr cinfo) {
    JpegSink* s = reinterpret_cast<JpegSink*>(cinfo->dest);
    const size_t capacity = s->grown ? s->grown_capacity : s->caller_capacity;
    s->length = capacity - s->pub.free_in_buffer;
}

// Palette entries as BGR triplets; indices past the table give black, so a
// short table never sends a read past the bitmap's block.
void load_palette(const uint8_t* table, int entries, int bit_count, uint8_t bgr[256][3]) {
    std::memset(bgr, 0, 256 * 3);
    int n = entries < (1 << bit_count) ? entries : (1 << bit_count);
    for (int i = 0; i < n; ++i) std::memcpy(bgr[i], table + 4 * i, 3);
}

void expand_row(const uint8_t* src, int bit_count, size_t width, const uint8_t bgr[256][3],
                uint8_t* dst) {
    for (size_t x = 0; x < width; ++x) {
        unsigned index;
        if (bit_count == 1)
            index = (src[x >> 3] >> (7 - (x & 7))) & 1u;
        else if (bit_count == 4)
            index = (src[x >> 1] >> ((x & 1) ? 0 : 4)) & 0xFu;
        else
            index = src[x];
        std::memcpy(dst + 3 * x, bgr[index], 3);
    }
}

// Colour space, size and quality; true when the tables are to be
// optimised. The library may jump out of here.
bool configure(j_compress_ptr cinfo, const CodecHost* host, const CodecImage* image,
               bool grey_input, int quality) {
    if (grey_input) {
        codec_trace(host, "=JPEG: JCS_GRAYSCALE\n");
        cinfo->input_components = 1;
        cinfo->in_color_space = JCS_GRAYSCALE;
    } else if (codec_image_converted(image)) {
        codec_trace(host, "=JPEG: JCS_RGB\n");
        cinfo->input_components = 3;
        cinfo->in_color_space = JCS_RGB;
    } else {
        codec_trace(host, "=JPEG: JCS_RGB\n");
        cinfo->input_components = image->bit_count == 32 ? 4 : 3;
        cinfo->in_color_space = image->bit_count == 32 ? JCS_EXT_BGRX : JCS_EXT_BGR;
    }
    cinfo->image_width = JDIMENSION(uint32_t(image->width));
    cinfo->image_height = JDIMENSION(uint32_t(image->rows));
    jpeg_set_defaults(cinfo);

    codec_trace(host, "=JPEG: Set quality to %d\n", quality);
    jpeg_set_quality(cinfo, quality, TRUE);
    // Tables are optimised as libjpeg does it when it holds the whole
    // image's coefficients, about as much memory as the pixels themselves;
    // a file whose header claims far more than it holds gets the standard
    // tables, as it always has.
    const uint64_t blocks = ((uint64_t(uint32_t(image->width)) + 7) / 8) *
                            ((uint64_t(uint32_t(image->rows)) + 7) / 8);
    const uint64_t coefficient_bytes = blocks * 128 * (grey_input ? 1 : 3) / (grey_input ? 1 : 2);
    const uint64_t held = uint64_t(image->stride) * uint64_t(uint32_t(image->rows)) -
                          uint64_t(image->missing_bytes);
    cinfo->optimize_coding = FALSE;
    cinfo->write_JFIF_header = FALSE;
    cinfo->write_Adobe_marker = TRUE;
    return coefficient_bytes <= (uint64_t(256) << 20) + 32 * held;
}

// Hands every row over, top row first: 8-bit grey, 24- and 32-bit rows in
// place, palette rows expanded through a scanline whose address goes to
// *scanline at once, so the caller frees it even after a jump.
void feed_rows(j_compress_ptr cinfo, const CodecHost* host, const CodecImage* image,
               bool grey_input, uint8_t* volatile* scanline) {
    const int bit_count = image->bit_count;
    const size_t width = size_t(uint32_t(image->width));
    const size_t rows = size_t(uint32_t(image->rows));
    // start_compress has checked the dimensions against the library's limit.
    if (!grey_input && codec_image_converted(image)) {
        // Other layouts go through the converter, whose tables share the
        // block of the scanline.
        uint8_t* block = static_cast<uint8_t*>(codec_alloc(host, sizeof(CodecConverter) + width * 3));
        *scanline = block;
        if (!block) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 3);
        CodecConverter* converter = reinterpret_cast<CodecConverter*>(block);
        uint8_t* line = block + sizeof(CodecConverter);
        codec_converter_init(converter, image);
        for (size_t r = 0; r < rows; ++r) {
            if (!codec_image_wait(image, int64_t(r + 1))) ERREXIT(cinfo, JERR_INPUT_EOF);
            codec_convert_rgb(converter, int64_t(r), line);
            codec_image_discard(image, int64_t(r + 1));
            JSAMPROW in = line;
            jpeg_write_scanlines(cinfo, &in, 1);
        }
    } else if (grey_input || bit_count == 24 || bit_count == 32) {
        if (bit_count != 32) codec_trace(host, "=JPEG: Write 24C or 8G image data\n");
        for (size_t r = 0; r < rows; ++r) {
            if (!codec_image_wait(image, int64_t(r + 1))) ERREXIT(cinfo, JERR_INPUT_EOF);
            JSAMPROW in = const_cast<JSAMPROW>(codec_image_row(image, int64_t(r)));
            jpeg_write_scanlines(cinfo, &in, 1);
            codec_image_discard(image, int64_t(r + 1));
        }
    } else if (bit_count == 1 || bit_count == 4 || bit_count == 8) {
        uint8_t palette[256][3];
        load_palette(image->table, image->entries, bit_count, palette);
        uint8_t* line = static_cast<uint8_t*>(codec_alloc(host, width * 3));
        *scanline = line;
        if (!line) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 3);
        for (size_t r = 0; r < rows; ++r) {
            if (!codec_image_wait(image, int64_t(r + 1))) ERREXIT(cinfo, JERR_INPUT_EOF);
            expand_row(codec_image_row(image, int64_t(r)), bit_count, width, palette, line);
            codec_image_discard(image, int64_t(r + 1));
            JSAMPROW in = line;
            jpeg_write_scanlines(cinfo, &in, 1);
        }
    }
    // Any other depth hands over no rows, and finishing reports too few.
}

}  // namespace

int codec_dct_encode(const CodecHost* host, const CodecImage* image, int quality, int grey,
                     uint8_t** output, uint32_t* size) {
    codec_trace(host, "=JPEG: version: 8c  16-Jan-2011\n");

    // Everything the jump may come back to is declared here, before setjmp.
    JpegErrors errors;
    jpeg_compress_struct cinfo;
    JpegSink sink;
    std::memset(&errors, 0, sizeof errors);
    std::memset(&cinfo, 0, sizeof cinfo);
    std::memset(&sink, 0, sizeof sink);
    uint8_t* volatile scanline = nullptr;
    const bool grey_input = grey && image->bit_count == 8;

    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = jpeg_jump_out;
    errors.pub.output_message = jpeg_keep_message;
    codec_trace(host, "=JPEG: %s\n", errors.pub.jpeg_message_table[JMSG_COPYRIGHT]);

    sink.host = host;
    sink.caller = *output;
    sink.caller_capacity = *size;
    sink.pub.init_destination = sink_init;
    sink.pub.empty_output_buffer = sink_empty;
    sink.pub.term_destination = sink_term;

    if (setjmp(errors.jump)) goto failed;

    jpeg_create_compress(&cinfo);
    cinfo.dest = &sink.pub;
    sink.want_scratch = configure(&cinfo, host, image, grey_input, quality);
    codec_trace(host, "=JPEG: Start compress\n");
    jpeg_start_compress(&cinfo, TRUE);
    codec_trace(host, "=JPEG: Feed compress\n");
    feed_rows(&cinfo, host, image, grey_input, &scanline);
    if (host && host->rows_done) host->rows_done(host->opaque);
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    codec_free(host, scanline);
    if (sink.want_scratch) {
        uint8_t* coded = sink.grown ? sink.grown : sink.scratch;
        const int rc = codec_jpeg_optimise(host, coded, sink.length, output, size);
        codec_free(host, sink.grown);
        codec_free(host, sink.scratch);
        if (rc == CODEC_OK) return CODEC_OK;
        const int code = rc == CODEC_OPTIMISE_NO_MEMORY ? JERR_OUT_OF_MEMORY : JERR_HUFF_CLEN_OVERFLOW;
        std::snprintf(errors.message, sizeof errors.message, errors.pub.jpeg_message_table[code], 5);
        codec_trace(host, "PDF:ERROR:JPG:%s\n", errors.message);
        return code;
    }
    if (sink.grown) *output = sink.grown;
    *size = uint32_t(sink.length);
    return CODEC_OK;

failed:
    codec_trace(host, "PDF:ERROR:JPG:%s\n", errors.message);
    codec_free(host, scanline);
    codec_free(host, sink.grown);
    codec_free(host, sink.scratch);
    return errors.code;
}
