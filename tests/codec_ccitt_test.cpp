// CCITT encoder: round trips through libtiff's fax decoder, known code
// sequences from the T.4 tables, and the capacity rule checked against a
// plain bit-at-a-time writer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "dib/dib.h"
#include "support/fax_decode.h"

namespace {

// Packed bilevel rows, 1 = white, (columns + 7) / 8 bytes each.
struct Bilevel {
    int columns = 0;
    int rows = 0;
    std::vector<uint8_t> bits;

    size_t row_bytes() const { return (size_t(columns) + 7) / 8; }
    void set(int x, int y, bool white) {
        uint8_t& b = bits[size_t(y) * row_bytes() + size_t(x) / 8];
        uint8_t m = uint8_t(0x80 >> (x & 7));
        b = white ? uint8_t(b | m) : uint8_t(b & ~m);
    }
    bool get(int x, int y) const {
        return (bits[size_t(y) * row_bytes() + size_t(x) / 8] >> (7 - (x & 7))) & 1;
    }
};

Bilevel blank(int columns, int rows, bool white) {
    Bilevel b;
    b.columns = columns;
    b.rows = rows;
    b.bits.assign(b.row_bytes() * size_t(rows), white ? 0xFF : 0x00);
    return b;
}

// Sets the bits past the width to `white`, so they differ from the pixels
// beside them in at least some rows.
void dirty_padding(Bilevel* b, bool white) {
    if (b->columns % 8 == 0) return;
    uint8_t m = uint8_t(0xFF >> (b->columns % 8));
    for (int y = 0; y < b->rows; ++y) {
        uint8_t& last = b->bits[size_t(y) * b->row_bytes() + b->row_bytes() - 1];
        last = white ? uint8_t(last | m) : uint8_t(last & ~m);
    }
}

uint32_t lcg(uint32_t* s) {
    *s = *s * 1664525u + 1013904223u;
    return *s >> 8;
}

// Lines of glyph-like blobs: short strokes, bowls and gaps, deterministic.
Bilevel text_page(int columns, int rows) {
    Bilevel b = blank(columns, rows, true);
    uint32_t seed = 7;
    for (int line = 40; line + 30 < rows; line += 48) {
        for (int x = 30; x + 20 < columns;) {
            int w = 6 + int(lcg(&seed) % 14), h = 12 + int(lcg(&seed) % 18);
            int kind = int(lcg(&seed) % 4);
            for (int y = 0; y < h; ++y)
                for (int dx = 0; dx < w; ++dx) {
                    bool ink = kind == 0 ? (dx < 3 || y < 3)
                             : kind == 1 ? (dx < 3 || dx >= w - 3 || y < 2 || y >= h - 2)
                             : kind == 2 ? (dx + y) % 7 < 3
                                         : y > h / 2;
                    if (ink) b.set(x + dx, line + 30 - h + y, false);
                }
            x += w + 3 + int(lcg(&seed) % 4) + (lcg(&seed) % 6 == 0 ? 18 : 0);
        }
    }
    return b;
}

Bilevel checkerboard(int columns, int rows, int cell) {
    Bilevel b = blank(columns, rows, true);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < columns; ++x)
            if (((x / cell) + (y / cell)) % 2) b.set(x, y, false);
    return b;
}

Bilevel noise(int columns, int rows, uint32_t seed) {
    Bilevel b = blank(columns, rows, true);
    for (auto& v : b.bits) v = uint8_t(lcg(&seed));
    return b;
}

// Single black pixels at the first and last column and close to them.
Bilevel row_ends(int columns) {
    Bilevel b = blank(columns, 8, true);
    const int xs[8] = {0, columns - 1, 1, columns - 2, 3, columns - 4, 0, columns - 1};
    for (int y = 0; y < 8; ++y) b.set(std::max(0, std::min(columns - 1, xs[y])), y, false);
    b.set(columns - 1, 6, false);
    return b;
}

