// CCITT round trip: the input's last three bytes choose the width and the
// mode, the rest are packed rows. Every encoding must decode back (through
// libtiff, when present) to the same pixels, and the capacity rule must hold
// one byte either side of the produced length.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/codec.h"

#ifdef TARVO_HAVE_TIFF
#include <tiffio.h>
#endif

namespace {

#ifdef TARVO_HAVE_TIFF
struct MemFile {
    std::vector<uint8_t> bytes;
    uint64_t pos = 0;
};
tmsize_t mem_read(thandle_t h, void* buf, tmsize_t n) {
    auto* f = static_cast<MemFile*>(h);
    if (f->pos >= f->bytes.size()) return 0;
    tmsize_t take = std::min<tmsize_t>(n, tmsize_t(f->bytes.size() - f->pos));
    std::memcpy(buf, f->bytes.data() + f->pos, size_t(take));
    f->pos += uint64_t(take);
    return take;
}
tmsize_t mem_write(thandle_t h, void* buf, tmsize_t n) {
    auto* f = static_cast<MemFile*>(h);
    if (f->pos + uint64_t(n) > f->bytes.size()) f->bytes.resize(size_t(f->pos + uint64_t(n)));
    std::memcpy(f->bytes.data() + f->pos, buf, size_t(n));
    f->pos += uint64_t(n);
    return n;
}
toff_t mem_seek(thandle_t h, toff_t off, int whence) {
    auto* f = static_cast<MemFile*>(h);
    f->pos = (whence == SEEK_CUR ? f->pos : whence == SEEK_END ? f->bytes.size() : 0) + off;
    return f->pos;
}
int mem_close(thandle_t) { return 0; }
toff_t mem_size(thandle_t h) { return static_cast<MemFile*>(h)->bytes.size(); }
int mem_map(thandle_t, void**, toff_t*) { return 0; }
void mem_unmap(thandle_t, void*, toff_t) {}
void quiet(const char*, const char*, va_list) {}

// libtiff's samples: black = 1. False when libtiff cannot read the data.
bool tiff_decode(const std::vector<uint8_t>& code, bool g4, bool aligned, int columns, int rows,
                 std::vector<uint8_t>* pixels) {
    TIFFSetWarningHandler(quiet);
    TIFFSetErrorHandler(quiet);
    MemFile f;
    TIFF* t = TIFFClientOpen("fax", "w", &f, mem_read, mem_write, mem_seek, mem_close, mem_size,
                             mem_map, mem_unmap);
    if (!t) return false;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(columns));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(rows));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, uint32_t(rows));
    TIFFSetField(t, TIFFTAG_COMPRESSION, g4 ? COMPRESSION_CCITTFAX4 : COMPRESSION_CCITTRLE);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFWriteRawStrip(t, 0, const_cast<uint8_t*>(code.data()), tmsize_t(code.size()));
    TIFFClose(t);
    f.pos = 0;
    t = TIFFClientOpen("fax", "r", &f, mem_read, mem_write, mem_seek, mem_close, mem_size,
                       mem_map, mem_unmap);
    if (!t) return false;
    TIFFSetField(t, TIFFTAG_FAXMODE,
                 FAXMODE_NORTC | FAXMODE_NOEOL | (aligned ? FAXMODE_BYTEALIGN : 0));
    pixels->assign((size_t(columns) + 7) / 8 * size_t(rows), 0);
    tmsize_t got = TIFFReadEncodedStrip(t, 0, pixels->data(), tmsize_t(pixels->size()));
    TIFFClose(t);
    return got == tmsize_t(pixels->size());
}
#endif

int32_t encode(const std::vector<uint8_t>& rows_data, int k, int align, int columns, int rows,
               uint32_t capacity, std::vector<uint8_t>* out, uint32_t* space) {
    // A guard zone past the capacity that must survive every call.
    out->assign(size_t(capacity) + 16, 0xA5);
    *space = capacity;
    int32_t r = ccitt_encode(out->data(), space, rows_data.data(), int32_t(rows_data.size()), k,
                             align, columns, rows, 0);
    for (size_t i = capacity; i < out->size(); ++i)
        if ((*out)[i] != 0xA5) std::abort();
    return r;
}

}  // namespace

// libFuzzer calls this; the corpus replay under CTest does not, so its
// report stays on standard output while fuzzing runs stay quiet.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint8_t* tail = data + size - 3;
    int columns = 1 + ((tail[0] | tail[1] << 8) % 3000);
    const bool one_d = tail[2] & 1;
    const int align = (tail[2] >> 1) & 1;
    // libtiff's 1-D decoder keeps the width rounded up to 32 runs a row,
    // one short of single-pixel runs after a leading white 0.
    if (one_d && columns % 32 == 0) ++columns;
    const size_t row_bytes = (size_t(columns) + 7) / 8;
    const int rows = int(std::min<size_t>((size - 3) / row_bytes, 512));
    if (rows == 0) return 0;
    std::vector<uint8_t> pixels(data, data + row_bytes * size_t(rows));
    const int k = one_d ? 0 : -1;
    const int32_t full = one_d ? CCITT_FULL_1D : CCITT_FULL_2D;

    // 1-D single-pixel runs take 4.5 bits a pixel; nothing takes more.
    const uint32_t ample = uint32_t(pixels.size() * 6 + 64);
    std::vector<uint8_t> out;
    uint32_t length;
    if (encode(pixels, k, align, columns, rows, ample, &out, &length) != CCITT_OK) std::abort();
    if (length == 0 || length > ample) std::abort();
    out.resize(length);

    // One byte more always fits; one byte less never does.
    std::vector<uint8_t> again;
    uint32_t n;
    if (encode(pixels, k, align, columns, rows, length + 1, &again, &n) != CCITT_OK || n != length ||
        !std::equal(out.begin(), out.end(), again.begin()))
        std::abort();
    int32_t r = encode(pixels, k, align, columns, rows, length - 1, &again, &n);
    if ((r != full && r != CCITT_FULL_EOFB) || n != length - 1) std::abort();

#ifdef TARVO_HAVE_TIFF
    // libtiff does not read byte-aligned Group 4.
    if (!one_d && align) return 0;
    std::vector<uint8_t> decoded;
    if (!tiff_decode(out, !one_d, align, columns, rows, &decoded)) std::abort();
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < columns; ++x) {
            size_t i = size_t(y) * row_bytes + size_t(x) / 8;
            int shift = 7 - (x & 7);
            if (((pixels[i] >> shift) & 1) == ((decoded[i] >> shift) & 1)) std::abort();
        }
#endif
    return 0;
}
