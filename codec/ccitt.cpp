// CCITT fax coding: T.6 two-dimensional (Group 4) and T.4 one-dimensional
// Modified Huffman, into a caller buffer of fixed capacity.
//
// Changing elements are found a 64-bit word at a time (count leading zeros
// after turning the wanted colour into 1 bits), and codes are gathered in a
// 64-bit accumulator that leaves in whole 32-bit groups. The capacity rule is
// that of a writer moving bit by bit which must always keep one byte in hand
// after each completed byte: with capacity C the call fails as soon as bit
// number 8 * C is produced. Checking the running bit total after each code
// therefore fails inside exactly the code (and phase) where that bit falls.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "codec/codec_private.h"

namespace {

struct FaxCode {
    uint16_t bits;
    uint8_t length;
};

// ITU-T T.4, terminating codes for white runs 0..63.
const FaxCode kWhiteTerm[64] = {
    {0x35, 8}, {0x07, 6}, {0x07, 4}, {0x08, 4}, {0x0B, 4}, {0x0C, 4}, {0x0E, 4}, {0x0F, 4},
    {0x13, 5}, {0x14, 5}, {0x07, 5}, {0x08, 5}, {0x08, 6}, {0x03, 6}, {0x34, 6}, {0x35, 6},
    {0x2A, 6}, {0x2B, 6}, {0x27, 7}, {0x0C, 7}, {0x08, 7}, {0x17, 7}, {0x03, 7}, {0x04, 7},
    {0x28, 7}, {0x2B, 7}, {0x13, 7}, {0x24, 7}, {0x18, 7}, {0x02, 8}, {0x03, 8}, {0x1A, 8},
    {0x1B, 8}, {0x12, 8}, {0x13, 8}, {0x14, 8}, {0x15, 8}, {0x16, 8}, {0x17, 8}, {0x28, 8},
    {0x29, 8}, {0x2A, 8}, {0x2B, 8}, {0x2C, 8}, {0x2D, 8}, {0x04, 8}, {0x05, 8}, {0x0A, 8},
    {0x0B, 8}, {0x52, 8}, {0x53, 8}, {0x54, 8}, {0x55, 8}, {0x24, 8}, {0x25, 8}, {0x58, 8},
    {0x59, 8}, {0x5A, 8}, {0x5B, 8}, {0x4A, 8}, {0x4B, 8}, {0x32, 8}, {0x33, 8}, {0x34, 8},
};

// Terminating codes for black runs 0..63.
const FaxCode kBlackTerm[64] = {
    {0x37, 10}, {0x02, 3},  {0x03, 2},  {0x02, 2},  {0x03, 3},  {0x03, 4},  {0x02, 4},  {0x03, 5},
    {0x05, 6},  {0x04, 6},  {0x04, 7},  {0x05, 7},  {0x07, 7},  {0x04, 8},  {0x07, 8},  {0x18, 9},
    {0x17, 10}, {0x18, 10}, {0x08, 10}, {0x67, 11}, {0x68, 11}, {0x6C, 11}, {0x37, 11}, {0x28, 11},
    {0x17, 11}, {0x18, 11}, {0xCA, 12}, {0xCB, 12}, {0xCC, 12}, {0xCD, 12}, {0x68, 12}, {0x69, 12},
    {0x6A, 12}, {0x6B, 12}, {0xD2, 12}, {0xD3, 12}, {0xD4, 12}, {0xD5, 12}, {0xD6, 12}, {0xD7, 12},
    {0x6C, 12}, {0x6D, 12}, {0xDA, 12}, {0xDB, 12}, {0x54, 12}, {0x55, 12}, {0x56, 12}, {0x57, 12},
    {0x64, 12}, {0x65, 12}, {0x52, 12}, {0x53, 12}, {0x24, 12}, {0x37, 12}, {0x38, 12}, {0x27, 12},
    {0x28, 12}, {0x58, 12}, {0x59, 12}, {0x2B, 12}, {0x2C, 12}, {0x5A, 12}, {0x66, 12}, {0x67, 12},
};

// Make-up codes for 64..2560 in steps of 64 (index run / 64 - 1). Entries
// from 1792 on are the extended codes both colours share.
const FaxCode kWhiteMakeup[40] = {
    {0x1B, 5},  {0x12, 5},  {0x17, 6},  {0x37, 7},  {0x36, 8},  {0x37, 8},  {0x64, 8},  {0x65, 8},
    {0x68, 8},  {0x67, 8},  {0xCC, 9},  {0xCD, 9},  {0xD2, 9},  {0xD3, 9},  {0xD4, 9},  {0xD5, 9},
    {0xD6, 9},  {0xD7, 9},  {0xD8, 9},  {0xD9, 9},  {0xDA, 9},  {0xDB, 9},  {0x98, 9},  {0x99, 9},
    {0x9A, 9},  {0x18, 6},  {0x9B, 9},  {0x08, 11}, {0x0C, 11}, {0x0D, 11}, {0x12, 12}, {0x13, 12},
    {0x14, 12}, {0x15, 12}, {0x16, 12}, {0x17, 12}, {0x1C, 12}, {0x1D, 12}, {0x1E, 12}, {0x1F, 12},
};
const FaxCode kBlackMakeup[40] = {
    {0x0F, 10}, {0xC8, 12}, {0xC9, 12}, {0x5B, 12}, {0x33, 12}, {0x34, 12}, {0x35, 12}, {0x6C, 13},
    {0x6D, 13}, {0x4A, 13}, {0x4B, 13}, {0x4C, 13}, {0x4D, 13}, {0x72, 13}, {0x73, 13}, {0x74, 13},
    {0x75, 13}, {0x76, 13}, {0x77, 13}, {0x52, 13}, {0x53, 13}, {0x54, 13}, {0x55, 13}, {0x5A, 13},
    {0x5B, 13}, {0x64, 13}, {0x65, 13}, {0x08, 11}, {0x0C, 11}, {0x0D, 11}, {0x12, 12}, {0x13, 12},
    {0x14, 12}, {0x15, 12}, {0x16, 12}, {0x17, 12}, {0x1C, 12}, {0x1D, 12}, {0x1E, 12}, {0x1F, 12},
};

// Vertical mode codes indexed by (a1 - b1) + 3: VL3 .. V0 .. VR3.
const FaxCode kVertical[7] = {
    {0x02, 7}, {0x02, 6}, {0x02, 3}, {0x01, 1}, {0x03, 3}, {0x03, 6}, {0x03, 7},
};
const FaxCode kPass = {0x1, 4};
const FaxCode kHorizontal = {0x1, 3};
const FaxCode kEol = {0x1, 12};

struct FaxTables {
    const FaxCode* term;
    const FaxCode* makeup;
};
const FaxTables kWhite = {kWhiteTerm, kWhiteMakeup};
const FaxTables kBlack = {kBlackTerm, kBlackMakeup};

struct BitSink {
    uint8_t* out;
    uint64_t acc;    // pending bits in the low `pending` positions
    unsigned pending;
    uint64_t total;  // bits produced so far
    uint64_t limit;  // 8 * capacity: producing this bit fails the call
    size_t flushed;  // bytes already stored
};

// False when the code's bits pass the capacity. Bytes are stored only once
// complete, and a complete byte always lies below the capacity while the
// total is under the limit.
inline bool sink_put(BitSink* s, uint32_t bits, unsigned length) {
    s->acc = (s->acc << length) | bits;
    s->pending += length;
    s->total += length;
    if (s->total >= s->limit) return false;
    if (s->pending >= 32) {
        s->pending -= 32;
        uint32_t word = uint32_t(s->acc >> s->pending);
        uint8_t* p = s->out + s->flushed;
        p[0] = uint8_t(word >> 24);
        p[1] = uint8_t(word >> 16);
        p[2] = uint8_t(word >> 8);
        p[3] = uint8_t(word);
        s->flushed += 4;
    }
    return true;
}

inline bool sink_code(BitSink* s, const FaxCode& c) { return sink_put(s, c.bits, c.length); }

// Zero bits up to the next byte boundary.
inline bool sink_align(BitSink* s) {
    unsigned fill = unsigned(-s->total) & 7u;
    return fill == 0 || sink_put(s, 0, fill);
}

// Stores the last partial group, zero-filled to whole bytes.
void sink_finish(BitSink* s) {
    while (s->pending >= 8) {
        s->pending -= 8;
        s->out[s->flushed++] = uint8_t(s->acc >> s->pending);
    }
    if (s->pending > 0) {
        s->out[s->flushed++] = uint8_t(s->acc << (8 - s->pending));
        s->pending = 0;
    }
}

bool put_run(BitSink* s, const FaxTables& t, int64_t run) {
    while (run >= 2624) {
        if (!sink_code(s, kWhiteMakeup[39])) return false;
        run -= 2560;
    }
    if (run >= 64) {
        if (!sink_code(s, t.makeup[run / 64 - 1])) return false;
        run %= 64;
    }
    return sink_code(s, t.term[run]);
}

// One packed row: bytes, pixel count. Bits past `columns` are never
// reported because every search result is clamped to `columns`.
struct FaxRow {
    const uint8_t* bits;
    int64_t bytes;
    int64_t columns;
};

// Eight bytes from byte i as a big-endian word; bytes past the row read as
// `pad`.
inline uint64_t row_word(const FaxRow& r, int64_t i, uint8_t pad) {
    if (i + 8 <= r.bytes) {
        uint64_t v;
        std::memcpy(&v, r.bits + i, 8);
        return __builtin_bswap64(v);
    }
    uint64_t v = 0;
    for (int64_t k = i; k < i + 8; ++k) v = (v << 8) | (k < r.bytes ? r.bits[k] : pad);
    return v;
}

// First position >= p whose pixel is white (1) or black (0); columns if none.
inline int64_t row_find(const FaxRow& r, int64_t p, bool white) {
    if (p >= r.columns) return r.columns;
    // After the flip the wanted colour is a 1 bit, padding a 0 bit.
    const uint64_t flip = white ? 0 : ~uint64_t(0);
    const uint8_t pad = uint8_t(flip);
    int64_t i = p >> 3;
    uint64_t w = (row_word(r, i, pad) ^ flip) & (~uint64_t(0) >> (p & 7));
    while (w == 0) {
        i += 8;
        if (i >= r.bytes) return r.columns;
        w = row_word(r, i, pad) ^ flip;
    }
    int64_t x = i * 8 + __builtin_clzll(w);
    return x < r.columns ? x : r.columns;
}

inline bool row_pixel(const FaxRow& r, int64_t x) {
    return (r.bits[x >> 3] >> (7 - (x & 7))) & 1u;
}

// b1: first changing element of the reference line right of a0 whose colour
// is opposite to a0's colour c.
inline int64_t ref_b1(const FaxRow& ref, int64_t a0, bool c) {
    if (a0 < 0) return row_find(ref, 0, !c);  // the pixel before 0 is white = c
    if (row_pixel(ref, a0) == c) return row_find(ref, a0 + 1, !c);
    int64_t y = row_find(ref, a0 + 1, c);
    return row_find(ref, y + 1, !c);
}

bool encode_row_2d(BitSink* s, const FaxRow& cur, const FaxRow* ref) {
    const int64_t columns = cur.columns;
    int64_t a0 = -1;
    bool c = true;  // colour of a0: white
    int64_t a1 = row_find(cur, 0, false);
    int64_t b1 = columns, b2 = columns;
    if (ref) {
        b1 = row_find(*ref, 0, false);
        b2 = row_find(*ref, b1 + 1, true);
    }
    while (a0 < columns) {
        if (b2 < a1) {
            if (!sink_code(s, kPass)) return false;
            a0 = b2;
        } else if (a1 - b1 <= 3 && b1 - a1 <= 3) {
            if (!sink_code(s, kVertical[a1 - b1 + 3])) return false;
            a0 = a1;
            c = !c;
        } else {
            int64_t a2 = row_find(cur, a1 + 1, c);
            int64_t start = a0 < 0 ? 0 : a0;
            if (!sink_code(s, kHorizontal)) return false;
            if (!put_run(s, c ? kWhite : kBlack, a1 - start)) return false;
            if (!put_run(s, c ? kBlack : kWhite, a2 - a1)) return false;
            a0 = a2;
        }
        if (a0 >= columns) break;
        a1 = row_find(cur, a0 + 1, !c);
        if (ref) {
            b1 = ref_b1(*ref, a0, c);
            b2 = row_find(*ref, b1 + 1, c);
        }
    }
    return true;
}

bool encode_row_1d(BitSink* s, const FaxRow& cur) {
    int64_t pos = 0;
    while (pos < cur.columns) {
        int64_t end = row_find(cur, pos, false);
        if (!put_run(s, kWhite, end - pos)) return false;
        pos = end;
        if (pos >= cur.columns) break;
        end = row_find(cur, pos, true);
        if (!put_run(s, kBlack, end - pos)) return false;
        pos = end;
    }
    return true;
}

}  // namespace

