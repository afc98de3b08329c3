// BMP files: save-then-load round trips checked by Pillow, every refusal
// status, larger headers, short pixel data, the pixel offset, resolutions
// in dots per inch.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "dib/dib.h"
#include "support/bmp_writer.h"
#include "support/dib_pixels.h"
#include "support/tools.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// 0xRRGGBB, so the unused byte of 32-bit pixels stays 0.
uint32_t pattern(int x, int y) { return static_cast<uint32_t>((x * 37 + y * 101) * 0x010203 + x) & 0xFFFFFF; }

BmpFile pattern_file(int bits, int32_t width, int32_t height) {
    BmpFile f;
    f.width = width;
    f.height = height;
    f.bit_count = static_cast<uint16_t>(bits);
    // All entries distinct, so a wrong index shows.
    if (bits <= 8) f.colours = bmp_colour_table(colour_palette(1 << bits));
    f.body = bmp_rows(width, height, bits, pattern);
    return f;
}

class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
        blocks_ = plat_mem_blocks_in_use();
    }
    void TearDown() override {
        remove_tree(dir_);
        EXPECT_EQ(plat_mem_blocks_in_use(), blocks_) << "a bitmap block leaked";
    }
    std::string path(const char* name) const { return dir_ + "/" + name; }
    std::string dir_;
    size_t blocks_ = 0;
};

struct RoundTrip {
    int bits;
    bool top_down;
};

class BmpRoundTrip : public TempDir, public ::testing::WithParamInterface<RoundTrip> {};

// Load a generated file, save it, have Pillow read the saved file, load it
// again: pixels, table and header survive, and the file header is right.
TEST_P(BmpRoundTrip, SaveThenLoad) {
    const int bits = GetParam().bits;
    const int32_t height = GetParam().top_down ? -5 : 5;
    const int32_t width = 13;
    const std::string src = path("pattern.bmp"), out = path("saved.bmp");
    ASSERT_TRUE(bmp_write(src, pattern_file(bits, width, height)));

    DibHandle first = nullptr, second = nullptr;
    ASSERT_EQ(dib_command(DIB_OP_LOAD, &first, const_cast<wchar_t*>(wide(src).c_str())), DIB_OK);
    const uint32_t mask = bits >= 24 ? 0xFFFFFF : (1u << bits) - 1;
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < width; ++x)
            ASSERT_EQ(dib_pixel_at(first, x, y), pattern(x, y) & mask) << x << "," << y;

    ASSERT_EQ(dib_command(DIB_OP_SAVE, first, const_cast<wchar_t*>(wide(out).c_str())), DIB_OK);
    std::string saved;
    ASSERT_TRUE(read_file(out, &saved));
    const size_t table = bits <= 8 ? 4u << bits : 0;
    const size_t length = 14 + 40 + table + bmp_stride(width, bits) * 5;
    ASSERT_EQ(saved.size(), length);
    uint32_t size_field, offset_field;
    std::memcpy(&size_field, &saved[2], 4);
    std::memcpy(&offset_field, &saved[10], 4);
    EXPECT_EQ(saved[0], 'B');
    EXPECT_EQ(saved[1], 'M');
    EXPECT_EQ(size_field, length);
    EXPECT_EQ(offset_field, 14 + 40 + table);

    Raster ours, theirs;
    ASSERT_TRUE(dib_read_rgb(first, &ours));
    ASSERT_TRUE(read_with_pillow(out, &theirs));
    EXPECT_EQ(theirs.width, width);
    EXPECT_EQ(theirs.height, 5);
    EXPECT_EQ(ours.rgb, theirs.rgb);

    ASSERT_EQ(dib_load_bmp(&second, wide(out).c_str(), 0), DIB_OK);
    const size_t n = 40 + table + bmp_stride(width, bits) * 5;
    ASSERT_EQ(plat_mem_size(first), n);
    ASSERT_EQ(plat_mem_size(second), n);
    EXPECT_EQ(std::memcmp(plat_mem_lock(first), plat_mem_lock(second), n), 0);
    plat_mem_unlock(first);
    plat_mem_unlock(second);
    dib_command(DIB_OP_FREE, &first, nullptr);
    dib_command(DIB_OP_FREE, &second, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Depths, BmpRoundTrip,
    ::testing::Values(RoundTrip{1, false}, RoundTrip{1, true}, RoundTrip{4, false}, RoundTrip{4, true},
                      RoundTrip{8, false}, RoundTrip{8, true}, RoundTrip{24, false}, RoundTrip{24, true},
                      RoundTrip{32, false}, RoundTrip{32, true}),
    [](const ::testing::TestParamInfo<RoundTrip>& i) {
        return std::to_string(i.param.bits) + (i.param.top_down ? "BitTopDown" : "BitBottomUp");
    });

