// Image XObjects, in four steps: classify the bitmap and choose its
// encoding, prepare the samples in PDF order, encode them (with the
// CCITT-against-Flate trial for bilevel images) and emit the stream object.
#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>

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

// Data of the file carried into the PDF as it is.
enum Carried { CARRIED_NONE, CARRIED_JPEG, CARRIED_PNG };

// What classification decides about one bitmap.
struct ImagePlan {
    CodecImage pixels;  // valid while the bitmap's view is open
    ImageClass cls;
    int grey;
    int invert;
    int entries;
    uint8_t table[4 * 256];  // copied: the object is written after the unlock
    int32_t hdpi;
    int32_t vdpi;
    int encoding;
    int quality;
    int64_t row_bytes;  // of the prepared samples
    int64_t u;          // bytes of the prepared samples (for DCT, of its input)
    Carried carried;
    int png_colours;    // samples a pixel of carried PNG data
    CodecConverter converter;  // of pixels, for layouts the encoders do not read
};

// Encoded stream data: a pdfw_alloc block of which p bytes count, the last
// tail_p of them in a second block (Flate coded in two parts).
struct Encoded {
    uint8_t* data;
    int64_t p;
    int encoding;  // the final one: CCITT may give way to Flate
    uint8_t* tail;
    int64_t tail_p;
};

}  // namespace

// An image encoded apart from the document's other work, perhaps on another
// thread: it reads the document's settings and counts its memory, but keeps
// its own failure and trace lines until the page that shows it is written.
struct PdfPreparedImage {
    PdfDocument* doc;
    ImagePlan plan;
    Encoded enc;
    Encoded smask;  // the alpha, when it is not opaque everywhere
    char warning[160];
    bool ok;
    int error;
    char detail[160];
    char* trace;  // the trace lines, in order
    size_t trace_length;
    size_t trace_capacity;
    bool trace_failed;  // out of memory for a line: the page fails
    // The bitmap while it is read; freed as soon as it is done with when
    // the job owns it.
    DibView view;
    bool view_open;
    DibHandle owned;
    DibRows* rows;  // the caller's, while the job is prepared
    int32_t rows_made;  // rows of the samples made so far
    void (*read_done)(void* opaque);  // the encoder has read the whole bitmap
    void* read_done_opaque;
};

namespace {

bool job_fail(PdfPreparedImage* job, int code, const char* format = nullptr, ...)
    __attribute__((format(printf, 3, 4)));
bool job_fail(PdfPreparedImage* job, int code, const char* format, ...) {
    job->ok = false;
    job->error = code;
    job->detail[0] = 0;
    if (format) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(job->detail, sizeof job->detail, format, args);
        va_end(args);
    }
    return false;
}

void job_trace_line(PdfPreparedImage* job, const char* line) {
    const size_t n = std::strlen(line);
    if (job->trace_length + n + 1 > job->trace_capacity) {
        size_t grown = job->trace_capacity ? job->trace_capacity * 2 : 512;
        while (grown < job->trace_length + n + 1) grown *= 2;
        char* bigger = static_cast<char*>(pdfw_realloc_counted(job->doc, job->trace, grown));
        if (!bigger) {
            job->trace_failed = true;
            return;
        }
        job->trace = bigger;
        job->trace_capacity = grown;
    }
    std::memcpy(job->trace + job->trace_length, line, n + 1);
    job->trace_length += n;
}

void job_trace(PdfPreparedImage* job, const char* format, ...) __attribute__((format(printf, 2, 3)));
void job_trace(PdfPreparedImage* job, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    job_trace_line(job, line);
}

void* job_alloc(PdfPreparedImage* job, size_t n) {
    void* block = pdfw_alloc_counted(job->doc, n);
    if (!block) job_fail(job, PDFW_ERR_NO_MEMORY);
    return block;
}

// The encoders' host: the document's counted memory, the job's trace.
void* host_alloc(void* opaque, size_t n) { return job_alloc(static_cast<PdfPreparedImage*>(opaque), n); }
void* host_realloc(void* opaque, void* block, size_t n) {
    PdfPreparedImage* job = static_cast<PdfPreparedImage*>(opaque);
    void* bigger = pdfw_realloc_counted(job->doc, block, n);
    if (!bigger) job_fail(job, PDFW_ERR_NO_MEMORY);
    return bigger;
}
void host_free(void* opaque, void* block) {
    pdfw_free(static_cast<PdfPreparedImage*>(opaque)->doc, block);
}
void host_trace(void* opaque, const char* line) {
    job_trace_line(static_cast<PdfPreparedImage*>(opaque), line);
}

// The bitmap is read to its end: unlocked, and freed when it is the job's,
// so that two pages in flight do not hold two bitmaps longer than needed.
void release_bitmap(PdfPreparedImage* job) {
    if (job->view_open) dib_view_close(&job->view);
    job->view_open = false;
    if (job->owned) dib_command(DIB_OP_FREE, &job->owned, nullptr);
    job->owned = nullptr;
    job->plan.pixels.pixels = nullptr;
    job->plan.pixels.table = nullptr;
}
void host_rows_done(void* opaque) {
    PdfPreparedImage* job = static_cast<PdfPreparedImage*>(opaque);
    release_bitmap(job);
    if (job->read_done) job->read_done(job->read_done_opaque);
    job->read_done = nullptr;
}

CodecHost job_host(PdfPreparedImage* job) {
    return CodecHost{host_alloc, host_realloc, host_free, host_trace, host_rows_done, job};
}

bool same_rgb(const uint8_t* entry, uint8_t b, uint8_t g, uint8_t r) {
    return entry[0] == b && entry[1] == g && entry[2] == r;
}

// The table as the image uses it: as many entries as the bit count
// allows, those past the file's table black, a longer table's extra ones
// left out.
void full_table(ImagePlan* im, int full) {
    std::memset(im->table, 0, sizeof im->table);
    const int have = std::min(im->pixels.entries, full);
    if (have > 0) std::memcpy(im->table, im->pixels.table, 4 * size_t(have));
    im->entries = full;
}

