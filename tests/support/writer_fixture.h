// A document with an open output file in a fresh directory, for tests of the
// writer's page and image calls. Header only: the support sources are linked
// into the bitmap-only test programs too, which have no writer.
#ifndef TARVO_TESTS_WRITER_FIXTURE_H
#define TARVO_TESTS_WRITER_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "pdf/pdfw.h"
#include "support/tools.h"

class WriterFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Closes the file and destroys the document; the path of the PDF.
    std::string finish();
    // The bytes written so far (the file is flushed first).
    std::string written();
    // Output of the writer call f on standard output.
    template <typename F>
    std::string stdout_of(F f) {
        ::testing::internal::CaptureStdout();
        f();
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }

    PdfDocument* doc = nullptr;
    std::string dir;
    std::string path;
};

// A bitmap made by the library: bit_count bits, the given table (4-byte
// entries) or the library's default, pixels set through set_pixel.
DibHandle make_dib(int width, int height, int bit_count, int32_t ppm,
                   const void* table = nullptr);
void set_pixel(DibHandle dib, int x, int y, uint32_t value);  // y from the top

inline void WriterFixture::SetUp() {
    dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    path = dir + "/out.pdf";
    ASSERT_TRUE(pdfw_new(&doc));
    std::wstring wide(path.begin(), path.end());
    ASSERT_TRUE(pdfw_file_create(doc, wide.c_str(), "%test"));
}

inline void WriterFixture::TearDown() {
    if (doc) pdfw_destroy(&doc);
    EXPECT_EQ(pdfw_mem_all_in_use(), 0) << "writer memory left after destroy";
    remove_tree(dir);
}

inline std::string WriterFixture::finish() {
    EXPECT_TRUE(pdfw_file_close(doc));
    pdfw_destroy(&doc);
    return path;
}

inline std::string WriterFixture::written() {
    std::fflush(nullptr);
    std::string bytes;
    read_file(path, &bytes);
    return bytes;
}

inline DibHandle make_dib(int width, int height, int bit_count, int32_t ppm, const void* table) {
    DibHandle dib = nullptr;
    if (dib_create(width, height, bit_count, ppm, ppm, table, &dib) != DIB_OK) return nullptr;
    return dib;
}

inline void set_pixel(DibHandle dib, int x, int y, uint32_t value) {
    DibView v;
    if (dib_view_open(&v, dib) != 0) return;
    int row = v.header->height > 0 ? v.rows - 1 - y : y;
    uint8_t* p = v.pixels + static_cast<int64_t>(row) * v.stride;
    switch (v.bit_count) {
    case 1: {
        uint8_t bit = static_cast<uint8_t>(0x80 >> (x % 8));
        p[x / 8] = static_cast<uint8_t>(value ? p[x / 8] | bit : p[x / 8] & ~bit);
        break;
    }
    case 4: {
        uint8_t& b = p[x / 2];
        b = x % 2 ? static_cast<uint8_t>((b & 0xF0) | (value & 15))
                  : static_cast<uint8_t>((b & 0x0F) | (value & 15) << 4);
        break;
    }
    case 8: p[x] = static_cast<uint8_t>(value); break;
    default: {
        uint8_t* q = p + static_cast<int64_t>(x) * (v.bit_count / 8);
        q[0] = static_cast<uint8_t>(value);
        q[1] = static_cast<uint8_t>(value >> 8);
        q[2] = static_cast<uint8_t>(value >> 16);
    }
    }
    dib_view_close(&v);
}

#endif
