#include "support/fax_decode.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#ifdef TARVO_HAVE_TIFF
#include <tiffio.h>
#endif

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

bool on_path(const char* name) {
    const char* path = std::getenv("PATH");
    if (!path) return false;
    std::string all(path);
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(':', start);
        if (end == std::string::npos) end = all.size();
        std::string file = all.substr(start, end - start) + "/" + name;
        if (access(file.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

// A one-page PDF holding the data as a byte-aligned CCITT image; pdfimages
// writes it back as PBM (1 = black).
bool decode_with_poppler(const uint8_t* data, size_t size, int columns, int rows,
                         std::vector<uint8_t>* pixels) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/faxXXXXXX";
    if (!mkdtemp(&dir[0])) return false;
    const std::string pdf = dir + "/fax.pdf", prefix = dir + "/img", pbm = prefix + "-000.pbm";

    std::string body = "%PDF-1.4\n";
    long offsets[6];
    auto object = [&](int n, const std::string& text) {
        offsets[n] = long(body.size());
        body += std::to_string(n) + " 0 obj\n" + text + "\nendobj\n";
    };
    object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    object(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 100 100] "
              "/Contents 5 0 R /Resources << /XObject << /Im 4 0 R >> >> >>");
    offsets[4] = long(body.size());
    body += "4 0 obj\n<< /Type /XObject /Subtype /Image /Width " + std::to_string(columns) +
            " /Height " + std::to_string(rows) +
            " /ColorSpace /DeviceGray /BitsPerComponent 1 /Filter /CCITTFaxDecode"
            " /DecodeParms << /K -1 /Columns " + std::to_string(columns) + " /Rows " +
            std::to_string(rows) + " /EncodedByteAlign true >> /Length " +
            std::to_string(size) + " >>\nstream\n";
    body.append(reinterpret_cast<const char*>(data), size);
    body += "\nendstream\nendobj\n";
    // pdfimages lists only images the page draws.
    object(5, "<< /Length 29 >>\nstream\nq 100 0 0 100 0 0 cm /Im Do Q\nendstream");
    long xref = long(body.size());
    body += "xref\n0 6\n0000000000 65535 f \n";
    for (int n = 1; n <= 5; ++n) {
        char line[32];
        std::snprintf(line, sizeof line, "%010ld 00000 n \n", offsets[n]);
        body += line;
    }
    body += "trailer\n<< /Size 6 /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    { std::ofstream(pdf, std::ios::binary) << body; }

    bool ok = false;
    pid_t pid = fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stderr);
        execlp("pdfimages", "pdfimages", pdf.c_str(), prefix.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        std::ifstream in(pbm, std::ios::binary);
        std::string magic;
        int w = 0, h = 0;
        in >> magic >> w >> h;
        in.get();
        const size_t row_bytes = (size_t(columns) + 7) / 8;
        if (in && magic == "P4" && w == columns && h == rows) {
            pixels->assign(row_bytes * size_t(rows), 0);
            in.read(reinterpret_cast<char*>(pixels->data()), std::streamsize(pixels->size()));
            ok = bool(in);
        }
    }
    std::remove(pbm.c_str());
    std::remove(pdf.c_str());
    rmdir(dir.c_str());
    if (ok) to_white_is_1(pixels, columns);
    return ok;
}

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

#endif

}  // namespace

bool fax_decode_available(FaxDecodeMode mode) {
    if (mode == FAX_DECODE_G4_ALIGNED) return on_path("pdfimages");
#ifdef TARVO_HAVE_TIFF
    return true;
#else
    return false;
#endif
}

bool fax_decode(const uint8_t* data, size_t size, FaxDecodeMode mode, int columns, int rows,
                std::vector<uint8_t>* pixels) {
    if (mode == FAX_DECODE_G4_ALIGNED) return decode_with_poppler(data, size, columns, rows, pixels);
#ifdef TARVO_HAVE_TIFF
    const bool aligned = mode == FAX_DECODE_MH_ALIGNED;
    return decode_with_libtiff(data, size, mode == FAX_DECODE_G4, aligned, columns, rows, pixels);
#else
    (void)data, (void)size, (void)columns, (void)rows, (void)pixels;
    return false;
#endif
}
