// Image XObjects: classes, the dictionary each class gets, the prepared
// samples, the CCITT/Flate choice and the refusals; the page's content
// buffer. These and the allocation-failure sweeps are writer internals,
// tested on purpose through the private header. Independent decoders read
// the encoded data in the conversion tests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pdf/pdfw_private.h"
#include "support/tools.h"
#include "support/writer_fixture.h"

namespace {

struct Written {
    bool ok = false;
    std::string dict;    // from "<<" to the line before "stream"
    std::string data;    // the stream bytes
    std::string said;    // standard output of the call
};

class ImageTest : public WriterFixture {
protected:
    // The image writer on the bitmap, which it frees. The last error is
    // cleared first, so a refusal must set its own.
    Written write(DibHandle dib) {
        Written w;
        doc->last_error = PDFW_OK;
        const size_t start = written().size();
        const int64_t in_use = pdfw_mem_in_use(doc);
        PdfObjectId id{};
        w.said = stdout_of([&] { w.ok = pdfw_impage_image(doc, dib, 0, &id); });
        EXPECT_EQ(pdfw_mem_in_use(doc), in_use) << "the image writer keeps no memory";
        dib_command(DIB_OP_FREE, &dib, nullptr);
        std::string all = written().substr(start);
        size_t open = all.find("<<\n");
        size_t stream = all.find(">>\nstream\n");
        size_t end = all.rfind("\nendstream\nendobj\n");
        if (open == std::string::npos || stream == std::string::npos || end == std::string::npos)
            return w;
        w.dict = all.substr(open, stream + 2 - open);
        w.data = all.substr(stream + 10, end - stream - 10);
        return w;
    }

    // Standard output of f, and f's result.
    template <typename F>
    int stdout_of_code(F f, std::string* said) {
        int rc = 0;
        *said = stdout_of([&] { rc = f(); });
        return rc;
    }

    void encoding(int compression_on) {
        ASSERT_TRUE(pdfw_set_encoding(doc, compression_on, -1, -1, -1, -1, -1, -1, -1, 0, 0, 1));
    }
};

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

const uint8_t WHITE_BLACK[8] = {255, 255, 255, 0, 0, 0, 0, 0};
const uint8_t RED_BLUE[8] = {0, 0, 255, 0, 255, 0, 0, 0};

TEST_F(ImageTest, BilevelTextIsCcittImageMask) {
    // Slanted strokes: each row shifts its edges by a pixel, which CCITT
    // codes in a few bits and Flate cannot match byte for byte.
    DibHandle dib = make_dib(100, 40, 1, 11811);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 100; ++x)
            set_pixel(dib, x, y, ((x + y) % 23 < 4 || (x + 200 - 2 * y) % 37 < 3) ? 0 : 1);
    Written w = write(dib);
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.dict,
              "<<\n/Subtype /Image\n/ImageMask true\n/BitsPerComponent 1\n/Width 100\n"
              "/Height 40\n/HDPI 300\n/VDPI 300\n/Filter /CCF\n/DecodeParms\n<<\n/Columns 100\n"
              "/K -1\n>>\n/Length " + std::to_string(w.data.size()) + "\n>>");
    EXPECT_TRUE(has(w.said, "PDF: pdfw_impage_image: encoding: CCITTFaxDecode, ")) << w.said;
    EXPECT_TRUE(has(w.said, "(u=520 p=" + std::to_string(w.data.size()) + ")")) << w.said;
}

TEST_F(ImageTest, NoiseKeepsFlateOverCcitt) {
    DibHandle dib = make_dib(64, 64, 1, 0);
    const std::vector<uint8_t> noise = noise_bytes(64 * 64, 12345);
    for (size_t i = 0; i < noise.size(); ++i) set_pixel(dib, int(i % 64), int(i / 64), noise[i] & 1);
    Written w = write(dib);
    ASSERT_TRUE(w.ok);
    EXPECT_TRUE(has(w.said, "PDF: ccitt_size=")) << w.said;
    EXPECT_TRUE(has(w.said, "encoding: FlateDecode")) << w.said;
    EXPECT_TRUE(has(w.dict, "/ImageMask true\n/BitsPerComponent 1\n/Width 64\n/Height 64\n"
                            "/Filter /FlateDecode\n"))
        << w.dict;  // resolution 0: no HDPI/VDPI
}

