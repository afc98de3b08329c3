// BMP files: save-then-load round trips checked by Pillow, the status and
// cause of every refusal, larger headers, short pixel data, the pixel offset, resolutions
// in dots per inch.
#include <gtest/gtest.h>

#include <sys/stat.h>
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

// 0xRRGGBB, so the unused byte of 32-bit pixels stays 0.
uint32_t pattern(int x, int y) { return (static_cast<uint32_t>(x * 37 + y * 101) * 0x010203u + static_cast<uint32_t>(x)) & 0xFFFFFF; }

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

// What every load reports: its status and the cause a user is told. Rows
// are files made here (loaded from a file and from memory), BMP-suite files,
// or paths that are not BMP files.
enum Source { MADE, SUITE, MISSING, DIRECTORY, UNREADABLE };

struct LoadCase {
    const char* name;
    Source source;
    void (*edit)(BmpFile&);  // MADE: changes to an 8-bit 4 x 2 file
    void (*patch)(Bytes&);   // MADE: then to its bytes
    const char* suite;       // SUITE: the file's path in the suite
    int status;
    int cause;
};

void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

LoadCase edited(const char* name, void (*edit)(BmpFile&), int status, int cause) {
    return {name, MADE, edit, nullptr, nullptr, status, cause};
}
LoadCase patched(const char* name, void (*patch)(Bytes&), int status, int cause) {
    return {name, MADE, nullptr, patch, nullptr, status, cause};
}
LoadCase suite(const char* name, const char* file, int status, int cause) {
    return {name, SUITE, nullptr, nullptr, file, status, cause};
}

Bytes made_bytes(const LoadCase& c) {
    BmpFile f = pattern_file(8, 4, 2);
    if (c.edit) c.edit(f);
    Bytes b = bmp_encode(f);
    if (c.patch) c.patch(b);
    return b;
}

