// Run-length decoding: runs, line ends, implicit line breaks, absolute runs
// with their padding, deltas, the end marker, commands that leave the
// bitmap, and allocation failure at every step of an RLE load.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dib/dib.h"
#include "support/bmp_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes rle_file(int bits, int32_t width, int32_t height, const Bytes& data, uint32_t colours_used = 0) {
    BmpFile f;
    f.width = width;
    f.height = height;
    f.bit_count = static_cast<uint16_t>(bits);
    f.compression = bits == 8 ? 1 : 2;
    f.colours_used = colours_used;
    const uint32_t entries = colours_used ? colours_used : (bits == 8 ? 256 : 16);
    for (uint32_t i = 0; i < entries; ++i) f.colours.insert(f.colours.end(), {uint8_t(i), 0, uint8_t(255 - i), 0});
    f.body = data;
    return bmp_encode(f);
}

// Every byte of every stored row (padding included), row 0 first in memory,
// one pixel index per entry.
std::vector<Bytes> stored_rows(DibHandle h) {
    DibView v;
    std::vector<Bytes> rows;
    if (dib_view_open(&v, h) != DIB_OK) return rows;
    const int per_row = v.stride * 8 / v.bit_count;
    for (int r = 0; r < v.rows; ++r) {
        const uint8_t* p = v.pixels + static_cast<size_t>(r) * static_cast<size_t>(v.stride);
        Bytes row;
        for (int x = 0; x < per_row; ++x)
            row.push_back(v.bit_count == 8 ? p[x] : static_cast<uint8_t>((p[x / 2] >> (x % 2 ? 0 : 4)) & 15));
        rows.push_back(row);
    }
    dib_view_close(&v);
    return rows;
}

struct RleCase {
    const char* name;
    int bits;
    int32_t width, height;
    Bytes data;
    std::vector<Bytes> rows;  // stored rows with padding pixels, bottom row first
};

class RleDecode : public ::testing::TestWithParam<RleCase> {};

TEST_P(RleDecode, GivesTheStoredRows) {
    const RleCase& c = GetParam();
    const Bytes file = rle_file(c.bits, c.width, c.height, c.data);
    const size_t blocks = plat_mem_blocks_in_use();
    DibHandle h = nullptr;
    ASSERT_EQ(dib_load_bmp_memory(&h, file.data(), file.size(), 0), DIB_OK);
    EXPECT_EQ(plat_mem_blocks_in_use(), blocks + 1);  // the source block is gone
    DibInfoHeader hdr;
    ASSERT_EQ(dib_command(DIB_OP_GET_HEADER, h, &hdr), DIB_OK);
    EXPECT_EQ(hdr.compression, 0u);
    EXPECT_EQ(hdr.width, c.width);
    EXPECT_EQ(hdr.height, c.height);
    EXPECT_EQ(stored_rows(h), c.rows);
    dib_command(DIB_OP_FREE, &h, nullptr);
}

const RleCase kRleCases[] = {
    {"EndOnlyLeavesZeros", 8, 4, 2, {0, 1}, {{0, 0, 0, 0}, {0, 0, 0, 0}}},
    {"RunsAndEndOfLine", 8, 4, 2, {3, 5, 0, 0, 2, 7, 0, 1}, {{5, 5, 5, 0}, {7, 7, 0, 0}}},
    {"ImplicitLineBreak", 8, 4, 2, {4, 9, 2, 1}, {{9, 9, 9, 9}, {1, 1, 0, 0}}},
    // Width 3 leaves one padding pixel per row; a run that ends inside it
    // keeps the row, one that starts past it takes the next row.
    {"RunIntoPaddingStaysInRow", 8, 3, 2, {4, 1, 1, 2}, {{1, 1, 1, 1}, {2, 0, 0, 0}}},
    {"RunStartingInPaddingStaysInRow", 8, 3, 2, {3, 1, 1, 2, 1, 3}, {{1, 1, 1, 2}, {3, 0, 0, 0}}},
    {"LongRunSpillsIntoNextRow", 8, 4, 2, {6, 3, 0, 1}, {{3, 3, 3, 3}, {3, 3, 0, 0}}},
    {"Rle4RunAlternatesNibbles", 4, 8, 1, {5, 0x12}, {{1, 2, 1, 2, 1, 0, 0, 0}}},
    {"Rle4RunFromOddPixel", 4, 8, 1, {1, 0x90, 3, 0x12}, {{9, 1, 2, 1, 0, 0, 0, 0}}},
    {"Rle8AbsoluteOddCountIsPadded", 8, 4, 1, {0, 3, 1, 2, 3, 0xEE, 1, 4}, {{1, 2, 3, 4}}},
    {"Rle8AbsoluteEvenCount", 8, 8, 1, {0, 4, 1, 2, 3, 4, 2, 5}, {{1, 2, 3, 4, 5, 5, 0, 0}}},
    // (0, 5) takes 3 bytes, rounded up to 4; (0, 3) takes 2.
    {"Rle4AbsoluteFivePixelsTakesFourBytes", 4, 8, 1, {0, 5, 0x12, 0x34, 0x5F, 0xEE, 2, 0x77},
     {{1, 2, 3, 4, 5, 7, 7, 0}}},
    {"Rle4AbsoluteThreePixelsTakesTwoBytes", 4, 8, 1, {0, 3, 0x12, 0x3F, 1, 0x90}, {{1, 2, 3, 9, 0, 0, 0, 0}}},
    {"DeltaMovesRightAndUp", 8, 4, 3, {0, 2, 2, 1, 1, 6, 0, 1}, {{0, 0, 0, 0}, {0, 0, 6, 0}, {0, 0, 0, 0}}},
    {"DeltaFromRowEndBreaksFirst", 8, 4, 2, {4, 1, 0, 2, 1, 0, 1, 2}, {{1, 1, 1, 1}, {0, 2, 0, 0}}},
    {"AbsoluteRunBreaksAtRowEnd", 8, 4, 2, {4, 1, 0, 3, 7, 8, 9, 0}, {{1, 1, 1, 1}, {7, 8, 9, 0}}},
    {"DataAfterEndIgnored", 8, 4, 1, {0, 1, 4, 9}, {{0, 0, 0, 0}}},
    {"NoEndMarker", 8, 4, 1, {2, 8}, {{8, 8, 0, 0}}},
    {"OddTrailingByteIgnored", 8, 4, 1, {2, 8, 4}, {{8, 8, 0, 0}}},
    // Commands that leave the bitmap are clipped and decoding goes on.
    {"RunPastLastRowClipped", 8, 4, 1, {200, 1}, {{1, 1, 1, 1}}},
    {"DeltaBelowBottomWritesNothing", 8, 4, 1, {0, 2, 0, 9, 4, 1}, {{0, 0, 0, 0}}},
    {"DeltaFarRightThenRunWraps", 8, 4, 2, {0, 2, 200, 0, 2, 5}, {{0, 0, 0, 0}, {5, 5, 0, 0}}},
    {"ManyLineEndsThenRun", 8, 2, 1, {0, 0, 0, 0, 0, 0, 2, 3}, {{0, 0, 0, 0}}},
    // An absolute run longer than the data copies what is there and stops.
    {"TruncatedAbsoluteRun", 8, 4, 1, {0, 5, 1, 2}, {{1, 2, 0, 0}}},
    {"TruncatedRle4AbsoluteRun", 4, 8, 1, {0, 7, 0x12}, {{1, 2, 0, 0, 0, 0, 0, 0}}},
    {"TruncatedDelta", 8, 4, 1, {1, 1, 0, 2, 1}, {{1, 0, 0, 0}}},
    {"ZeroWidth", 8, 0, 2, {4, 1, 0, 0, 2, 2}, {{}, {}}},
};