// The choice between G4 and Flate against the rule written out plainly:
// a Flate trial first, its size capping the G4 run, Flate again when G4
// fails or comes out larger. The writer runs G4 at full capacity (beside
// the trial on a second thread) and derives the capped run; stream, choice
// and trace lines must be the same for every image and thread count.
struct BilevelCase {
    const char* name;
    int width, height;
    int pattern;  // 0 text, 1 noise, 2 white, 3 black, 4 stripes, 5 dots
};

void PrintTo(const BilevelCase& c, std::ostream* os) { *os << c.name; }

class BilevelChoice : public ImageTest, public ::testing::WithParamInterface<BilevelCase> {};

bool ink(const BilevelCase& c, int x, int y, uint32_t* seed) {
    *seed = *seed * 1103515245u + 12345u;
    switch (c.pattern) {
    case 0: return (x + y) % 23 < 4 || (x + 200 - 2 * y) % 37 < 3;
    case 1: return (*seed >> 16) & 1;
    case 2: return false;
    case 3: return true;
    case 4: return (y / 3) % 2 == 0;
    default: return x % 17 == 0 && y % 13 == 0;
    }
}

TEST_P(BilevelChoice, SameStreamAndLinesAsTheTrialFirstRule) {
    const BilevelCase& c = GetParam();
    const int64_t row_bytes = (c.width + 7) / 8;
    // 1 = white; the bits past the width stay 0, as in the bitmap's rows.
    std::vector<uint8_t> samples(size_t(row_bytes * c.height), 0);
    uint32_t seed = 7;
    DibHandle base = make_dib(c.width, c.height, 1, 3780);
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) {
            const bool black = ink(c, x, y, &seed);
            set_pixel(base, x, y, black ? 0 : 1);
            if (!black) samples[size_t(y * row_bytes + x / 8)] |= uint8_t(0x80 >> (x % 8));
        }
    // The rule, step by step.
    const uint32_t u = uint32_t(samples.size()), capacity = u + 1024;
    std::vector<uint8_t> out(capacity);
    uint32_t flate_size = capacity;
    const bool compared = codec_flate(out.data(), &flate_size, samples.data(), u) == CODEC_OK;
    uint32_t size = compared ? flate_size : capacity;
    std::string lines;
    const int rc = stdout_of_code([&] {
        return ccitt_encode(out.data(), &size, samples.data(), int32_t(u), -1, 0, c.width,
                            c.height, 0);
    }, &lines);
    std::string want_data(reinterpret_cast<char*>(out.data()), size);
    if (rc != CODEC_OK) lines += "PDF: ERROR ccitt_encode = " + std::to_string(rc) + "\n";
    if (rc != CODEC_OK || (compared && flate_size < size)) {
        lines += "PDF: ccitt_size=" + std::to_string(size) + " flate_size=" +
                 std::to_string(compared ? flate_size : 0) + "\n";
        size = capacity;
        ASSERT_EQ(codec_flate(out.data(), &size, samples.data(), u), CODEC_OK);
        want_data.assign(reinterpret_cast<char*>(out.data()), size);
    }
    for (int threads : {1, 2}) {
        ASSERT_TRUE(pdfw_set_threads(doc, threads));
        DibHandle dib = nullptr;
        ASSERT_EQ(dib_copy(base, &dib, 0, nullptr), DIB_OK);
        Written w = write(dib);
        ASSERT_TRUE(w.ok) << threads;
        EXPECT_EQ(w.data, want_data) << threads << " threads";
        EXPECT_EQ(w.said.substr(0, lines.size()), lines) << threads << " threads";
    }
    dib_command(DIB_OP_FREE, &base, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Images, BilevelChoice,
    ::testing::Values(BilevelCase{"text", 300, 120, 0}, BilevelCase{"text_a4_strip", 2480, 64, 0},
                      BilevelCase{"noise", 64, 64, 1}, BilevelCase{"noise_wide", 301, 17, 1},
                      BilevelCase{"white", 1728, 40, 2}, BilevelCase{"black", 99, 30, 3},
                      BilevelCase{"stripes", 200, 90, 4}, BilevelCase{"dots", 513, 200, 5},
                      BilevelCase{"one_pixel", 1, 1, 3}, BilevelCase{"one_column", 1, 300, 1}),
    [](const ::testing::TestParamInfo<BilevelCase>& i) { return std::string(i.param.name); });