// Files that must be refused, each with its status.
struct Refusal {
    const char* name;
    Bytes (*make)();
    int status;
};

Bytes with(void (*edit)(BmpFile&)) {
    BmpFile f = pattern_file(8, 4, 2);
    edit(f);
    return bmp_encode(f);
}

template <size_t Offset, typename T>
Bytes poke(Bytes b, T value) {
    std::memcpy(&b[Offset], &value, sizeof value);
    return b;
}

const Refusal kRefusals[] = {
    {"BitmapArraySignature", [] { Bytes b = with([](BmpFile&) {}); b[1] = 'A'; return b; },
     DIB_ERR_NO_BITMAP},
    {"TenBytes", [] { Bytes b = with([](BmpFile&) {}); b.resize(10); return b; }, DIB_ERR_NO_BITMAP},
    {"Empty", [] { return Bytes(); }, DIB_ERR_NO_BITMAP},
    {"FileSizeThirteen", [] { return with([](BmpFile& f) { f.file_size = 13; }); }, DIB_ERR_FILE_SIZE},
    {"ShorterThanInfoHeader", [] { Bytes b = with([](BmpFile&) {}); b.resize(14 + 39); return b; },
     DIB_ERR_READ},
    {"CoreHeader", [] { return poke<14>(with([](BmpFile&) {}), uint32_t{12}); }, DIB_ERR_UNSUPPORTED},
    {"HeaderSizeZero", [] { return poke<14>(with([](BmpFile&) {}), uint32_t{0}); }, DIB_ERR_UNSUPPORTED},
    {"HeaderLongerThanFile", [] { return poke<14>(with([](BmpFile&) {}), uint32_t{0xFFFFFFF0}); },
     DIB_ERR_READ},
    {"TableLongerThanFile", [] { return with([](BmpFile& f) { f.colours_used = 0x40000000; }); },
     DIB_ERR_READ},
    {"TableCutShort", [] { return with([](BmpFile& f) { f.colours.resize(100); f.body.clear(); }); },
     DIB_ERR_READ},
    {"TwoBits", [] { return with([](BmpFile& f) { f.bit_count = 2; }); }, DIB_ERR_BIT_COUNT},
    {"ZeroBits", [] { return with([](BmpFile& f) { f.bit_count = 0; }); }, DIB_ERR_BIT_COUNT},
    {"SixtyFourBits", [] { return with([](BmpFile& f) { f.bit_count = 64; }); }, DIB_ERR_BIT_COUNT},
    {"Rle8WithFourBits", [] { return with([](BmpFile& f) { f.compression = 1; f.bit_count = 4; }); },
     DIB_ERR_UNSUPPORTED},
    {"Rle4WithEightBits", [] { return with([](BmpFile& f) { f.compression = 2; }); },
     DIB_ERR_UNSUPPORTED},
    {"BitFields", [] { return with([](BmpFile& f) { f.compression = 3; f.bit_count = 32; }); },
     DIB_ERR_UNSUPPORTED},
    {"EmbeddedJpeg", [] { return with([](BmpFile& f) { f.compression = 4; }); }, DIB_ERR_UNSUPPORTED},
    {"NegativeWidth", [] { return with([](BmpFile& f) { f.width = -4; }); }, DIB_ERR_UNSUPPORTED},
    {"HeightIntMin", [] { return with([](BmpFile& f) { f.height = INT32_MIN; }); }, DIB_ERR_UNSUPPORTED},
    {"TopDownRunLength", [] { return with([](BmpFile& f) { f.compression = 1; f.height = -2; }); },
     DIB_ERR_UNSUPPORTED},
    {"PixelArrayOver2GiB", [] { return with([](BmpFile& f) { f.width = 30000; f.height = 30000; f.bit_count = 24; }); },
     DIB_ERR_NO_MEMORY},
    {"WidthTimesBitsWraps32", [] { return with([](BmpFile& f) { f.width = INT32_MAX; f.height = 1; f.bit_count = 32; }); },
     DIB_ERR_NO_MEMORY},
    {"HugeRunLengthTarget", [] { return with([](BmpFile& f) { f.compression = 1; f.width = 100000; f.height = 100000; }); },
     DIB_ERR_NO_MEMORY},
};

class BmpRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(BmpRefusal, FailsWithItsStatusAndLeavesNothing) {
    const Bytes file = GetParam().make();
    const size_t blocks = plat_mem_blocks_in_use();
    DibHandle h = reinterpret_cast<DibHandle>(1);
    EXPECT_EQ(dib_load_bmp_memory(&h, file.data(), file.size(), 0), GetParam().status);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(plat_mem_blocks_in_use(), blocks);
}

INSTANTIATE_TEST_SUITE_P(Files, BmpRefusal, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<Refusal>& i) { return std::string(i.param.name); });

using BmpFiles = TempDir;

TEST_F(BmpFiles, FileLevelFailures) {
    DibHandle h = reinterpret_cast<DibHandle>(1);
    EXPECT_EQ(dib_load_bmp(&h, wide(path("missing.bmp")).c_str(), 0), DIB_ERR_OPEN_READ);
    EXPECT_EQ(h, nullptr);
    ASSERT_TRUE(write_file(path("empty.bmp"), ""));
    EXPECT_EQ(dib_load_bmp(&h, wide(path("empty.bmp")).c_str(), 0), DIB_ERR_NO_BITMAP);
    ASSERT_TRUE(write_file(path("short.bmp"), {'B', 'M', 99, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 40}));
    EXPECT_EQ(dib_load_bmp(&h, wide(path("short.bmp")).c_str(), 0), DIB_ERR_READ);
    // A folder opens for reading on Linux but cannot be read.
    EXPECT_LT(dib_load_bmp(&h, wide(dir_).c_str(), 0), 0);
    EXPECT_EQ(h, nullptr);

    DibHandle b = nullptr;
    ASSERT_EQ(dib_create(2, 2, 24, 0, 0, nullptr, &b), DIB_OK);
    EXPECT_EQ(dib_save_bmp(b, wide(path("no/such/folder.bmp")).c_str(), 0), DIB_ERR_OPEN_WRITE);
    EXPECT_EQ(dib_save_bmp(nullptr, wide(path("null.bmp")).c_str(), 0), DIB_ERR_LOCK);
    std::string saved;
    read_file(path("null.bmp"), &saved);
    EXPECT_EQ(saved.size(), 0u);  // created, left empty
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(dib_save_bmp(b, L"/dev/full", 0), DIB_ERR_WRITE);
    }
    EXPECT_EQ(plat_mem_lock_count(b), 0u);
    dib_command(DIB_OP_FREE, &b, nullptr);
}

// V4 and V5 headers: the bitmap is held with a 40-byte header and its true
// colours right behind it, where every reader looks.
TEST_F(BmpFiles, LargerHeadersAreNormalised) {
    for (uint32_t header : {52u, 64u, 108u, 124u}) {
        BmpFile f = pattern_file(8, 5, 3);
        f.header_size = header;
        const Bytes file = bmp_encode(f);
        DibHandle h = nullptr;
        ASSERT_EQ(dib_load_bmp_memory(&h, file.data(), file.size(), 0), DIB_OK) << header;
        DibView v;
        ASSERT_EQ(dib_view_open(&v, h), DIB_OK);
        EXPECT_EQ(v.header->size, 40u);
        EXPECT_EQ(v.total_size, static_cast<int64_t>(plat_mem_size(h)));
        EXPECT_EQ(Bytes(v.colours, v.colours + 1024), f.colours);
        EXPECT_EQ(Bytes(v.pixels, v.pixels + v.pixel_bytes), f.body);
        dib_view_close(&v);
        dib_command(DIB_OP_FREE, &h, nullptr);
    }
}

