// Encoder timings against the libraries they are measured by, in one run:
// Group 4 on an A4 300 dpi text-like page against libtiff's Group 4 coder,
// and dct_encode on an A4 300 dpi photo-like page against a bare
// libjpeg-turbo compression with the same settings. Best of several runs.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <jpeglib.h>

#include "codec/codec.h"
#include "dib/dib.h"

#ifdef TARVO_HAVE_TIFF
#include <tiffio.h>
#endif

namespace {

const int kWidth = 2480, kHeight = 3508;

uint32_t lcg(uint32_t* s) {
    *s = *s * 1664525u + 1013904223u;
    return *s >> 8;
}

// Lines of glyph-sized blobs (strokes, bowls, bars) on white; 1 = white.
std::vector<uint8_t> text_page(size_t row_bytes) {
    std::vector<uint8_t> bits(row_bytes * kHeight, 0xFF);
    auto black = [&](int x, int y) { bits[size_t(y) * row_bytes + x / 8] &= uint8_t(~(0x80 >> (x & 7))); };
    uint32_t seed = 11;
    for (int base = 200; base + 60 < kHeight - 200; base += 50) {
        int x = 200;
        while (x + 40 < kWidth - 200) {
            int w = 14 + int(lcg(&seed) % 16), h = 22 + int(lcg(&seed) % 14), kind = int(lcg(&seed) % 4);
            for (int y = 0; y < h; ++y)
                for (int dx = 0; dx < w; ++dx) {
                    bool ink = kind == 0 ? (dx < 4 || y < 4)
                             : kind == 1 ? (dx < 4 || dx >= w - 4 || y < 3 || y >= h - 3)
                             : kind == 2 ? (dx + y) % 9 < 4
                                         : (y > h / 2 && dx % 6 < 4);
                    if (ink) black(x + dx, base + 40 - h + y);
                }
            x += w + 4 + int(lcg(&seed) % 5);
            if (lcg(&seed) % 7 == 0) x += 25;  // word gap
        }
    }
    return bits;
}

// Smooth colour gradients with sensor-like noise, stored as a bottom-up
// 24-bit bitmap.
DibHandle photo_page() {
    DibHandle h = nullptr;
    if (dib_create(kWidth, kHeight, 24, 11811, 11811, nullptr, &h) != DIB_OK) return nullptr;
    uint8_t* px = dib_lock_bits(h, nullptr);
    const size_t stride = size_t(dib_stride(kWidth, 24));
    uint32_t seed = 5;
    for (int y = 0; y < kHeight; ++y) {
        uint8_t* row = px + stride * size_t(y);
        for (int x = 0; x < kWidth; ++x) {
            int n = int(lcg(&seed) % 17) - 8;
            int b = (x * 255 / kWidth + n), g = (y * 255 / kHeight + n),
                r = (((x / 3 + y / 5) % 256) + n);
            row[3 * x] = uint8_t(std::clamp(b, 0, 255));
            row[3 * x + 1] = uint8_t(std::clamp(g, 0, 255));
            row[3 * x + 2] = uint8_t(std::clamp(r, 0, 255));
        }
    }
    dib_unlock(h);
    return h;
}

double now_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

template <typename F>
double best_of(int reps, F f) {
    double best = 1e300;
    for (int i = 0; i < reps; ++i) {
        double t0 = now_ms();
        f();
        best = std::min(best, now_ms() - t0);
    }
    return best;
}

// The encoders log to standard output; keep that out of the report.
struct Quiet {
    int saved = -1;
    void on() {
        std::fflush(stdout);
        saved = dup(1);
        std::freopen("/dev/null", "w", stdout);
    }
    void off() {
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }
};

#ifdef TARVO_HAVE_TIFF
struct Sink {
    std::vector<uint8_t> bytes;
    uint64_t pos = 0;
};
tmsize_t sink_read(thandle_t, void*, tmsize_t) { return 0; }
tmsize_t sink_write(thandle_t h, void* buf, tmsize_t n) {
    Sink* s = static_cast<Sink*>(h);
    if (s->pos + uint64_t(n) > s->bytes.size()) s->bytes.resize(size_t(s->pos + uint64_t(n)));
    std::memcpy(s->bytes.data() + s->pos, buf, size_t(n));
    s->pos += uint64_t(n);
    return n;
}
toff_t sink_seek(thandle_t h, toff_t off, int whence) {
    Sink* s = static_cast<Sink*>(h);
    s->pos = (whence == SEEK_CUR ? s->pos : whence == SEEK_END ? s->bytes.size() : 0) + off;
    return s->pos;
}
int sink_close(thandle_t) { return 0; }
toff_t sink_size(thandle_t h) { return static_cast<Sink*>(h)->bytes.size(); }
int sink_map(thandle_t, void**, toff_t*) { return 0; }
void sink_unmap(thandle_t, void*, toff_t) {}

// Times libtiff's Group 4 coding of one strip; returns its data length.
size_t libtiff_g4(const std::vector<uint8_t>& black_is_1, double* ms) {
    Sink sink;
    sink.bytes.reserve(black_is_1.size());
    TIFF* t = TIFFClientOpen("bench", "w", &sink, sink_read, sink_write, sink_seek, sink_close,
                             sink_size, sink_map, sink_unmap);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(kWidth));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(kHeight));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, uint32_t(kHeight));
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    double t0 = now_ms();
    tmsize_t n = TIFFWriteEncodedStrip(t, 0, const_cast<uint8_t*>(black_is_1.data()),
                                       tmsize_t(black_is_1.size()));
    *ms = now_ms() - t0;
    TIFFClose(t);
    return n < 0 ? 0 : size_t(sink.pos);
}
#endif

