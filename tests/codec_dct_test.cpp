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
#include "codec/codec_private.h"
#include <cstdlib>

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

// The encoder's host: counted memory whose Nth request can fail, and the
// trace lines gathered.
struct Host {
    CodecHost host{};
    int64_t in_use = 0;
    unsigned fail_at = 0;  // 0: never
    unsigned requests = 0;
    std::string log;
    Host() {
        host.opaque = this;
        host.alloc = [](void* o, size_t n) -> void* {
            Host* h = static_cast<Host*>(o);
            if (++h->requests == h->fail_at) return nullptr;
            auto* block = static_cast<size_t*>(std::malloc(n + sizeof(size_t)));
            if (!block) return nullptr;
            *block = n;
            h->in_use += int64_t(n);
            return block + 1;
        };
        host.free = [](void* o, void* p) {
            if (!p) return;
            auto* block = static_cast<size_t*>(p) - 1;
            static_cast<Host*>(o)->in_use -= int64_t(*block);
            std::free(block);
        };
        host.trace = [](void* o, const char* line) { static_cast<Host*>(o)->log += line; };
    }
};

// An image in memory as the encoders read it: rows padded to 4 bytes,
// bottom-up unless top_down, a table of 4-byte entries.
struct Image {
    std::vector<uint8_t> table;
    std::vector<uint8_t> pixels;
    CodecImage view{};
};

// Painted by a function of the picture position (top row is y = 0): paint
// returns the palette index for depths up to 8, else 0xRRGGBB. Without a
// table, depths up to 8 get the grey ramp.
template <typename Paint>
Image make_image(int width, int height, int bits, bool top_down, const uint8_t* table,
                 Paint paint) {
    Image im;
    const int entries = bits <= 8 ? 1 << bits : 0;
    im.table.assign(size_t(entries) * 4, 0);
    for (int i = 0; i < entries; ++i) {
        uint8_t* e = &im.table[size_t(i) * 4];
        if (table) {
            std::memcpy(e, table + 4 * i, 4);
        } else {
            e[0] = e[1] = e[2] = uint8_t(i * 255 / (entries - 1));
        }
    }
    const size_t stride = (size_t(width) * size_t(bits) + 31) / 32 * 4;
    im.pixels.assign(stride * size_t(height), 0);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = &im.pixels[stride * size_t(top_down ? y : height - 1 - y)];
        for (int x = 0; x < width; ++x) {
            uint32_t v = paint(x, y);
            if (bits == 1) {
                if (v) row[x / 8] |= uint8_t(0x80 >> (x % 8));
            } else if (bits == 4) {
                row[x / 2] |= uint8_t(x % 2 ? v : v << 4);
            } else if (bits == 8) {
                row[x] = uint8_t(v);
            } else if (bits >= 24) {
                uint8_t* p = row + size_t(x) * size_t(bits / 8);
                p[0] = uint8_t(v), p[1] = uint8_t(v >> 8), p[2] = uint8_t(v >> 16);
                if (bits == 32) p[3] = 0x5A;  // unused byte; must not leak into colour
            }
        }
    }
    im.view = CodecImage{width, height, top_down, int64_t(stride), bits,
                         im.table.data(), entries, im.pixels.data(), nullptr, nullptr, nullptr, {}, false, 0, nullptr};
    return im;
}

struct Encoding {
    int result = -1;
    std::vector<uint8_t> jpeg;
    std::string log;
};

