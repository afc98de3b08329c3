// The Win32 side of the platform layer where it meets the system: bitmaps
// through the system clipboard as other programs see them, GDI's HALFTONE
// and COLORONCOLOR stretching against the Linux surface's own raster,
// UTF-16 text at the boundary, and the user name.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "dib/dib.h"
#include "platform/platform.h"

// The Linux surface, compiled in under other names as the reference.
#define plat_surface_create ref_surface_create
#define plat_surface_destroy ref_surface_destroy
#define plat_surface_set_stretch_mode ref_surface_set_stretch_mode
#define plat_surface_pixel ref_surface_pixel
#define plat_surface_fill ref_surface_fill
#define plat_surface_stretch_dib ref_surface_stretch_dib
#include "platform/surface_posix.cpp"
#undef plat_surface_create
#undef plat_surface_destroy
#undef plat_surface_set_stretch_mode
#undef plat_surface_pixel
#undef plat_surface_fill
#undef plat_surface_stretch_dib

namespace {

// A w x h bitmap of bit_count bits with every byte of its pixel rows from
// a fixed sequence (and a colour table of distinct colours).
DibHandle noise_bitmap(int32_t w, int32_t h, int bit_count, uint32_t seed) {
    DibHandle dib = nullptr;
    uint8_t table[1024];
    for (int i = 0; i < 1024; ++i) table[i] = uint8_t((seed = seed * 1103515245u + 12345u) >> 24);
    EXPECT_EQ(dib_create(w, h, bit_count, 3780, 3780, bit_count <= 8 ? table : nullptr, &dib), DIB_OK);
    DibView v;
    EXPECT_EQ(dib_view_open(&v, dib), DIB_OK);
    for (int32_t i = 0; i < v.pixel_bytes; ++i)
        v.pixels[i] = uint8_t((seed = seed * 1103515245u + 12345u) >> 24);
    dib_view_close(&v);
    return dib;
}

std::vector<uint8_t> block_bytes(HGLOBAL h) {
    std::vector<uint8_t> bytes(GlobalSize(h));
    const void* p = GlobalLock(h);
    if (p && !bytes.empty()) std::memcpy(bytes.data(), p, bytes.size());
    GlobalUnlock(h);
    return bytes;
}

class SystemClipboard : public ::testing::Test {
protected:
    void SetUp() override { plat_clip_reset(); }
    void TearDown() override { plat_clip_reset(); }
};

// What dib_to_clipboard leaves is a CF_DIB any program reads with the
// plain Win32 calls, and a registered format by its name; what another
// program puts there comes back through dib_from_clipboard.
TEST_F(SystemClipboard, BitmapsCrossTheSystemClipboardBothWays) {
    const size_t blocks = plat_mem_blocks_in_use();
    DibHandle dib = noise_bitmap(7, 5, 24, 1);
    const std::vector<uint8_t> ours = block_bytes(reinterpret_cast<HGLOBAL>(dib));
    ASSERT_EQ(dib_to_clipboard(dib, 0, 0), DIB_OK);
    ASSERT_EQ(dib_to_clipboard(dib, 3, 0), DIB_OK);
    EXPECT_EQ(plat_mem_blocks_in_use(), blocks + 1) << "the copies are the clipboard's";

    ASSERT_TRUE(OpenClipboard(nullptr));
    EXPECT_TRUE(IsClipboardFormatAvailable(CF_DIB));
    HGLOBAL data = GetClipboardData(CF_DIB);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(block_bytes(data), ours);
    const UINT kesti = RegisterClipboardFormatW(L"Kesti#3");
    wchar_t name[64] = {0};
    EXPECT_GT(GetClipboardFormatNameW(kesti, name, 64), 0);
    EXPECT_STREQ(name, L"Kesti#3");
    ASSERT_NE(GetClipboardData(kesti), nullptr);
    EXPECT_EQ(block_bytes(GetClipboardData(kesti)), ours);

    // Another program's bitmap: a 1-bit one, set with the plain calls.
    DibHandle other = noise_bitmap(9, 3, 1, 2);
    const std::vector<uint8_t> theirs = block_bytes(reinterpret_cast<HGLOBAL>(other));
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE, theirs.size());
    std::memcpy(GlobalLock(copy), theirs.data(), theirs.size());
    GlobalUnlock(copy);
    ASSERT_TRUE(EmptyClipboard());
    ASSERT_NE(SetClipboardData(CF_DIB, copy), nullptr);
    ASSERT_TRUE(CloseClipboard());