// A gap between the table and the pixels is skipped as the file header's
// offset says; an offset that points into the headers or past the end is not
// trusted and the pixels are read right behind the table.
TEST_F(BmpFiles, PixelOffsetSkipsAGapButIsNotTrustedBlindly) {
    BmpFile f = pattern_file(8, 4, 2);
    f.gap = 4;
    Bytes file = bmp_encode(f);
    for (uint32_t offset : {0u, 14u + 40u + 1024u + 4u, 20u, 0xFFFFFF00u}) {
        file[10] = static_cast<uint8_t>(offset);
        file[11] = static_cast<uint8_t>(offset >> 8);
        file[12] = static_cast<uint8_t>(offset >> 16);
        file[13] = static_cast<uint8_t>(offset >> 24);
        const bool honoured = offset == 14u + 40u + 1024u + 4u;
        DibHandle h = nullptr;
        ASSERT_EQ(dib_load_bmp_memory(&h, file.data(), file.size(), 0), DIB_OK) << offset;
        DibView v;
        ASSERT_EQ(dib_view_open(&v, h), DIB_OK);
        if (honoured) {
            EXPECT_EQ(Bytes(v.pixels, v.pixels + v.pixel_bytes), f.body);
        } else {
            EXPECT_EQ(Bytes(v.pixels, v.pixels + 4), Bytes(4, 0xEE)) << offset;
            EXPECT_EQ(Bytes(v.pixels + 4, v.pixels + 8), Bytes(f.body.begin(), f.body.begin() + 4));
        }
        dib_view_close(&v);
        dib_command(DIB_OP_FREE, &h, nullptr);
    }
}

TEST_F(BmpFiles, ShortPixelDataReadsAsZero) {
    for (size_t cut : {1u, 3u, 20u, 40u}) {
        BmpFile f = pattern_file(24, 5, 3);
        const Bytes full = f.body;
        f.body.resize(full.size() - cut);
        const Bytes file = bmp_encode(f);
        DibHandle h = nullptr;
        ASSERT_EQ(dib_load_bmp_memory(&h, file.data(), file.size(), 0), DIB_OK) << cut;
        DibView v;
        ASSERT_EQ(dib_view_open(&v, h), DIB_OK);
        ASSERT_EQ(v.pixel_bytes, static_cast<int64_t>(full.size()));
        Bytes want = full;
        std::fill(want.end() - static_cast<std::ptrdiff_t>(cut), want.end(), 0);
        EXPECT_EQ(Bytes(v.pixels, v.pixels + v.pixel_bytes), want);
        dib_view_close(&v);
        dib_command(DIB_OP_FREE, &h, nullptr);
    }
}

TEST_F(BmpFiles, ResolutionInDotsPerInch) {
    BmpFile f = pattern_file(1, 9, 2);
    f.x_ppm = 11811;
    f.y_ppm = 3780;
    ASSERT_TRUE(bmp_write(path("dpi.bmp"), f));
    DibHandle h = nullptr;
    ASSERT_EQ(dib_command(DIB_OP_LOAD_DPI, &h, const_cast<wchar_t*>(wide(path("dpi.bmp")).c_str())), DIB_OK);
    DibInfoHeader hdr;
    ASSERT_EQ(dib_command(DIB_OP_GET_HEADER, h, &hdr), DIB_OK);
    EXPECT_EQ(hdr.x_ppm, 300);
    EXPECT_EQ(hdr.y_ppm, 96);

    ASSERT_EQ(dib_command(DIB_OP_SAVE_DPI, h, const_cast<wchar_t*>(wide(path("out.bmp")).c_str())), DIB_OK);
    std::string saved;
    ASSERT_TRUE(read_file(path("out.bmp"), &saved));
    ASSERT_GE(saved.size(), 62u);
    int32_t x, y;
    uint32_t offset;
    std::memcpy(&x, &saved[14 + 24], 4);
    std::memcpy(&y, &saved[14 + 28], 4);
    std::memcpy(&offset, &saved[10], 4);
    EXPECT_EQ(x, 11811);
    EXPECT_EQ(y, 3780);
    EXPECT_EQ(offset, 62u);  // 14 + 40 + two colours
    ASSERT_EQ(dib_command(DIB_OP_GET_HEADER, h, &hdr), DIB_OK);
    EXPECT_EQ(hdr.x_ppm, 300);  // the bitmap keeps its dots per inch
    EXPECT_EQ(hdr.y_ppm, 96);
    dib_command(DIB_OP_FREE, &h, nullptr);
}

}  // namespace