// One row per length: a white run of n then a black run of n.
Bilevel paired_runs(const std::vector<int>& lengths) {
    int columns = 0;
    for (int n : lengths) columns = std::max(columns, 2 * n + 1);
    Bilevel b = blank(columns, int(lengths.size()), true);
    for (size_t y = 0; y < lengths.size(); ++y)
        for (int x = lengths[y]; x < 2 * lengths[y]; ++x) b.set(x, int(y), false);
    return b;
}

// A 1-bit file of the BMP suite (a real drawing), through the bitmap library.
Bilevel load_bmp1(const char* name) {
    const char* dir = std::getenv("TARVO_BMPSUITE_DIR");
    DibHandle h = nullptr;
    wchar_t* path = plat_utf8_to_wide(((dir ? std::string(dir) : "") + "/g/" + name).c_str());
    int status = dir ? dib_load_bmp(&h, path, 0) : -1;
    std::free(path);
    if (status != DIB_OK) return blank(0, 0, true);
    DibInfoHeader* hdr = nullptr;
    const uint8_t* px = dib_lock_bits(h, &hdr);
    Bilevel b = blank(hdr->width, hdr->height, true);
    // Bottom-up rows; entry 1 of this file's table is the lighter one.
    for (int y = 0; y < b.rows; ++y)
        std::memcpy(&b.bits[size_t(y) * b.row_bytes()],
                    px + size_t(dib_stride(b.columns, 1)) * size_t(b.rows - 1 - y), b.row_bytes());
    dib_unlock(h);
    plat_mem_free(h);
    return b;
}

struct Encoded {
    int32_t result;
    uint32_t space;
    std::vector<uint8_t> bytes;  // the first `space` bytes on success
};

Encoded encode(const Bilevel& b, int k, int align, uint32_t capacity) {
    std::vector<uint8_t> buf(capacity);
    Encoded e;
    e.space = capacity;
    testing::internal::CaptureStdout();
    e.result = ccitt_encode(buf.data(), &e.space, b.bits.data(), int32_t(b.bits.size()), k, align,
                            b.columns, b.rows, 0);
    testing::internal::GetCapturedStdout();
    if (e.result == CODEC_OK) e.bytes.assign(buf.begin(), buf.begin() + e.space);
    return e;
}

// Worst case is 1-D coding of single-pixel runs, 4.5 bits a pixel.
uint32_t ample(const Bilevel& b) { return uint32_t(b.bits.size() * 8 + 1024); }

// "0011 0101" -> bytes, zero-padded.
std::vector<uint8_t> from_bits(const std::string& text) {
    std::vector<uint8_t> out;
    int n = 0;
    for (char ch : text) {
        if (ch != '0' && ch != '1') continue;
        if (n % 8 == 0) out.push_back(0);
        if (ch == '1') out.back() |= uint8_t(0x80 >> (n % 8));
        ++n;
    }
    return out;
}

const char* const kEofb = "000000000001 000000000001";

// ---- Round trips through libtiff -------------------------------------------

struct RoundTripCase {
    const char* name;
    Bilevel (*make)();
};

const RoundTripCase kImages[] = {
    {"AllWhite", [] { return blank(1728, 20, true); }},
    {"AllBlack", [] { return blank(1728, 20, false); }},
    {"AllBlackOddWidth", [] { return blank(1001, 9, false); }},
    {"Width1", [] { return noise(1, 64, 3); }},
    {"Width7", [] { Bilevel b = noise(7, 40, 4); dirty_padding(&b, false); return b; }},
    {"Width8", [] { return noise(8, 40, 5); }},
    {"Width9", [] { Bilevel b = checkerboard(9, 30, 2); dirty_padding(&b, false); return b; }},
    // libtiff's 1-D decoder holds at most the width rounded up to 32 runs per
    // row, one short for single-pixel runs after a leading white 0 when the
    // width is a multiple of 32.
    {"Checker1", [] { return checkerboard(1727, 12, 1); }},
    {"Checker3", [] { Bilevel b = checkerboard(2477, 30, 3); dirty_padding(&b, false); return b; }},
    {"Checker100", [] { return checkerboard(2480, 300, 100); }},
    {"RowEnds1728", [] { return row_ends(1728); }},
    {"RowEnds2483", [] { Bilevel b = row_ends(2483); dirty_padding(&b, false); return b; }},
    {"Noise", [] { return noise(333, 50, 9); }},
    {"TextA4", [] { return text_page(2480, 600); }},
    {"TextWide", [] { Bilevel b = text_page(5203, 200); dirty_padding(&b, false); return b; }},
    {"EdgeRuns", [] { return paired_runs({63, 64, 65, 127, 128, 1728, 1729, 1791, 1792, 2560, 2623, 2624, 2625, 5184, 5185}); }},
    {"AllRuns", [] {
         std::vector<int> n;
         for (int i = 0; i <= 2700; i += 1 + i / 100) n.push_back(i);
         return paired_runs(n);
     }},
    {"RealBmp", [] { return load_bmp1("pal1.bmp"); }},
};

