// End to end: the built command converts generated bitmaps of every class,
// and independent tools check the result: qpdf for the file, pdfimages for
// the encoding and the decoded samples, pdftoppm and mutool for what a page
// shows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/bmp_writer.h"
#include "support/tools.h"

namespace {

enum Table { NO_TABLE, BLACK_WHITE, WHITE_BLACK, RED_BLUE, GREY, COLOUR };
enum Check {
    SAMPLES,  // pdfimages decodes exactly the source colours
    RENDER,   // the page rendered at the bitmap's resolution shows exactly the source
    JPEG,     // decoded within a PSNR bound
};

struct ClassCase {
    const char* name;
    int bits;
    Table table;
    bool top_down;
    int compression;
    int width, height;
    std::vector<std::string> args;
    // Expected `pdfimages -list` columns and the image's /Filter.
    const char* type;
    const char* colour;
    int bpc;
    const char* encoding;
    const char* filter;  // "" when none
    Check check;
};

void PrintTo(const ClassCase& c, std::ostream* os) { *os << c.name; }

TestBitmap make_bitmap(const ClassCase& c) {
    TestBitmap bmp = bmp_pattern(c.width, c.height, c.bits);
    if (c.table == BLACK_WHITE || c.table == WHITE_BLACK) {
        // Text, which CCITT codes best, or noise, which Flate does.
        const bool noise = c.name == std::string("bilevel-noise");
        bmp = bmp_bilevel(c.width, c.height,
                          noise ? noise_ink(c.width, c.height, 99) : text_ink(c.width, c.height, 7),
                          c.table == WHITE_BLACK);
    }
    bmp.top_down = c.top_down;
    bmp.compression = c.compression;
    if (c.table == RED_BLUE) bmp.palette = {0xFF0000, 0x0000FF};
    if (c.table == GREY) bmp.palette = grey_ramp(1 << c.bits);
    if (c.check == JPEG && c.bits == 8) {
        // A smooth picture: JPEG's error on it says something about colour.
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x)
                bmp.pixels[static_cast<size_t>(y) * c.width + x] =
                    static_cast<uint32_t>((x * 200 / c.width + y * 55 / c.height) & 0xFF);
    }
    return bmp;
}

double psnr(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i)
        for (int shift : {0, 8, 16}) {
            double d = double((a[i] >> shift) & 0xFF) - double((b[i] >> shift) & 0xFF);
            sum += d * d;
        }
    double mse = sum / (3.0 * double(a.size()));
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

size_t mismatches(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    if (a.size() != b.size()) return std::max(a.size(), b.size());
    size_t n = 0;
    for (size_t i = 0; i < a.size(); ++i) n += a[i] != b[i];
    return n;
}