TEST_F(ImageTest, WhiteBlackTableIsComplemented) {
    encoding(0);
    DibHandle dib = make_dib(10, 2, 1, 3780, WHITE_BLACK);
    set_pixel(dib, 0, 0, 1);  // black in the top row's first pixel
    set_pixel(dib, 9, 1, 1);  // and the bottom row's last
    Written w = write(dib);
    ASSERT_TRUE(w.ok);
    EXPECT_TRUE(has(w.dict, "/ImageMask true\n/BitsPerComponent 1\n")) << w.dict;
    // 0 paints: top row 0x7F 0xFF, bottom row 0xFF 0xBF (bit of pixel 9).
    EXPECT_EQ(w.data, std::string("\x7f\xff\xff\xbf", 4));
    EXPECT_TRUE(has(w.said, "encoding: None, ")) << w.said;
    EXPECT_TRUE(has(w.said, " 100% (u=4 p=4)")) << w.said;
}

TEST_F(ImageTest, ColourPairIsIndexedAndUncompressed) {
    DibHandle dib = make_dib(9, 3, 1, 3780, RED_BLUE);
    Written w = write(dib);
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.dict,
              "<<\n/Subtype /Image\n/ColorSpace [/Indexed /DeviceRGB 1 <ff00000000ff>]\n"
              "/BitsPerComponent 1\n/Width 9\n/Height 3\n/HDPI 96\n/VDPI 96\n/Length 6\n>>");
}

TEST_F(ImageTest, FourBitGreyRampKeepsItsTable) {
    uint8_t ramp[64];
    for (int i = 0; i < 16; ++i) {
        ramp[4 * i] = ramp[4 * i + 1] = ramp[4 * i + 2] = static_cast<uint8_t>(i);
        ramp[4 * i + 3] = 0;
    }
    DibHandle dib = make_dib(3, 1, 4, 3780, ramp);
    set_pixel(dib, 0, 0, 15);
    set_pixel(dib, 2, 0, 7);
    Written w = write(dib);
    ASSERT_TRUE(w.ok);
    std::string hex;
    for (int i = 0; i < 16; ++i) {
        char b[8];
        std::snprintf(b, sizeof b, "%02x%02x%02x", i, i, i);
        hex += b;
    }
    EXPECT_TRUE(has(w.dict, "/ColorSpace [/Indexed /DeviceRGB 15 <" + hex + ">]\n"
                            "/BitsPerComponent 4\n"))
        << w.dict;
    EXPECT_EQ(w.data, std::string("\xf0\x70", 2));
}

TEST_F(ImageTest, EightBitGreyRampIsDeviceGrayJpeg) {
    DibHandle dib = make_dib(32, 16, 8, 3780);  // the library's default ramp
    Written w = write(dib);
    ASSERT_TRUE(w.ok);
    EXPECT_TRUE(has(w.dict, "/ColorSpace /DeviceGray\n/BitsPerComponent 8\n")) << w.dict;
    EXPECT_TRUE(has(w.dict, "/Filter /DCTDecode\n")) << w.dict;
    ASSERT_GE(w.data.size(), 2u);
    EXPECT_EQ(w.data.substr(0, 2), "\xff\xd8");
}

TEST_F(ImageTest, TrueColourSamplesAreRgbTopRowFirst) {
    encoding(0);
    std::string expected;
    for (bool top_down : {false, true}) {
        for (int bits : {24, 32}) {
            DibHandle dib = make_dib(3, top_down ? -2 : 2, bits, 3780);
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 3; ++x)
                    set_pixel(dib, x, y, static_cast<uint32_t>(0x10 * (y * 3 + x + 1)) << 16 |
                                             static_cast<uint32_t>(x) << 8 | 0x0A);
            Written w = write(dib);
            ASSERT_TRUE(w.ok);
            EXPECT_TRUE(has(w.dict, "/ColorSpace /DeviceRGB\n/BitsPerComponent 8\n/Width 3\n"
                                    "/Height 2\n"))
                << w.dict;
            EXPECT_TRUE(has(w.dict, "/Length 18\n")) << w.dict;
            // set_pixel takes blue in the low byte: red 0x10 * (n + 1), green x, blue 0x0A.
            std::string rgb;
            for (int n = 0; n < 6; ++n) {
                rgb += static_cast<char>(0x10 * (n + 1));
                rgb += static_cast<char>(n % 3);
                rgb += '\x0a';
            }
            EXPECT_EQ(w.data, rgb) << "top_down " << top_down << " bits " << bits;
        }
    }
}