struct ModeCase {
    const char* name;
    int k;
    int align;
    FaxDecodeMode decode;
};
const ModeCase kModes[] = {
    {"G4", -1, 0, FAX_DECODE_G4},
    {"MH", 0, 0, FAX_DECODE_MH},
    {"MHAligned", 0, 1, FAX_DECODE_MH_ALIGNED},
};

class CcittRoundTrip : public testing::TestWithParam<std::tuple<size_t, size_t>> {};

TEST_P(CcittRoundTrip, LibtiffDecodesEveryPixel) {
    const ModeCase& m = kModes[std::get<1>(GetParam())];
    if (!fax_decode_available()) GTEST_SKIP() << "built without libtiff";
    const Bilevel b = kImages[std::get<0>(GetParam())].make();
    if (b.rows == 0) GTEST_SKIP() << "BMP suite not found";

    Encoded e = encode(b, m.k, m.align, ample(b));
    ASSERT_EQ(e.result, CODEC_OK);
    std::vector<uint8_t> decoded;
    ASSERT_TRUE(fax_decode(e.bytes.data(), e.bytes.size(), m.decode, b.columns, b.rows, &decoded));
    for (int y = 0; y < b.rows; ++y)
        for (int x = 0; x < b.columns; ++x) {
            bool white = (decoded[size_t(y) * b.row_bytes() + size_t(x) / 8] >> (7 - (x & 7))) & 1;
            ASSERT_EQ(white, b.get(x, y)) << "pixel " << x << "," << y;
        }
}

INSTANTIATE_TEST_SUITE_P(
    Images, CcittRoundTrip,
    testing::Combine(testing::Range<size_t>(0, std::size(kImages)),
                     testing::Range<size_t>(0, std::size(kModes))),
    [](const testing::TestParamInfo<CcittRoundTrip::ParamType>& info) {
        return std::string(kImages[std::get<0>(info.param)].name) + "_" +
               kModes[std::get<1>(info.param)].name;
    });

// ---- Known code sequences ----------------------------------------------------

TEST(CcittCodes, AllWhiteRowsAreOneV0BitEach) {
    Encoded e = encode(blank(100, 8, true), -1, 0, 64);
    ASSERT_EQ(e.result, CODEC_OK);
    EXPECT_EQ(e.bytes, from_bits(std::string("11111111") + kEofb));
}

TEST(CcittCodes, BlackStartUsesHorizontalWithWhiteZero) {
    // H, white 0, black 16; then a0 reaches the row end.
    Encoded e = encode(blank(16, 1, false), -1, 0, 64);
    ASSERT_EQ(e.result, CODEC_OK);
    EXPECT_EQ(e.bytes, from_bits(std::string("001 00110101 0000010111") + kEofb));
}

