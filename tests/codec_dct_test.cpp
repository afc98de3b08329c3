// JPEG adapter: data decoded back with libjpeg's decompressor, colour order
// and row order through every depth, a caller buffer too small for the data,
// and the error path.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "codec/codec.h"
#include "pdf/pdfw.h"

namespace {

struct Decoded {
    int width = 0;
    int height = 0;
    int components = 0;
    std::vector<uint8_t> samples;  // RGB, or grey for one component
};

struct DecodeErrors {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void decode_fail(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<DecodeErrors*>(cinfo->err)->jump, 1);
}

bool decode(const uint8_t* data, size_t size, Decoded* out) {
    jpeg_decompress_struct cinfo;
    DecodeErrors errors;
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = decode_fail;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    out->width = int(cinfo.output_width);
    out->height = int(cinfo.output_height);
    out->components = cinfo.output_components;
    out->samples.assign(size_t(out->width) * size_t(out->height) * size_t(out->components), 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out->samples.data() +
                       size_t(cinfo.output_scanline) * size_t(out->width) * size_t(out->components);
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    double mse = sum / double(a.size());
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

struct Doc {
    PdfDocument* doc = nullptr;
    int64_t baseline = 0;
    Doc() {
        pdfw_new(&doc);
        baseline = pdfw_mem_in_use(doc);
    }
    ~Doc() { pdfw_destroy(&doc); }
};

// A bitmap painted by a function of the image position (top row is y = 0):
// paint returns the palette index for depths up to 8, else 0xRRGGBB.
template <typename Paint>
DibHandle make_bitmap(int width, int height, int bits, bool top_down, const uint8_t* table,
                      Paint paint) {
    DibHandle h = nullptr;
    if (dib_create(width, top_down ? -height : height, bits, 0, 0, table, &h) != DIB_OK) return nullptr;
    uint8_t* px = dib_lock_bits(h, nullptr);
    const size_t stride = size_t(dib_stride(width, bits));
    for (int y = 0; y < height; ++y) {
        uint8_t* row = px + stride * size_t(top_down ? y : height - 1 - y);
        for (int x = 0; x < width; ++x) {
            uint32_t v = paint(x, y);
            if (bits == 1) {
                if (v) row[x / 8] |= uint8_t(0x80 >> (x % 8));
            } else if (bits == 4) {
                row[x / 2] |= uint8_t(x % 2 ? v : v << 4);
            } else if (bits == 8) {
                row[x] = uint8_t(v);
            } else {
                uint8_t* p = row + size_t(x) * size_t(bits / 8);
                p[0] = uint8_t(v), p[1] = uint8_t(v >> 8), p[2] = uint8_t(v >> 16);
                if (bits == 32) p[3] = 0x5A;  // unused byte; must not leak into colour
            }
        }
    }
    dib_unlock(h);
    return h;
}

struct Encoding {
    int result = -1;
    std::vector<uint8_t> jpeg;
    std::string log;
};

// Encodes with a caller buffer of `capacity` bytes, sized exactly so that
// the sanitizer sees any access past it.
Encoding encode(PdfDocument* doc, DibHandle h, int quality, int grey, uint32_t capacity) {
    Encoding r;
    uint8_t* mine = static_cast<uint8_t*>(pdfw_alloc(doc, capacity));
    uint8_t* out = mine;
    uint32_t size = capacity;
    testing::internal::CaptureStdout();
    r.result = dct_encode(doc, &out, &size, h, quality, grey);
    r.log = testing::internal::GetCapturedStdout();
    if (r.result == 0) r.jpeg.assign(out, out + size);
    if (out != mine) pdfw_free(doc, out);
    pdfw_free(doc, mine);
    return r;
}

uint32_t ample(int width, int height) { return uint32_t(width * height * 3 + 1024); }

// Table entries: blue, green, red, reserved.
const uint8_t kRedBlue[8] = {0, 0, 255, 0, 255, 0, 0, 0};

std::vector<uint8_t> red_blue_table(int entries) {
    std::vector<uint8_t> t(size_t(entries) * 4, 0x40);  // other entries grey
    std::memcpy(t.data(), kRedBlue, sizeof kRedBlue);
    return t;
}

// ---- Colour and row order through every depth -----------------------------

class DctColour : public testing::TestWithParam<int> {};

// Top half red, bottom half blue: a swap of red and blue or of the row order
// shows in either half.
TEST_P(DctColour, RedStaysRedAndRowOrderDoesNotMatter) {
    const int bits = GetParam();
    const int w = 41, h = 32;
    auto paint = [&](int, int y) -> uint32_t {
        bool top = y < h / 2;
        if (bits <= 8) return top ? 0 : 1;
        return top ? 0xFF0000 : 0x0000FF;
    };
    std::vector<uint8_t> table = red_blue_table(bits <= 8 ? 1 << bits : 2);
    Doc d;
    std::vector<uint8_t> first;
    for (bool top_down : {false, true}) {
        DibHandle dib = make_bitmap(w, h, bits, top_down, bits <= 8 ? table.data() : nullptr, paint);
        ASSERT_NE(dib, nullptr);
        Encoding r = encode(d.doc, dib, 75, 0, ample(w, h));
        plat_mem_free(dib);
        ASSERT_EQ(r.result, 0) << r.log;
        if (top_down) {
            EXPECT_EQ(r.jpeg, first) << "row orders differ";
            continue;
        }
        first = r.jpeg;
        Decoded img;
        ASSERT_TRUE(decode(r.jpeg.data(), r.jpeg.size(), &img));
        ASSERT_EQ(img.width, w);
        ASSERT_EQ(img.height, h);
        ASSERT_EQ(img.components, 3);
        for (int y : {3, 12, 19, 28}) {
            const uint8_t* p = &img.samples[(size_t(y) * w + w / 2) * 3];
            bool top = y < h / 2;
            EXPECT_GT(p[top ? 0 : 2], 220) << "row " << y;
            EXPECT_LT(p[top ? 2 : 0], 40) << "row " << y;
            EXPECT_LT(p[1], 40) << "row " << y;
        }
    }
    EXPECT_EQ(pdfw_mem_in_use(d.doc), d.baseline);
}

INSTANTIATE_TEST_SUITE_P(Depths, DctColour, testing::Values(1, 4, 8, 24, 32),
                         [](const testing::TestParamInfo<int>& i) {
                             return "Bits" + std::to_string(i.param);
                         });

// ---- Fidelity -----------------------------------------------------------------

TEST(DctQuality, SmoothImageAtQuality75) {
    const int w = 160, h = 120;
    auto rgb = [](int x, int y) -> uint32_t {
        return uint32_t((x * 255 / 159) << 16 | (y * 255 / 119) << 8 | ((x + y) * 255 / 278));
    };
    Doc d;
    DibHandle dib = make_bitmap(w, h, 24, false, nullptr, rgb);
    Encoding r = encode(d.doc, dib, 75, 0, ample(w, h));
    plat_mem_free(dib);
    ASSERT_EQ(r.result, 0);
    Decoded img;
    ASSERT_TRUE(decode(r.jpeg.data(), r.jpeg.size(), &img));
    std::vector<uint8_t> want;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint32_t v = rgb(x, y);
            want.insert(want.end(), {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
        }
    EXPECT_GT(psnr(img.samples, want), 30.0);
    // No JFIF APP0; an Adobe APP14 right after SOI.
    ASSERT_GT(r.jpeg.size(), 11u);
    EXPECT_EQ(r.jpeg[2], 0xFF);
    EXPECT_EQ(r.jpeg[3], 0xEE);
    EXPECT_EQ(std::string(r.jpeg.begin() + 6, r.jpeg.begin() + 11), "Adobe");
}

TEST(DctQuality, GreyFlagGivesOneComponent) {
    const int w = 64, h = 48;
    auto ramp = [](int x, int y) -> uint32_t { return uint32_t((x * 3 + y) & 0xFF); };
    Doc d;
    DibHandle dib = make_bitmap(w, h, 8, false, nullptr, ramp);  // default table: grey ramp
    Encoding grey = encode(d.doc, dib, 75, 1, ample(w, h));
    Encoding colour = encode(d.doc, dib, 75, 0, ample(w, h));
    plat_mem_free(dib);
    ASSERT_EQ(grey.result, 0);
    ASSERT_EQ(colour.result, 0);
    EXPECT_NE(grey.log.find("=JPEG: JCS_GRAYSCALE\n"), std::string::npos);
    Decoded g, c;
    ASSERT_TRUE(decode(grey.jpeg.data(), grey.jpeg.size(), &g));
    ASSERT_TRUE(decode(colour.jpeg.data(), colour.jpeg.size(), &c));
    EXPECT_EQ(g.components, 1);
    EXPECT_EQ(c.components, 3);
    std::vector<uint8_t> want;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) want.push_back(uint8_t(ramp(x, y)));
    EXPECT_GT(psnr(g.samples, want), 30.0);
}

TEST(DctQuality, LogLinesAndQualityZero) {
    Doc d;
    DibHandle dib = make_bitmap(8, 8, 24, false, nullptr, [](int, int) { return 0x102030u; });
    Encoding r = encode(d.doc, dib, 0, 0, 4096);
    plat_mem_free(dib);
    ASSERT_EQ(r.result, 0);
    jpeg_error_mgr err;
    jpeg_std_error(&err);
    EXPECT_EQ(r.log, std::string("=JPEG: version: 8c  16-Jan-2011\n") + "=JPEG: " +
                         err.jpeg_message_table[JMSG_COPYRIGHT] + "\n" +
                         "=JPEG: JCS_RGB\n=JPEG: Set quality to 0\n=JPEG: Start compress\n"
                         "=JPEG: Feed compress\n=JPEG: Write 24C or 8G image data\n");
}

// ---- Output larger than the caller's buffer ----------------------------------

TEST(DctBuffer, TinyCallerBufferHandsBackTheWholeJpeg) {
    const int w = 200, h = 150;
    auto noisy = [](int x, int y) -> uint32_t { return uint32_t((x * 7919 + y * 104729) * 2654435761u) >> 8; };
    Doc d;
    DibHandle dib = make_bitmap(w, h, 24, true, nullptr, noisy);
    Encoding big = encode(d.doc, dib, 90, 0, ample(w, h));
    Encoding tiny = encode(d.doc, dib, 90, 0, 16);
    Encoding none = encode(d.doc, dib, 90, 0, 0);
    plat_mem_free(dib);
    ASSERT_EQ(big.result, 0);
    ASSERT_EQ(tiny.result, 0);
    ASSERT_EQ(none.result, 0);
    EXPECT_GT(tiny.jpeg.size(), 10000u);
    EXPECT_EQ(tiny.jpeg, big.jpeg);
    EXPECT_EQ(none.jpeg, big.jpeg);
    Decoded img;
    EXPECT_TRUE(decode(tiny.jpeg.data(), tiny.jpeg.size(), &img));
    EXPECT_EQ(pdfw_mem_in_use(d.doc), d.baseline);
}

TEST(DctBuffer, AllocationFailuresFailCleanly) {
    const int w = 120, h = 90;
    std::vector<uint8_t> table = red_blue_table(16);
    Doc d;
    DibHandle dib = make_bitmap(w, h, 4, false, table.data(),
                                [](int x, int y) { return uint32_t((x ^ y) & 1); });
    int failures = 0;
    for (unsigned n = 1; n < 40; ++n) {
        uint8_t buf[16];
        uint8_t* out = buf;
        uint32_t size = sizeof buf;
        pdfw_alloc_fail_after(n);
        testing::internal::CaptureStdout();
        int rc = dct_encode(d.doc, &out, &size, dib, 75, 0);
        testing::internal::GetCapturedStdout();
        pdfw_alloc_fail_after(0);
        if (rc == 0) {
            if (out != buf) pdfw_free(d.doc, out);
            break;
        }
        ++failures;
        EXPECT_EQ(out, buf);
        EXPECT_EQ(size, sizeof buf);
        EXPECT_EQ(plat_mem_lock_count(dib), 0u);
        EXPECT_EQ(pdfw_mem_in_use(d.doc), d.baseline) << n;
    }
    EXPECT_GE(failures, 2);  // the scanline and at least one larger buffer
    plat_mem_free(dib);
}

// ---- Error path ---------------------------------------------------------------

TEST(DctErrors, SixteenBitFailsWithTooFewScanlinesAndUnlocks) {
    const int w = 10, h = 4;
    const size_t stride = size_t(dib_stride(w, 16));
    DibHandle dib = plat_mem_alloc(PLAT_MEM_MOVEABLE | PLAT_MEM_ZEROINIT, 40 + stride * h);
    ASSERT_NE(dib, nullptr);
    DibInfoHeader hdr{};
    hdr.size = 40;
    hdr.width = w;
    hdr.height = h;
    hdr.planes = 1;
    hdr.bit_count = 16;
    hdr.image_size = uint32_t(stride * h);
    std::memcpy(plat_mem_lock(dib), &hdr, sizeof hdr);
    plat_mem_unlock(dib);

    Doc d;
    uint8_t buf[64];
    uint8_t* out = buf;
    uint32_t size = sizeof buf;
    testing::internal::CaptureStdout();
    int rc = dct_encode(d.doc, &out, &size, dib, 75, 0);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, JERR_TOO_LITTLE_DATA);
    EXPECT_NE(log.find("PDF:ERROR:JPG:Application transferred too few scanlines\n"), std::string::npos);
    EXPECT_EQ(plat_mem_lock_count(dib), 0u);
    EXPECT_EQ(out, buf);
    EXPECT_EQ(size, sizeof buf);
    EXPECT_EQ(pdfw_mem_in_use(d.doc), d.baseline);
    plat_mem_free(dib);
}

}  // namespace
