// Drawing bitmaps on a surface: every depth and row order at 1:1, halving
// and doubling, turning first, clipping, the failure statuses, and a surface
// saved back as a BMP file.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "dib/dib.h"
#include "support/bmp_writer.h"
#include "support/dib_pixels.h"
#include "support/tools.h"

namespace {

const uint32_t MARKER = 0x123456;

PlatSurface* marked_surface(int w, int h) {
    PlatSurface* s = plat_surface_create(w, h);
    plat_surface_fill(s, MARKER);
    return s;
}

// Compares the surface with want (w x h, top row first) placed at (x, y),
// and the rest of the surface with the marker.
void expect_drawn(const PlatSurface* s, int x, int y, int w, int h,
                  const std::vector<uint32_t>& want) {
    for (int sy = 0; sy < s->height; sy++)
        for (int sx = 0; sx < s->width; sx++) {
            const bool inside = sx >= x && sx < x + w && sy >= y && sy < y + h;
            const uint32_t expect =
                inside ? want[static_cast<size_t>(sy - y) * w + (sx - x)] : MARKER;
            ASSERT_EQ(plat_surface_pixel(s, sx, sy), expect) << sx << "," << sy;
        }
}

class DrawDepth : public ::testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(DrawDepth, OneToOneShowsEveryColour) {
    const TestBitmap bmp = bmp_pattern(11, 5, std::get<0>(GetParam()), std::get<1>(GetParam()));
    DibHandle h = dib_from_file_bytes(bmp_encode(bmp));
    PlatSurface* s = marked_surface(20, 9);
    ASSERT_EQ(dib_draw(s, 3, 2, 11, 5, h, 0), DIB_OK);
    expect_drawn(s, 3, 2, 11, 5, bmp_expected_rgb(bmp));
    plat_surface_destroy(s);
    plat_mem_free(h);
}

INSTANTIATE_TEST_SUITE_P(DepthOrder, DrawDepth,
                         ::testing::Combine(::testing::Values(1, 4, 8, 24, 32), ::testing::Bool()));

TEST(Draw, SixteenBitsAreFiveFiveFive) {
    // Pure red, green, blue, white and a mid level, bottom-up in one row.
    const uint16_t words[5] = {0x7C00, 0x03E0, 0x001F, 0x7FFF, 0x4210};
    BmpFile f;
    f.width = 5;
    f.height = 1;
    f.bit_count = 16;
    f.body = bmp_rows(5, 1, 16, [&words](int x, int) { return words[x]; });
    DibHandle h = dib_from_file_bytes(bmp_encode(f));
    PlatSurface* s = marked_surface(5, 1);
    ASSERT_EQ(dib_draw(s, 0, 0, 5, 1, h, 0), DIB_OK);
    expect_drawn(s, 0, 0, 5, 1, {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0x848484});
    plat_surface_destroy(s);
    plat_mem_free(h);
}

TEST(Draw, HalvingAveragesBlocksAndDoublingRepeatsPixels) {
    TestBitmap bmp = bmp_pattern(6, 4, 24);
    DibHandle h = dib_from_file_bytes(bmp_encode(bmp));
    const std::vector<uint32_t> src = bmp_expected_rgb(bmp);

    std::vector<uint32_t> halved;
    for (int y = 0; y < 2; y++)
        for (int x = 0; x < 3; x++) {
            uint32_t out = 0;
            for (int shift = 0; shift < 24; shift += 8) {
                uint32_t sum = 0;
                for (int dy = 0; dy < 2; dy++)
                    for (int dx = 0; dx < 2; dx++) sum += src[(2 * y + dy) * 6 + 2 * x + dx] >> shift & 0xFF;
                out |= (sum + 2) / 4 << shift;
            }
            halved.push_back(out);
        }
    std::vector<uint32_t> doubled;
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 12; x++) doubled.push_back(src[(y / 2) * 6 + x / 2]);

    PlatSurface* s = marked_surface(16, 12);
    ASSERT_EQ(dib_draw(s, 1, 1, 3, 2, h, 0), DIB_OK);
    ASSERT_EQ(dib_draw(s, 4, 4, 12, 8, h, 0), DIB_OK);
    for (int y = 0; y < 2; y++)
        for (int x = 0; x < 3; x++) EXPECT_EQ(plat_surface_pixel(s, 1 + x, 1 + y), halved[y * 3 + x]);
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 12; x++) EXPECT_EQ(plat_surface_pixel(s, 4 + x, 4 + y), doubled[y * 12 + x]);
    EXPECT_EQ(plat_surface_pixel(s, 0, 0), MARKER);
    plat_surface_destroy(s);
    plat_mem_free(h);
}