    DibHandle got = nullptr;
    ASSERT_EQ(dib_from_clipboard(&got, 0, 0), DIB_OK);
    EXPECT_EQ(block_bytes(reinterpret_cast<HGLOBAL>(got)), theirs);
    plat_mem_free(got);
    EXPECT_EQ(dib_from_clipboard(&got, 3, 0), DIB_CLIP_NO_PRIVATE_DATA) << "emptied by the other";
    plat_mem_free(dib);
    plat_mem_free(other);
    EXPECT_EQ(plat_mem_blocks_in_use(), blocks);
}

// The largest difference of one colour channel between GDI's result and
// the Linux raster's, drawing dib at w x h in mode.
int stretch_difference(DibHandle dib, int32_t w, int32_t h, int mode) {
    PlatSurface* gdi = plat_surface_create(w, h);
    PlatSurface* ref = ref_surface_create(w, h);
    EXPECT_NE(gdi, nullptr);
    EXPECT_NE(ref, nullptr);
    plat_surface_set_stretch_mode(gdi, mode);
    ref_surface_set_stretch_mode(ref, mode);
    DibView v;
    EXPECT_EQ(dib_view_open(&v, dib), DIB_OK);
    EXPECT_NE(plat_surface_stretch_dib(gdi, 0, 0, w, h, v.header, v.pixels), PLAT_SURFACE_ERROR);
    EXPECT_NE(ref_surface_stretch_dib(ref, 0, 0, w, h, v.header, v.pixels), PLAT_SURFACE_ERROR);
    dib_view_close(&v);
    int worst = 0;
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            const uint32_t a = plat_surface_pixel(gdi, x, y), b = ref_surface_pixel(ref, x, y);
            for (int shift = 0; shift < 24; shift += 8) {
                const int d = std::abs(int(a >> shift & 0xFF) - int(b >> shift & 0xFF));
                if (d > worst) worst = d;
            }
        }
    plat_surface_destroy(gdi);
    ref_surface_destroy(ref);
    return worst;
}

// A smooth picture: each channel changes by at most RAMP_STEP from one
// pixel to the next (blue along x, green along y, red along both).
const int RAMP_STEP = 8;
DibHandle ramp_bitmap(int32_t w, int32_t h, int bit_count) {
    DibHandle dib = nullptr;
    uint8_t grey[1024];
    for (int i = 0; i < 256; ++i) grey[4 * i] = grey[4 * i + 1] = grey[4 * i + 2] = uint8_t(i), grey[4 * i + 3] = 0;
    EXPECT_EQ(dib_create(w, h, bit_count, 3780, 3780, grey, &dib), DIB_OK);
    DibView v;
    EXPECT_EQ(dib_view_open(&v, dib), DIB_OK);
    const int bytes = bit_count / 8;
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* row = v.pixels + int64_t(h - 1 - y) * v.stride;  // bottom-up
        for (int32_t x = 0; x < w; ++x) {
            const int b = RAMP_STEP * x, g = RAMP_STEP * y, r = RAMP_STEP / 2 * (x + y);
            if (bit_count == 8) {
                row[x] = uint8_t(RAMP_STEP / 2 * (x + y));
            } else {
                row[bytes * x] = uint8_t(b);
                row[bytes * x + 1] = uint8_t(g);
                row[bytes * x + 2] = uint8_t(r);
            }
        }
    }
    dib_view_close(&v);
    return dib;
}

struct StretchCase {
    int bit_count;
    int32_t src_w, src_h, dst_w, dst_h;
};

const StretchCase kStretchCases[] = {
    {24, 16, 12, 16, 12}, {8, 16, 12, 16, 12},  // 1:1
    {24, 6, 4, 12, 8},    {32, 5, 3, 15, 9},     // whole multiples up
    {24, 16, 16, 8, 8},   {8, 24, 12, 8, 4},     // whole divisions down
    {24, 14, 10, 6, 4},   {32, 9, 9, 4, 7},      // other ratios
};

