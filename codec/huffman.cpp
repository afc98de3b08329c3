// Optimised Huffman tables without the image's coefficients in memory.
//
// libjpeg makes a file's tables from the counts of its symbols, and for that
// keeps every coefficient of the image (two bytes a sample) until the whole
// image has been seen. Here the image is coded once with the standard
// tables, the symbols are counted from that data, and the data is coded
// again with tables made from the counts the way libjpeg makes them (the
// JPEG standard's procedure in its annex K.2, with one code point kept back
// so that no code is all ones). The symbols and their extra bits do not
// depend on the tables, so the result is the file libjpeg's own optimised
// coding writes, from memory the size of the coded data.
#include <cstring>

#include "codec/codec_private.h"

namespace {

constexpr int kPeekBits = 11;

struct Table {  // as a DHT segment carries it
    uint8_t bits[17];  // bits[l]: the number of codes of l bits
    uint8_t values[256];
    int count;
};

struct Decoder {
    uint16_t fast[1 << kPeekBits];  // (length << 8) | symbol; 0 for longer codes
    int32_t max_code[17];           // the last code of each length, -1 for none
    int32_t offset[17];             // values index of a length's code 0
    const uint8_t* values;
};

struct Encoder {
    uint16_t code[256];
    uint8_t size[256];  // 0 for a symbol without a code
};

// The canonical codes of a table, in the order of its values.
bool canonical_codes(const Table& t, uint16_t* codes, uint8_t* sizes) {
    uint32_t code = 0;
    int k = 0;
    for (int l = 1; l <= 16; ++l) {
        for (int i = 0; i < t.bits[l]; ++i, ++k) {
            if (code >= (1u << l)) return false;
            codes[k] = uint16_t(code++);
            sizes[k] = uint8_t(l);
        }
        code <<= 1;
    }
    return true;
}

bool make_decoder(const Table& t, Decoder* d) {
    uint16_t codes[256];
    uint8_t sizes[256];
    if (!canonical_codes(t, codes, sizes)) return false;
    std::memset(d->fast, 0, sizeof d->fast);
    d->values = t.values;
    int k = 0;
    for (int l = 1; l <= 16; ++l) {
        d->max_code[l] = -1;
        d->offset[l] = 0;
        if (t.bits[l] == 0) continue;
        d->offset[l] = k - int32_t(codes[k]);
        for (int i = 0; i < t.bits[l]; ++i, ++k) {
            d->max_code[l] = codes[k];
            if (l > kPeekBits) continue;
            const int spread = 1 << (kPeekBits - l);
            for (int j = 0; j < spread; ++j)
                d->fast[(codes[k] << (kPeekBits - l)) + j] = uint16_t((l << 8) | t.values[k]);
        }
    }
    return true;
}

bool make_encoder(const Table& t, Encoder* e) {
    uint16_t codes[256];
    uint8_t sizes[256];
    if (!canonical_codes(t, codes, sizes)) return false;
    std::memset(e->size, 0, sizeof e->size);
    for (int k = 0; k < t.count; ++k) {
        e->code[t.values[k]] = codes[k];
        e->size[t.values[k]] = sizes[k];
    }
    return true;
}

// The table for a symbol count, as libjpeg makes it: of equal counts the
// higher symbol is taken first, counts above 10^9 are passed over, and
// lengths past 16 bits are folded back by the standard's adjustment.
bool optimal_table(const int64_t counts[256], Table* t) {
    int64_t freq[257];
    int size[257] = {};
    int next[257];
    for (int i = 0; i < 256; ++i) freq[i] = counts[i];
    freq[256] = 1;  // the code point kept back
    for (int& n : next) n = -1;
    for (;;) {
        int c1 = -1, c2 = -1;
        int64_t least = 1000000000;
        for (int i = 0; i <= 256; ++i)
            if (freq[i] && freq[i] <= least) least = freq[c1 = i];
        least = 1000000000;
        for (int i = 0; i <= 256; ++i)
            if (freq[i] && freq[i] <= least && i != c1) least = freq[c2 = i];
        if (c2 < 0) break;
        freq[c1] += freq[c2];
        freq[c2] = 0;
        ++size[c1];
        while (next[c1] >= 0) ++size[c1 = next[c1]];
        next[c1] = c2;
        ++size[c2];
        while (next[c2] >= 0) ++size[c2 = next[c2]];
    }
    int bits[33] = {};
    for (int i = 0; i <= 256; ++i) {
        if (size[i] > 32) return false;
        if (size[i]) ++bits[size[i]];
    }
    for (int i = 32; i > 16; --i) {
        while (bits[i] > 0) {
            int j = i - 2;
            while (j > 0 && bits[j] == 0) --j;
            if (j == 0) return false;
            bits[i] -= 2;
            ++bits[i - 1];
            bits[j + 1] += 2;
            --bits[j];
        }
    }
    int longest = 16;
    while (longest > 0 && bits[longest] == 0) --longest;
    if (longest == 0) return false;
    --bits[longest];  // the kept-back point leaves the longest length
    t->count = 0;
    for (int l = 1; l <= 16; ++l) {
        t->bits[l] = uint8_t(bits[l]);
        t->count += bits[l];
    }
    t->bits[0] = 0;
    int k = 0;
    for (int l = 1; l <= 32 && k < t->count; ++l)
        for (int j = 0; j < 256 && k < t->count; ++j)
            if (size[j] == l) t->values[k++] = uint8_t(j);
    return k == t->count;
}

#define HOT inline __attribute__((always_inline))

// Entropy-coded bits, with the 0 stuffed after each 0xFF taken out. Past
// the data (or a marker) it reads zeros and counts them. Passed by value
// and kept in locals, so that the bits stay in registers.
struct Bits {
    const uint8_t* p;
    const uint8_t* end;
    uint64_t acc;  // the next bits from the top
    int n;         // bits held
    int64_t past;  // bytes read past the data
};

HOT bool has_ff_byte(uint64_t v) {
    const uint64_t x = ~v;
    return ((x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull) != 0;
}

// A byte at a time, around a 0xFF and at the end.
__attribute__((noinline)) Bits fill_slowly(Bits r) {
    while (r.n <= 56) {
        unsigned b = 0;
        if (r.p < r.end && !(r.p[0] == 0xFF && (r.p + 1 >= r.end || r.p[1] != 0))) {
            b = *r.p;
            r.p += b == 0xFF ? 2 : 1;
        } else {
            ++r.past;
        }
        r.acc |= uint64_t(b) << (56 - r.n);
        r.n += 8;
    }
    return r;
}

// Tops the reader up to at least 56 bits: eight bytes read at once where
// none is 0xFF, the bits below those held being the next ones already (an
// OR puts the same bits there again).
HOT void fill(Bits& r) {
    if (r.end - r.p >= 8) {
        uint64_t v;
        std::memcpy(&v, r.p, 8);
        if (!has_ff_byte(v)) {
            r.acc |= __builtin_bswap64(v) >> r.n;
            r.p += (63 - r.n) >> 3;
            r.n |= 56;
            return;
        }
    }
    r = fill_slowly(r);
}

// The next symbol of a table and its extra bits (the low 4 bits of the
// symbol tell how many), or -1 for a code the table lacks.
HOT int next_symbol(Bits& r, const Decoder& d, uint32_t* extra) {
    fill(r);
    const unsigned e = d.fast[r.acc >> (64 - kPeekBits)];
    int length, symbol;
    if (e) {
        length = int(e >> 8);
        symbol = int(e & 0xFF);
    } else {
        const int32_t code16 = int32_t(r.acc >> 48);
        length = kPeekBits + 1;
        while (length <= 16 && (code16 >> (16 - length)) > d.max_code[length]) ++length;
        if (length > 16) return -1;
        symbol = d.values[d.offset[length] + (code16 >> (16 - length))];
    }
    // A code and its extra bits take at most 27 of the 56.
    const int size = symbol & 15;
    const int total = length + size;
    const uint64_t bits = r.acc >> (64 - total);
    r.acc <<= total;
    r.n -= total;
    *extra = uint32_t(bits) & ((1u << size) - 1);
    return symbol;
}

// Coded bytes with a 0 stuffed after each 0xFF: first into the caller's
// buffer, then into one from the host that doubles as needed.
struct BitWriter {
    const CodecHost* host;
    uint8_t* caller;
    uint8_t* out;
    size_t capacity;
    size_t length;
    uint64_t acc;
    int n;
    bool failed;
};

__attribute__((noinline)) BitWriter grown(BitWriter w, size_t more) {
    size_t want = w.capacity < 4096 ? 8192 : w.capacity * 2;
    while (want < w.length + more) want *= 2;
    if (want > UINT32_MAX || w.failed) {
        w.failed = true;
        return w;
    }
    uint8_t* bigger;
    if (w.out == w.caller) {
        bigger = static_cast<uint8_t*>(codec_alloc(w.host, want));
        if (bigger && w.length) std::memcpy(bigger, w.out, w.length);
    } else {
        bigger = static_cast<uint8_t*>(codec_realloc(w.host, w.out, w.capacity, want));
    }
    if (!bigger) {
        w.failed = true;
        return w;
    }
    w.out = bigger;
    w.capacity = want;
    return w;
}

HOT bool make_room(BitWriter& w, size_t more) {
    if (w.length + more > w.capacity) w = grown(w, more);
    return !w.failed;
}

void put_bytes(BitWriter& w, const uint8_t* bytes, size_t n) {
    if (!make_room(w, n)) return;
    std::memcpy(w.out + w.length, bytes, n);
    w.length += n;
}

// Room for a block's codes and extra bits, stuffed: checked once a block.
constexpr size_t kBlockRoom = 64 * 8;

HOT void put_byte(BitWriter& w, uint8_t b) {
    w.out[w.length++] = b;
    if (b == 0xFF) w.out[w.length++] = 0;
}

// Up to 32 bits at a time; whole words go out together when none of their
// bytes needs a 0 after it.
HOT void put_bits(BitWriter& w, uint32_t bits, int size) {
    w.acc = (w.acc << size) | bits;
    w.n += size;
    if (w.n < 32) return;
    w.n -= 32;
    const uint32_t word = uint32_t(w.acc >> w.n);
    const uint32_t x = ~word;
    if (((x - 0x01010101u) & ~x & 0x80808080u) == 0) {
        const uint32_t be = __builtin_bswap32(word);
        std::memcpy(w.out + w.length, &be, 4);
        w.length += 4;
    } else {
        for (int shift = 24; shift >= 0; shift -= 8) put_byte(w, uint8_t(word >> shift));
    }
}

// The last byte is filled with ones.
void flush_bits(BitWriter& w) {
    if (!make_room(w, 8)) return;
    if (w.n % 8) put_bits(w, (1u << (8 - w.n % 8)) - 1, 8 - w.n % 8);
    while (w.n >= 8) {
        w.n -= 8;
        put_byte(w, uint8_t(w.acc >> w.n));
    }
}

struct ScanComponent {
    int h, v;           // blocks an interleaved unit takes of it
    int width, height;  // in blocks, when it is the only one in the scan
    int dc, ac;
};

struct Scan {
    ScanComponent comp[4];
    int count;
    int64_t units_across, units_down;
};

struct Counts {
    int64_t dc[4][256];
    int64_t ac[4][256];
};

// What a pass does with each symbol of the scan: count it, or code it again.
struct Counting {
    Counts* counts;
    HOT bool block() { return true; }
    HOT bool symbol(bool ac, int table, int symbol, uint32_t, int) {
        (ac ? counts->ac : counts->dc)[table][symbol]++;
        return true;
    }
};

struct Recoding {
    BitWriter w;
    const Encoder* encoders;  // DC tables, then AC
    HOT bool block() { return make_room(w, kBlockRoom); }
    HOT bool symbol(bool ac, int table, int symbol, uint32_t extra, int extra_size) {
        const Encoder& e = encoders[(ac ? 4 : 0) + table];
        if (e.size[symbol] == 0) return false;
        put_bits(w, (uint32_t(e.code[symbol]) << extra_size) | extra, e.size[symbol] + extra_size);
        return true;
    }
};

template <typename Pass>
HOT bool one_block(Bits& r, const ScanComponent& c, const Decoder* dc, const Decoder* ac, Pass& pass) {
    if (!pass.block()) return false;
    uint32_t extra;
    const int t = next_symbol(r, dc[c.dc], &extra);
    if (t < 0 || t > 11) return false;
    if (!pass.symbol(false, c.dc, t, extra, t)) return false;
    for (int k = 1; k < 64;) {
        const int rs = next_symbol(r, ac[c.ac], &extra);
        if (rs < 0) return false;
        const int size = rs & 15;
        if (!pass.symbol(true, c.ac, rs, extra, size)) return false;
        if (rs == 0) break;  // the end of the block
        k += size ? (rs >> 4) + 1 : 16;
        if (k > 64) return false;
    }
    return r.past <= 8;
}

// Runs a pass over every symbol of the scan in order. False when the data
// does not decode or the pass fails.
template <typename Pass>
bool walk(Bits r, const Scan& s, const Decoder* dc, const Decoder* ac, Pass* pass_out) {
    Pass pass = *pass_out;
    bool ok = true;
    if (s.count == 1) {
        const ScanComponent& c = s.comp[0];
        for (int64_t b = int64_t(c.width) * c.height; ok && b > 0; --b)
            ok = one_block(r, c, dc, ac, pass);
    } else {
        for (int64_t u = s.units_across * s.units_down; ok && u > 0; --u)
            for (int i = 0; ok && i < s.count; ++i)
                for (int b = s.comp[i].h * s.comp[i].v; ok && b > 0; --b)
                    ok = one_block(r, s.comp[i], dc, ac, pass);
    }
    *pass_out = pass;
    return ok;
}

inline int segment_length(const uint8_t* p) { return (p[2] << 8) | p[3]; }

// The tables of a DHT segment's body, into tables[class][id].
bool read_tables(const uint8_t* p, size_t n, Table tables[2][4], bool seen[2][4]) {
    while (n > 0) {
        if (n < 17) return false;
        const int cls = p[0] >> 4, id = p[0] & 15;
        if (cls > 1 || id > 3) return false;
        Table& t = tables[cls][id];
        t.bits[0] = 0;
        t.count = 0;
        for (int l = 1; l <= 16; ++l) t.count += t.bits[l] = p[l];
        if (t.count > 256 || n < 17 + size_t(t.count)) return false;
        std::memcpy(t.values, p + 17, size_t(t.count));
        seen[cls][id] = true;
        p += 17 + t.count;
        n -= size_t(17 + t.count);
    }
    return true;
}

bool read_frame(const uint8_t* p, size_t n, int* width, int* height, int ids[4],
                int sampling[4][2], int* count) {
    if (n < 6 || p[0] != 8) return false;
    *height = (p[1] << 8) | p[2];
    *width = (p[3] << 8) | p[4];
    *count = p[5];
    if (*count < 1 || *count > 4 || n < 6 + 3 * size_t(*count) || *width == 0 || *height == 0)
        return false;
    for (int i = 0; i < *count; ++i) {
        ids[i] = p[6 + 3 * i];
        sampling[i][0] = p[7 + 3 * i] >> 4;
        sampling[i][1] = p[7 + 3 * i] & 15;
        if (sampling[i][0] < 1 || sampling[i][0] > 4 || sampling[i][1] < 1 || sampling[i][1] > 4)
            return false;
    }
    return true;
}

int64_t ceil_div(int64_t a, int64_t b) { return (a + b - 1) / b; }

}  // namespace

int codec_jpeg_optimise(const CodecHost* host, const uint8_t* in, size_t n, uint8_t** output,
                        uint32_t* size) {
    // The header up to the scan: frame, tables; no restarts.
    if (n < 4 || in[0] != 0xFF || in[1] != 0xD8) return CODEC_OPTIMISE_FAILED;
    Table tables[2][4];
    bool seen[2][4] = {};
    int width = 0, height = 0, frame_count = 0, ids[4], sampling[4][2];
    size_t at = 2, scan_at = 0;
    Scan scan{};
    while (!scan_at) {
        if (at + 4 > n || in[at] != 0xFF) return CODEC_OPTIMISE_FAILED;
        const uint8_t marker = in[at + 1];
        const size_t length = size_t(segment_length(in + at));
        if (length < 2 || at + 2 + length > n) return CODEC_OPTIMISE_FAILED;
        const uint8_t* body = in + at + 4;
        const size_t body_n = length - 2;
        if (marker == 0xC4) {
            if (!read_tables(body, body_n, tables, seen)) return CODEC_OPTIMISE_FAILED;
        } else if (marker == 0xC0 || marker == 0xC1) {
            if (!read_frame(body, body_n, &width, &height, ids, sampling, &frame_count))
                return CODEC_OPTIMISE_FAILED;
        } else if (marker == 0xDD) {
            if (body_n < 2 || body[0] || body[1]) return CODEC_OPTIMISE_FAILED;
        } else if (marker == 0xDA) {
            if (!frame_count || body_n < 1 || body[0] < 1 || body[0] > 4 ||
                body_n != size_t(4 + 2 * body[0]))
                return CODEC_OPTIMISE_FAILED;
            const uint8_t* tail = body + 1 + 2 * body[0];
            if (tail[0] != 0 || tail[1] != 63 || tail[2] != 0) return CODEC_OPTIMISE_FAILED;
            int hmax = 1, vmax = 1;
            for (int i = 0; i < frame_count; ++i) {
                hmax = sampling[i][0] > hmax ? sampling[i][0] : hmax;
                vmax = sampling[i][1] > vmax ? sampling[i][1] : vmax;
            }
            scan.count = body[0];
            for (int i = 0; i < scan.count; ++i) {
                int f = 0;
                while (f < frame_count && ids[f] != body[1 + 2 * i]) ++f;
                ScanComponent& c = scan.comp[i];
                c.dc = body[2 + 2 * i] >> 4;
                c.ac = body[2 + 2 * i] & 15;
                if (f == frame_count || c.dc > 3 || c.ac > 3 || !seen[0][c.dc] || !seen[1][c.ac])
                    return CODEC_OPTIMISE_FAILED;
                c.h = sampling[f][0];
                c.v = sampling[f][1];
                c.width = int(ceil_div(ceil_div(int64_t(width) * c.h, hmax), 8));
                c.height = int(ceil_div(ceil_div(int64_t(height) * c.v, vmax), 8));
            }
            scan.units_across = ceil_div(width, 8 * hmax);
            scan.units_down = ceil_div(height, 8 * vmax);
            scan_at = at + 2 + length;
        }
        at += 2 + length;
    }

    Decoder* decoders = static_cast<Decoder*>(codec_alloc(host, 8 * sizeof(Decoder)));
    Counts* counts = static_cast<Counts*>(codec_alloc(host, sizeof(Counts)));
    int rc = CODEC_OPTIMISE_NO_MEMORY;
    bool used[2][4] = {};
    Table best[2][4];
    Encoder* encoders = reinterpret_cast<Encoder*>(counts);  // the counts are done with by then
    static_assert(sizeof(Counts) >= 8 * sizeof(Encoder), "encoders fit the counts' block");
    const Bits data{in + scan_at, in + n, 0, 0, 0};
    Counting counting{counts};
    Recoding recoding{BitWriter{host, *output, *output, *size, 0, 0, 0, false}, encoders};
    BitWriter& w = recoding.w;
    if (!decoders || !counts) goto done;
    rc = CODEC_OPTIMISE_FAILED;
    std::memset(counts, 0, sizeof(Counts));
    for (int cls = 0; cls < 2; ++cls)
        for (int id = 0; id < 4; ++id)
            if (seen[cls][id] && !make_decoder(tables[cls][id], &decoders[cls * 4 + id])) goto done;

    // Counting the symbols.
    if (!walk(data, scan, decoders, decoders + 4, &counting)) goto done;
    for (int cls = 0; cls < 2; ++cls) {
        for (int id = 0; id < 4; ++id) {
            const int64_t* c = cls ? counts->ac[id] : counts->dc[id];
            for (int k = 0; k < 256 && !used[cls][id]; ++k) used[cls][id] = c[k] != 0;
            if (used[cls][id] && !optimal_table(c, &best[cls][id])) goto done;
        }
    }
    for (int cls = 0; cls < 2; ++cls)
        for (int id = 0; id < 4; ++id)
            if (used[cls][id] && !make_encoder(best[cls][id], &encoders[cls * 4 + id])) goto done;

    // The header again with each table replaced by its optimised one.
    at = 0;
    while (at < scan_at) {
        if (at == 0 || in[at + 1] != 0xC4) {
            const size_t whole = at == 0 ? 2 : 2 + size_t(segment_length(in + at));
            put_bytes(w, in + at, whole);
            at += whole;
            continue;
        }
        const size_t length = size_t(segment_length(in + at));
        for (size_t p = at + 4; p < at + 2 + length;) {
            const int cls = in[p] >> 4, id = in[p] & 15;
            int old_count = 0;
            for (int l = 1; l <= 16; ++l) old_count += in[p + l];
            const Table& t = used[cls][id] ? best[cls][id] : tables[cls][id];
            const uint8_t head[4] = {0xFF, 0xC4, uint8_t((19 + t.count) >> 8), uint8_t(19 + t.count)};
            put_bytes(w, head, 4);
            const uint8_t which = in[p];
            put_bytes(w, &which, 1);
            put_bytes(w, t.bits + 1, 16);
            put_bytes(w, t.values, size_t(t.count));
            p += size_t(17 + old_count);
        }
        at += 2 + length;
    }

    // The data again with the new codes.
    if (!walk(data, scan, decoders, decoders + 4, &recoding)) {
        if (w.failed) rc = CODEC_OPTIMISE_NO_MEMORY;
        goto done;
    }
    flush_bits(w);
    {
        static const uint8_t kEnd[2] = {0xFF, 0xD9};
        put_bytes(w, kEnd, 2);
    }
    if (w.failed) {
        rc = CODEC_OPTIMISE_NO_MEMORY;
        goto done;
    }
    *output = w.out;
    *size = uint32_t(w.length);
    rc = CODEC_OK;
done:
    if (rc != CODEC_OK && w.out != w.caller) codec_free(host, w.out);
    codec_free(host, decoders);
    codec_free(host, counts);
    return rc;
}
