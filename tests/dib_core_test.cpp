// Bitmap memory model: stride, creation, the dispatcher's queries and
// header codes, views, and the calls the PDF writer locks through.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>

#include "dib/dib.h"
#include "support/dib_pixels.h"

namespace {

struct Created {
    DibHandle h = nullptr;
    ~Created() { dib_command(DIB_OP_FREE, &h, nullptr); }
};

struct StrideCase {
    int32_t width;
    int bits;
    int64_t stride;
};

TEST(DibStride, PadsRowsToFourBytes) {
    const StrideCase cases[] = {
        {1, 24, 4},  {33, 1, 8}, {32, 1, 4},  {127, 4, 64}, {3, 8, 4},  {5, 8, 8},
        {5, 24, 16}, {2, 32, 8}, {0, 8, 0},   {9, 2, 4},    {17, 2, 8}, {7, 16, 16},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dib_stride(c.width, c.bits), c.stride) << c.width << "x" << c.bits;
        // The header code answers the same from a bitmap of 3 rows.
        Created b;
        if (dib_create(c.width, -3, c.bits, 0, 0, nullptr, &b.h) != DIB_OK) continue;
        int32_t bytes = -1;
        DibInfoHeader hdr = header_of(b.h);
        EXPECT_EQ(dib_command(DIB_OP_HDR_PIXEL_BYTES, &hdr, &bytes), DIB_OK);
        EXPECT_EQ(bytes, c.stride * 3);
        EXPECT_EQ(hdr.image_size, static_cast<uint32_t>(c.stride * 3));
    }
}

struct CreateCase {
    int bits;
    int status;
    uint32_t entries;
};