// How far the two may differ on the ramp: one RAMP_STEP. Both pick or
// blend source pixels around the destination pixel's place, but not the
// same ones: GDI samples a bottom-up bitmap's rows in stored order and
// rounds positions its own way, and Wine's HALFTONE takes one pixel per
// destination pixel when shrinking and blends neighbours linearly when
// growing, where the Linux surface averages the covered area and repeats
// pixels. On these ratios the places differ by at most one source pixel.
int tolerance(const StretchCase&) { return RAMP_STEP; }

void expect_close_to_the_linux_surface(int mode) {
    for (const StretchCase& c : kStretchCases) {
        DibHandle dib = ramp_bitmap(c.src_w, c.src_h, c.bit_count);
        const bool same_size = c.src_w == c.dst_w && c.src_h == c.dst_h;
        EXPECT_LE(stretch_difference(dib, c.dst_w, c.dst_h, mode), same_size ? 0 : tolerance(c))
            << c.bit_count << " bits, " << c.src_w << "x" << c.src_h << " to " << c.dst_w << "x"
            << c.dst_h;
        plat_mem_free(dib);
    }
}

TEST(Stretch, ColorOnColorIsCloseToTheLinuxSurface) {
    expect_close_to_the_linux_surface(PLAT_STRETCH_COLORONCOLOR);
}

TEST(Stretch, HalftoneIsCloseToTheLinuxSurface) {
    expect_close_to_the_linux_surface(PLAT_STRETCH_HALFTONE);
}

// At 1:1 every depth draws exactly the Linux surface's pixels.
TEST(Stretch, UnscaledNoiseIsIdentical) {
    uint32_t seed = 10;
    for (int bits : {1, 4, 8, 24, 32}) {
        DibHandle dib = noise_bitmap(13, 7, bits, seed++);
        EXPECT_EQ(stretch_difference(dib, 13, 7, PLAT_STRETCH_HALFTONE), 0) << bits << " bits";
        plat_mem_free(dib);
    }
}

// Characters beyond U+FFFF are surrogate pairs in a Windows wide string
// and four bytes of UTF-8, both ways; a file of that name opens.
TEST(WideText, SurrogatePairsAreOneCharacter) {
    const char* utf8 = "a\xC3\xA9\xF0\x9F\x98\x80z";  // a, e acute, U+1F600, z
    wchar_t* wide = plat_utf8_to_wide(utf8);
    ASSERT_NE(wide, nullptr);
    EXPECT_STREQ(wide, L"a\u00E9\xD83D\xDE00z");
    char* back = plat_wide_to_utf8(wide);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back, utf8);
    std::free(back);

    wchar_t folder[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, folder), 0u);
    const std::wstring path = std::wstring(folder) + L"tarvo-" + wide + L".bmp";
    std::free(wide);
    FILE* f = plat_wfopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("BM", f);
    std::fclose(f);
    int64_t size = 0;
    EXPECT_EQ(plat_file_kind(path.c_str(), &size), PLAT_FILE_REGULAR);
    EXPECT_EQ(size, 2);
    EXPECT_EQ(plat_file_kind(folder, nullptr), PLAT_FILE_FOLDER);
    EXPECT_EQ(plat_file_kind(L"NUL", nullptr), PLAT_FILE_OTHER);
    EXPECT_TRUE(DeleteFileW(path.c_str()));
    EXPECT_EQ(plat_file_kind(path.c_str(), nullptr), PLAT_FILE_NONE);
}

TEST(UserName, IsTheLogonName) {
    wchar_t expected[256];
    DWORD n = 256;
    ASSERT_TRUE(GetUserNameW(expected, &n));
    wchar_t buf[256];
    ASSERT_TRUE(plat_user_name(buf, 256));
    EXPECT_STREQ(buf, expected);
    EXPECT_FALSE(plat_user_name(buf, std::wcslen(expected))) << "no room for the terminator";
}

}  // namespace