TEST(CcittCodes, ModesAgainstReferenceLine) {
    // Row 1: black 4..7 -> H white 4 black 4, V0 at the end.
    // Row 2: black 3..8 -> VL1 at 3, VR1 at 9, V0 at the end.
    // Row 3: black 20..21 -> pass (b2 = 9 < a1 = 20), then H white 11 black 2,
    // then V0 at the row end.
    Bilevel b = blank(32, 3, true);
    for (int x = 4; x < 8; ++x) b.set(x, 0, false);
    for (int x = 3; x < 9; ++x) b.set(x, 1, false);
    for (int x = 20; x < 22; ++x) b.set(x, 2, false);
    Encoded e = encode(b, -1, 0, 64);
    ASSERT_EQ(e.result, CODEC_OK);
    EXPECT_EQ(e.bytes, from_bits(std::string("001 1011 011 1") + " 010 011 1" +
                                 " 0001 001 01000 11 1" + kEofb));
}

struct RunCodes {
    int run;
    const char* white;
    const char* black;
};
// Make-up and terminating codes from the T.4 tables for the split points.
const RunCodes kRunCodes[] = {
    {63, "00110100", "000001100111"},
    {64, "11011 00110101", "0000001111 0000110111"},
    {1728, "010011011 00110101", "0000001100101 0000110111"},
    {1792, "00000001000 00110101", "00000001000 0000110111"},
    {2560, "000000011111 00110101", "000000011111 0000110111"},
    {2623, "000000011111 00110100", "000000011111 000001100111"},
    {2624, "000000011111 11011 00110101", "000000011111 0000001111 0000110111"},
    {5184, "000000011111 000000011111 11011 00110101",
     "000000011111 000000011111 0000001111 0000110111"},
};

TEST(CcittCodes, RunLengthSplitsInOneDimensionalMode) {
    for (const RunCodes& rc : kRunCodes) {
        // A white run, then a black run to the row end.
        Bilevel b = blank(2 * rc.run, 1, true);
        for (int x = rc.run; x < 2 * rc.run; ++x) b.set(x, 0, false);
        Encoded e = encode(b, 0, 0, 4096);
        ASSERT_EQ(e.result, CODEC_OK) << rc.run;
        EXPECT_EQ(e.bytes, from_bits(std::string(rc.white) + rc.black + kEofb)) << rc.run;
    }
}

TEST(CcittCodes, ByteAlignStartsEveryRowAndTheEofbOnAByte) {
    Encoded e = encode(blank(50, 3, true), -1, 1, 64);
    ASSERT_EQ(e.result, CODEC_OK);
    EXPECT_EQ(e.bytes, from_bits(std::string("10000000 10000000 10000000") + kEofb));
}

TEST(CcittCodes, OneDimensionalWithoutRowsIsTwoEols) {
    Encoded e = encode(blank(8, 0, true), 0, 0, 16);
    ASSERT_EQ(e.result, CODEC_OK);
    EXPECT_EQ(e.bytes, from_bits(kEofb));
}

TEST(CcittCodes, LogLineAndMixedModeRefused) {
    Bilevel b = blank(8, 1, true);
    uint8_t out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    uint32_t space = 4;
    testing::internal::CaptureStdout();
    int32_t r = ccitt_encode(out, &space, b.bits.data(), 1, 1, 0, 8, 1, 1);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, CODEC_CCITT_MIXED_UNSUPPORTED);
    EXPECT_EQ(log, "ccitt_encode( space=4, K=1, EncodedByteAlign=0, columns=8, rows=1, BlackIs1=1)\n");
    EXPECT_EQ(space, 4u);
    EXPECT_EQ(out[1], 0xAA);
}

// ---- Capacity --------------------------------------------------------------

TEST(CcittCapacity, OneByte) {
    // 8 rows need 8 bits: the row phase fills the only byte. 7 rows fit in
    // it, and the end-of-block codes do not.
    for (int rows : {8, 7}) {
        uint8_t out[2] = {0xAA, 0xAA};
        uint32_t space = 1;
        Bilevel b = blank(40, rows, true);
        testing::internal::CaptureStdout();
        int32_t r = ccitt_encode(out, &space, b.bits.data(), 0, -1, 0, 40, rows, 0);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(r, rows == 8 ? CODEC_CCITT_FULL_2D : CODEC_CCITT_FULL_EOFB);
        EXPECT_EQ(space, 1u);
        EXPECT_EQ(out[1], 0xAA);
    }
}

