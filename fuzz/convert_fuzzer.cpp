// Whole conversions: the input is a BMP file followed by one byte of
// choices (encoding, encryption, rotation, threads, prepared ahead from a
// file or written from memory). The bitmap goes through the loader and the
// writer into a complete document in a scratch file,
// which must then hold a cross-reference table whose offsets point at its
// objects; nothing of the writer may be left in use.
//
// Bitmaps whose headers declare more than MAX_PIXEL_BYTES of pixels are
// passed over before loading: a 100-byte file can declare gigabytes, which
// tests the allocator, not the converter, and would make the run's memory
// a matter of chance. The clock, the tick count and the random source are
// pinned so that a seeded run repeats.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dib/dib.h"
#include "fuzz/declared_size.h"
#include "pdf/pdfw.h"
#include "platform/platform.h"

namespace {

// One megapixel at 32 bits.
constexpr uint64_t MAX_PIXEL_BYTES = 4u << 20;

// TARVO_FUZZ_SCRATCH names the file; the seeded run sets it to a name of
// its own folder, because the path's characters reach the fuzzer's
// comparison tables and a process number in it would change the run.
std::string scratch_path() {
    static std::string path;
    if (path.empty()) {
        const char* fixed = std::getenv("TARVO_FUZZ_SCRATCH");
        const char* tmp = std::getenv("TMPDIR");
        path = fixed && *fixed ? std::string(fixed)
                               : std::string(tmp && *tmp ? tmp : "/tmp") + "/tarvo-convert-fuzz-" +
                                     std::to_string(getpid()) + ".pdf";
    }
    return path;
}

std::string read_all(const std::string& path) {
    std::string bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return bytes;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    std::fclose(f);
    return bytes;
}

// The trailer's startxref leads to "xref", and every in-use entry's offset
// to "N 0 obj".
bool well_framed(const std::string& pdf) {
    const size_t start = pdf.rfind("startxref\n");
    if (start == std::string::npos || pdf.compare(pdf.size() - 6, 6, "%%EOF\n") != 0) return false;
    const size_t xref = std::strtoull(pdf.c_str() + start + 10, nullptr, 10);
    if (pdf.compare(xref, 5, "xref\n") != 0) return false;
    size_t at = xref + 5;
    while (at < start && pdf.compare(at, 7, "trailer") != 0) {
        char* end = nullptr;
        const long first = std::strtol(pdf.c_str() + at, &end, 10);
        const long count = std::strtol(end, &end, 10);
        at = size_t(end - pdf.c_str()) + 1;
        for (long i = 0; i < count; ++i, at += 20) {
            if (at + 20 > pdf.size()) return false;
            const size_t offset = std::strtoull(pdf.c_str() + at, nullptr, 10);
            if (pdf[at + 17] != 'n' || first + i == 0) continue;
            const std::string head = std::to_string(first + i) + " 0 obj";
            if (pdf.compare(offset, head.size(), head) != 0) return false;
        }
    }
    return at < start;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool pinned = (plat_set_fixed_time(1700000000),
                                plat_set_tick_hook([]() -> uint32_t { return 0; }), true);
    (void)pinned;
    if (size < 2) return 0;
    const uint8_t choices = data[size - 1];
    if (fuzz::declared_pixel_bytes(data, size - 1) > MAX_PIXEL_BYTES) return 0;
    static const int kFilters[4] = {PDFW_FILTER_DCT, PDFW_FILTER_NONE, PDFW_FILTER_FLATE,
                                    PDFW_FILTER_DCT};
    const std::string path = scratch_path();
    // Prepared ahead, the bitmap comes from a file, as the command reads
    // it: a plain one's rows through their window.
    DibHandle dib = nullptr;
    DibRows* rows = nullptr;
    int loaded;
    if (choices & 0x80) {
        const std::string bmp = path + ".bmp";
        FILE* f = std::fopen(bmp.c_str(), "wb");
        if (!f) std::abort();
        const bool written = std::fwrite(data, 1, size - 1, f) == size - 1;
        if (std::fclose(f) != 0 || !written) std::abort();
        wchar_t* wbmp = plat_utf8_to_wide(bmp.c_str());
        loaded = dib_load_bmp_rows(&dib, wbmp, 0, &rows);
        std::free(wbmp);
    } else {
        loaded = dib_load_bmp_memory(&dib, data, size - 1, 0);
    }
    if (loaded != DIB_OK) {
        std::remove((path + ".bmp").c_str());
        return 0;
    }
    wchar_t* wpath = plat_utf8_to_wide(path.c_str());
    PdfDocument* doc = nullptr;
    bool ok = pdfw_new(&doc) && pdfw_set_trace(doc, nullptr, nullptr) &&
              pdfw_set_threads(doc, (choices & 0x40) ? 2 : 1);
    PdfEncodingChoices e{};
    if (ok && pdfw_get_encodings(doc, &e)) {
        e.truecolour = e.palette = e.grey = kFilters[choices & 3];
        pdfw_set_encodings(doc, &e);
    }
    ok = ok && pdfw_set_random_seed(doc, "fuzz", 4);
    if (ok && (choices & 0x0C)) {
        pdfw_set_encryption(doc, "o", "u", ((choices >> 2) & 3) - 1, pdfw_permissions(0, 5));
    }
    ok = ok && pdfw_file_create(doc, wpath, nullptr) &&
         pdfw_set_rotation(doc, ((choices >> 4) & 3) * 90);
    PdfPreparedImage* image = nullptr;
    if (ok && (choices & 0x80)) {
        if (rows)
            pdfw_image_prepare_rows(doc, rows, 0, nullptr, nullptr, &image);
        else
            pdfw_image_prepare(doc, &dib, 0, nullptr, nullptr, &image);
        dib_rows_close(&rows, nullptr);
        ok = pdfw_impage_prepared(doc, image, nullptr, nullptr);
    } else if (ok) {
        ok = pdfw_impage(doc, dib, nullptr, nullptr);
    }
    const bool closed = ok && pdfw_file_close(doc);
    pdfw_destroy(&doc);
    dib_command(DIB_OP_FREE, &dib, nullptr);
    dib_rows_close(&rows, nullptr);
    std::free(wpath);
    if (pdfw_mem_all_in_use() != 0) std::abort();
    if (closed && !well_framed(read_all(path))) std::abort();
    std::remove(path.c_str());
    std::remove((path + ".bmp").c_str());
    return 0;
}
