// The drawing surface on its own: sizes, stretch modes, sampling and
// averaging at ratios other than 2, mirroring, odd colour tables, and the
// bitmaps it refuses. Bitmaps are built byte by byte here.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace {

// A packed 8-bit bitmap of one row: 40-byte header, a table of `entries`
// greys (entry i = i * 10), then the indices.
std::vector<uint8_t> grey_row(const std::vector<uint8_t>& indices, uint32_t entries,
                              int32_t height = 1) {
    std::vector<uint8_t> b(40 + 4 * entries, 0);
    const uint32_t size = 40, used = entries;
    const int32_t width = static_cast<int32_t>(indices.size());
    const uint16_t planes = 1, bits = 8;
    std::memcpy(&b[0], &size, 4);
    std::memcpy(&b[4], &width, 4);
    std::memcpy(&b[8], &height, 4);
    std::memcpy(&b[12], &planes, 2);
    std::memcpy(&b[14], &bits, 2);
    std::memcpy(&b[32], &used, 4);
    for (uint32_t i = 0; i < entries; i++) std::memset(&b[40 + 4 * i], static_cast<int>(i * 10), 3);
    const size_t stride = (indices.size() + 3) / 4 * 4;
    for (int32_t r = 0; r < (height < 0 ? -height : height); r++) {
        std::vector<uint8_t> row(indices);
        row.resize(stride, 0);
        b.insert(b.end(), row.begin(), row.end());
    }
    return b;
}

int draw(PlatSurface* s, int x, int y, int w, int h, const std::vector<uint8_t>& dib) {
    const uint32_t entries = dib[32] | dib[33] << 8;
    return plat_surface_stretch_dib(s, x, y, w, h, dib.data(), dib.data() + 40 + 4 * entries);
}

uint32_t grey(int level) { return static_cast<uint32_t>(level) * 0x010101; }

TEST(Surface, OnlyKnownStretchModesAreTaken) {
    PlatSurface* s = plat_surface_create(1, 1);
    EXPECT_EQ(plat_surface_set_stretch_mode(s, PLAT_STRETCH_HALFTONE), PLAT_STRETCH_COLORONCOLOR);
    for (int mode : {0, 1, 2, 5, -1}) {
        EXPECT_EQ(plat_surface_set_stretch_mode(s, mode), 0) << mode;
        EXPECT_EQ(s->stretch_mode, PLAT_STRETCH_HALFTONE);
    }
    EXPECT_EQ(plat_surface_set_stretch_mode(nullptr, PLAT_STRETCH_HALFTONE), 0);
    plat_surface_destroy(s);
}

TEST(Surface, ShrinkingSamplesOrAveragesByMode) {
    // Six pixels onto two: three per destination pixel.
    const std::vector<uint8_t> dib = grey_row({0, 3, 6, 9, 12, 15}, 16);
    const struct {
        int mode;
        uint32_t left;
        uint32_t right;
    } cases[] = {
        {PLAT_STRETCH_COLORONCOLOR, grey(30), grey(120)},  // centre samples
        {PLAT_STRETCH_HALFTONE, grey(30), grey(120)},       // (0+30+60)/3, (90+120+150)/3
    };
    for (const auto& c : cases) {
        PlatSurface* s = plat_surface_create(2, 1);
        plat_surface_set_stretch_mode(s, c.mode);
        ASSERT_EQ(draw(s, 0, 0, 2, 1, dib), 1);
        EXPECT_EQ(plat_surface_pixel(s, 0, 0), c.left) << c.mode;
        EXPECT_EQ(plat_surface_pixel(s, 1, 0), c.right) << c.mode;
        plat_surface_destroy(s);
    }
    // Four onto one: the modes part ways.
    const std::vector<uint8_t> four = grey_row({0, 2, 10, 12}, 16);
    PlatSurface* s = plat_surface_create(1, 1);
    ASSERT_EQ(draw(s, 0, 0, 1, 1, four), 1);
    EXPECT_EQ(plat_surface_pixel(s, 0, 0), grey(100));
    plat_surface_set_stretch_mode(s, PLAT_STRETCH_HALFTONE);
    ASSERT_EQ(draw(s, 0, 0, 1, 1, four), 1);
    EXPECT_EQ(plat_surface_pixel(s, 0, 0), grey(60));
    plat_surface_destroy(s);
}

TEST(Surface, NegativeSizesMirrorAndPositionsClip) {
    const std::vector<uint8_t> dib = grey_row({1, 2, 3}, 4);
    PlatSurface* s = plat_surface_create(4, 1);
    ASSERT_EQ(draw(s, 3, 0, -3, 1, dib), 1);
    EXPECT_EQ(plat_surface_pixel(s, 0, 0), grey(30));
    EXPECT_EQ(plat_surface_pixel(s, 2, 0), grey(10));
    // Far outside, and huge: nothing drawn, nothing read out of place.
    plat_surface_fill(s, 0x010203);
    EXPECT_EQ(draw(s, 100, 0, 3, 1, dib), 1);
    EXPECT_EQ(draw(s, -INT32_MAX, 0, INT32_MAX, 1, dib), 1);
    EXPECT_EQ(plat_surface_pixel(s, 0, 0), 0x010203u);
    ASSERT_EQ(draw(s, -1, 0, INT32_MAX, 1, dib), 1);
    EXPECT_EQ(plat_surface_pixel(s, 3, 0), grey(10));
    plat_surface_destroy(s);
}

TEST(Surface, IndicesPastTheTableAreBlack) {
    const std::vector<uint8_t> dib = grey_row({1, 5, 255}, 2);
    PlatSurface* s = plat_surface_create(3, 1);
    plat_surface_fill(s, 0xFFFFFF);
    ASSERT_EQ(draw(s, 0, 0, 3, 1, dib), 1);
    EXPECT_EQ(plat_surface_pixel(s, 0, 0), grey(10));
    EXPECT_EQ(plat_surface_pixel(s, 1, 0), 0u);
    EXPECT_EQ(plat_surface_pixel(s, 2, 0), 0u);
    plat_surface_destroy(s);
}

TEST(Surface, RefusesWhatItCannotDraw) {
    PlatSurface* s = plat_surface_create(2, 2);
    const std::vector<uint8_t> good = grey_row({1, 2}, 4, -2);
    auto changed = [&](size_t offset, uint32_t value) {
        std::vector<uint8_t> d = good;
        std::memcpy(&d[offset], &value, 4);
        return d;
    };
    EXPECT_EQ(draw(s, 0, 0, 2, 2, good), 2);
    EXPECT_EQ(draw(s, 0, 0, 2, 2, changed(0, 12)), PLAT_SURFACE_ERROR);   // core header
    EXPECT_EQ(draw(s, 0, 0, 2, 2, changed(16, 1)), PLAT_SURFACE_ERROR);   // RLE8
    EXPECT_EQ(draw(s, 0, 0, 2, 2, changed(14, 2 | 1u << 16)), PLAT_SURFACE_ERROR);  // 2 bits
    EXPECT_EQ(draw(s, 0, 0, 2, 2, changed(8, 0)), PLAT_SURFACE_ERROR);    // no rows
    EXPECT_EQ(plat_surface_stretch_dib(nullptr, 0, 0, 2, 2, good.data(), good.data() + 56),
              PLAT_SURFACE_ERROR);
    EXPECT_EQ(plat_surface_stretch_dib(s, 0, 0, 2, 2, good.data(), nullptr), PLAT_SURFACE_ERROR);
    plat_surface_destroy(s);
}

}  // namespace