// The writer as first described: one bit at a time, a byte mask, and a move
// to the next byte only while a byte remains after it. Replays a finished
// code stream with capacity `cap`; rows_fail is the code for a failure
// before the end-of-block codes.
int32_t reference_write(const std::vector<uint8_t>& stream, uint32_t cap, int32_t rows_fail,
                        std::vector<uint8_t>* out, uint32_t* length) {
    uint64_t total = 0;  // bits up to the last 1, the end of the second EOL
    for (size_t i = 0; i < stream.size() * 8; ++i)
        if ((stream[i / 8] >> (7 - i % 8)) & 1) total = i + 1;
    const uint64_t eofb = total - 24;
    if (cap == 0) return rows_fail;  // no byte to hold the first bit (every stream has one)
    out->assign(cap, 0);
    uint32_t avail = cap, at = 0;
    uint8_t mask = 0x80;
    for (uint64_t i = 0; i < total; ++i) {
        if ((stream[i / 8] >> (7 - i % 8)) & 1) (*out)[at] |= mask;
        mask >>= 1;
        if (mask == 0) {
            if (avail < 2) return i < eofb ? rows_fail : CODEC_CCITT_FULL_EOFB;
            ++at;
            --avail;
            mask = 0x80;
            (*out)[at] = 0;
        }
    }
    *length = cap - avail + (mask != 0x80);
    return CODEC_OK;
}

TEST(CcittCapacity, EveryCapacityMatchesTheBitWriter) {
    const Bilevel images[] = {text_page(300, 120), blank(1728, 8, true), noise(61, 9, 2),
                              blank(1, 1, true), paired_runs({2624, 5})};
    for (const Bilevel& b : images)
        for (const ModeCase& m : kModes) {
            Encoded full = encode(b, m.k, m.align, ample(b));
            ASSERT_EQ(full.result, CODEC_OK);
            // What a run with a smaller capacity gives follows from the bits
            // of the full run.
            std::vector<uint8_t> measured(ample(b));
            uint32_t measured_space = ample(b);
            uint64_t rows_bits = 0;
            ASSERT_EQ(codec_ccitt_encode_measured(measured.data(), &measured_space, b.bits.data(),
                                                  m.k, m.align, b.columns, b.rows, &rows_bits),
                      CODEC_OK);
            const int32_t rows_fail = m.k < 0 ? CODEC_CCITT_FULL_2D : CODEC_CCITT_FULL_1D;
            for (uint32_t cap = 0; cap <= full.space + 1; ++cap) {
                std::vector<uint8_t> ref;
                uint32_t ref_length = 0;
                int32_t want = reference_write(full.bytes, cap, rows_fail, &ref, &ref_length);

                // Guard bytes past the capacity must stay as they were.
                std::vector<uint8_t> buf(cap + 8, 0xA5);
                uint32_t space = cap;
                testing::internal::CaptureStdout();
                int32_t got = ccitt_encode(buf.data(), &space, b.bits.data(), 0, m.k, m.align,
                                           b.columns, b.rows, 0);
                testing::internal::GetCapturedStdout();
                ASSERT_EQ(got, want) << m.name << " cap " << cap;
                uint32_t derived = cap;
                ASSERT_EQ(codec_ccitt_result_for(rows_bits, m.k, cap, &derived), want)
                    << m.name << " cap " << cap;
                if (want == CODEC_OK) {
                    ASSERT_EQ(derived, space);
                }
                for (uint32_t i = cap; i < cap + 8; ++i) ASSERT_EQ(buf[i], 0xA5) << i;
                if (want == CODEC_OK) {
                    ASSERT_EQ(space, ref_length);
                    ASSERT_TRUE(std::equal(ref.begin(), ref.begin() + ref_length, buf.begin()));
                } else {
                    ASSERT_EQ(space, cap);
                }
            }
        }
}

}  // namespace