TEST_F(ImageTest, UnsupportedBitmapsAreRefused) {
    // Headers are patched after creation; the writer must refuse each before
    // it reads a pixel or sizes a buffer from them.
    struct Case {
        const char* what;
        int width, height, bits;
        uint32_t colours_used;
        const char* text;  // pdfw_last_error_text
    } cases[] = {
        {"64-bit", 2, 4, 64, 0, "64 bits per pixel are not supported"},
        {"12-bit", 4, 4, 12, 0, "12 bits per pixel are not supported"},
        {"zero width", 0, 4, 24, 0, "the bitmap is 0 x 4 pixels"},
        {"zero height", 4, 0, 24, 0, "the bitmap is 4 x 0 pixels"},
        {"negative width", -4, 4, 24, 0, "the bitmap's header does not describe its memory block"},
        {"header larger than its block", 70000, 70000, 24, 0,
         "the bitmap's header does not describe its memory block"},
        {"header larger than its block, top-down", 70000, -70000, 32, 0,
         "the bitmap's header does not describe its memory block"},
    };
    for (const Case& c : cases) {
        // Depths no bitmap is made with are put into a 32-bit one's header.
        DibHandle dib = make_dib(4, 4, c.bits > 32 || c.bits == 12 ? 32 : c.bits, 3780);
        ASSERT_NE(dib, nullptr) << c.what;
        DibInfoHeader* h = nullptr;
        dib_lock_bits(dib, &h);
        h->bit_count = uint16_t(c.bits);
        if (c.colours_used) h->colours_used = c.colours_used;
        h->width = c.width;
        h->height = c.height;
        dib_unlock(dib);
        Written w = write(dib);
        EXPECT_FALSE(w.ok) << c.what;
        EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_BITMAP_FORMAT) << c.what;
        EXPECT_STREQ(pdfw_last_error_text(doc), c.text) << c.what;
        EXPECT_EQ(w.said, "") << c.what;
    }
}

TEST_F(ImageTest, EncodingsItCannotProduceAreRefusedBeforeAnyOutput) {
    const size_t before = written().size();
    const int kFilters[] = {PDFW_FILTER_ASCIIHEX, PDFW_FILTER_ASCII85, PDFW_FILTER_LZW,
                            PDFW_FILTER_RUNLENGTH, PDFW_FILTER_JBIG2, PDFW_FILTER_JPX,
                            PDFW_FILTER_CRYPT, 11, -2};
    PdfEncodingChoices e{};
    ASSERT_TRUE(pdfw_get_encodings(doc, &e));
    for (int filter : kFilters) {
        e.truecolour = filter;
        ASSERT_TRUE(pdfw_set_encodings(doc, &e));  // stored without checks
        Written w = write(make_dib(8, 8, 24, 3780));
        EXPECT_FALSE(w.ok) << filter;
        EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_FILTER) << filter;
        EXPECT_EQ(w.said, "") << "no statistics of data never made, filter " << filter;
    }
    EXPECT_EQ(written().size(), before);
}

// The JPEG adapter locks the bitmap itself and gives it back on failure.
TEST_F(ImageTest, JpegAdapterUnlocksOnFailure) {
    DibHandle dib = make_dib(10, 4, 24, 3780);
    DibInfoHeader* h = nullptr;
    dib_lock_bits(dib, &h);
    h->bit_count = 12;  // a depth no JPEG input takes: too few scanlines
    dib_unlock(dib);
    uint8_t buffer[64];
    uint8_t* out = buffer;
    uint32_t size = sizeof buffer;
    const int64_t in_use = pdfw_mem_in_use(doc);
    std::string said = stdout_of([&] { EXPECT_NE(dct_encode(doc, &out, &size, dib, 75, 0), 0); });
    EXPECT_NE(said.find("PDF:ERROR:JPG:"), std::string::npos) << said;
    EXPECT_EQ(plat_mem_lock_count(dib), 0u);
    EXPECT_EQ(out, buffer);
    EXPECT_EQ(pdfw_mem_in_use(doc), in_use);
    EXPECT_NE(dct_encode(doc, &out, &size, nullptr, 75, 0), 0);
    dib_command(DIB_OP_FREE, &dib, nullptr);
}