// Classes by bit count and table. Only an 8-bit identity ramp is grey: a
// 4-bit ramp (i, i, i) holds sixteen near-black greys that 4-bit DeviceGray
// would stretch over the full range, so it keeps its indexed table.
// Refusals say what was found.
bool classify_table(PdfPreparedImage* job, ImagePlan* im) {
    const int bits = im->pixels.bit_count;
    im->grey = 0;
    im->invert = 0;
    switch (bits) {
    case 1: {
        full_table(im, 2);
        const uint8_t* t = im->table;
        if (same_rgb(t, 0, 0, 0) && same_rgb(t + 4, 255, 255, 255)) {
            im->cls = IMAGE_BILEVEL;
            im->grey = 1;
        } else if (same_rgb(t, 255, 255, 255) && same_rgb(t + 4, 0, 0, 0)) {
            im->cls = IMAGE_BILEVEL;
            im->grey = 1;
            im->invert = 1;
        } else {
            im->cls = IMAGE_PALETTE;
        }
        return true;
    }
    case 2:
    case 4:
    case 8: {
        const int full = 1 << bits;
        full_table(im, full);
        bool ramp = bits == 8;
        for (int i = 0; ramp && i < full; ++i) {
            const uint8_t v = static_cast<uint8_t>(i);
            ramp = same_rgb(im->table + 4 * i, v, v, v);
        }
        im->cls = ramp ? IMAGE_GREY : IMAGE_PALETTE;
        im->grey = ramp ? 1 : 0;
        return true;
    }
    case 16:
    case 24:
    case 32:
        im->cls = IMAGE_TRUECOLOUR;
        return true;
    default:
        return job_fail(job, PDFW_ERR_BITMAP_FORMAT, "%d bits per pixel are not supported",
                                bits);
    }
}

void choose_encoding(const PdfEncodingChoices& enc, ImagePlan* im) {
    im->encoding = PDFW_FILTER_NONE;
    if (enc.compression_on) {
        switch (im->cls) {
        case IMAGE_TRUECOLOUR: im->encoding = enc.truecolour; break;
        case IMAGE_GREY: im->encoding = enc.grey; break;
        case IMAGE_BILEVEL: im->encoding = enc.bilevel; break;
        case IMAGE_PALETTE: im->encoding = enc.palette; break;
        }
    }
    im->quality = im->grey ? enc.grey_quality
                  : im->cls == IMAGE_TRUECOLOUR ? enc.truecolour_quality
                                                : enc.palette_quality;
}

bool encoding_supported(int encoding) {
    return encoding == PDFW_FILTER_NONE || encoding == PDFW_FILTER_FLATE ||
           encoding == PDFW_FILTER_CCITT || encoding == PDFW_FILTER_DCT;
}

// Step 1: what the bitmap is, how it is encoded and how large its samples
// are. Refusals: -18 for a bitmap the writer does not take, -17 for an
// encoding it cannot produce.
bool classify(PdfPreparedImage* job, const DibView& view, int res_is_dpi, ImagePlan* im) {
    std::memset(im, 0, sizeof *im);
    im->pixels = pdfw_codec_image(&view);
    if (job->rows) {
        im->pixels.source = job->rows;
        im->pixels.wait = [](const void* source, int64_t rows) {
            return dib_rows_need(static_cast<DibRows*>(const_cast<void*>(source)), rows);
        };
        im->pixels.row = [](const void* source, int64_t y) {
            return dib_rows_row(static_cast<const DibRows*>(source), y);
        };
    }
    // A bitmap the writer frees once read gives its rows back as they are
    // coded, so that a page's bitmap and its coded data are not both held.
    if (job->owned)
        im->pixels.discard = [](const void* source, int64_t rows) {
            dib_rows_discard(static_cast<DibHandle>(const_cast<void*>(source)), rows);
        };
    im->entries = im->pixels.entries;
    const DibInfoHeader* h = view.header;
    im->hdpi = res_is_dpi ? h->x_ppm : dib_dpi_from_ppm(h->x_ppm);
    im->vdpi = res_is_dpi ? h->y_ppm : dib_dpi_from_ppm(h->y_ppm);
    // A zero size is refused as a format the writer does not handle, before
    // any size is derived from it.
    if (im->pixels.width <= 0 || im->pixels.rows == 0)
        return job_fail(job, PDFW_ERR_BITMAP_FORMAT, "the bitmap is %ld x %ld pixels",
                                static_cast<long>(im->pixels.width),
                                static_cast<long>(im->pixels.rows));
    if (!classify_table(job, im)) return false;
    codec_converter_init(&im->converter, &im->pixels);
    choose_encoding(job->doc->encoding, im);
    if (!encoding_supported(im->encoding))
        return job_fail(job, PDFW_ERR_FILTER, "the image writer cannot produce %s",
                        pdfw_filter_name(im->encoding));

    const int64_t width = im->pixels.width;
    im->row_bytes = im->cls == IMAGE_TRUECOLOUR ? 3 * width
                                                : (width * im->pixels.bit_count + 7) / 8;
    im->u = im->encoding == PDFW_FILTER_DCT ? im->pixels.rows * width * (im->grey ? 1 : 3)
                                            : im->pixels.rows * im->row_bytes;
    if (im->u > PDFW_IMAGE_MAX_BYTES)
        return job_fail(job, PDFW_ERR_BITMAP_FORMAT,
                                "the bitmap is too large for one image (%lld bytes of samples)",
                                static_cast<long long>(im->u));
    return true;
}

// Step 2: rows top to bottom, pixels left to right, RGB for true colour,
// row padding dropped; bilevel images with a white-first table are
// complemented so that a 0 bit is always the painted (black) one.
void prepare_row(const ImagePlan& im, int64_t y, uint8_t* dst) {
    const uint8_t* src = codec_image_row(&im.pixels, y);
    const int bit_count = im.pixels.bit_count;
    if (im.cls == IMAGE_TRUECOLOUR && codec_image_converted(&im.pixels)) {
        codec_convert_rgb(&im.converter, y, dst);
    } else if (bit_count >= 24) {
        const int step = bit_count / 8;
        for (int32_t x = 0; x < im.pixels.width; ++x, src += step, dst += 3) {
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
        }
    } else if (im.invert) {
        for (int64_t i = 0; i < im.row_bytes; ++i) dst[i] = static_cast<uint8_t>(~src[i]);
    } else {
        std::memcpy(dst, src, static_cast<size_t>(im.row_bytes));
    }
}