class ConvertClass : public ::testing::TestWithParam<ClassCase> {
protected:
    void SetUp() override {
        if (tarvo_bin().empty()) GTEST_SKIP() << "TARVO_BIN is not set";
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override { remove_tree(dir); }
    std::string dir;
};

TEST_P(ConvertClass, IndependentToolsSeeTheSource) {
    const ClassCase& c = GetParam();
    TestBitmap bmp = make_bitmap(c);
    const std::string src = dir + "/" + c.name + ".bmp";
    const std::string pdf = dir + "/" + c.name + ".pdf";
    ASSERT_TRUE(bmp_write(src, bmp));

    // 72 dpi: one pixel is one point, so a 72 dpi rendering is pixel for pixel.
    std::vector<std::string> args{"-dpi=72"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back(src);
    CommandResult run = run_tarvo(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(file_exists(pdf));
    EXPECT_EQ(run_command({"qpdf", "--check", pdf}).status, 0);

    std::vector<ListedImage> list = pdfimages_list(pdf);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].type, c.type);
    EXPECT_EQ(list[0].width, c.width);
    EXPECT_EQ(list[0].height, c.height);
    EXPECT_EQ(list[0].colour, c.colour);
    EXPECT_EQ(list[0].bpc, c.bpc);
    EXPECT_EQ(list[0].encoding, c.encoding);

    std::string dict = run_command({"qpdf", "--show-object=4", pdf}).out;
    if (*c.filter) {
        EXPECT_NE(dict.find(std::string("/Filter ") + c.filter), std::string::npos) << dict;
    } else {
        EXPECT_EQ(dict.find("/Filter"), std::string::npos) << dict;
    }

    const std::vector<uint32_t> expected = bmp_expected_rgb(bmp);
    if (c.check == RENDER) {
        // Poppler smooths 1-bit colour images even at 1:1, so it is held
        // to exactness only for stencil masks; MuPDF for everything.
        if (std::string(c.type) == "stencil") {
            ASSERT_EQ(run_command({"pdftoppm", "-r", "72", pdf, dir + "/page"}).status, 0);
            Raster page;
            ASSERT_TRUE(read_pnm(dir + "/page-1.ppm", &page));
            ASSERT_EQ(page.width, c.width);
            ASSERT_EQ(page.height, c.height);
            EXPECT_EQ(mismatches(page.rgb, expected), 0u) << "pdftoppm";
        }
        ASSERT_EQ(run_command({"mutool", "draw", "-q", "-r", "72", "-c", "rgb", "-o",
                               dir + "/mu.pnm", pdf})
                      .status,
                  0);
        Raster mu;
        ASSERT_TRUE(read_pnm(dir + "/mu.pnm", &mu));
        EXPECT_EQ(mismatches(mu.rgb, expected), 0u) << "mutool";
        return;
    }
    std::vector<Raster> images = pdfimages_png(pdf, dir);
    ASSERT_EQ(images.size(), 1u);
    ASSERT_EQ(images[0].width, c.width);
    ASSERT_EQ(images[0].height, c.height);
    if (c.check == SAMPLES) {
        EXPECT_EQ(mismatches(images[0].rgb, expected), 0u);
    } else {
        EXPECT_GT(psnr(images[0].rgb, expected), 30.0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Classes, ConvertClass,
    ::testing::Values(
        ClassCase{"bilevel-text", 1, BLACK_WHITE, false, 0, 403, 161, {}, "stencil", "-", 1,
                  "ccitt", "/CCF", RENDER},
        ClassCase{"bilevel-white-first-topdown", 1, WHITE_BLACK, true, 0, 301, 99, {}, "stencil",
                  "-", 1, "ccitt", "/CCF", RENDER},
        ClassCase{"bilevel-noise", 1, BLACK_WHITE, false, 0, 77, 40, {}, "stencil", "-", 1,
                  "image", "/FlateDecode", RENDER},
        // pdfimages writes 1-bit indexed images as grey levels: render instead.
        ClassCase{"pal1-red-blue", 1, RED_BLUE, false, 0, 33, 17, {}, "image", "index", 1,
                  "image", "", RENDER},
        ClassCase{"pal4-grey-ramp", 4, GREY, false, 0, 45, 20, {}, "image", "index", 4, "image",
                  "", SAMPLES},
        ClassCase{"pal4-colour-rle", 4, COLOUR, false, 2, 37, 21, {}, "image", "index", 4,
                  "image", "", SAMPLES},
        ClassCase{"pal4-colour-topdown", 4, COLOUR, true, 0, 31, 9, {}, "image", "index", 4,
                  "image", "", SAMPLES},
        ClassCase{"pal8-grey-ramp", 8, GREY, false, 0, 64, 48, {}, "image", "gray", 8, "jpeg",
                  "/DCTDecode", JPEG},
        ClassCase{"pal8-colour", 8, COLOUR, false, 0, 53, 27, {}, "image", "index", 8, "image",
                  "", SAMPLES},
        ClassCase{"pal8-colour-rle", 8, COLOUR, false, 1, 61, 33, {}, "image", "index", 8,
                  "image", "", SAMPLES},
        ClassCase{"rgb24", 24, NO_TABLE, false, 0, 64, 48, {}, "image", "rgb", 8, "jpeg",
                  "/DCTDecode", JPEG},
        ClassCase{"rgb24-uncompressed-odd", 24, NO_TABLE, false, 0, 33, 17, {"-enc=1"}, "image",
                  "rgb", 8, "image", "", SAMPLES},
        ClassCase{"rgb24-flate-topdown", 24, NO_TABLE, true, 0, 35, 19, {"-enc=2"}, "image",
                  "rgb", 8, "image", "/FlateDecode", SAMPLES},
        ClassCase{"rgb32-flate", 32, NO_TABLE, false, 0, 37, 19, {"-enc=2"}, "image", "rgb", 8,
                  "image", "/FlateDecode", SAMPLES},
        ClassCase{"rgb32-jpeg-topdown", 32, NO_TABLE, true, 0, 50, 30, {}, "image", "rgb", 8,
                  "jpeg", "/DCTDecode", JPEG}),
    [](const ::testing::TestParamInfo<ClassCase>& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (ch == '-') ch = '_';
        return name;
    });

// Colours survive JPEG coding in the right channel order: BMP stores blue
// first, and a swap would turn red into blue.
TEST(ConvertJpeg, PrimaryColoursKeepTheirChannels) {
    if (tarvo_bin().empty()) GTEST_SKIP() << "TARVO_BIN is not set";
    const std::string dir = make_temp_dir();
    const uint32_t quadrants[4] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00};
    for (int bits : {24, 32}) {
        TestBitmap bmp;
        bmp.width = 64;
        bmp.height = 64;
        bmp.bit_count = bits;
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 64; ++x) bmp.pixels.push_back(quadrants[(y / 32) * 2 + x / 32]);
        const std::string src = dir + "/q" + std::to_string(bits) + ".bmp";
        ASSERT_TRUE(bmp_write(src, bmp));
        ASSERT_EQ(run_tarvo({src}).status, 0);
        std::string sub = dir + "/x" + std::to_string(bits);
        run_command({"mkdir", sub});
        std::vector<Raster> images = pdfimages_png(dir + "/q" + std::to_string(bits) + ".pdf", sub);
        ASSERT_EQ(images.size(), 1u);
        for (int q = 0; q < 4; ++q) {
            // The centre of each quadrant, away from block edges.
            uint32_t got = images[0].rgb[static_cast<size_t>((q / 2) * 32 + 16) * 64 + (q % 2) * 32 + 16];
            for (int shift : {16, 8, 0}) {
                int want = (quadrants[q] >> shift) & 0xFF;
                int have = (got >> shift) & 0xFF;
                EXPECT_NEAR(have, want, 12) << bits << " bits, quadrant " << q << " channel " << shift;
            }
        }
    }
    remove_tree(dir);
}

// encp= and encg= on the bundled samples: the colour chart keeps its table
// and its exact pixels with Flate at a fraction of the uncompressed size;
// the grey ramp is exact without JPEG; JPEG on the chart stays close.
TEST(ConvertEncoding, PaletteAndGreyChoices) {
    if (tarvo_bin().empty()) GTEST_SKIP() << "TARVO_BIN is not set";
    const std::string examples = std::string(std::getenv("TARVO_SOURCE_DIR")) + "/examples/";
    const struct {
        const char* bitmap;
        const char* option;
        const char* colour;
        const char* encoding;
        const char* filter;  // "" when none
        Check check;
        double max_share;  // of the file without the option; 0: not compared
    } cases[] = {
        {"chart-8bit-topdown.bmp", "-encp=2", "index", "image", "/FlateDecode", SAMPLES, 0.1},
        {"chart-8bit-topdown.bmp", "-encp=5", "rgb", "jpeg", "/DCTDecode", JPEG, 0.1},
        {"grey-8bit.bmp", "-encg=2", "gray", "image", "/FlateDecode", SAMPLES, 0},
        {"grey-8bit.bmp", "-encg=1", "gray", "image", "", SAMPLES, 0},
    };
    const std::string dir = make_temp_dir();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.bitmap) + " " + c.option);
        const std::string plain = dir + "/plain.pdf", pdf = dir + "/chosen.pdf";
        ASSERT_EQ(run_tarvo({"-o=" + plain, examples + c.bitmap}).status, 0);
        CommandResult r = run_tarvo({c.option, "-o=" + pdf, examples + c.bitmap});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(run_command({"qpdf", "--check", pdf}).status, 0);
        std::vector<ListedImage> list = pdfimages_list(pdf);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].colour, c.colour);
        EXPECT_EQ(list[0].encoding, c.encoding);
        const std::string dict = run_command({"qpdf", "--show-object=4", pdf}).out;
        EXPECT_EQ(dict.find(std::string("/Filter ") + c.filter) != std::string::npos, *c.filter != 0) << dict;
        EXPECT_EQ(dict.find("/Filter") != std::string::npos, *c.filter != 0) << dict;
        std::string with, without;
        ASSERT_TRUE(read_file(pdf, &with));
        ASSERT_TRUE(read_file(plain, &without));
        if (c.max_share > 0) {
            EXPECT_LT(double(with.size()), c.max_share * double(without.size()));
        }
        // Pillow's copy goes beside the file it reads, so it reads a copy.
        std::string bytes;
        ASSERT_TRUE(read_file(examples + c.bitmap, &bytes));
        ASSERT_TRUE(write_file(dir + "/source.bmp", bytes));
        Raster source;
        ASSERT_TRUE(read_with_pillow(dir + "/source.bmp", &source));
        const std::string sub = dir + "/img";
        ASSERT_EQ(run_command({"mkdir", "-p", sub}).status, 0);
        std::vector<Raster> images = pdfimages_png(pdf, sub);
        ASSERT_EQ(images.size(), 1u);
        ASSERT_EQ(images[0].width, source.width);
        ASSERT_EQ(images[0].height, source.height);
        if (c.check == SAMPLES) {
            EXPECT_EQ(mismatches(images[0].rgb, source.rgb), 0u);
        } else {
            EXPECT_GT(psnr(images[0].rgb, source.rgb), 25.0);
        }
        run_command({"rm", "-rf", sub});
    }
    remove_tree(dir);
}

}  // namespace