// Encodes into a caller buffer of `capacity` bytes, sized exactly so that
// the sanitizer sees any access past it. Nothing may stay allocated.
Encoding encode(const Image& im, int quality, int grey, uint32_t capacity,
                unsigned fail_at = 0) {
    Encoding r;
    Host h;
    h.fail_at = fail_at;
    std::vector<uint8_t> mine(capacity);
    uint8_t* out = mine.data();
    uint32_t size = capacity;
    r.result = codec_dct_encode(&h.host, &im.view, quality, grey, &out, &size);
    r.log = h.log;
    if (r.result == 0) {
        r.jpeg.assign(out, out + size);
    } else {
        EXPECT_EQ(out, mine.data()) << "a failure hands back the caller's buffer";
        EXPECT_EQ(size, capacity);
    }
    if (out != mine.data()) h.host.free(h.host.opaque, out);
    EXPECT_EQ(h.in_use, 0);
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
    std::vector<uint8_t> first;
    for (bool top_down : {false, true}) {
        Image im = make_image(w, h, bits, top_down, bits <= 8 ? table.data() : nullptr, paint);
        Encoding r = encode(im, 75, 0, ample(w, h));
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
    Encoding r = encode(make_image(w, h, 24, false, nullptr, rgb), 75, 0, ample(w, h));
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
    Image im = make_image(w, h, 8, false, nullptr, ramp);  // grey ramp table
    Encoding grey = encode(im, 75, 1, ample(w, h));
    Encoding colour = encode(im, 75, 0, ample(w, h));
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

TEST(DctQuality, TraceLinesAndQualityZero) {
    Image im = make_image(8, 8, 24, false, nullptr, [](int, int) { return 0x102030u; });
    Encoding r = encode(im, 0, 0, 4096);
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
    Image im = make_image(w, h, 24, true, nullptr, noisy);
    Encoding big = encode(im, 90, 0, ample(w, h));
    Encoding tiny = encode(im, 90, 0, 16);
    Encoding none = encode(im, 90, 0, 0);
    ASSERT_EQ(big.result, 0);
    ASSERT_EQ(tiny.result, 0);
    ASSERT_EQ(none.result, 0);
    EXPECT_GT(tiny.jpeg.size(), 10000u);
    EXPECT_EQ(tiny.jpeg, big.jpeg);
    EXPECT_EQ(none.jpeg, big.jpeg);
    Decoded img;
    EXPECT_TRUE(decode(tiny.jpeg.data(), tiny.jpeg.size(), &img));
}

// The Nth request of the host fails: the call fails cleanly, hands back
// the caller's buffer and keeps nothing (checked in encode).
TEST(DctBuffer, AllocationFailuresFailCleanly) {
    const int w = 120, h = 90;
    std::vector<uint8_t> table = red_blue_table(16);
    Image im = make_image(w, h, 4, false, table.data(),
                          [](int x, int y) { return uint32_t((x ^ y) & 1); });
    int failures = 0;
    for (unsigned n = 1; n < 40; ++n) {
        Encoding r = encode(im, 75, 0, 16, n);
        if (r.result == 0) break;
        ++failures;
    }
    EXPECT_GE(failures, 2);  // the scanline and at least one larger buffer
}

// ---- Optimised tables -----------------------------------------------------------

// libjpeg's own optimised coding of the same rows: the file the encoder
// must write, byte for byte, though it never holds the coefficients.
// Without optimised, the standard tables that the re-coding starts from.
std::vector<uint8_t> libjpeg_optimised(const Image& im, int quality, bool grey, bool optimised = true) {
    const CodecImage& v = im.view;
    jpeg_compress_struct cinfo;
    DecodeErrors errors;
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = decode_fail;
    unsigned char* data = nullptr;
    unsigned long size = 0;
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(data);
        return {};
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &data, &size);
    cinfo.image_width = JDIMENSION(v.width);
    cinfo.image_height = JDIMENSION(v.rows);
    cinfo.input_components = grey ? 1 : 3;
    cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.optimize_coding = optimised ? TRUE : FALSE;
    cinfo.write_JFIF_header = FALSE;
    cinfo.write_Adobe_marker = TRUE;
    jpeg_start_compress(&cinfo, TRUE);
    for (int y = 0; y < v.rows; ++y) {
        JSAMPROW row = const_cast<uint8_t*>(v.pixels) + size_t(v.top_down ? y : v.rows - 1 - y) * size_t(v.stride);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> out(data, data + size);
    std::free(data);
    return out;
}

// Sizes that cut units and blocks, every quality's kind of statistics, and
// a sparse picture whose rare symbols make codes past 16 bits to fold back.
TEST(DctTables, SameFileAsLibjpegsOptimisedCoding) {
    enum Paint { kNoise, kRamp, kSparse, kFlat };
    struct Case {
        int width, height;
        bool grey;
        int quality;
        Paint paint;
    } const cases[] = {
        {1, 1, false, 75, kFlat},      {1, 1, true, 75, kNoise},     {17, 9, false, 75, kNoise},
        {33, 65, false, 5, kRamp},     {300, 200, true, 50, kRamp},  {640, 480, false, 100, kNoise},
        {641, 479, true, 100, kNoise}, {1500, 1500, false, 100, kSparse},
        {2000, 1200, true, 95, kSparse}, {200, 150, false, 90, kFlat},
    };
    for (const Case& c : cases) {
        const auto paint = [&](int x, int y) -> uint32_t {
            const uint32_t hash = uint32_t(x * 7919 + y * 104729) * 2654435761u;
            switch (c.paint) {
            case kNoise: return hash >> 8;
            case kRamp: return uint32_t((x * 255 / c.width) << 16 | (y * 255 / c.height) << 8 | (x + y) % 251);
            case kSparse: return (hash >> 20) == 7 ? hash >> 8 : 0x808080u;
            default: return 0x336699u;
            }
        };
        Image im = c.grey ? make_image(c.width, c.height, 8, false, nullptr,
                                       [&](int x, int y) { return paint(x, y) & 0xFFu; })
                          : make_image(c.width, c.height, 24, false, nullptr, paint);
        Encoding mine = encode(im, c.quality, c.grey, 64);
        ASSERT_EQ(mine.result, 0) << mine.log;
        const std::vector<uint8_t> want = libjpeg_optimised(im, c.quality, c.grey);
        ASSERT_FALSE(want.empty());
        EXPECT_TRUE(mine.jpeg == want) << c.width << "x" << c.height << (c.grey ? " grey" : " colour")
                                       << " q" << c.quality << ": " << mine.jpeg.size() << " bytes, libjpeg "
                                       << want.size();
    }
}

// Damaged data to re-code fails or succeeds cleanly: nothing read past it,
// nothing kept, the caller's buffer back on failure.
TEST(DctTables, DamagedDataFailsCleanly) {
    auto noise = [](int x, int y) { return (uint32_t(x * 7919 + y * 104729) * 2654435761u) >> 8; };
    const std::vector<uint8_t> plain = libjpeg_optimised(make_image(40, 24, 24, false, nullptr, noise), 75, false, false);
    ASSERT_GT(plain.size(), 600u);
    const auto segment = [&](uint8_t marker) {
        size_t at = 2;
        while (plain[at + 1] != marker) at += 2 + size_t(plain[at + 2] << 8 | plain[at + 3]);
        return at;
    };
    const size_t dht = segment(0xC4), sof = segment(0xC0), sos = segment(0xDA);
    struct Damage {
        const char* what;
        size_t keep;     // bytes kept
        size_t at;       // a byte set to `to`, when at < keep
        uint8_t to;
        int passes;      // 1, 0, or -1 for either
    } const cases[] = {
        {"whole", plain.size(), SIZE_MAX, 0, 1},
        {"no start marker", plain.size(), 1, 0xD9, 0},
        {"cut in the header", dht + 10, SIZE_MAX, 0, 0},
        {"cut at the scan", sos + 2, SIZE_MAX, 0, 0},
        {"cut in the data", plain.size() / 2 + sos / 2, SIZE_MAX, 0, 0},
        {"table over-full", plain.size(), dht + 5, 0xFF, 0},
        {"progressive frame", plain.size(), sof + 1, 0xC2, 0},
        {"a marker in the data", plain.size(), sos + 40, 0xFF, -1},
    };
    for (const Damage& d : cases) {
        std::vector<uint8_t> in(plain.begin(), plain.begin() + long(d.keep));
        if (d.at < in.size()) in[d.at] = d.to;
        Host h;
        std::vector<uint8_t> mine(64);
        uint8_t* out = mine.data();
        uint32_t size = uint32_t(mine.size());
        const int rc = codec_jpeg_optimise(&h.host, in.data(), in.size(), &out, &size);
        if (d.passes >= 0) {
            EXPECT_EQ(rc == CODEC_OK, d.passes == 1) << d.what << ": " << rc;
        }
        if (rc != CODEC_OK) {
            EXPECT_EQ(out, mine.data()) << d.what;
        }
        if (out != mine.data()) h.host.free(h.host.opaque, out);
        EXPECT_EQ(h.in_use, 0) << d.what;
    }
}

// ---- Error path ---------------------------------------------------------------

TEST(DctErrors, UnknownDepthFailsWithTooFewScanlines) {
    Image im = make_image(10, 4, 12, false, nullptr, [](int, int) { return 0u; });
    Encoding r = encode(im, 75, 0, 64);
    EXPECT_EQ(r.result, JERR_TOO_LITTLE_DATA);
    EXPECT_NE(r.log.find("PDF:ERROR:JPG:Application transferred too few scanlines\n"),
              std::string::npos);
}

}  // namespace
