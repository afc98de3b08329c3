#include "support/fax_decode.h"

#ifdef TARVO_HAVE_TIFF

#include <tiffio.h>

#include <algorithm>
#include <cstring>

namespace {

// Complements decoded samples (black = 1 there) into 1 = white and clears
// the bits past the width.
void to_white_is_1(std::vector<uint8_t>* pixels, int columns) {
    const size_t row_bytes = (size_t(columns) + 7) / 8;
    const uint8_t tail = uint8_t(0xFF << ((8 - columns % 8) % 8));
    for (size_t i = 0; i < pixels->size(); ++i) {
        (*pixels)[i] = uint8_t(~(*pixels)[i]);
        if ((i + 1) % row_bytes == 0) (*pixels)[i] &= tail;
    }
}

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
    uint64_t base = whence == SEEK_CUR ? f->pos : whence == SEEK_END ? f->bytes.size() : 0;
    f->pos = base + off;
    return f->pos;
}

int mem_close(thandle_t) { return 0; }
toff_t mem_size(thandle_t h) { return static_cast<MemFile*>(h)->bytes.size(); }
int mem_map(thandle_t, void**, toff_t*) { return 0; }
void mem_unmap(thandle_t, void*, toff_t) {}

TIFF* mem_open(MemFile* f, const char* mode) {
    f->pos = 0;
    return TIFFClientOpen("fax", mode, f, mem_read, mem_write, mem_seek, mem_close,
                          mem_size, mem_map, mem_unmap);
}

void quiet(const char*, const char*, va_list) {}

bool decode_with_libtiff(const uint8_t* data, size_t size, bool g4, bool aligned, int columns,
                         int rows, std::vector<uint8_t>* pixels) {
    TIFFSetWarningHandler(quiet);
    TIFFSetErrorHandler(quiet);
    MemFile file;
    TIFF* out = mem_open(&file, "w");
    if (!out) return false;
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, uint32_t(columns));
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, uint32_t(rows));
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, uint32_t(rows));
    TIFFSetField(out, TIFFTAG_COMPRESSION, g4 ? COMPRESSION_CCITTFAX4 : COMPRESSION_CCITTRLE);
    // libtiff's fax decoder yields black runs as 1 bits, whatever the tag
    // says; declare that, and turn the samples around after decoding.
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    bool ok = TIFFWriteRawStrip(out, 0, const_cast<uint8_t*>(data), tmsize_t(size)) ==
              tmsize_t(size);
    TIFFClose(out);
    if (!ok) return false;

    TIFF* in = mem_open(&file, "r");
    if (!in) return false;
    // Rows follow each other with neither EOLs nor a return-to-control code.
    TIFFSetField(in, TIFFTAG_FAXMODE,
                 FAXMODE_NORTC | FAXMODE_NOEOL | (aligned ? FAXMODE_BYTEALIGN : 0));
    pixels->assign((size_t(columns) + 7) / 8 * size_t(rows), 0);
    tmsize_t got = TIFFReadEncodedStrip(in, 0, pixels->data(), tmsize_t(pixels->size()));
    TIFFClose(in);
    if (got != tmsize_t(pixels->size())) return false;
    to_white_is_1(pixels, columns);
    return true;
}

}  // namespace

bool fax_decode_available() { return true; }

bool fax_decode(const uint8_t* data, size_t size, FaxDecodeMode mode, int columns, int rows,
                std::vector<uint8_t>* pixels) {
    const bool aligned = mode == FAX_DECODE_MH_ALIGNED;
    return decode_with_libtiff(data, size, mode == FAX_DECODE_G4, aligned, columns, rows, pixels);
}

#else

bool fax_decode_available() { return false; }

bool fax_decode(const uint8_t*, size_t, FaxDecodeMode, int, int, std::vector<uint8_t>*) {
    return false;
}

#endif