// Rows [from, to) of the samples; false with the job failed when one
// cannot be read.
bool prepare_rows(PdfPreparedImage* job, const ImagePlan& im, uint8_t* samples, int32_t from,
                  int32_t to) {
    for (int32_t y = from; y < to; ++y) {
        if (!codec_image_wait(&im.pixels, y + 1))
            return job_fail(job, PDFW_ERR_BITMAP_FORMAT, "row %ld of the bitmap could not be read",
                            static_cast<long>(y));
        prepare_row(im, y, samples + static_cast<int64_t>(y) * im.row_bytes);
        codec_image_discard(&im.pixels, y + 1);
    }
    return true;
}

// The samples, of which the first `rows` rows are made now and the rest
// by whoever codes them (job->rows_made tells).
uint8_t* prepare_samples(PdfPreparedImage* job, const ImagePlan& im, int32_t rows) {
    uint8_t* out = static_cast<uint8_t*>(job_alloc(job, static_cast<size_t>(im.u)));
    if (!out) return nullptr;
    if (!prepare_rows(job, im, out, 0, rows)) {
        pdfw_free(job->doc, out);
        return nullptr;
    }
    job->rows_made = rows;
    return out;
}

// Unencoded samples made row by row while they are written, so that no
// copy of the image is held (the bitmap stays locked until then).
struct RowProducer {
    PdfDocument* doc;
    const ImagePlan* im;
    uint8_t* row;     // the current row, prepared
    int64_t y;        // its number from the top
    int64_t offset;   // bytes of it already given out
};

bool produce_rows(void* opaque, uint8_t* out, size_t max, size_t* got) {
    RowProducer* p = static_cast<RowProducer*>(opaque);
    const int64_t row_bytes = p->im->row_bytes;
    *got = 0;
    while (*got < max && p->y < p->im->pixels.rows) {
        if (p->offset == 0) {
            if (!codec_image_wait(&p->im->pixels, p->y + 1)) return false;
            prepare_row(*p->im, p->y, p->row);
        }
        const size_t n = size_t(std::min<int64_t>(int64_t(max - *got), row_bytes - p->offset));
        std::memcpy(out + *got, p->row + p->offset, n);
        *got += n;
        p->offset += int64_t(n);
        if (p->offset == row_bytes) {
            p->offset = 0;
            ++p->y;
        }
    }
    return true;
}

// Samples from this size up are coded in two parts at once (when a second
// thread is allowed; one after the other otherwise, to the same bytes), so
// that one large page keeps two cores busy.
constexpr uint32_t kFlatePartsFrom = uint32_t(512) << 10;

void run_deflate_part(void* arg) { codec_deflate_part(static_cast<CodecDeflatePart*>(arg)); }

// Work for the thread that codes the second part, done before it while the
// first part is coded beside it; it runs once (the caller runs it when the
// parts did not).
struct Meanwhile {
    void (*run)(void* arg);
    void* arg;
};

void run_meanwhile(Meanwhile* m) {
    if (m && m->run) m->run(m->arg);
    if (m) m->run = nullptr;
}

// What Flate codes: samples of which im's rows past job->rows_made are
// still to be made (im null: all are made).
struct FlateSource {
    const ImagePlan* im;
    uint8_t* samples;
    uint32_t u;
    bool bilevel;  // G4 runs first on the second part's thread
    Meanwhile* meanwhile;
};

// The first part is walked again once coded, so it is the smaller, unless
// the other thread codes G4 before its part.
size_t flate_split(uint32_t u, bool bilevel) {
    return bilevel ? size_t(u) * 3 / 5 : size_t(u) * 5 / 12;
}

// The first part is coded (on a second thread when there is one) while the
// rows of the second are still being made, when there are such rows. The
// second part stays in a block of its own, *tail.
int flate_in_parts(PdfPreparedImage* job, const FlateSource& src, uint8_t* out, uint32_t* size,
                   uint8_t** tail, uint32_t* tail_size) {
    if (*size < 32) return CODEC_FLATE_FULL;
    const size_t split = flate_split(src.u, src.bilevel);
    CodecDeflatePart second{src.samples + split, src.u - split, nullptr, 0, false, 0, 0, -1};
    second.room = codec_deflate_part_bound(second.n) + 4;  // and the Adler-32
    second.out = static_cast<uint8_t*>(pdfw_alloc_counted(job->doc, second.room));
    if (!second.out) return CODEC_FLATE_NO_MEMORY;
    // Room for the header, the empty stored block and the Adler-32.
    CodecDeflatePart first{src.samples, split, out + 2, size_t(*size) - 16, true, 0, 0, -1};
    PlatThread helper = job->doc->threads > 1 ? plat_thread_start(run_deflate_part, &first) : nullptr;
    run_meanwhile(src.meanwhile);
    bool made = true;
    const ImagePlan* im = src.im;
    if (im && job->rows_made < im->pixels.rows) {
        made = prepare_rows(job, *im, src.samples, job->rows_made, im->pixels.rows);
        job->rows_made = im->pixels.rows;
    }
    if (!helper && made) codec_deflate_part(&first);
    const bool second_fits = made && codec_deflate_part(&second);
    plat_thread_join(helper);
    int rc = made ? CODEC_FLATE_FULL : CODEC_SOURCE_FAILED;
    if (second_fits && first.length > 0 && first.unused_bits >= 0)
        rc = codec_flate_join(out, size, &first, &second);
    if (rc != CODEC_OK) {
        pdfw_free(job->doc, second.out);
        return rc;
    }
    *tail = second.out;
    *tail_size = uint32_t(second.length + 4);
    *size += *tail_size;
    return rc;
}