namespace {

// The stream holds the rows top first, padding dropped, colour as red,
// green, blue: the file's rows (bottom first, blue first) turned round.
void expect_file_rows(const std::string& data, const BmpFile& f) {
    const int bits = f.bit_count;
    const size_t row = (size_t(f.width) * bits + 7) / 8, stride = bmp_stride(f.width, bits);
    ASSERT_EQ(data.size(), row * size_t(f.height));
    for (int y = 0; y < f.height; y += 97) {
        const uint8_t* stored = f.body.data() + stride * size_t(f.height - 1 - y);
        for (size_t x = 0; x < row; ++x) {
            const size_t from = bits == 24 ? x / 3 * 3 + 2 - x % 3 : x;
            ASSERT_EQ(uint8_t(data[row * size_t(y) + x]), stored[from]) << y << "," << x;
        }
    }
}

// Noise at 1 (black and white), 8 (grey ramp) or 24 bits.
BmpFile noise_file(int bits, int width, int height, uint32_t seed) {
    BmpFile f;
    f.width = width;
    f.height = height;
    f.bit_count = uint16_t(bits);
    f.colours = bits == 1   ? bmp_colour_table({0x000000, 0xFFFFFF})
                : bits == 8 ? bmp_colour_table(grey_ramp(256))
                            : std::vector<uint8_t>();
    f.body = noise_bytes(bmp_stride(width, bits) * size_t(height), seed);
    return f;
}

}  // namespace