int32_t codec_ccitt_encode_measured(uint8_t* output, uint32_t* space, const uint8_t* data,
                                    int32_t k, int32_t byte_align, int32_t columns,
                                    int32_t rows, uint64_t* rows_bits) {
    const uint32_t capacity = *space;
    if (rows_bits) *rows_bits = UINT64_MAX;
    if (capacity > 0) output[0] = 0;
    if (k > 0) return CODEC_CCITT_MIXED_UNSUPPORTED;

    BitSink sink = {output, 0, 0, 0, uint64_t(capacity) * 8, 0};
    const int64_t width = columns > 0 ? columns : 0;
    const int64_t row_bytes = (width + 7) / 8;
    const int32_t full = k < 0 ? CODEC_CCITT_FULL_2D : CODEC_CCITT_FULL_1D;

    FaxRow prev = {nullptr, row_bytes, width};
    for (int32_t y = 0; y < rows; ++y) {
        FaxRow cur = {data + size_t(y) * size_t(row_bytes), row_bytes, width};
        bool ok = k < 0 ? encode_row_2d(&sink, cur, y > 0 ? &prev : nullptr)
                        : encode_row_1d(&sink, cur);
        if (!ok) return full;
        if (byte_align && !sink_align(&sink)) return full;
        prev = cur;
    }
    if (rows_bits) *rows_bits = sink.total;
    // Two EOLs: the T.6 end of facsimile block, and the end of the 1-D data.
    if (!sink_code(&sink, kEol) || !sink_code(&sink, kEol)) return CODEC_CCITT_FULL_EOFB;
    sink_finish(&sink);
    *space = uint32_t((sink.total + 7) / 8);
    return CODEC_OK;
}