// *size is the capacity in and the whole length out, of which the last
// *tail_size bytes may be in *tail.
int flate_samples(PdfPreparedImage* job, const FlateSource& src, uint8_t* out, uint32_t* size,
                  uint8_t** tail, uint32_t* tail_size) {
    *tail = nullptr;
    *tail_size = 0;
    const bool parts = src.u >= kFlatePartsFrom;
    int rc = parts ? flate_in_parts(job, src, out, size, tail, tail_size)
                   : codec_flate(out, size, src.samples, src.u);
    // Parts that need more room than one stream would are coded as one.
    if (rc == CODEC_FLATE_FULL && parts) rc = codec_flate(out, size, src.samples, src.u);
    return rc;
}

bool encode_flate(PdfPreparedImage* job, const FlateSource& src, uint8_t* out, uint32_t* size,
                  uint8_t** tail, uint32_t* tail_size) {
    const int rc = flate_samples(job, src, out, size, tail, tail_size);
    if (rc == CODEC_OK) return true;
    if (rc == CODEC_SOURCE_FAILED) return false;  // the row that failed is told
    job_trace(job, "PDF: ERROR pdfw_filter_flate = %d\n", rc);
    return job_fail(job, PDFW_ERR_FLATE);
}

// The Flate trial of a bilevel image: on a thread of its own when there is
// one, or, in parts, on two threads with G4 before the second.
struct FlateTrial {
    PdfPreparedImage* job;
    FlateSource src;
    uint8_t* dst;
    uint32_t size;  // capacity in, length out
    int rc;
    uint8_t* tail;  // the last tail_size bytes of size, when in two parts
    uint32_t tail_size;
};

void run_flate_trial(void* arg) {
    FlateTrial* t = static_cast<FlateTrial*>(arg);
    t->rc = flate_samples(t->job, t->src, t->dst, &t->size, &t->tail, &t->tail_size);
}

// G4 of a bilevel image, at full capacity; the statistics count from its
// start.
struct G4Run {
    uint8_t* out;
    uint32_t size;  // capacity in, length out
    const uint8_t* samples;
    int32_t width;
    int32_t rows;
    uint64_t rows_bits;
    int rc;
    uint32_t started;
};

void run_g4(void* arg) {
    G4Run* g = static_cast<G4Run*>(arg);
    g->started = plat_tick_count();
    g->rc = codec_ccitt_encode_measured(g->out, &g->size, g->samples, -1, 0, g->width, g->rows,
                                        &g->rows_bits);
}

// G4 unless Flate comes out smaller; equal sizes keep G4. The rule is that
// of a Flate trial whose size caps the G4 run, so G4 fails once it reaches
// the Flate size. Here G4 runs with the full capacity (beside the trial
// when a second thread is allowed) and what the capped run would have given
// follows from the bits it took; the trace lines are those of the capped
// run. A Flate result that wins is kept rather than made again.
bool encode_bilevel(PdfPreparedImage* job, const ImagePlan& im, Encoded* out,
                    uint32_t capacity, uint32_t flate_capacity, uint8_t* samples,
                    uint32_t* size, uint32_t* start) {
    const uint32_t u = static_cast<uint32_t>(im.u);
    G4Run g4{out->data, capacity, samples, im.pixels.width, im.pixels.rows, 0, -1, 0};
    Meanwhile meanwhile{run_g4, &g4};
    FlateTrial trial{job, {nullptr, samples, u, true, nullptr}, nullptr, flate_capacity, -1, nullptr, 0};
    PlatThread helper = nullptr;
    if (job->doc->encoding.compare_ccitt_flate) {
        trial.dst = static_cast<uint8_t*>(job_alloc(job, flate_capacity));
        if (!trial.dst) return false;
        if (u >= kFlatePartsFrom) {
            // Its parts keep two threads busy, G4 taking its turn on one.
            trial.src.meanwhile = &meanwhile;
            run_flate_trial(&trial);
        } else {
            if (job->doc->threads > 1) helper = plat_thread_start(run_flate_trial, &trial);
            if (!helper) run_flate_trial(&trial);
        }
    }
    run_meanwhile(&meanwhile);
    plat_thread_join(helper);
    *start = g4.started;
    uint32_t g4_size = g4.size;
    const uint64_t rows_bits = g4.rows_bits;
    int rc = g4.rc;
    const bool compared = trial.dst && trial.rc == CODEC_OK;
    // G4 had no more room than its own buffer, whatever Flate took.
    const uint32_t cap = compared ? std::min(trial.size, capacity) : capacity;
    const CodecHost host = job_host(job);
    codec_ccitt_trace(&host, cap, -1, 0, im.pixels.width, im.pixels.rows, 0);
    *size = cap;
    if (compared) rc = codec_ccitt_result_for(rows_bits, -1, cap, size);
    else if (rc == CODEC_OK) *size = g4_size;
    if (rc != CODEC_OK) job_trace(job, "PDF: ERROR ccitt_encode = %d\n", rc);
    if (rc == CODEC_OK && !(compared && trial.size < *size)) {
        pdfw_free(job->doc, trial.dst);
        pdfw_free(job->doc, trial.tail);
        return true;
    }
    job_trace(job, "PDF: ccitt_size=%lu flate_size=%d\n", static_cast<unsigned long>(*size),
              static_cast<int>(compared ? trial.size : 0));
    out->encoding = PDFW_FILTER_FLATE;
    if (compared) {
        // The trial coded the same samples with the same capacity.
        pdfw_free(job->doc, out->data);
        out->data = trial.dst;
        out->tail = trial.tail;
        out->tail_p = trial.tail_size;
        *size = trial.size;
        return true;
    }
    pdfw_free(job->doc, trial.dst);
    // Flate on its own, with room for all it may make.
    uint8_t* bigger = static_cast<uint8_t*>(job_alloc(job, flate_capacity));
    if (!bigger) return false;
    pdfw_free(job->doc, out->data);
    out->data = bigger;
    *size = flate_capacity;
    uint32_t tail_size = 0;
    const FlateSource src{nullptr, samples, u, true, nullptr};
    const bool ok = encode_flate(job, src, out->data, size, &out->tail, &tail_size);
    out->tail_p = tail_size;
    return ok;
}