INSTANTIATE_TEST_SUITE_P(Cases, RleDecode, ::testing::ValuesIn(kRleCases),
                         [](const ::testing::TestParamInfo<RleCase>& i) { return std::string(i.param.name); });

TEST(RleDecodeTable, ShortSourceTableFillsTheRestWithZero) {
    const Bytes file = rle_file(8, 2, 1, {2, 1, 0, 1}, 2);
    DibHandle h = nullptr;
    ASSERT_EQ(dib_load_bmp_memory(&h, file.data(), file.size(), 0), DIB_OK);
    DibView v;
    ASSERT_EQ(dib_view_open(&v, h), DIB_OK);
    EXPECT_EQ(v.header->colours_used, 256u);
    const uint8_t first[8] = {0, 0, 255, 0, 1, 0, 254, 0};
    EXPECT_EQ(Bytes(v.colours, v.colours + 8), Bytes(first, first + 8));
    for (int i = 8; i < 1024; ++i) ASSERT_EQ(v.colours[i], 0) << i;
    dib_view_close(&v);
    dib_command(DIB_OP_FREE, &h, nullptr);
}

TEST(RleDecodeDirect, RefusesWhatIsNotRunLength) {
    DibHandle h = nullptr;
    ASSERT_EQ(dib_create(4, 4, 8, 0, 0, nullptr, &h), DIB_OK);
    DibHandle var = h;
    EXPECT_EQ(dib_decode_rle(&var), DIB_ERR_UNSUPPORTED);  // compression 0
    EXPECT_EQ(var, h);                                     // left to the caller
    EXPECT_EQ(plat_mem_lock_count(h), 0u);
    dib_command(DIB_OP_FREE, &h, nullptr);
    DibHandle none = nullptr;
    EXPECT_EQ(dib_decode_rle(&none), DIB_ERR_NO_BITMAP);
    EXPECT_EQ(dib_decode_rle(nullptr), DIB_ERR_NO_BITMAP);
}

// Every allocation of an RLE load fails in turn: -1, nothing left behind.
TEST(RleAllocation, EveryFailureIsClean) {
    for (int bits : {4, 8}) {
        const Bytes file = rle_file(bits, 9, 3, {3, 0x21, 0, 0, 0, 3, 1, 2, 3, 0, 0, 1});
        const size_t blocks = plat_mem_blocks_in_use();
        int failures = 0;
        for (unsigned n = 1;; ++n) {
            plat_mem_fail_after(n);
            DibHandle h = reinterpret_cast<DibHandle>(1);
            const int status = dib_load_bmp_memory(&h, file.data(), file.size(), 0);
            plat_mem_fail_after(0);
            if (status == DIB_OK) {
                dib_command(DIB_OP_FREE, &h, nullptr);
                break;
            }
            ++failures;
            EXPECT_EQ(status, DIB_ERR_NO_MEMORY) << "allocation " << n;
            EXPECT_EQ(h, nullptr);
            EXPECT_EQ(plat_mem_blocks_in_use(), blocks) << "allocation " << n;
            ASSERT_LT(n, 10u);
        }
        EXPECT_EQ(failures, 2);  // the file's block, then the decoded bitmap
    }
}

}  // namespace