TEST(Draw, TurnsFirstAndClipsToTheSurface) {
    TestBitmap bmp = bmp_pattern(5, 3, 8);
    DibHandle h = dib_from_file_bytes(bmp_encode(bmp));
    const std::vector<uint32_t> src = bmp_expected_rgb(bmp);
    const size_t blocks = plat_mem_blocks_in_use();

    // A quarter turn clockwise: 3 wide, 5 high, top row = left column from below.
    PlatSurface* s = marked_surface(3, 5);
    ASSERT_EQ(dib_draw(s, 0, 0, 3, 5, h, 90), DIB_OK);
    std::vector<uint32_t> turned;
    for (int y = 0; y < 5; y++)
        for (int x = 0; x < 3; x++) turned.push_back(src[(2 - x) * 5 + y]);
    expect_drawn(s, 0, 0, 3, 5, turned);
    EXPECT_EQ(plat_mem_blocks_in_use(), blocks) << "the turned copy is freed";
    plat_surface_destroy(s);

    // Hanging off the top left corner: only the visible part lands.
    s = marked_surface(4, 2);
    ASSERT_EQ(dib_draw(s, -2, -1, 5, 3, h, 0), DIB_OK);
    expect_drawn(s, 0, 0, 3, 2, {src[7], src[8], src[9], src[12], src[13], src[14]});
    plat_surface_destroy(s);
    plat_mem_free(h);
}

TEST(Draw, FailuresAndTheStretchModeLeftAsFound) {
    DibHandle two = nullptr, eight = nullptr;
    ASSERT_EQ(dib_create(4, 4, 2, 0, 0, nullptr, &two), DIB_OK);
    ASSERT_EQ(dib_create(4, 4, 8, 0, 0, nullptr, &eight), DIB_OK);
    PlatSurface* s = marked_surface(8, 8);
    const size_t blocks = plat_mem_blocks_in_use();
    const struct {
        void* surface;
        DibHandle h;
        int angle;
        int status;
    } cases[] = {
        {s, eight, 0, DIB_OK},
        {nullptr, eight, 0, DIB_ERR_STRETCH_MODE},
        {s, two, 0, DIB_ERR_DRAW},
        {s, nullptr, 0, DIB_ERR_NO_BITMAP},
        {s, nullptr, 90, DIB_ERR_NO_BITMAP},
        {s, eight, 45, DIB_ERR_ANGLE},
        {s, two, 90, DIB_ERR_UNSUPPORTED},
        {nullptr, eight, 270, DIB_ERR_STRETCH_MODE},
    };
    for (const auto& c : cases) {
        DibDrawArgs args{0, c.surface, 0, 0, 4, 4, c.angle};
        EXPECT_EQ(dib_command(DIB_OP_DRAW, c.h, &args), c.status) << c.angle;
        EXPECT_EQ(s->stretch_mode, PLAT_STRETCH_COLORONCOLOR);
        EXPECT_EQ(plat_mem_blocks_in_use(), blocks);
    }
    plat_surface_destroy(s);
    plat_mem_free(two);
    plat_mem_free(eight);
}

TEST(Draw, SurfaceSavedAsBitmapShowsWhatWasDrawn) {
    if (!tool_available("/usr/bin/python3")) GTEST_SKIP() << "no system Python";
    TestBitmap bmp = bmp_pattern(7, 5, 4);
    DibHandle h = dib_from_file_bytes(bmp_encode(bmp));
    PlatSurface* s = marked_surface(9, 6);
    ASSERT_EQ(dib_draw(s, 1, 1, 7, 5, h, 0), DIB_OK);
    DibHandle shot = nullptr;
    ASSERT_EQ(dib_from_surface(s, &shot), DIB_OK);
    const std::string dir = make_temp_dir();
    const std::string path = dir + "/surface.bmp";
    const std::wstring wpath(path.begin(), path.end());
    ASSERT_EQ(dib_save_bmp(shot, wpath.c_str(), 0), DIB_OK);
    Raster img;
    ASSERT_TRUE(read_with_pillow(path, &img));
    ASSERT_EQ(img.width, 9);
    ASSERT_EQ(img.height, 6);
    for (int y = 0; y < 6; y++)
        for (int x = 0; x < 9; x++) EXPECT_EQ(img.rgb[size_t(y) * 9 + x], plat_surface_pixel(s, x, y));
    remove_tree(dir);
    plat_mem_free(shot);
    plat_surface_destroy(s);
    plat_mem_free(h);
}

}  // namespace