// Flate that came out larger than the samples and their slack is undone:
// the samples go out as they are, as content streams do.
void store_uncompressed(PdfPreparedImage* job, uint8_t* samples, uint32_t u, uint32_t size,
                        Encoded* out) {
    job_trace(job, "PDF: pdfw_impage_image: Flate would add %lu bytes; stored uncompressed\n",
              static_cast<unsigned long>(size - u));
    pdfw_free(job->doc, out->data);
    pdfw_free(job->doc, out->tail);
    out->encoding = PDFW_FILTER_NONE;
    out->data = samples;
    out->p = u;
    out->tail = nullptr;
    out->tail_p = 0;
}

// JPEG data is a fraction of the samples, and the encoder hands back a
// larger buffer when it needs one: a quarter spares the page a second
// bitmap-sized block (and its page faults).
bool encode_dct(PdfPreparedImage* job, const ImagePlan& im, uint8_t** out, uint32_t* size) {
    const CodecHost host = job_host(job);
    uint8_t* jpeg = *out;
    const int rc = codec_dct_encode(&host, &im.pixels, im.quality, im.grey, &jpeg, size);
    if (jpeg != *out) {
        // The data outgrew our buffer and came back in a larger one.
        pdfw_free(job->doc, *out);
        *out = jpeg;
    }
    if (rc == CODEC_OK) return true;
    job_trace(job, "PDF: ERROR dct_encode = %d\n", rc);
    // Memory the coder could not have is the cause, not the coding.
    if (!job->ok && job->error == PDFW_ERR_NO_MEMORY) return false;
    return job_fail(job, PDFW_ERR_DCT);
}

// Whether any pixel is less than opaque: an alpha of 255 everywhere needs
// no soft mask. False with the job failed when a row cannot be read.
bool translucent(PdfPreparedImage* job, const ImagePlan& im, bool* found) {
    *found = false;
    uint8_t* row = static_cast<uint8_t*>(job_alloc(job, size_t(im.pixels.width)));
    if (!row) return false;
    for (int32_t y = 0; y < im.pixels.rows && !*found; ++y) {
        if (!codec_image_wait(&im.pixels, y + 1)) {
            pdfw_free(job->doc, row);
            return job_fail(job, PDFW_ERR_BITMAP_FORMAT, "row %ld of the bitmap could not be read",
                            static_cast<long>(y));
        }
        codec_convert_alpha(&im.converter, y, row);
        for (int32_t x = 0; x < im.pixels.width; ++x) *found = *found || row[x] != 255;
    }
    pdfw_free(job->doc, row);
    return true;
}

// The soft mask: the alpha as 8-bit grey, always with Flate.
bool encode_smask(PdfPreparedImage* job, const ImagePlan& im) {
    const int64_t u = int64_t(im.pixels.rows) * im.pixels.width;
    if (u > PDFW_IMAGE_MAX_BYTES)
        return job_fail(job, PDFW_ERR_BITMAP_FORMAT, "the bitmap is too large for one image");
    // Like the colour, noise Flate cannot shrink goes out uncompressed.
    const uint32_t capacity = uint32_t(u + PDFW_IMAGE_SLACK);
    uint32_t size = uint32_t(std::max<uint64_t>(capacity, codec_flate_bound(uint64_t(u))));
    uint8_t* alpha = static_cast<uint8_t*>(job_alloc(job, size_t(std::max<int64_t>(u, 1))));
    uint8_t* out = alpha ? static_cast<uint8_t*>(job_alloc(job, size)) : nullptr;
    if (!out) {
        pdfw_free(job->doc, alpha);
        return false;
    }
    for (int32_t y = 0; y < im.pixels.rows; ++y) {
        if (!codec_image_wait(&im.pixels, y + 1)) {
            pdfw_free(job->doc, alpha);
            pdfw_free(job->doc, out);
            return job_fail(job, PDFW_ERR_BITMAP_FORMAT, "row %ld of the bitmap could not be read",
                            static_cast<long>(y));
        }
        codec_convert_alpha(&im.converter, y, alpha + int64_t(y) * im.pixels.width);
    }
    const int rc = codec_flate(out, &size, alpha, uint32_t(u));
    if (rc != CODEC_OK) {
        pdfw_free(job->doc, alpha);
        pdfw_free(job->doc, out);
        return job_fail(job, PDFW_ERR_FLATE);
    }
    if (size <= capacity) {
        pdfw_free(job->doc, alpha);
        job->smask = Encoded{out, size, PDFW_FILTER_FLATE, nullptr, 0};
        return true;
    }
    job_trace(job, "PDF: pdfw_impage_image: Flate would add %lu bytes to the soft mask; stored "
              "uncompressed\n", static_cast<unsigned long>(size - u));
    pdfw_free(job->doc, out);
    job->smask = Encoded{alpha, u, PDFW_FILTER_NONE, nullptr, 0};
    return true;
}

// An alpha that is not 255 everywhere becomes a soft mask, or in PDF/A,
// which has none, is composited onto white with a warning.
bool settle_alpha(PdfPreparedImage* job, ImagePlan* im) {
    if (!im->pixels.masks[3]) return true;
    bool found = false;
    if (!translucent(job, *im, &found)) return false;
    if (!found) return true;
    if (!job->doc->pdfa) return encode_smask(job, *im);
    im->pixels.flatten_alpha = true;
    std::snprintf(job->warning, sizeof job->warning,
                  "the bitmap's transparency is composited onto white: PDF/A-1b has no soft masks");
    return true;
}

void trace_statistics(PdfPreparedImage* job, int encoding, uint32_t elapsed, uint64_t u,
                      uint64_t p) {
    job_trace(job, "PDF: pdfw_impage_image: encoding: %s, %ldms %ld%% (u=%lu p=%ld)\n",
              pdfw_filter_name(encoding), static_cast<long>(elapsed),
              static_cast<long>(p * 100 / u), static_cast<unsigned long>(u),
              static_cast<long>(p));
}