int32_t codec_ccitt_result_for(uint64_t rows_bits, int32_t k, uint32_t capacity,
                               uint32_t* space) {
    if (k > 0) return CODEC_CCITT_MIXED_UNSUPPORTED;
    const uint64_t limit = uint64_t(capacity) * 8;
    if (rows_bits >= limit)
        return k < 0 ? CODEC_CCITT_FULL_2D : CODEC_CCITT_FULL_1D;
    const uint64_t total = rows_bits + 2 * kEol.length;
    if (total >= limit) return CODEC_CCITT_FULL_EOFB;
    *space = uint32_t((total + 7) / 8);
    return CODEC_OK;
}

void codec_ccitt_trace(const CodecHost* host, uint32_t space, int32_t k, int32_t byte_align,
                       int32_t columns, int32_t rows, int32_t black_is_1) {
    codec_trace(host,
                "ccitt_encode( space=%ld, K=%d, EncodedByteAlign=%d, columns=%d, rows=%d, "
                "BlackIs1=%d)\n",
                long(space), int(k), int(byte_align), int(columns), int(rows), int(black_is_1));
}

int32_t codec_ccitt_encode(const CodecHost* host, uint8_t* output, uint32_t* space,
                           const uint8_t* data, int32_t input_length, int32_t k,
                           int32_t byte_align, int32_t columns, int32_t rows,
                           int32_t black_is_1) {
    (void)input_length;
    codec_ccitt_trace(host, *space, k, byte_align, columns, rows, black_is_1);
    return codec_ccitt_encode_measured(output, space, data, k, byte_align, columns, rows,
                                       nullptr);
}

