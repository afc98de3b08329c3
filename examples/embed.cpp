// A program that embeds the writer: one bitmap in, one PDF page out, the
// page as large as the bitmap at its own resolution.
//
//   g++ embed.cpp $(pkg-config --cflags --libs tarvo) -o embed
//   ./embed scan.bmp scan.pdf
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "dib/dib.h"
#include "pdf/pdfw.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: embed in.bmp out.pdf\n");
        return 2;
    }
    const std::wstring in(argv[1], argv[1] + std::strlen(argv[1]));  // ASCII paths
    const std::wstring out(argv[2], argv[2] + std::strlen(argv[2]));
    DibHandle dib = nullptr;
    if (dib_load_bmp(&dib, in.c_str(), 0) != DIB_OK) {
        std::fprintf(stderr, "%s: %s\n", argv[1], dib_cause_text(dib_load_cause()));
        return 1;
    }
    PdfDocument* doc = nullptr;
    bool ok = pdfw_new(&doc) && pdfw_set_trace(doc, nullptr, nullptr) &&
              pdfw_file_create(doc, out.c_str(), nullptr) &&
              pdfw_impage(doc, dib, nullptr, nullptr) &&
              pdfw_set_info(doc, "/Title", L"Embedded") && pdfw_file_close(doc);
    if (!ok) std::fprintf(stderr, "%s: %s\n", argv[2], pdfw_last_error_text(doc));
    pdfw_destroy(&doc);
    dib_command(DIB_OP_FREE, &dib, nullptr);
    return ok ? 0 : 1;
}