// JPEG or PNG data that the bitmap holds, carried into the stream as it
// is: JPEG as DCTDecode, PNG's joined image data as FlateDecode with PNG
// predictors. The class follows from the data's components.
bool carry(PdfPreparedImage* job, const DibView& view, int res_is_dpi, ImagePlan* im) {
    std::memset(im, 0, sizeof *im);
    const DibInfoHeader* h = view.header;
    im->pixels.width = h->width;
    im->pixels.rows = view.rows;
    im->hdpi = res_is_dpi ? h->x_ppm : dib_dpi_from_ppm(h->x_ppm);
    im->vdpi = res_is_dpi ? h->y_ppm : dib_dpi_from_ppm(h->y_ppm);
    const uint8_t* data = view.pixels;
    const size_t n = size_t(view.pixel_bytes);
    const uint32_t start = plat_tick_count();
    Encoded& out = job->enc;
    int components;
    if (h->compression == DIB_COMPRESSION_JPEG) {
        DibJpegInfo info;
        if (!dib_jpeg_info(data, n, &info))
            return job_fail(job, PDFW_ERR_BITMAP_FORMAT, "the bitmap's JPEG data is damaged");
        components = info.components;
        im->carried = CARRIED_JPEG;
        im->encoding = PDFW_FILTER_DCT;
        out.data = static_cast<uint8_t*>(job_alloc(job, n));
        if (!out.data) return false;
        std::memcpy(out.data, data, n);
        out.p = int64_t(n);
    } else {
        DibPngInfo info;
        if (!dib_png_info(data, n, &info) || !dib_png_carried(&info))
            return job_fail(job, PDFW_ERR_BITMAP_FORMAT, "the bitmap's PNG data is damaged");
        components = info.colour_type == 2 ? 3 : 1;
        im->carried = CARRIED_PNG;
        im->png_colours = components;
        im->encoding = PDFW_FILTER_FLATE;
        if (info.colour_type == 3) {
            for (int i = 0; i < info.palette_entries; ++i) {
                im->table[4 * i] = info.palette[3 * i + 2];
                im->table[4 * i + 1] = info.palette[3 * i + 1];
                im->table[4 * i + 2] = info.palette[3 * i];
            }
            im->entries = info.palette_entries;
        }
        out.data = static_cast<uint8_t*>(job_alloc(job, size_t(info.idat_bytes)));
        if (!out.data) return false;
        dib_png_idat(data, n, out.data);
        out.p = int64_t(info.idat_bytes);
    }
    out.encoding = im->encoding;
    im->cls = im->entries ? IMAGE_PALETTE : components == 1 ? IMAGE_GREY : IMAGE_TRUECOLOUR;
    im->grey = im->cls == IMAGE_GREY;
    im->u = int64_t(im->pixels.width) * im->pixels.rows * components;
    job_trace(job, "PDF: pdfw_impage_image: the bitmap's own %s data, carried as it is\n",
              im->carried == CARRIED_JPEG ? "JPEG" : "PNG");
    trace_statistics(job, out.encoding, plat_tick_count() - start, uint64_t(im->u), uint64_t(out.p));
    return true;
}

// Step 3: runs the chosen encoder and traces the statistics line. Takes
// the samples (made for all but JPEG, which reads the bitmap); *out owns
// the data.
bool encode_image(PdfPreparedImage* job, const ImagePlan& im, uint8_t* samples, Encoded* out) {
    out->encoding = im.encoding;
    uint32_t start = plat_tick_count();
    if (im.encoding == PDFW_FILTER_NONE) {
        out->data = samples;
        out->p = im.u;
        trace_statistics(job, out->encoding, plat_tick_count() - start, im.u, out->p);
        return true;
    }
    const int64_t room = im.encoding == PDFW_FILTER_DCT ? im.u / 4 : im.u;
    const uint32_t capacity = static_cast<uint32_t>(room + PDFW_IMAGE_SLACK);
    // Flate always finds room: what would not fit goes out uncompressed.
    const uint32_t flate_capacity = static_cast<uint32_t>(
        std::min<uint64_t>(UINT32_MAX, std::max<uint64_t>(capacity, codec_flate_bound(uint64_t(im.u)))));
    uint8_t* buffer = static_cast<uint8_t*>(
        job_alloc(job, im.encoding == PDFW_FILTER_FLATE ? flate_capacity : capacity));
    if (!buffer) {
        pdfw_free(job->doc, samples);
        return false;
    }
    out->data = buffer;
    uint32_t size = im.encoding == PDFW_FILTER_FLATE ? flate_capacity : capacity;
    bool ok;
    if (im.encoding == PDFW_FILTER_FLATE) {
        uint32_t tail_size = 0;
        const FlateSource src{&im, samples, uint32_t(im.u), false, nullptr};
        ok = encode_flate(job, src, out->data, &size, &out->tail, &tail_size);
        out->tail_p = tail_size;
    } else if (im.encoding == PDFW_FILTER_CCITT) {
        ok = encode_bilevel(job, im, out, capacity, flate_capacity, samples, &size, &start);
    } else {
        ok = encode_dct(job, im, &out->data, &size);
    }
    out->p = size;
    if (ok && out->encoding == PDFW_FILTER_FLATE && size > capacity)
        store_uncompressed(job, samples, uint32_t(im.u), size, out);
    else
        pdfw_free(job->doc, samples);
    trace_statistics(job, out->encoding, plat_tick_count() - start, im.u, out->p);
    return ok;
}

bool colour_space_entry(PdfStream* s, const ImagePlan& im, int encoding) {
    switch (im.cls) {
    case IMAGE_BILEVEL: return pdfw_stream_entry(s, "/ImageMask true");
    case IMAGE_GREY: return pdfw_stream_entry(s, "/ColorSpace /DeviceGray");
    case IMAGE_TRUECOLOUR: return pdfw_stream_entry(s, "/ColorSpace /DeviceRGB");
    case IMAGE_PALETTE: break;
    }
    if (encoding == PDFW_FILTER_DCT) return pdfw_stream_entry(s, "/ColorSpace /DeviceRGB");
    char head[64];
    std::snprintf(head, sizeof head, "/ColorSpace [/Indexed /DeviceRGB %d ", im.entries - 1);
    uint8_t rgb[3 * 256];
    for (int i = 0; i < im.entries; ++i) {
        rgb[3 * i] = im.table[4 * i + 2];
        rgb[3 * i + 1] = im.table[4 * i + 1];
        rgb[3 * i + 2] = im.table[4 * i];
    }
    return pdfw_stream_entry_hex(s, head, rgb, 3 * im.entries, "]");
}