const LoadCase kLoads[] = {
    edited("Loads", [](BmpFile&) {}, DIB_OK, DIB_CAUSE_NONE),
    {"Missing", MISSING, nullptr, nullptr, nullptr, DIB_ERR_OPEN_READ, DIB_CAUSE_NOT_FOUND},
    // A folder opens for reading on Linux but cannot be read.
    {"Directory", DIRECTORY, nullptr, nullptr, nullptr, DIB_ERR_NO_BITMAP, DIB_CAUSE_IS_DIRECTORY},
    {"Unreadable", UNREADABLE, nullptr, nullptr, nullptr, DIB_ERR_OPEN_READ, DIB_CAUSE_PERMISSION},
    patched("BitmapArraySignature", [](Bytes& b) { b[1] = 'A'; }, DIB_ERR_NO_BITMAP, DIB_CAUSE_NOT_BMP),
    patched("TenBytes", [](Bytes& b) { b.resize(10); }, DIB_ERR_NO_BITMAP, DIB_CAUSE_NOT_BMP),
    patched("Empty", [](Bytes& b) { b.clear(); }, DIB_ERR_NO_BITMAP, DIB_CAUSE_NOT_BMP),
    edited("FileSizeThirteen", [](BmpFile& f) { f.file_size = 13; }, DIB_ERR_FILE_SIZE,
           DIB_CAUSE_FILE_SIZE_FIELD),
    patched("ShorterThanInfoHeader", [](Bytes& b) { b.resize(14 + 39); }, DIB_ERR_READ, DIB_CAUSE_TRUNCATED),
    patched("HeaderLongerThanFile", [](Bytes& b) { std::memset(&b[14], 0xFF, 4); }, DIB_ERR_READ,
            DIB_CAUSE_TRUNCATED),
    edited("TableLongerThanFile", [](BmpFile& f) { f.colours_used = 0x40000000; }, DIB_ERR_READ,
           DIB_CAUSE_TRUNCATED),
    edited("TableCutShort", [](BmpFile& f) { f.colours.resize(100); f.body.clear(); }, DIB_ERR_READ,
           DIB_CAUSE_TRUNCATED),
    patched("HeaderSizeZero", [](Bytes& b) { b[14] = 0; }, DIB_ERR_UNSUPPORTED, DIB_CAUSE_HEADER_SIZE),
    patched("HeaderSizeFourteen", [](Bytes& b) { b[14] = 14; }, DIB_ERR_UNSUPPORTED,
            DIB_CAUSE_HEADER_SIZE),
    // Masks behind a 40-byte header: a gap, an overlap, none at all, or
    // bit fields at a depth that has none.
    edited("BitFieldsWithAGap", [](BmpFile& f) { f.compression = 3; f.bit_count = 16; f.colours_used = 0;
                                                 f.colours = bmp_colour_table({0x7C01, 0x03E0, 0x001F}); },
           DIB_ERR_UNSUPPORTED, DIB_CAUSE_BITFIELDS),
    edited("BitFieldsOverlapping", [](BmpFile& f) { f.compression = 3; f.bit_count = 32; f.colours_used = 0;
                                                    f.colours = bmp_colour_table({0xFF00, 0x0FF0, 0xFF}); },
           DIB_ERR_UNSUPPORTED, DIB_CAUSE_BITFIELDS),
    edited("BitFieldsEmpty", [](BmpFile& f) { f.compression = 3; f.bit_count = 32; f.colours_used = 0;
                                              f.colours = bmp_colour_table({0, 0, 0}); },
           DIB_ERR_UNSUPPORTED, DIB_CAUSE_BITFIELDS),
    edited("BitFieldsAt8Bits", [](BmpFile& f) { f.compression = 3; }, DIB_ERR_UNSUPPORTED, DIB_CAUSE_BITFIELDS),
    edited("EmbeddedJunk", [](BmpFile& f) { f.compression = 4; }, DIB_ERR_UNSUPPORTED, DIB_CAUSE_JPEG_KIND),
    edited("EmbeddedPngJunk", [](BmpFile& f) { f.compression = 5; }, DIB_ERR_UNSUPPORTED, DIB_CAUSE_EMBEDDED),
    edited("CompressionNine", [](BmpFile& f) { f.compression = 9; }, DIB_ERR_UNSUPPORTED,
           DIB_CAUSE_COMPRESSION),
    // OS/2 2.x: 3 is Huffman 1D (1 bit) and 4 RLE24 (24 bits).
    edited("Os2HuffmanAt8Bits", [](BmpFile& f) { f.header_size = 64; f.compression = 3; }, DIB_ERR_UNSUPPORTED,
           DIB_CAUSE_OS2_DEPTH),
    // Two billion rows of no pixels take no codes, and no time.
    edited("Os2HuffmanRowsWithoutPixels", [](BmpFile& f) { f.header_size = 64; f.compression = 3;
                                                           f.bit_count = 1; f.width = 0; f.height = 2000000000;
                                                           f.colours.resize(8); },
           DIB_OK, DIB_CAUSE_NONE),
    edited("Os2Rle24At8Bits", [](BmpFile& f) { f.header_size = 64; f.compression = 4; }, DIB_ERR_UNSUPPORTED,
           DIB_CAUSE_OS2_DEPTH),
    edited("Rle8WithFourBits", [](BmpFile& f) { f.compression = 1; f.bit_count = 4; }, DIB_ERR_UNSUPPORTED,
           DIB_CAUSE_RLE_DEPTH),
    edited("Rle4WithEightBits", [](BmpFile& f) { f.compression = 2; }, DIB_ERR_UNSUPPORTED,
           DIB_CAUSE_RLE_DEPTH),
    edited("TopDownRunLength", [](BmpFile& f) { f.compression = 1; f.height = -2; }, DIB_ERR_UNSUPPORTED,
           DIB_CAUSE_RLE_TOP_DOWN),
    edited("TwoBits", [](BmpFile& f) { f.bit_count = 2; }, DIB_OK, DIB_CAUSE_NONE),
    edited("ZeroBits", [](BmpFile& f) { f.bit_count = 0; }, DIB_ERR_BIT_COUNT, DIB_CAUSE_BIT_COUNT),
    edited("SixtyFourBits", [](BmpFile& f) { f.bit_count = 64; }, DIB_ERR_BIT_COUNT, DIB_CAUSE_BIT_COUNT),
    edited("NegativeWidth", [](BmpFile& f) { f.width = -4; }, DIB_ERR_UNSUPPORTED, DIB_CAUSE_WIDTH),
    edited("HeightIntMin", [](BmpFile& f) { f.height = INT32_MIN; }, DIB_ERR_UNSUPPORTED, DIB_CAUSE_HEIGHT),
    edited("PixelArrayOver2GiB", [](BmpFile& f) { f.width = 30000; f.height = 30000; f.bit_count = 24; },
           DIB_ERR_NO_MEMORY, DIB_CAUSE_TOO_LARGE),
    edited("WidthTimesBitsWraps32", [](BmpFile& f) { f.width = INT32_MAX; f.height = 1; f.bit_count = 32; },
           DIB_ERR_NO_MEMORY, DIB_CAUSE_TOO_LARGE),
    edited("HugeRunLengthTarget", [](BmpFile& f) { f.compression = 1; f.width = f.height = 100000; },
           DIB_ERR_NO_MEMORY, DIB_CAUSE_TOO_LARGE),
    suite("SuitePal8", "g/pal8.bmp", DIB_OK, DIB_CAUSE_NONE),
    suite("Suite64Bits", "q/rgba64.bmp", DIB_ERR_BIT_COUNT, DIB_CAUSE_BIT_COUNT),
};