// libjpeg-turbo alone: the same rows, colour space, quality and markers.
size_t bare_jpeg(const uint8_t* pixels, size_t stride, uint8_t* out, unsigned long capacity) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* buf = out;
    unsigned long size = capacity;
    jpeg_mem_dest(&c, &buf, &size);
    c.image_width = kWidth;
    c.image_height = kHeight;
    c.input_components = 3;
    c.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 75, TRUE);
    c.optimize_coding = TRUE;
    c.write_JFIF_header = FALSE;
    c.write_Adobe_marker = TRUE;
    jpeg_start_compress(&c, TRUE);
    for (int r = 0; r < kHeight; ++r) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + stride * size_t(kHeight - 1 - r));
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    if (buf != out) std::free(buf);
    return size;
}

}  // namespace

int main() {
    Quiet quiet;
    const size_t row_bytes = (kWidth + 7) / 8;
    const std::vector<uint8_t> page = text_page(row_bytes);
    const uint32_t capacity = uint32_t(page.size() + 1024);
    std::vector<uint8_t> out(capacity);
    uint32_t ours_len = 0;

    auto ours = [&] {
        ours_len = capacity;
        ccitt_encode(out.data(), &ours_len, page.data(), int32_t(page.size()), -1, 0, kWidth, kHeight, 0);
    };
#ifdef TARVO_HAVE_TIFF
    std::vector<uint8_t> inverted(page.size());  // libtiff codes 1 bits as black
    for (size_t i = 0; i < page.size(); ++i) inverted[i] = uint8_t(~page[i]);
    double ours_g4 = 1e300, tiff_g4 = 1e300;
    size_t tiff_len = 0;
    for (int i = 0; i < 9; ++i) {
        quiet.on();
        ours_g4 = std::min(ours_g4, best_of(1, ours));
        quiet.off();
        double ms;
        tiff_len = libtiff_g4(inverted, &ms);
        tiff_g4 = std::min(tiff_g4, ms);
    }
    std::printf("G4 text page %dx%d: ours %.2f ms, %u bytes; libtiff %.2f ms, %zu bytes with TIFF framing\n",
                kWidth, kHeight, ours_g4, ours_len, tiff_g4, tiff_len);
    std::printf("G4 ratio ours / libtiff Group 4: %.3f (goal <= 1.0)\n", ours_g4 / tiff_g4);
#else
    quiet.on();
    double ours_g4 = best_of(9, ours);
    quiet.off();
    std::printf("G4 text page %dx%d: ours %.2f ms, %u bytes\n", kWidth, kHeight, ours_g4, ours_len);
    std::printf("G4 ratio: libtiff not found, no baseline\n");
#endif

    DibHandle photo = photo_page();
    const uint32_t jpeg_capacity = uint32_t(size_t(kWidth) * kHeight * 3 + 1024);
    std::vector<uint8_t> jpeg_buffer(jpeg_capacity);
    uint8_t* jpeg_out = jpeg_buffer.data();
    uint32_t jpeg_len = 0;
    const uint8_t* pixels = dib_lock_bits(photo, nullptr);
    const size_t stride = size_t(dib_stride(kWidth, 24));
    const CodecImage image = {kWidth, kHeight, false, int64_t(stride), 24, nullptr, 0, pixels, nullptr, nullptr, nullptr, {}, false, 0, nullptr};
    size_t bare_len = 0;
    double ours_dct = 1e300, bare_dct = 1e300;
    // Alternating the two spreads any load from elsewhere over both.
    for (int i = 0; i < 7; ++i) {
        quiet.on();
        ours_dct = std::min(ours_dct, best_of(1, [&] {
            uint8_t* o = jpeg_out;
            jpeg_len = jpeg_capacity;
            codec_dct_encode(nullptr, &image, 75, 0, &o, &jpeg_len);
            if (o != jpeg_out) std::free(o);
        }));
        quiet.off();
        bare_dct = std::min(bare_dct, best_of(1, [&] {
            bare_len = bare_jpeg(pixels, stride, jpeg_out, jpeg_capacity);
        }));
    }
    dib_unlock(photo);
    std::printf("DCT photo page %dx%d q75: ours %.2f ms, %u bytes; bare libjpeg-turbo %.2f ms, %zu bytes\n",
                kWidth, kHeight, ours_dct, jpeg_len, bare_dct, bare_len);
    std::printf("DCT ratio ours / bare libjpeg-turbo: %.3f (goal <= 1.05)\n", ours_dct / bare_dct);

    plat_mem_free(photo);
    return 0;
}
