// Page geometry of the conversion run: units, image extents, scaling and
// placement, and the default output name.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "cmd/tarvo.h"

namespace {

TEST(Geometry, UnitsFromTenthMillimetre) {
    const struct {
        int32_t tenth_mm, units;
    } cases[] = {
        {0, 0},         {1, 28},  // 28.35 rounds down
        {2100, 59528},  {2970, 84189},
        {100, 2835},    {254, 7200},
        {INT32_MAX, INT32_MAX},  // saturates instead of wrapping
    };
    for (const auto& c : cases) EXPECT_EQ(units_from_tenth_mm(c.tenth_mm), c.units) << c.tenth_mm;
}

TEST(Geometry, ImageExtent) {
    const struct {
        int32_t width, height, xres, yres;
        bool dpi;
        int32_t w, h;
    } cases[] = {
        {2480, 3508, 11811, 11811, false, 59520, 84192},  // A4 at 300 dpi
        {2480, 3508, 150, 150, true, 119040, 168384},
        {800, 600, 3780, 3780, false, 59992, 44994},
        {800, 600, 0, 0, false, 59992, 44994},  // 0 is 3780 ppm
        {96, 48, 0, 0, true, 7200, 3600},       // 0 is 96 dpi
        {96, 48, -5, -1, true, 7200, 3600},     // garbage is the default too
        {1, 1, 7, 3, true, 1029, 2400},         // (7200 + 3) / 7, (7200 + 1) / 3
        {100000, 10, 1, 1, false, INT32_MAX, 2834640},
    };
    for (const auto& c : cases) {
        ImageExtent e = image_extent(c.width, c.height, c.xres, c.yres, c.dpi);
        EXPECT_EQ(e.w, c.w) << c.width << "x" << c.height << " at " << c.xres;
        EXPECT_EQ(e.h, c.h) << c.width << "x" << c.height << " at " << c.yres;
    }
}

struct FitCase {
    int32_t w, h, scale, align;
    PageRect area;
    bool ok;
    PageRect rect;
};

class FitImage : public ::testing::TestWithParam<FitCase> {};

TEST_P(FitImage, ScalesAndPlaces) {
    const FitCase& c = GetParam();
    PageRect r{};
    EXPECT_EQ(fit_image(c.w, c.h, c.scale, c.align, c.area, &r), c.ok);
    EXPECT_EQ(r.x, c.rect.x);
    EXPECT_EQ(r.y, c.rect.y);
    EXPECT_EQ(r.w, c.rect.w);
    EXPECT_EQ(r.h, c.rect.h);
}

const PageRect A4_AREA{2835, 2835, 53858, 78519};

INSTANTIATE_TEST_SUITE_P(
    Modes, FitImage,
    ::testing::Values(
        // The A4 example: fit proportionally, centred.
        FitCase{59992, 44994, -1, 0, A4_AREA, true, {2835, 21898, 53858, 40393}},
        // Equal ratios take the width rule.
        FitCase{200, 100, -1, 5, {0, 0, 400, 200}, true, {0, 0, 400, 200}},
        // Taller than the area: height rule.
        FitCase{100, 400, -1, 5, {0, 0, 400, 200}, true, {175, 0, 50, 200}},
        // -2 keeps a small image, -4 stretches a large one to the area.
        FitCase{100, 50, -2, 0, {0, 0, 400, 200}, true, {150, 75, 100, 50}},
        FitCase{800, 100, -2, 0, {0, 0, 400, 200}, true, {0, 75, 400, 50}},
        FitCase{100, 50, -4, 0, {0, 0, 400, 200}, true, {150, 75, 100, 50}},
        FitCase{800, 100, -4, 0, {0, 0, 400, 200}, true, {0, 0, 400, 200}},
        FitCase{1, 1, -3, 0, {10, 20, 400, 200}, true, {10, 20, 400, 200}},
        // 0 keeps the size even past the area, and centres it (off the area).
        FitCase{600, 300, 0, 0, {0, 0, 400, 200}, true, {-100, -50, 600, 300}},
        // Sizes below 1 are raised to 1.
        FitCase{0, -5, 0, 1, {7, 8, 400, 200}, true, {7, 8, 1, 1}},
        // The nine positions.
        FitCase{100, 50, 0, 1, {0, 0, 401, 201}, true, {0, 0, 100, 50}},
        FitCase{100, 50, 0, 2, {0, 0, 401, 201}, true, {150, 0, 100, 50}},
        FitCase{100, 50, 0, 3, {0, 0, 401, 201}, true, {301, 0, 100, 50}},
        FitCase{100, 50, 0, 4, {0, 0, 401, 201}, true, {0, 75, 100, 50}},
        FitCase{100, 50, 0, 6, {0, 0, 401, 201}, true, {301, 75, 100, 50}},
        FitCase{100, 50, 0, 7, {0, 0, 401, 201}, true, {0, 151, 100, 50}},
        FitCase{100, 50, 0, 8, {0, 0, 401, 201}, true, {150, 151, 100, 50}},
        FitCase{100, 50, 0, 9, {0, 0, 401, 201}, true, {301, 151, 100, 50}},
        FitCase{100, 50, 0, 12, {0, 0, 401, 201}, true, {150, 75, 100, 50}},
        // Margins larger than the page: the area is negative.
        FitCase{100, 50, -3, 0, {0, 0, -10, 200}, false, {0, 0, -10, 200}},
        FitCase{100, 50, -1, 0, {0, 0, 400, -20}, false, {220, 0, -40, -20}},
        // Thin results round below 1.
        FitCase{100000, 1, -1, 1, {0, 0, 1000, 1000}, false, {0, 0, 1000, 0}}));

TEST(Geometry, DefaultOutputName) {
    const struct {
        const wchar_t* first;
        const wchar_t* out;
    } cases[] = {
        {L"a.bmp", L"a.pdf"},
        {L"p.1.bmp", L"p.1.pdf"},
        {L"scan/p.1.bmp", L"scan/p.1.pdf"},
        {L"dir.v2/scan", L"dir.v2/scan.pdf"},
        {L"img/scan", L"img/scan.pdf"},
        {L"img/.scan", L"img/.scan.pdf"},
        {L".scan", L".scan.pdf"},
        {L"img/.scan.bmp", L"img/.scan.pdf"},
        {L"scan", L"scan.pdf"},
    };
    for (const auto& c : cases) EXPECT_EQ(cmd_default_output(c.first), c.out);
}

}  // namespace