class BmpLoad : public TempDir, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(BmpLoad, StatusAndCause) {
    const LoadCase& c = GetParam();
    std::string file = path("made.bmp");
    const Bytes bytes = made_bytes(c);
    if (c.source == MADE || c.source == UNREADABLE) {
        ASSERT_TRUE(write_file(file, std::string(bytes.begin(), bytes.end())));
    }
    if (c.source == UNREADABLE) {
#ifdef _WIN32
        GTEST_SKIP() << "mode bits do not stop reading a file on Windows";
#else
        if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
#endif
        ASSERT_EQ(chmod(file.c_str(), 0), 0);
    } else if (c.source == SUITE) {
        if (bmpsuite_dir().empty()) GTEST_SKIP() << "BMP suite not found (TARVO_BMPSUITE_DIR)";
        file = bmpsuite_dir() + "/" + c.suite;
    } else if (c.source != MADE) {
        file = c.source == MISSING ? path("missing.bmp") : dir_;
    }
    for (bool memory : {false, true}) {
        if (memory && c.source != MADE) break;
        // A refusal first, so that a success has a cause to clear.
        DibHandle h = nullptr;
        ASSERT_EQ(dib_load_bmp_memory(&h, nullptr, 0, 0), DIB_ERR_NO_BITMAP);
        h = reinterpret_cast<DibHandle>(1);  // must be overwritten
        const int status = memory ? dib_load_bmp_memory(&h, bytes.data(), bytes.size(), 0)
                                  : dib_load_bmp(&h, wide(file).c_str(), 0);
        EXPECT_EQ(status, c.status) << (memory ? "from memory" : "from the file");
        EXPECT_EQ(dib_load_cause(), c.cause) << dib_cause_text(dib_load_cause());
        EXPECT_EQ(h != nullptr, status == DIB_OK);
        if (status == DIB_OK) dib_command(DIB_OP_FREE, &h, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, BmpLoad, ::testing::ValuesIn(kLoads),
                         [](const ::testing::TestParamInfo<LoadCase>& i) { return std::string(i.param.name); });

// JPEG and PNG data in the suite's files, damaged or disagreeing with the
// header in one place each: refused with the cause, nothing left behind.
TEST(BmpEmbedded, RefusalsNameTheFault) {
    if (bmpsuite_dir().empty()) GTEST_SKIP() << "BMP suite not found (TARVO_BMPSUITE_DIR)";
    struct Case {
        const char* file;
        void (*patch)(Bytes&);
        int cause;
    } cases[] = {
        {"q/rgb24jpeg.bmp", [](Bytes& b) { b[18] ^= 1; }, DIB_CAUSE_EMBEDDED_SIZE},
        {"q/rgb24jpeg.bmp", [](Bytes& b) {  // lossless coding instead of baseline
             for (size_t i = 138; i + 1 < b.size(); ++i)
                 if (b[i] == 0xFF && b[i + 1] == 0xC0) { b[i + 1] = 0xC3; break; }
         }, DIB_CAUSE_JPEG_KIND},
        {"q/rgb24png.bmp", [](Bytes& b) { b[18] ^= 1; }, DIB_CAUSE_EMBEDDED_SIZE},
        {"q/rgb24png.bmp", [](Bytes& b) { b[b.size() - 20] ^= 0x55; }, DIB_CAUSE_EMBEDDED},
    };
    for (const Case& c : cases) {
        std::string text;
        ASSERT_TRUE(read_file(bmpsuite_dir() + "/" + c.file, &text));
        Bytes b(text.begin(), text.end());
        c.patch(b);
        const size_t blocks = plat_mem_blocks_in_use();
        DibHandle h = nullptr;
        EXPECT_EQ(dib_load_bmp_memory(&h, b.data(), b.size(), 0), DIB_ERR_UNSUPPORTED) << c.file;
        EXPECT_EQ(dib_load_cause(), c.cause) << c.file;
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(plat_mem_blocks_in_use(), blocks);
    }
}

using BmpFiles = TempDir;

TEST_F(BmpFiles, SaveFailures) {
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

// Top row y of a whole load's pixels.
const uint8_t* whole_row(const Bytes& pixels, int32_t height, int64_t stride, int64_t y) {
    const int64_t rows = height < 0 ? -int64_t(height) : height;
    return pixels.data() + (height < 0 ? y : rows - 1 - y) * stride;
}

// Read ahead, a bitmap ends with the pixels of a whole load, whether its
// rows are waited for in steps or only at the end; through a window, every
// row asked for in order, and again from the top, is the whole load's row.
// Both row orders, a gap before the pixels, short data (read as 0) and a
// bitmap too small to be worth a thread.
TEST_F(BmpFiles, ReadAheadAndWindowGiveTheRowsOfAWholeLoad) {
    struct Case {
        int bits;
        int32_t width, height;  // a negative height is top-down
        uint32_t gap;
        size_t cut;
        bool ahead;  // large enough to be read on a thread
    } const cases[] = {
        {24, 1030, 720, 0, 0, true},   {24, 1030, -720, 0, 0, true},
        {8, 2100, 1100, 12, 0, true},  {1, 4800, 3600, 0, 5000, true},
        {32, 700, -800, 0, 3, true},   {24, 40, 30, 0, 0, false},
    };
    for (const Case& c : cases) {
        BmpFile f = pattern_file(c.bits, c.width, c.height);
        f.gap = c.gap;
        const Bytes full = f.body;
        f.body.resize(full.size() - c.cut);
        ASSERT_TRUE(bmp_write(path("ahead.bmp"), f));
        Bytes want = full;
        std::fill(want.end() - static_cast<std::ptrdiff_t>(c.cut), want.end(), 0);
        const std::wstring name = wide(path("ahead.bmp"));
        for (int64_t step : {int64_t(0), int64_t(1), int64_t(97)}) {
            DibHandle h = nullptr;
            DibAhead* ahead = nullptr;
            ASSERT_EQ(dib_load_bmp_ahead(&h, name.c_str(), 0, &ahead), DIB_OK) << c.width;
            EXPECT_EQ(ahead != nullptr, c.ahead) << c.width;
            const int64_t rows = c.height < 0 ? -int64_t(c.height) : c.height;
            for (int64_t r = step; step && r < rows + step; r += step)
                ASSERT_TRUE(dib_rows_wait(h, std::min(r, rows))) << c.width << " row " << r;
            int cause = -1;
            EXPECT_EQ(dib_ahead_finish(&ahead, &cause), DIB_OK);
            EXPECT_EQ(cause, DIB_CAUSE_NONE);
            DibView v;
            ASSERT_EQ(dib_view_open(&v, h), DIB_OK);
            EXPECT_TRUE(Bytes(v.pixels, v.pixels + v.pixel_bytes) == want)
                << c.bits << " bits, " << c.width << " x " << c.height << ", step " << step;
            dib_view_close(&v);
            dib_command(DIB_OP_FREE, &h, nullptr);
        }
        DibHandle whole = nullptr;
        DibRows* rows = nullptr;
        ASSERT_EQ(dib_load_bmp_rows(&whole, name.c_str(), 0, &rows), DIB_OK);
        ASSERT_NE(rows, nullptr);
        EXPECT_EQ(whole, nullptr);
        DibView v;
        dib_rows_view(rows, &v);
        EXPECT_EQ(v.pixels, nullptr);
        EXPECT_EQ(v.held_bytes, int64_t(full.size() - c.cut));
        const int64_t row_bytes = (int64_t(c.width) * c.bits + 7) / 8;
        for (int pass = 0; pass < 2; ++pass)
            for (int64_t y = 0; y < v.rows; ++y) {
                ASSERT_TRUE(dib_rows_need(rows, y + 1));
                ASSERT_EQ(std::memcmp(dib_rows_row(rows, y), whole_row(want, c.height, v.stride, y),
                                      size_t(row_bytes)), 0)
                    << c.bits << " bits, " << c.width << " x " << c.height << ", row " << y;
            }
        int cause = -1;
        EXPECT_EQ(dib_rows_close(&rows, &cause), DIB_OK);
        EXPECT_EQ(cause, DIB_CAUSE_NONE);
    }
}

// A file cut short after the headers were read fails the rows that were
// not yet read, and the load with a whole load's status; a bitmap freed
// while it is read stops the reading.
TEST_F(BmpFiles, ReadAheadFailuresAndEarlyFree) {
    ASSERT_TRUE(bmp_write(path("big.bmp"), pattern_file(24, 2000, 1500)));
    const std::wstring name = wide(path("big.bmp"));
    DibHandle h = nullptr;
    DibAhead* ahead = nullptr;
    ASSERT_EQ(dib_load_bmp_ahead(&h, name.c_str(), 0, &ahead), DIB_OK);
    ASSERT_NE(ahead, nullptr);
    // At most a few pieces are read before rows are asked for.
    ASSERT_EQ(truncate(path("big.bmp").c_str(), 100), 0);
    EXPECT_FALSE(dib_rows_wait(h, 1500));
    int cause = -1;
    EXPECT_EQ(dib_ahead_finish(&ahead, &cause), DIB_ERR_READ);
    EXPECT_EQ(cause, DIB_CAUSE_READ);
    dib_command(DIB_OP_FREE, &h, nullptr);

    ASSERT_TRUE(bmp_write(path("big.bmp"), pattern_file(24, 2000, 1500)));
    for (bool waited : {false, true}) {
        ASSERT_EQ(dib_load_bmp_ahead(&h, name.c_str(), 0, &ahead), DIB_OK);
        if (waited) {
            EXPECT_TRUE(dib_rows_wait(h, 10));
        }
        dib_command(DIB_OP_FREE, &h, nullptr);
        EXPECT_EQ(dib_ahead_finish(&ahead, &cause), DIB_OK);
    }
    EXPECT_EQ(dib_ahead_finish(nullptr, &cause), DIB_OK);

    // Through a window the same: the row that can no longer be read fails,
    // and so does every later one.
    DibRows* rows = nullptr;
    ASSERT_EQ(dib_load_bmp_rows(&h, name.c_str(), 0, &rows), DIB_OK);
    ASSERT_TRUE(dib_rows_need(rows, 1));
    ASSERT_EQ(truncate(path("big.bmp").c_str(), 100), 0);
    EXPECT_FALSE(dib_rows_need(rows, 1500));
    EXPECT_FALSE(dib_rows_need(rows, 1));
    EXPECT_EQ(dib_rows_close(&rows, &cause), DIB_ERR_READ);
    EXPECT_EQ(cause, DIB_CAUSE_READ);
    EXPECT_EQ(dib_rows_close(nullptr, &cause), DIB_OK);
}

// Discarding the top rows leaves every other row as it was, in both row
// orders and at the ends of the range.
TEST_F(BmpFiles, DiscardedRowsLeaveTheOthers) {
    for (int32_t height : {700, -700}) {
        for (int64_t n : {int64_t(0), int64_t(1), int64_t(64), int64_t(699), int64_t(700), int64_t(900)}) {
            DibHandle h = nullptr;
            ASSERT_EQ(dib_create(1000, height, 24, 3780, 3780, nullptr, &h), DIB_OK);
            DibView v;
            ASSERT_EQ(dib_view_open(&v, h), DIB_OK);
            for (int64_t i = 0; i < v.pixel_bytes; ++i) v.pixels[i] = uint8_t(i % 251 + 1);
            dib_rows_discard(h, n);
            for (int64_t top = std::min<int64_t>(n, 700); top < 700; ++top) {
                const int64_t stored = height < 0 ? top : 699 - top;
                for (int64_t i = stored * v.stride; i < (stored + 1) * v.stride; ++i)
                    ASSERT_EQ(v.pixels[i], uint8_t(i % 251 + 1)) << height << " " << n << " row " << top;
            }
            dib_view_close(&v);
            dib_command(DIB_OP_FREE, &h, nullptr);
        }
    }
}

}  // namespace