TEST(DibCreate, TablesAndHeadersByBitCount) {
    const CreateCase cases[] = {
        {1, DIB_OK, 2},    {2, DIB_OK, 4},   {4, DIB_OK, 16}, {8, DIB_OK, 256},
        {24, DIB_OK, 0},   {32, DIB_OK, 0},  {16, DIB_ERR_BIT_COUNT, 0},
        {0, DIB_ERR_BIT_COUNT, 0}, {3, DIB_ERR_BIT_COUNT, 0}, {64, DIB_ERR_BIT_COUNT, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        Created b;
        b.h = reinterpret_cast<DibHandle>(1);
        ASSERT_EQ(dib_create(5, -2, c.bits, 2835, 1417, nullptr, &b.h), c.status);
        if (c.status != DIB_OK) {
            EXPECT_EQ(b.h, nullptr);
            continue;
        }
        const DibInfoHeader hdr = header_of(b.h);
        EXPECT_EQ(hdr.size, 40u);
        EXPECT_EQ(hdr.width, 5);
        EXPECT_EQ(hdr.height, -2);
        EXPECT_EQ(hdr.planes, 1);
        EXPECT_EQ(hdr.bit_count, c.bits);
        EXPECT_EQ(hdr.compression, 0u);
        EXPECT_EQ(hdr.x_ppm, 2835);
        EXPECT_EQ(hdr.y_ppm, 1417);
        EXPECT_EQ(hdr.colours_used, c.entries);
        EXPECT_EQ(hdr.colours_important, 0u);
        const size_t pixels = static_cast<size_t>(dib_stride(5, c.bits)) * 2;
        EXPECT_GE(plat_mem_size(b.h), 40 + 4 * c.entries + pixels);

        const uint8_t* base = static_cast<const uint8_t*>(plat_mem_lock(b.h));
        const uint8_t* table = base + 40;
        for (uint32_t i = 0; i < c.entries; ++i) {
            // 1 bit: black, white; 8 bits: grey ramp; 2 and 4 bits: black.
            uint8_t grey = 0;
            if (c.bits == 1) grey = i ? 255 : 0;
            if (c.bits == 8) grey = static_cast<uint8_t>(i);
            const uint8_t want[4] = {grey, grey, grey, 0};
            ASSERT_EQ(std::memcmp(table + 4 * i, want, 4), 0) << "entry " << i;
        }
        for (size_t i = 0; i < pixels; ++i) ASSERT_EQ(table[4 * c.entries + i], 0);
        plat_mem_unlock(b.h);
        EXPECT_EQ(plat_mem_lock_count(b.h), 0u);
    }
}

TEST(DibCreate, CopiesAGivenTableAndGoesThroughTheDispatcher) {
    uint8_t table[16];
    for (int i = 0; i < 16; ++i) table[i] = static_cast<uint8_t>(0xA0 + i);
    DibCreateArgs args{12345, 3, 4, 2, 100, 200, table};
    Created b;
    ASSERT_EQ(dib_command(DIB_OP_CREATE, &b.h, &args), DIB_OK);
    const DibInfoHeader hdr = header_of(b.h);
    EXPECT_EQ(hdr.width, 3);
    EXPECT_EQ(hdr.height, 4);
    EXPECT_EQ(hdr.bit_count, 2);
    EXPECT_EQ(hdr.x_ppm, 100);
    const uint8_t* base = static_cast<const uint8_t*>(plat_mem_lock(b.h));
    EXPECT_EQ(std::memcmp(base + 40, table, 16), 0);
    plat_mem_unlock(b.h);
}

TEST(DibCreate, RefusesSizesItCannotHold) {
    const size_t blocks = plat_mem_blocks_in_use();
    DibHandle h = nullptr;
    EXPECT_EQ(dib_create(-1, 1, 8, 0, 0, nullptr, &h), DIB_ERR_UNSUPPORTED);
    EXPECT_EQ(dib_create(1, INT32_MIN, 8, 0, 0, nullptr, &h), DIB_ERR_UNSUPPORTED);
    EXPECT_EQ(dib_create(70000, 70000, 32, 0, 0, nullptr, &h), DIB_ERR_NO_MEMORY);
    EXPECT_EQ(dib_create(INT32_MAX, INT32_MAX, 32, 0, 0, nullptr, &h), DIB_ERR_NO_MEMORY);
    EXPECT_EQ(dib_create(INT32_MAX, 0, 32, 0, 0, nullptr, &h), DIB_ERR_NO_MEMORY);  // stride alone
    plat_mem_fail_after(1);
    EXPECT_EQ(dib_create(4, 4, 8, 0, 0, nullptr, &h), DIB_ERR_NO_MEMORY);
    plat_mem_fail_after(0);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(plat_mem_blocks_in_use(), blocks);
}

TEST(DibCommand, UnknownCodesReturnOneAndTouchNothing) {
    Created b;
    ASSERT_EQ(dib_create(2, 2, 8, 0, 0, nullptr, &b.h), DIB_OK);
    DibHandle var = b.h;
    for (int code : {0, 3, 4, 27, 50, 99, 106, 1000, -1}) {
        EXPECT_EQ(dib_command(code, &var, nullptr), DIB_UNKNOWN_OPERATION) << code;
        EXPECT_EQ(var, b.h);
    }
}

TEST(DibCommand, FreeClearsTheVariable) {
    const size_t blocks = plat_mem_blocks_in_use();
    DibHandle h = nullptr;
    ASSERT_EQ(dib_create(2, 2, 8, 0, 0, nullptr, &h), DIB_OK);
    EXPECT_EQ(dib_command(DIB_OP_FREE, &h, nullptr), DIB_OK);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(plat_mem_blocks_in_use(), blocks);
    EXPECT_EQ(dib_command(DIB_OP_FREE, &h, nullptr), DIB_ERR_NO_BITMAP);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(dib_command(DIB_OP_FREE, nullptr, nullptr), DIB_ERR_NO_BITMAP);
}

TEST(DibCommand, HeaderCopyNeedsALockableBlock) {
    uint8_t out[40];
    EXPECT_EQ(dib_command(DIB_OP_GET_HEADER, nullptr, out), DIB_ERR_LOCK);
    // A block too short for a header cannot be read as one.
    PlatMem tiny = plat_mem_alloc(PLAT_MEM_MOVEABLE | PLAT_MEM_ZEROINIT, 12);
    EXPECT_EQ(dib_command(DIB_OP_GET_HEADER, tiny, out), DIB_ERR_LOCK);
    EXPECT_EQ(plat_mem_lock_count(tiny), 0u);
    plat_mem_free(tiny);
}

// A bitmap of 100 x -50 pixels at the given resolutions; codes 11 to 19.
struct QueryCase {
    int code;
    int32_t x_ppm, y_ppm;
    int32_t first, second;  // second only for the two-value codes
};

TEST(DibCommand, SizeAndResolutionQueries) {
    const QueryCase cases[] = {
        {DIB_OP_WIDTH, 0, 0, 100, 0},
        {DIB_OP_HEIGHT, 0, 0, -50, 0},
        {DIB_OP_SIZE, 0, 0, 100, -50},
        {DIB_OP_WIDTH_TENTH_MM, 0, 0, 264, 0},       // 0 counts as 3780
        {DIB_OP_WIDTH_TENTH_MM, 11811, 0, 84, 0},
        {DIB_OP_HEIGHT_TENTH_MM, 0, 1000, 500, 0},   // magnitude of the height
        {DIB_OP_SIZE_TENTH_MM, 3937, 0, 254, 132},
        {DIB_OP_XRES_CDPI, 0, 0, 9601, 0},
        {DIB_OP_XRES_CDPI, 11811, 0, 30000, 0},
        {DIB_OP_YRES_CDPI, 0, 2835, 7201, 0},
        {DIB_OP_RES_CDPI, 3937, 0, 10000, 9601},
        // Wild densities must not wrap around in 32 bits.
        {DIB_OP_XRES_CDPI, 30000000, 0, 76200152, 0},
        {DIB_OP_WIDTH_TENTH_MM, 1, 0, 1000000, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << " res " << c.x_ppm << "," << c.y_ppm);
        Created b;
        ASSERT_EQ(dib_create(100, -50, 24, c.x_ppm, c.y_ppm, nullptr, &b.h), DIB_OK);
        int32_t out[2] = {-7, -7};
        ASSERT_EQ(dib_command(c.code, b.h, out), DIB_OK);
        EXPECT_EQ(out[0], c.first);
        const bool two = c.code == DIB_OP_SIZE || c.code == DIB_OP_SIZE_TENTH_MM || c.code == DIB_OP_RES_CDPI;
        EXPECT_EQ(out[1], two ? c.second : -7);
        EXPECT_EQ(dib_command(c.code, b.h, nullptr), DIB_OK);
        EXPECT_EQ(dib_command(c.code, nullptr, out), DIB_ERR_NO_BITMAP);
        EXPECT_EQ(plat_mem_lock_count(b.h), 0u);
    }
}

TEST(DibCommand, ConvertResolutionInPlace) {
    Created b;
    ASSERT_EQ(dib_create(1, 1, 24, 3780, 11811, nullptr, &b.h), DIB_OK);
    ASSERT_EQ(dib_command(DIB_OP_CONVERT_RES, b.h, nullptr), DIB_OK);
    EXPECT_EQ(header_of(b.h).x_ppm, 96);
    EXPECT_EQ(header_of(b.h).y_ppm, 300);
    int flag = 1;
    ASSERT_EQ(dib_command(DIB_OP_CONVERT_RES, b.h, &flag), DIB_OK);
    EXPECT_EQ(header_of(b.h).x_ppm, 3780);
    EXPECT_EQ(header_of(b.h).y_ppm, 11811);
    EXPECT_EQ(dib_command(DIB_OP_CONVERT_RES, nullptr, nullptr), DIB_ERR_NO_BITMAP);
}

DibInfoHeader make_header(int bits, uint32_t colours_used) {
    DibInfoHeader h{};
    h.size = 40;
    h.width = 100;
    h.height = -50;
    h.planes = 1;
    h.bit_count = static_cast<uint16_t>(bits);
    h.colours_used = colours_used;
    return h;
}

TEST(DibCommand, PaletteEntriesOfAHeader) {
    struct Case {
        int bits;
        uint32_t used;
        int entries;
    } cases[] = {
        {8, 0, 256}, {8, 12, 12}, {4, 0, 16}, {1, 0, 2}, {2, 0, 0},
        {24, 0, 0},  {24, 256, 256}, {16, 0, 0}, {32, 3, 3}, {8, 0xFFFFFFFFu, INT_MAX},
    };
    for (const auto& c : cases) {
        DibInfoHeader h = make_header(c.bits, c.used);
        int32_t n = -1;
        EXPECT_EQ(dib_command(DIB_OP_HDR_PALETTE_ENTRIES, &h, &n), DIB_OK);
        EXPECT_EQ(n, c.entries) << c.bits << " bits, " << c.used << " used";
    }
    // Core header (12 bytes, bit count at byte 10): the default for the depth,
    // read without touching anything past the 12 bytes.
    for (uint16_t bits : {1, 4, 8, 24}) {
        uint8_t core[12] = {12, 0, 0, 0, 100, 0, 50, 0, 1, 0};
        std::memcpy(core + 10, &bits, 2);
        int32_t n = -1;
        EXPECT_EQ(dib_command(DIB_OP_HDR_PALETTE_ENTRIES, core, &n), DIB_OK);
        EXPECT_EQ(n, bits == 1 ? 2 : bits == 4 ? 16 : bits == 8 ? 256 : 0);
    }
}

TEST(DibCommand, HeaderCodesWithoutLock) {
    DibInfoHeader h = make_header(24, 0);
    int32_t out[2];
    EXPECT_EQ(dib_command(DIB_OP_HDR_SIZE_TENTH_MM, &h, out), DIB_OK);
    EXPECT_EQ(out[0], 264);
    EXPECT_EQ(out[1], 132);
    EXPECT_EQ(dib_command(DIB_OP_HDR_RES_CDPI, &h, out), DIB_OK);
    EXPECT_EQ(out[0], 9601);
    EXPECT_EQ(out[1], 9601);
    EXPECT_EQ(dib_command(DIB_OP_HDR_PIXEL_BYTES, &h, out), DIB_OK);
    EXPECT_EQ(out[0], 300 * 50);

    // Dots per inch in the header: 300 dpi is 11811 ppm; 0 stays 3780.
    h.x_ppm = 300;
    h.y_ppm = 0;
    EXPECT_EQ(dib_command(DIB_OP_HDR_DPI_SIZE_TENTH_MM, &h, out), DIB_OK);
    EXPECT_EQ(out[0], 84);
    EXPECT_EQ(out[1], 132);
    EXPECT_EQ(dib_command(DIB_OP_HDR_DPI_RES_CDPI, &h, out), DIB_OK);
    EXPECT_EQ(out[0], 30000);
    EXPECT_EQ(out[1], 9601);
    EXPECT_EQ(h.x_ppm, 300);  // the caller's header stays as it was

    EXPECT_EQ(dib_command(DIB_OP_HDR_SIZE_TENTH_MM, &h, nullptr), DIB_OK);
    EXPECT_EQ(dib_command(DIB_OP_HDR_RES_CDPI, nullptr, out), DIB_ERR_NO_BITMAP);

    // Sizes that do not fit the answer are refused, not wrapped.
    h.width = 1 << 20;
    h.height = 1 << 12;
    EXPECT_EQ(dib_command(DIB_OP_HDR_PIXEL_BYTES, &h, out), DIB_ERR_UNSUPPORTED);
    h.width = -4;
    EXPECT_EQ(dib_command(DIB_OP_HDR_PIXEL_BYTES, &h, out), DIB_ERR_UNSUPPORTED);
}

TEST(DibView, DescribesTheLayoutAndUnlocksOnClose) {
    Created b;
    ASSERT_EQ(dib_create(33, -3, 1, 2835, 0, nullptr, &b.h), DIB_OK);
    DibView v;
    ASSERT_EQ(dib_view_open(&v, b.h), DIB_OK);
    EXPECT_EQ(v.width, 33);
    EXPECT_EQ(v.rows, 3);
    EXPECT_EQ(v.row_bytes, 5);
    EXPECT_EQ(v.stride, 8);
    EXPECT_EQ(v.padding, 3);
    EXPECT_EQ(v.bit_count, 1);
    EXPECT_EQ(v.x_res, 2835);
    EXPECT_EQ(v.y_res, 0);
    EXPECT_EQ(v.handle, b.h);
    EXPECT_EQ(v.total_size, 40 + 8 + 24);
    ASSERT_NE(v.header, nullptr);
    EXPECT_EQ(v.colours, reinterpret_cast<uint8_t*>(v.header) + 40);
    EXPECT_EQ(v.colour_bytes, 8);
    EXPECT_EQ(v.pixels, v.colours + 8);
    EXPECT_EQ(v.pixel_bytes, 24);
    EXPECT_EQ(plat_mem_lock_count(b.h), 1u);
    dib_view_close(&v);
    EXPECT_EQ(v.header, nullptr);
    EXPECT_EQ(plat_mem_lock_count(b.h), 0u);
    dib_view_close(&v);  // a second close does nothing
    EXPECT_EQ(plat_mem_lock_count(b.h), 0u);

    EXPECT_EQ(dib_view_open(nullptr, b.h), DIB_ERR_NO_VIEW);
    EXPECT_EQ(dib_view_open(&v, nullptr), DIB_ERR_LOCK);
    EXPECT_EQ(v.handle, nullptr);
}

TEST(DibView, RefusesABlockShorterThanItsHeaderSays) {
    Created b;
    ASSERT_EQ(dib_create(4, 4, 8, 0, 0, nullptr, &b.h), DIB_OK);
    auto* hdr = static_cast<DibInfoHeader*>(plat_mem_lock(b.h));
    hdr->height = 5;  // one row more than the block holds
    plat_mem_unlock(b.h);
    DibView v;
    EXPECT_EQ(dib_view_open(&v, b.h), DIB_ERR_LOCK);
    EXPECT_EQ(dib_lock_bits(b.h, nullptr), nullptr);
    EXPECT_EQ(plat_mem_lock_count(b.h), 0u);
}

TEST(DibLockBits, PointsPastHeaderAndTable) {
    Created b;
    ASSERT_EQ(dib_create(3, 2, 4, 0, 0, nullptr, &b.h), DIB_OK);
    DibInfoHeader* hdr = nullptr;
    uint8_t* bits = dib_lock_bits(b.h, &hdr);
    ASSERT_NE(bits, nullptr);
    ASSERT_NE(hdr, nullptr);
    EXPECT_EQ(bits, reinterpret_cast<uint8_t*>(hdr) + 40 + 64);
    dib_unlock(b.h);
    EXPECT_EQ(plat_mem_lock_count(b.h), 0u);
    dib_unlock(nullptr);
    EXPECT_EQ(dib_lock_bits(nullptr, &hdr), nullptr);
    EXPECT_EQ(hdr, nullptr);
}

TEST(DibDescribe, ResolutionAndPhysicalSize) {
    Created b;
    ASSERT_EQ(dib_create(100, -50, 8, 11811, 0, nullptr, &b.h), DIB_OK);
    char text[64];
    EXPECT_EQ(dib_describe(b.h, 0, text, sizeof text), DIB_OK);
    EXPECT_STREQ(text, "300");
    EXPECT_EQ(dib_describe(b.h, 1, text, sizeof text), DIB_OK);
    EXPECT_STREQ(text, "0");  // a stored 0 converts as 0 here
    EXPECT_EQ(dib_describe(b.h, 2, text, sizeof text), DIB_OK);
    EXPECT_STREQ(text, "0.84 x 1.32 cm");
    char small[5];
    EXPECT_EQ(dib_describe(b.h, 2, small, sizeof small), DIB_OK);
    EXPECT_STREQ(small, "0.84");
    EXPECT_EQ(dib_describe(nullptr, 0, text, sizeof text), DIB_ERR_NO_BITMAP);
}

TEST(DibStrerror, EveryStatusHasItsOwnText) {
    const int statuses[] = {DIB_OK, DIB_UNKNOWN_OPERATION, DIB_ERR_NO_MEMORY, DIB_ERR_NO_BITMAP,
                            DIB_ERR_LOCK, DIB_ERR_STRETCH_MODE, DIB_ERR_DRAW, DIB_ERR_BIT_COUNT,
                            DIB_ERR_OPEN_READ, DIB_ERR_OPEN_WRITE, DIB_ERR_READ, DIB_ERR_WRITE,
                            DIB_ERR_FILE_SIZE, DIB_ERR_SEEK, DIB_ERR_CLIP_OPEN, DIB_ERR_CLIP_CLOSE,
                            DIB_ERR_CLIP_NO_DIB, DIB_ERR_CLIP_NO_DATA, DIB_ERR_CLIP_SET,
                            DIB_ERR_UNSUPPORTED, DIB_ERR_ANGLE, DIB_ERR_NO_VIEW};
    std::set<std::string> seen;
    for (int status : statuses) {
        const std::string text = dib_strerror(status);
        EXPECT_NE(text, dib_strerror(-12345)) << status;
        EXPECT_TRUE(seen.insert(text).second) << status << " shares " << text;
    }
}

}  // namespace