// Large images are coded in two parts written as one stream: decoded by
// qpdf, it is the file's rows, encrypted or not. A black-and-white page
// that G4 cannot code keeps the two parts of its Flate trial.
TEST(ConvertLossless, LargeFlateImagesAreOneStreamOfTheirRows) {
    if (tarvo_bin().empty()) GTEST_SKIP() << "TARVO_BIN is not set";
    const std::string dir = make_temp_dir();
    const struct {
        int bits, width, height;
        bool encrypted;
    } cases[] = {{24, 1500, 1100, false}, {8, 2400, 2000, false}, {24, 1500, 1100, true},
                 {1, 4000, 2000, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        BmpFile f = noise_file(c.bits, c.width, c.height, 9);
        const size_t stride = bmp_stride(c.width, c.bits);
        for (size_t i = 0; i < f.body.size(); ++i)
            f.body[i] = c.bits == 1 ? uint8_t((i / stride) % 2 ? 0xAA : 0x55)  // a checkerboard
                                    : uint8_t((i / 4096) * 7 + (f.body[i] & 7));  // bands, a little noise
        const std::string src = dir + "/large.bmp", pdf = dir + "/large.pdf";
        ASSERT_TRUE(bmp_write(src, f));
        std::vector<std::string> args = {"-quiet", "-enc=2", "-encg=2", "-o=" + pdf, src};
        if (c.encrypted) args.insert(args.begin(), {"-sec=3", "-sow=owner"});
        CommandResult r = run_tarvo(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(run_command({"qpdf", "--check", pdf}).status, 0);
        const std::vector<ListedImage> listed = pdfimages_list(pdf);
        ASSERT_EQ(listed.size(), 1u);
        const int image = listed[0].object;
        EXPECT_NE(run_command({"qpdf", "--show-object=" + std::to_string(image), pdf}).out.find("/FlateDecode"),
                  std::string::npos);
        expect_file_rows(stream_data(pdf, image), f);
    }
    remove_tree(dir);
}

// Noise no coder shrinks, at each depth with the lossless settings: the
// samples go out as they are, without a filter, where Flate would grow past
// them and their slack (libdeflate's stored blocks pass 1024 bytes from
// about 13 MB); a file cut short converts with a warning, its missing rows
// black.
TEST(ConvertLossless, IncompressibleAndTruncatedBitmaps) {
    if (tarvo_bin().empty()) GTEST_SKIP() << "TARVO_BIN is not set";
    const std::string dir = make_temp_dir();
    const struct {
        int bits, width, height;
    } cases[] = {{1, 11000, 11000}, {8, 4000, 3900}, {24, 2300, 2200}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        const BmpFile f = noise_file(c.bits, c.width, c.height, uint32_t(c.bits));
        const std::string src = dir + "/noise.bmp", pdf = dir + "/noise.pdf";
        ASSERT_TRUE(bmp_write(src, f));
        CommandResult r = run_tarvo({"-enc=2", "-encp=2", "-encg=2", "-o=" + pdf, src});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("stored uncompressed\nPDF: pdfw_impage_image: encoding: None"),
                  std::string::npos) << r.out;
        EXPECT_EQ(run_command({"qpdf", "--check", pdf}).status, 0);
        EXPECT_EQ(run_command({"qpdf", "--show-object=4", pdf}).out.find("/Filter"), std::string::npos);
        expect_file_rows(stream_data(pdf, 4), f);
    }
    // A noisy alpha: its soft mask goes out uncompressed too.
    {
        BmpFile f;
        f.width = 3800;  // large enough for stored blocks to pass the slack
        f.height = 3800;
        f.bit_count = 32;
        f.compression = 6;  // alpha bit fields
        f.colours = bmp_colour_table({0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000});
        f.body = noise_bytes(size_t(f.width) * 4 * size_t(f.height), 32);
        const std::string src = dir + "/alpha.bmp", pdf = dir + "/alpha.pdf";
        ASSERT_TRUE(bmp_write(src, f));
        CommandResult r = run_tarvo({"-o=" + pdf, src});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("to the soft mask; stored uncompressed"), std::string::npos) << r.out;
        EXPECT_EQ(run_command({"qpdf", "--check", pdf}).status, 0);
        const std::string image = run_command({"qpdf", "--show-object=4", pdf}).out;
        const size_t at = image.find("/SMask ");
        ASSERT_NE(at, std::string::npos) << image;
        const int mask = std::atoi(image.c_str() + at + 7);
        EXPECT_EQ(run_command({"qpdf", "--show-object=" + std::to_string(mask), pdf}).out.find("/Filter"),
                  std::string::npos);
        const std::string alpha = stream_data(pdf, mask);
        ASSERT_EQ(alpha.size(), size_t(f.width) * size_t(f.height));
        for (int y = 0; y < f.height; y += 97)
            for (int x = 0; x < f.width; ++x)
                ASSERT_EQ(uint8_t(alpha[size_t(y) * size_t(f.width) + size_t(x)]),
                          f.body[(size_t(f.height - 1 - y) * size_t(f.width) + size_t(x)) * 4 + 3])
                    << y << "," << x;
    }
    // Cut after 22 of 2200 rows of the 24-bit one.
    std::string bytes;
    ASSERT_TRUE(read_file(dir + "/noise.bmp", &bytes));
    ASSERT_TRUE(write_file(dir + "/cut.bmp", bytes.substr(0, 54 + 22 * 6900 + 100)));
    CommandResult r = run_tarvo({"-quiet", "-o=" + dir + "/cut.pdf", dir + "/cut.bmp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "tarvo: warning: '" + dir + "/cut.bmp' is truncated: 2178 of 2200 rows are "
                     "missing and drawn in colour 0\n");
    remove_tree(dir);
}

// 66 bytes that claim 20000 x 20000 at 24 bits: the run's memory follows
// the bytes the file holds, not its claim.
TEST(ConvertLossless, ClaimOfGigabytesInSixtySixBytes) {
    if (tarvo_bin().empty()) GTEST_SKIP() << "TARVO_BIN is not set";
    const std::string dir = make_temp_dir();
    BmpFile f;
    f.width = 20000;
    f.height = 20000;
    f.bit_count = 24;
    f.body.assign(12, 0x80);
    ASSERT_TRUE(bmp_write(dir + "/claim.bmp", f));
    CommandResult r = run_tarvo({"-quiet", "-o=" + dir + "/claim.pdf", dir + "/claim.bmp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("20000 of 20000 rows are missing"), std::string::npos) << r.err;
    if (peak_rss_measured()) {
        EXPECT_LT(r.peak_rss_kib, 100 * 1024);
    }
    EXPECT_EQ(run_command({"qpdf", "--check", dir + "/claim.pdf"}).status, 0);
    remove_tree(dir);
}