namespace {

void trace_to_stdout(void*, const char* line) { std::fputs(line, stdout); }

}  // namespace

int32_t ccitt_encode(uint8_t* output, uint32_t* space, const uint8_t* data,
                     int32_t input_length, int32_t k, int32_t byte_align,
                     int32_t columns, int32_t rows, int32_t black_is_1) {
    const CodecHost host = {nullptr, nullptr, nullptr, trace_to_stdout, nullptr, nullptr};
    return codec_ccitt_encode(&host, output, space, data, input_length, k, byte_align,
                              columns, rows, black_is_1);
}

namespace {

// Decoding: the code of each run length looked up by the next 13 bits (the
// longest code), the same tables read backwards.
struct FaxRun {
    int16_t run;     // -1: no code starts with these bits
    uint8_t length;  // bits of the code
};
constexpr int kPeekBits = 13;

struct FaxDecodeTables {
    FaxRun white[1 << kPeekBits];
    FaxRun black[1 << kPeekBits];
};

void enter_code(FaxRun* table, const FaxCode& code, int run) {
    const int spare = kPeekBits - code.length;
    const uint32_t first = uint32_t(code.bits) << spare;
    for (uint32_t i = 0; i < (1u << spare); ++i) table[first + i] = FaxRun{int16_t(run), code.length};
}

void enter_colour(FaxRun* table, const FaxTables& codes) {
    for (int i = 0; i < (1 << kPeekBits); ++i) table[i] = FaxRun{-1, 0};
    for (int run = 0; run < 64; ++run) enter_code(table, codes.term[run], run);
    for (int i = 0; i < 40; ++i) enter_code(table, codes.makeup[i], 64 * (i + 1));
}

const FaxDecodeTables& decode_tables() {
    static const FaxDecodeTables* tables = [] {
        static FaxDecodeTables t;
        enter_colour(t.white, kWhite);
        enter_colour(t.black, kBlack);
        return &t;
    }();
    return *tables;
}

struct BitSource {
    const uint8_t* data;
    uint64_t bits;  // in all
    uint64_t at;
    unsigned bit(uint64_t b) const { return b < bits ? (data[b >> 3] >> (7 - (b & 7))) & 1u : 0u; }
    uint32_t peek(int n) const {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v = v << 1 | bit(at + uint64_t(i));
        return v;
    }
};

// Fill bits and EOL codes (eleven or more 0 bits, then a 1) before a row.
void skip_eols(BitSource* src) {
    for (;;) {
        uint64_t b = src->at;
        while (b < src->bits && !src->bit(b)) ++b;
        if (b - src->at < 11 || b >= src->bits) return;
        src->at = b + 1;
    }
}

// One run of the colour: make-up codes, then its terminating code; -1 when
// the bits match no code.
int64_t read_run(BitSource* src, const FaxRun* table) {
    int64_t total = 0;
    for (;;) {
        if (src->at >= src->bits) return -1;
        const FaxRun r = table[src->peek(kPeekBits)];
        if (r.run < 0) return -1;
        src->at += r.length;
        total += r.run;
        if (r.run < 64) return total;
    }
}

void set_black(uint8_t* row, int64_t from, int64_t to) {
    for (int64_t x = from; x < to; ++x) row[x >> 3] = uint8_t(row[x >> 3] | 0x80u >> (x & 7));
}

}  // namespace

int64_t codec_mh_decode(const uint8_t* data, size_t n, uint8_t* rows, int64_t stride,
                        int32_t columns, int64_t row_count) {
    // Rows without pixels take no codes; a header may claim billions.
    if (columns <= 0) return row_count;
    const FaxDecodeTables& t = decode_tables();
    BitSource src{data, uint64_t(n) * 8, 0};
    for (int64_t y = 0; y < row_count; ++y) {
        skip_eols(&src);
        uint8_t* row = rows + y * stride;
        int64_t x = 0;
        bool black = false;
        while (x < columns) {
            const int64_t run = read_run(&src, black ? t.black : t.white);
            if (run < 0) return y;
            if (black) set_black(row, x, std::min<int64_t>(columns, x + run));
            x += run;
            black = !black;
        }
    }
    return row_count;
}