TEST_F(ImageTest, JpegLargerThanItsBufferIsWrittenWhole) {
    // Grey noise at quality 100 codes to more than its samples plus the
    // 1024 bytes of slack, so the encoder hands back a larger buffer.
    ASSERT_TRUE(pdfw_set_encoding(doc, 1, -1, -1, -1, -1, -1, 100, -1, 0, 0, 1));
    DibHandle dib = make_dib(128, 128, 8, 3780);
    const std::vector<uint8_t> grey = noise_bytes(128 * 128, 5);
    for (size_t i = 0; i < grey.size(); ++i) set_pixel(dib, int(i % 128), int(i / 128), grey[i]);
    Written w = write(dib);
    ASSERT_TRUE(w.ok);
    EXPECT_GT(w.data.size(), 128u * 128u + 1024u);
    EXPECT_TRUE(has(w.dict, "/Length " + std::to_string(w.data.size()) + "\n")) << w.dict;
    ASSERT_GE(w.data.size(), 4u);
    EXPECT_EQ(w.data.substr(0, 2), "\xff\xd8");
    EXPECT_EQ(w.data.substr(w.data.size() - 2), "\xff\xd9");
    // The whole stream decodes, through an independent decoder.
    ASSERT_TRUE(write_file(dir + "/noise.jpg", w.data));
    Raster decoded;
    ASSERT_TRUE(read_with_pillow(dir + "/noise.jpg", &decoded));
    ASSERT_EQ(decoded.rgb.size(), grey.size());
    double error = 0;
    for (size_t i = 0; i < grey.size(); ++i)
        error += std::abs(int(decoded.rgb[i] & 0xFF) - int(grey[i]));
    EXPECT_LT(error / double(grey.size()), 2.0);
}

TEST_F(ImageTest, EightBitFullTableIsAccepted) {
    encoding(0);
    for (uint32_t used : {0u, 256u}) {
        DibHandle dib = make_dib(2, 2, 8, 3780);
        DibInfoHeader* h = nullptr;
        dib_lock_bits(dib, &h);
        h->colours_used = used;
        dib_unlock(dib);
        Written w = write(dib);
        EXPECT_TRUE(w.ok) << used;
        EXPECT_TRUE(has(w.dict, "/ColorSpace /DeviceGray\n")) << w.dict;
    }
}

TEST_F(ImageTest, AllocationFailuresFailCleanly) {
    for (int bits : {1, 8, 24}) {
        for (unsigned n = 1;; ++n) {
            DibHandle dib = make_dib(40, 30, bits, 3780);
            pdfw_alloc_fail_after(n);
            Written w = write(dib);  // checks that no memory is kept
            pdfw_alloc_fail_after(0);
            if (w.ok) break;
            EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_NO_MEMORY) << bits << " bits, request " << n;
            ASSERT_LT(n, 50u);
        }
    }
}

TEST_F(ImageTest, PageContentPieceLimitAndGrowth) {
    std::string piece(255, 'x');
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(pdfw_content_printf(doc, "%s", piece.c_str()));
    EXPECT_EQ(std::string(doc->content).size(), 5 * piece.size());
    EXPECT_FALSE(pdfw_content_printf(doc, "%s", (piece + "y").c_str()));
    EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_LINE_LENGTH);
}

// Memory held apart from the object table, which grows with every number.
int64_t held(const PdfDocument* doc) {
    return pdfw_mem_in_use(doc) - doc->xref_capacity * int64_t(sizeof(PdfXrefEntry));
}

TEST_F(ImageTest, PageFailuresLeaveNoMemoryBehind) {
    const int64_t before = held(doc);
    DibHandle dib = make_dib(16, 8, 1, 3780);
    for (unsigned n = 1; n < 40; ++n) {
        pdfw_alloc_fail_after(n);
        bool ok = pdfw_impage(doc, dib, nullptr, nullptr);
        pdfw_alloc_fail_after(0);
        if (ok) break;
        EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_NO_MEMORY) << "failing request " << n;
        doc->last_error = PDFW_OK;
    }
    dib_command(DIB_OP_FREE, &dib, nullptr);
    // The content buffer stays allocated after a failure and is released by
    // the next successful page.
    ASSERT_TRUE(add_page(doc));
    EXPECT_EQ(held(doc), before);
}

}  // namespace
