// Writer test support: the fixture every writer test derives from, a
// document with an open output file, bitmaps and pages, and a pinned clock
// and user. Header only: the support sources are linked into the
// bitmap-only test programs too, which have no writer.
#ifndef TARVO_TESTS_WRITER_FIXTURE_H
#define TARVO_TESTS_WRITER_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "pdf/pdfw.h"
#include "platform/platform.h"
#include "support/tools.h"

// After the test's documents are destroyed no byte of the writer's counted
// allocator is still in use.
struct WriterTest : ::testing::Test {
    void TearDown() override { EXPECT_EQ(pdfw_mem_all_in_use(), 0) << "writer memory left after destroy"; }
};

// A document whose output file is open.
class WriterFixture : public WriterTest {
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
// A page showing a white 16 x 8 one-bit bitmap (image, resources, contents
// and page objects, in that order), placed and clipped as pdfw_impage does.
bool add_page(PdfDocument* doc, const PageRect* image = nullptr, const PageRect* clip = nullptr);

// The platform clock and user name pinned while it lives: 2024-03-05
// 10:20:30 UTC, local time offset_minutes east of it, and the login name
// "tester" (none when has_user is false).
struct PinnedPlatform {
    explicit PinnedPlatform(int offset_minutes = 120, bool has_user = true) {
        offset() = offset_minutes;
        plat_set_time_hook(clock);
        plat_set_user_hook(has_user ? user : [](wchar_t*, size_t) { return false; });
    }
    ~PinnedPlatform() {
        plat_set_time_hook(nullptr);
        plat_set_user_hook(nullptr);
    }
    static int& offset() {
        static int minutes = 0;
        return minutes;
    }
    static void clock(PlatTime* utc, PlatTime* local) {
        *utc = *local = PlatTime{2024, 3, 2, 5, 10, 20, 30, 0};
        const int minutes = local->hour * 60 + local->minute + offset();
        local->hour = minutes / 60;
        local->minute = minutes % 60;
    }
    static bool user(wchar_t* buf, size_t cap) {
        return cap > 6 && std::wcscpy(buf, L"tester") != nullptr;
    }
};

inline void WriterFixture::SetUp() {
    dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    path = dir + "/out.pdf";
    ASSERT_TRUE(pdfw_new(&doc));
    ASSERT_TRUE(pdfw_file_create(doc, wide(path).c_str(), "%test"));
}

inline void WriterFixture::TearDown() {
    if (doc) pdfw_destroy(&doc);
    WriterTest::TearDown();
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

inline bool add_page(PdfDocument* doc, const PageRect* image, const PageRect* clip) {
    DibHandle dib = make_dib(16, 8, 1, 3780);
    const bool ok = pdfw_impage(doc, dib, image, clip);
    dib_command(DIB_OP_FREE, &dib, nullptr);
    return ok;
}

#endif
