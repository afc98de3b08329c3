// Rotation, mirror, flip and block copies, checked pixel by pixel in image
// coordinates and against Pillow and ImageMagick.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "dib/dib.h"
#include "support/bmp_writer.h"
#include "support/dib_pixels.h"
#include "support/tools.h"

namespace {

DibHandle load(const TestBitmap& bmp) { return dib_from_file_bytes(bmp_encode(bmp)); }

uint32_t at(const Raster& p, int x, int y) { return p.rgb[static_cast<size_t>(y) * p.width + x]; }

Raster picture_of(DibHandle h) {
    Raster p;
    EXPECT_TRUE(dib_read_rgb(h, &p));
    return p;
}

// Each motion as the picture it must give, written from its definition.
enum Motion { CW, CCW, HALF, MIRROR, FLIP };

Raster expected(const Raster& s, Motion m) {
    Raster t;
    const bool turn = m == CW || m == CCW;
    t.width = turn ? s.height : s.width;
    t.height = turn ? s.width : s.height;
    for (int y = 0; y < t.height; y++)
        for (int x = 0; x < t.width; x++) {
            switch (m) {
            case CW: t.rgb.push_back(at(s, y, s.height - 1 - x)); break;
            case CCW: t.rgb.push_back(at(s, s.width - 1 - y, x)); break;
            case HALF: t.rgb.push_back(at(s, s.width - 1 - x, s.height - 1 - y)); break;
            case MIRROR: t.rgb.push_back(at(s, s.width - 1 - x, y)); break;
            case FLIP: t.rgb.push_back(at(s, x, s.height - 1 - y)); break;
            }
        }
    return t;
}

int apply(Motion m, DibHandle src, DibHandle* out) {
    switch (m) {
    case CW: return dib_command(DIB_OP_ROTATE_CW, out, src);
    case CCW: return dib_command(DIB_OP_ROTATE_CCW, out, src);
    case HALF: return dib_rotate(src, 180, out);
    case MIRROR: return dib_command(DIB_OP_MIRROR, out, src);
    default: return dib_command(DIB_OP_FLIP, out, src);
    }
}

// Every stored byte past the last pixel of each row must be zero.
bool padding_clear(DibHandle h) {
    const DibInfoHeader hdr = header_of(h);
    const size_t used_bits = size_t(hdr.width) * hdr.bit_count;
    const size_t stride = bmp_stride(hdr.width, hdr.bit_count);
    const int rows = hdr.height < 0 ? -hdr.height : hdr.height;
    const uint8_t* base = static_cast<const uint8_t*>(plat_mem_lock(h));
    const uint8_t* pixels = base + 40 + 4 * dib_palette_entries(base);
    bool clear = true;
    for (int r = 0; r < rows; r++)
        for (size_t bit = used_bits; bit < stride * 8; bit++)
            if (pixels[r * stride + bit / 8] & (0x80 >> (bit % 8))) clear = false;
    plat_mem_unlock(h);
    return clear;
}

// ---------------------------------------------------------------------------
// Every motion, depth and row order against the definition.

class Motions : public ::testing::TestWithParam<std::tuple<int, bool, Motion>> {};

TEST_P(Motions, GiveThePictureOfTheirDefinition) {
    const int bits = std::get<0>(GetParam());
    const bool top_down = std::get<1>(GetParam());
    const Motion m = std::get<2>(GetParam());
    const size_t blocks = plat_mem_blocks_in_use();
    DibHandle src = load(bmp_pattern(13, 7, bits, top_down));
    ASSERT_NE(src, nullptr);
    DibHandle out = nullptr;
    ASSERT_EQ(apply(m, src, &out), DIB_OK);
    ASSERT_NE(out, nullptr);
    const Raster want = expected(picture_of(src), m);
    const Raster got = picture_of(out);
    EXPECT_EQ(got.width, want.width);
    EXPECT_EQ(got.height, want.height);
    EXPECT_EQ(got.rgb, want.rgb);
    const DibInfoHeader hdr = header_of(out);
    EXPECT_EQ(hdr.height < 0, top_down) << "row order is kept";
    EXPECT_EQ(hdr.bit_count, bits);
    EXPECT_TRUE(padding_clear(out));

    // The inverse motion restores the source exactly.
    DibHandle back = nullptr;
    const Motion inverse = m == CW ? CCW : m == CCW ? CW : m;
    ASSERT_EQ(apply(inverse, out, &back), DIB_OK);
    EXPECT_EQ(picture_of(back).rgb, picture_of(src).rgb);
    plat_mem_free(back);
    plat_mem_free(out);
    plat_mem_free(src);
    EXPECT_EQ(plat_mem_blocks_in_use(), blocks);
}

INSTANTIATE_TEST_SUITE_P(DepthOrder, Motions,
                         ::testing::Combine(::testing::Values(1, 4, 8, 24, 32), ::testing::Bool(),
                                            ::testing::Values(CW, CCW, HALF, MIRROR, FLIP)));

TEST(Rotate, ThreeByTwoClockwiseTopRowIsLeftColumnFromBelow) {
    TestBitmap bmp;
    bmp.width = 3;
    bmp.height = 2;
    bmp.bit_count = 8;
    bmp.palette = grey_ramp(256);
    bmp.pixels = {1, 2, 3, 4, 5, 6};
    DibHandle src = load(bmp), out = nullptr;
    ASSERT_EQ(dib_command(DIB_OP_ROTATE_CW, &out, src), DIB_OK);
    const DibInfoHeader hdr = header_of(out);
    EXPECT_EQ(hdr.width, 2);
    EXPECT_EQ(hdr.height, 3);
    const uint32_t want[3][2] = {{4, 1}, {5, 2}, {6, 3}};
    for (int y = 0; y < 3; y++)
        for (int x = 0; x < 2; x++) EXPECT_EQ(dib_pixel_at(out, x, y), want[y][x]);
    plat_mem_free(out);
    plat_mem_free(src);
}

TEST(Rotate, AnglesActModulo360AndOnlyQuarterTurns) {
    DibHandle src = load(bmp_pattern(5, 3, 24));
    const Raster s = picture_of(src);
    const struct {
        int angle;
        int status;
        Motion as;
    } cases[] = {{450, DIB_OK, CW}, {-450, DIB_OK, CCW}, {-90, DIB_OK, CCW}, {270, DIB_OK, CCW},
                 {-180, DIB_OK, HALF}, {45, DIB_ERR_ANGLE, CW}, {-1, DIB_ERR_ANGLE, CW}};
    DibHandle other = load(bmp_pattern(2, 2, 8));
    for (const auto& c : cases) {
        DibHandle out = other;  // replaced, or cleared on failure, never freed
        EXPECT_EQ(dib_rotate(src, c.angle, &out), c.status) << c.angle;
        if (c.status == DIB_OK) {
            EXPECT_EQ(picture_of(out).rgb, expected(s, c.as).rgb) << c.angle;
            plat_mem_free(out);
        } else {
            EXPECT_EQ(out, nullptr) << c.angle;
        }
    }
    DibHandle copy = nullptr;
    ASSERT_EQ(dib_rotate(src, 720, &copy), DIB_OK);
    EXPECT_EQ(picture_of(copy).rgb, s.rgb);
    plat_mem_free(copy);
    plat_mem_free(other);
    plat_mem_free(src);
}

TEST(Rotate, QuarterTurnSwapsResolutions) {
    DibHandle src = nullptr, out = nullptr;
    ASSERT_EQ(dib_create(300, 200, 24, 11811, 3780, nullptr, &src), DIB_OK);
    ASSERT_EQ(dib_command(DIB_OP_ROTATE_CCW, &out, src), DIB_OK);
    const DibInfoHeader hdr = header_of(out);
    EXPECT_EQ(hdr.width, 200);
    EXPECT_EQ(hdr.height, 300);
    EXPECT_EQ(hdr.x_ppm, 3780);
    EXPECT_EQ(hdr.y_ppm, 11811);
    DibHandle half = nullptr;
    ASSERT_EQ(dib_rotate(src, 180, &half), DIB_OK);
    EXPECT_EQ(header_of(half).x_ppm, 11811);
    plat_mem_free(half);
    plat_mem_free(out);
    plat_mem_free(src);
}

// ---------------------------------------------------------------------------
// Result convention and refusals.

TEST(ResultConvention, InPlaceFreesSourceOnSuccessAndKeepsItOnFailure) {
    const size_t blocks = plat_mem_blocks_in_use();
    DibHandle var = load(bmp_pattern(6, 4, 8));
    const Raster before = picture_of(var);
    DibHandle src = var;
    ASSERT_EQ(dib_command(DIB_OP_MIRROR, &var, src), DIB_OK);
    EXPECT_NE(var, nullptr);
    EXPECT_EQ(plat_mem_blocks_in_use(), blocks + 1) << "the source was freed";
    EXPECT_EQ(picture_of(var).rgb, expected(before, MIRROR).rgb);

    // Out of memory for the new bitmap: the source stays, unchanged.
    src = var;
    plat_mem_fail_after(1);
    EXPECT_EQ(dib_command(DIB_OP_ROTATE_CW, &var, src), DIB_ERR_NO_MEMORY);
    plat_mem_fail_after(0);
    EXPECT_EQ(var, src);
    EXPECT_EQ(picture_of(var).rgb, expected(before, MIRROR).rgb);
    EXPECT_EQ(plat_mem_blocks_in_use(), blocks + 1);
    plat_mem_free(var);
}

TEST(ResultConvention, UnsupportedDepthsFailEveryMotion) {
    // 16 bits load but cannot be created; 2 bits can be created but not moved.
    BmpFile f;
    f.width = 3;
    f.height = 2;
    f.bit_count = 16;
    f.body.assign(bmp_stride(3, 16) * 2, 0x5A);
    const std::vector<uint8_t> bytes = bmp_encode(f);
    DibHandle deep = nullptr, two = nullptr;
    ASSERT_EQ(dib_load_bmp_memory(&deep, bytes.data(), bytes.size(), 0), DIB_OK);
    ASSERT_EQ(dib_create(3, 2, 2, 0, 0, nullptr, &two), DIB_OK);
    const size_t blocks = plat_mem_blocks_in_use();
    const int codes[] = {DIB_OP_ROTATE_CW, DIB_OP_ROTATE_CCW, DIB_OP_MIRROR, DIB_OP_FLIP};
    for (int code : codes) {
        DibHandle out = deep;
        EXPECT_EQ(dib_command(code, &out, deep), DIB_ERR_BIT_COUNT) << code;
        EXPECT_EQ(out, deep) << "in place: the source stays";
        out = two;
        EXPECT_EQ(dib_command(code, &out, two), DIB_ERR_UNSUPPORTED) << code;
        EXPECT_EQ(out, two);
        out = deep;
        EXPECT_EQ(dib_command(code, &out, two), DIB_ERR_UNSUPPORTED) << code;
        EXPECT_EQ(out, nullptr) << "another handle in the variable is cleared";
        EXPECT_EQ(dib_command(code, &out, nullptr), DIB_ERR_NO_BITMAP) << code;
    }
    EXPECT_EQ(plat_mem_blocks_in_use(), blocks);
    plat_mem_free(deep);
    plat_mem_free(two);
}

TEST(Mirror, OneBitWidthTenKeepsPaddingOutOfThePicture) {
    DibHandle src = nullptr, out = nullptr;
    ASSERT_EQ(dib_create(10, 1, 1, 0, 0, nullptr, &src), DIB_OK);
    uint8_t* row = dib_lock_bits(src, nullptr);
    row[0] = 0x80;  // pixel 0
    row[1] = 0x3F;  // padding bits of the second byte set, pixels 8 and 9 clear
    row[2] = row[3] = 0xFF;
    dib_unlock(src);
    ASSERT_EQ(dib_mirror(src, &out), DIB_OK);
    for (int x = 0; x < 10; x++) EXPECT_EQ(dib_pixel_at(out, x, 0), x == 9 ? 1u : 0u) << x;
    EXPECT_TRUE(padding_clear(out));
    plat_mem_free(out);
    plat_mem_free(src);
}

TEST(ColourTable, ShortSourceTableIsCarriedAndPaddedWithBlack) {
    DibHandle src = load(bmp_pattern(4, 3, 8, false, 12)), out = nullptr;
    ASSERT_EQ(dib_rotate(src, 90, &out), DIB_OK);
    EXPECT_EQ(picture_of(out).rgb, expected(picture_of(src), CW).rgb);
    const uint8_t* base = static_cast<const uint8_t*>(plat_mem_lock(out));
    EXPECT_EQ(dib_palette_entries(base), 256);
    for (int i = 12; i < 256; i++) EXPECT_EQ(base[40 + 4 * i] | base[41 + 4 * i] | base[42 + 4 * i], 0) << i;
    plat_mem_unlock(out);
    plat_mem_free(out);
    plat_mem_free(src);
}

// ---------------------------------------------------------------------------
// Block copies.

TEST(Copy, ConvertsResolutionsByModeAndReportsBitCount) {
    const struct {
        int mode;
        int32_t in;
        int32_t out;
    } cases[] = {{1, 300, 11811}, {1, 96, 3780}, {2, 11811, 300}, {2, 3780, 96}, {0, 300, 300}, {7, 42, 42}};
    for (const auto& c : cases) {
        DibHandle src = nullptr, copy = nullptr;
        ASSERT_EQ(dib_create(2, 2, 4, c.in, c.in + 1, nullptr, &src), DIB_OK);
        int bits = 0;
        ASSERT_EQ(dib_copy(src, &copy, c.mode, &bits), DIB_OK);
        EXPECT_EQ(bits, 4);
        EXPECT_EQ(header_of(copy).x_ppm, c.out) << c.mode << " " << c.in;
        EXPECT_EQ(header_of(src).x_ppm, c.in) << "the source is untouched";
        EXPECT_EQ(plat_mem_size(copy), plat_mem_size(src));
        plat_mem_free(copy);
        plat_mem_free(src);
    }
}

TEST(Copy, RefusesMissingBlocksAndSurvivesShortOnes) {
    DibHandle out = reinterpret_cast<DibHandle>(&out);
    EXPECT_EQ(dib_copy(nullptr, &out, 0, nullptr), DIB_ERR_NO_BITMAP);
    EXPECT_EQ(out, nullptr);
    PlatMem empty = plat_mem_alloc(PLAT_MEM_MOVEABLE, 0);
    EXPECT_EQ(dib_copy(empty, &out, 0, nullptr), DIB_ERR_NO_BITMAP);
    plat_mem_free(empty);
    // A block too short for the resolution fields is copied as it is.
    PlatMem tiny = plat_mem_alloc(PLAT_MEM_MOVEABLE | PLAT_MEM_ZEROINIT, 10);
    int bits = -1;
    ASSERT_EQ(dib_copy(tiny, &out, 1, &bits), DIB_OK);
    EXPECT_EQ(bits, 0);
    EXPECT_EQ(plat_mem_size(out), 10u);
    plat_mem_free(out);
    plat_mem_fail_after(1);
    EXPECT_EQ(dib_copy(tiny, &out, 0, nullptr), DIB_ERR_NO_MEMORY);
    plat_mem_fail_after(0);
    plat_mem_free(tiny);
}

// ---------------------------------------------------------------------------
// Independent references: the saved bitmap turned by Pillow or ImageMagick.

struct Reference {
    const char* tool;
    Motion motion;
};

std::string reference_command(const std::string& tool, Motion m, const std::string& in,
                              const std::string& out) {
    if (tool == "convert") {
        const char* op = m == CW ? "-rotate 90" : m == CCW ? "-rotate -90" : m == HALF ? "-rotate 180"
                         : m == MIRROR ? "-flop" : "-flip";
        return "convert '" + in + "' " + op + " '" + out + "' 2>/dev/null";
    }
    // Pillow's transposes name counter-clockwise turns.
    const char* op = m == CW ? "ROTATE_270" : m == CCW ? "ROTATE_90" : m == HALF ? "ROTATE_180"
                     : m == MIRROR ? "FLIP_LEFT_RIGHT" : "FLIP_TOP_BOTTOM";
    return std::string("/usr/bin/python3 -c \"import sys; from PIL import Image; "
                       "Image.open(sys.argv[1]).transpose(Image.Transpose.") +
           op + ").save(sys.argv[2])\" '" + in + "' '" + out + "' 2>/dev/null";
}

class AgainstReference : public ::testing::TestWithParam<std::tuple<const char*, int, bool, Motion>> {};

TEST_P(AgainstReference, SamePixels) {
    const std::string tool = std::get<0>(GetParam());
    const int bits = std::get<1>(GetParam());
    const Motion m = std::get<3>(GetParam());
    if (!tool_available(tool == "convert" ? "convert" : "/usr/bin/python3"))
        GTEST_SKIP() << tool << " is not installed";
    const std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    const std::string in = dir + "/in.bmp", ref = dir + "/ref.png";
    DibHandle src = load(bmp_pattern(37, 23, bits, std::get<2>(GetParam()))), out = nullptr;
    const std::wstring win(in.begin(), in.end());
    ASSERT_EQ(dib_save_bmp(src, win.c_str(), 0), DIB_OK);
    if (std::system(reference_command(tool, m, in, ref).c_str()) != 0) {
        remove_tree(dir);
        plat_mem_free(src);
        GTEST_SKIP() << tool << " could not transform the file";
    }
    Raster want;
    ASSERT_TRUE(read_with_pillow(ref, &want));
    ASSERT_EQ(apply(m, src, &out), DIB_OK);
    const Raster got = picture_of(out);
    EXPECT_EQ(got.width, want.width);
    EXPECT_EQ(got.height, want.height);
    EXPECT_EQ(got.rgb, want.rgb);
    plat_mem_free(out);
    plat_mem_free(src);
    remove_tree(dir);
}

INSTANTIATE_TEST_SUITE_P(Tools, AgainstReference,
                         ::testing::Combine(::testing::Values("convert", "pillow"),
                                            ::testing::Values(1, 8, 24), ::testing::Bool(),
                                            ::testing::Values(CW, CCW, HALF, MIRROR, FLIP)));

}  // namespace
