// A program that embeds the writer: one bitmap in, one PDF page out, the
// page as large as the bitmap at its own resolution.
//
//   g++ embed.cpp $(pkg-config --cflags --libs tarvo) -o embed
//   ./embed scan.bmp scan.pdf
#include <cstdio>
#include <cstdlib>

#include "dib/dib.h"
#include "pdf/pdfw.h"

namespace {

// pixels at ppm pixels per metre (0: 96 dpi) in document units, 1/7200
// inch, of which a metre holds 283464.
int32_t extent(int64_t pixels, int32_t ppm) {
    if (ppm <= 0) ppm = DIB_DEFAULT_PPM;
    return static_cast<int32_t>((pixels * 283464 + ppm / 2) / ppm);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: embed in.bmp out.pdf\n");
        return 2;
    }
    wchar_t* in = plat_utf8_to_wide(argv[1]);
    wchar_t* out = plat_utf8_to_wide(argv[2]);
    DibHandle dib = nullptr;
    if (!in || !out || dib_load_bmp(&dib, in, 0) != DIB_OK) {
        std::fprintf(stderr, "%s: %s\n", argv[1], dib_cause_text(dib_load_cause()));
        std::free(in);
        std::free(out);
        return 1;
    }
    DibInfoHeader header;
    dib_command(DIB_OP_GET_HEADER, dib, &header);
    // The page is the image's own rectangle.
    const PageRect page = {0, 0, extent(header.width, header.x_ppm),
                           extent(dib_rows(header.height), header.y_ppm)};
    PdfDocument* doc = nullptr;
    const bool ok = pdfw_new(&doc) && pdfw_set_trace(doc, nullptr, nullptr) &&
                    pdfw_file_create(doc, out, nullptr) &&
                    pdfw_set_page_size(doc, 0, 0, 0, page.w, page.h) &&
                    pdfw_impage(doc, dib, &page, nullptr) &&
                    pdfw_set_info(doc, "/Title", L"Embedded") && pdfw_file_close(doc);
    if (!ok) std::fprintf(stderr, "%s: %s\n", argv[2], pdfw_last_error_text(doc));
    pdfw_destroy(&doc);
    dib_command(DIB_OP_FREE, &dib, nullptr);
    std::free(in);
    std::free(out);
    return ok ? 0 : 1;
}