int bits_per_component(const ImagePlan& im, int encoding) {
    if (im.carried != CARRIED_NONE) return 8;
    if (im.cls == IMAGE_BILEVEL) return 1;
    if (im.cls == IMAGE_TRUECOLOUR) return 8;
    if (im.cls == IMAGE_PALETTE && encoding == PDFW_FILTER_DCT) return 8;
    return im.pixels.bit_count;
}

bool filter_entries(PdfStream* s, const ImagePlan& im, int encoding) {
    switch (encoding) {
    case PDFW_FILTER_FLATE:
        if (im.carried == CARRIED_PNG)
            return pdfw_stream_entry(s, "/Filter /FlateDecode") &&
                   pdfw_stream_entry(s, "/DecodeParms") && pdfw_stream_entry(s, "<<") &&
                   pdfw_stream_entry(s, "/Predictor 15") &&
                   pdfw_stream_entry(s, "/Colors %d", im.png_colours) &&
                   pdfw_stream_entry(s, "/BitsPerComponent 8") &&
                   pdfw_stream_entry(s, "/Columns %ld", static_cast<long>(im.pixels.width)) &&
                   pdfw_stream_entry(s, ">>");
        return pdfw_stream_entry(s, "/Filter /FlateDecode");
    case PDFW_FILTER_CCITT:
        return pdfw_stream_entry(s, "/Filter /CCF") && pdfw_stream_entry(s, "/DecodeParms") &&
               pdfw_stream_entry(s, "<<") &&
               pdfw_stream_entry(s, "/Columns %ld", static_cast<long>(im.pixels.width)) &&
               pdfw_stream_entry(s, "/K -1") && pdfw_stream_entry(s, ">>");
    case PDFW_FILTER_DCT: return pdfw_stream_entry(s, "/Filter /DCTDecode");
    default: return true;
    }
}

// The soft mask's object: the alpha as a grey image.
bool emit_smask(PdfDocument* doc, const ImagePlan& im, Encoded* mask, PdfObjectId id) {
    PdfStream s;
    pdfw_stream_begin(doc, &s, id, 0, 0);
    pdfw_stream_entry(&s, "/Subtype /Image");
    pdfw_stream_entry(&s, "/ColorSpace /DeviceGray");
    pdfw_stream_entry(&s, "/BitsPerComponent 8");
    pdfw_stream_entry(&s, "/Width %ld", static_cast<long>(im.pixels.width));
    pdfw_stream_entry(&s, "/Height %ld", static_cast<long>(im.pixels.rows));
    if (mask->encoding == PDFW_FILTER_FLATE) pdfw_stream_entry(&s, "/Filter /FlateDecode");
    pdfw_stream_adopt(&s, mask->data, mask->p);
    mask->data = nullptr;
    // Soft masks came with PDF 1.4.
    pdfw_require_body_version(doc, 0x104);
    return pdfw_stream_end(&s);
}

// Step 4: the image dictionary and its stream, then its soft mask; takes
// the encoded data.
bool emit_image(PdfDocument* doc, const ImagePlan& im, Encoded* enc, Encoded* mask,
                PdfObjectId* id) {
    PdfObjectId mask_id{};
    if (!pdfw_obj_new(doc, id, 0) || (mask->data && !pdfw_obj_new(doc, &mask_id, 0))) {
        pdfw_free(doc, enc->data);
        enc->data = nullptr;
        return false;
    }
    PdfStream s;
    pdfw_stream_begin(doc, &s, *id, 0, 0);
    pdfw_stream_entry(&s, "/Subtype /Image");
    colour_space_entry(&s, im, enc->encoding);
    pdfw_stream_entry(&s, "/BitsPerComponent %d", bits_per_component(im, enc->encoding));
    pdfw_stream_entry(&s, "/Width %ld", static_cast<long>(im.pixels.width));
    pdfw_stream_entry(&s, "/Height %ld", static_cast<long>(im.pixels.rows));
    if (im.hdpi > 0) pdfw_stream_entry(&s, "/HDPI %ld", static_cast<long>(im.hdpi));
    if (im.vdpi != 0) pdfw_stream_entry(&s, "/VDPI %ld", static_cast<long>(im.vdpi));
    if (mask->data) pdfw_stream_entry(&s, "/SMask %ld 0 R", static_cast<long>(mask_id.number));
    filter_entries(&s, im, enc->encoding);
    RowProducer rows{doc, &im, nullptr, 0, 0};
    if (enc->data) {
        pdfw_stream_adopt(&s, enc->data, enc->p - enc->tail_p);
        enc->data = nullptr;
        if (enc->tail) pdfw_stream_adopt_more(&s, enc->tail, enc->tail_p);
        enc->tail = nullptr;
    } else {
        // Unencoded samples come straight from the bitmap.
        rows.row = static_cast<uint8_t*>(pdfw_alloc(doc, size_t(std::max<int64_t>(im.row_bytes, 1))));
        if (rows.row)
            pdfw_stream_produce(&s, enc->p, produce_rows, &rows);
        else
            s.failed = true;  // out of memory, recorded
    }
    bool ok = pdfw_stream_end(&s);
    pdfw_free(doc, rows.row);
    if (ok && mask->data) ok = emit_smask(doc, im, mask, mask_id);
    return ok;
}

}  // namespace

namespace {

// Prepares the image of dib, or of rows when dib is null; owned: the bitmap
// is the job's to free as soon as it has been read.
bool prepare(PdfDocument* doc, DibHandle dib, DibRows* rows, bool owned, int res_is_dpi,
             void (*read_done)(void*), void* opaque, PdfPreparedImage** out) {
    auto* job = static_cast<PdfPreparedImage*>(pdfw_alloc_counted(doc, sizeof(PdfPreparedImage)));
    if (!job) {
        if (owned) dib_command(DIB_OP_FREE, &dib, nullptr);
        return false;
    }
    std::memset(job, 0, sizeof *job);
    job->doc = doc;
    job->ok = true;
    job->owned = owned ? dib : nullptr;
    job->read_done = read_done;
    job->read_done_opaque = opaque;
    job->rows = rows;
    *out = job;
    if (rows) {
        dib_rows_view(rows, &job->view);
    } else if (dib_view_open(&job->view, dib) != DIB_OK) {
        release_bitmap(job);
        return job_fail(job, PDFW_ERR_BITMAP_FORMAT,
                        "the bitmap's header does not describe its memory block");
    } else {
        job->view_open = true;
    }
    ImagePlan& im = job->plan;
    const uint32_t compression = job->view.header->compression;
    if (compression == DIB_COMPRESSION_JPEG || compression == DIB_COMPRESSION_PNG) {
        const bool carried = carry(job, job->view, res_is_dpi, &im);
        release_bitmap(job);
        return carried && job->ok;
    }
    bool ok = classify(job, job->view, res_is_dpi, &im) && settle_alpha(job, &im);
    uint8_t* samples = nullptr;
    // JPEG reads the bitmap itself; Flate, G4 and its Flate trial take
    // samples made now, and so do unencoded rows whose window is gone by
    // the time they are written. A bitmap's unencoded samples are made as
    // they are written.
    // Flate in parts codes the first while the rest of the rows are made.
    if (ok && (im.encoding == PDFW_FILTER_CCITT || im.encoding == PDFW_FILTER_FLATE ||
               (rows && im.encoding == PDFW_FILTER_NONE))) {
        int32_t now = im.pixels.rows;
        if (im.encoding == PDFW_FILTER_FLATE && im.u >= kFlatePartsFrom)
            now = int32_t(std::min<int64_t>(
                now, (int64_t(flate_split(uint32_t(im.u), false)) + im.row_bytes - 1) / im.row_bytes));
        ok = (samples = prepare_samples(job, im, now)) != nullptr;
        if (job->rows_made == im.pixels.rows) release_bitmap(job);
    }
    if (ok) ok = encode_image(job, im, samples, &job->enc);
    if (ok) {
        pdfw_trim(doc, job->enc.data, size_t(job->enc.p - job->enc.tail_p));
        pdfw_trim(doc, job->enc.tail, size_t(job->enc.tail_p));
        pdfw_trim(doc, job->smask.data, size_t(job->smask.p));
    }
    if (!ok || im.encoding != PDFW_FILTER_NONE) release_bitmap(job);
    job->rows = nullptr;
    im.pixels.row = nullptr;
    im.pixels.wait = nullptr;
    im.pixels.source = nullptr;
    return ok && job->ok;
}

}  // namespace

bool pdfw_image_prepare(PdfDocument* doc, DibHandle* dib, int res_is_dpi,
                        void (*read_done)(void* opaque), void* opaque,
                        PdfPreparedImage** out) {
    if (!out) return false;
    *out = nullptr;
    if (!doc || !dib) return false;
    DibHandle taken = *dib;
    *dib = nullptr;
    return prepare(doc, taken, nullptr, true, res_is_dpi, read_done, opaque, out);
}

bool pdfw_image_prepare_rows(PdfDocument* doc, DibRows* rows, int res_is_dpi,
                             void (*read_done)(void* opaque), void* opaque,
                             PdfPreparedImage** out) {
    if (!out) return false;
    *out = nullptr;
    if (!doc || !rows) return false;
    return prepare(doc, nullptr, rows, false, res_is_dpi, read_done, opaque, out);
}

void pdfw_image_discard(PdfDocument* doc, PdfPreparedImage* image) {
    if (!image) return;
    PdfDocument* owner = doc ? doc : image->doc;
    release_bitmap(image);
    pdfw_free(owner, image->enc.data);
    pdfw_free(owner, image->enc.tail);
    pdfw_free(owner, image->smask.data);
    pdfw_free(owner, image->trace);
    pdfw_free(owner, image);
}

int64_t pdfw_image_held_bytes(const PdfPreparedImage* image) {
    if (!image) return 0;
    const auto data = [](const Encoded& e) -> int64_t {
        return e.data ? e.p : 0;
    };
    return data(image->enc) + data(image->smask) + int64_t(image->trace_capacity) +
           (image->owned ? int64_t(plat_mem_size(image->owned)) : 0);
}

bool pdfw_image_emit(PdfDocument* doc, PdfPreparedImage* image, PdfObjectId* id) {
    if (!doc || !image) {
        pdfw_image_discard(doc, image);
        return doc ? pdfw_fail(doc, PDFW_ERR_ARGUMENT) : false;
    }
    // The encoders' lines, one at a time, as they were written.
    for (char* line = image->trace; line && *line;) {
        char* end = std::strchr(line, '\n');
        const char kept = end ? end[1] : 0;
        if (end) end[1] = 0;
        pdfw_trace_text(doc, line);
        if (!end) break;
        end[1] = kept;
        line = end + 1;
    }
    if (image->warning[0]) pdfw_warning(doc, image->warning);
    bool ok = image->ok && !image->trace_failed;
    if (!ok) {
        const int code = image->ok ? PDFW_ERR_NO_MEMORY : image->error;
        if (image->detail[0])
            pdfw_fail_detail(doc, code, "%s", image->detail);
        else
            pdfw_fail(doc, code);
    } else {
        ok = emit_image(doc, image->plan, &image->enc, &image->smask, id);
    }
    pdfw_image_discard(doc, image);
    return ok;
}

bool pdfw_impage_image(PdfDocument* doc, DibHandle dib, int res_is_dpi, PdfObjectId* id) {
    if (!doc) return false;
    if (!id) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    PdfPreparedImage* image = nullptr;
    prepare(doc, dib, nullptr, false, res_is_dpi, nullptr, nullptr, &image);
    if (!image) return pdfw_fail(doc, PDFW_ERR_NO_MEMORY);
    return pdfw_image_emit(doc, image, id);
}
