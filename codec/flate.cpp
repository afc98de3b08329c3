// Flate: libdeflate's whole-buffer compressor at the default level (6),
// which yields a zlib-format stream (RFC 1950) as FlateDecode expects, at
// about twice zlib's speed for sizes within a percent or two of its; zlib
// itself decodes.
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "codec/codec.h"

static_assert(CODEC_FLATE_FULL == Z_BUF_ERROR && CODEC_FLATE_NO_MEMORY == Z_MEM_ERROR &&
                  CODEC_FLATE_BAD_ARGUMENT == Z_STREAM_ERROR,
              "Flate statuses are zlib's");

int codec_flate(uint8_t* dst, uint32_t* size, const uint8_t* src, uint32_t src_length) {
    if (!size || (!src && src_length)) return CODEC_FLATE_BAD_ARGUMENT;
    libdeflate_compressor* c = libdeflate_alloc_compressor(6);
    if (!c) return CODEC_FLATE_NO_MEMORY;
    static const uint8_t kNothing = 0;
    const uint8_t* in = src ? src : &kNothing;
    const size_t room = dst ? *size : 0;
    // libdeflate gives up a few bytes short of a room smaller than its
    // bound: such a room gets a stream made apart, so that a stream that
    // fits is never refused.
    const size_t bound = libdeflate_zlib_compress_bound(c, src_length);
    size_t n = 0;
    int status = CODEC_OK;
    if (room >= bound) {
        n = libdeflate_zlib_compress(c, in, src_length, dst, room);
    } else if (uint8_t* apart = static_cast<uint8_t*>(std::malloc(bound))) {
        n = libdeflate_zlib_compress(c, in, src_length, apart, bound);
        if (n > room) n = 0;
        if (n) std::memcpy(dst, apart, n);
        std::free(apart);
    } else {
        status = CODEC_FLATE_NO_MEMORY;
    }
    libdeflate_free_compressor(c);
    if (status != CODEC_OK) return status;
    if (n == 0) return CODEC_FLATE_FULL;
    *size = uint32_t(n);
    return CODEC_OK;
}

uint64_t codec_flate_bound(uint64_t n) {
    // zlib's figure, or libdeflate's when that is larger: with that much
    // room a stream is made in place. Its bound reads no compressor.
    const uint64_t zlib_bound = n + (n >> 12) + (n >> 14) + (n >> 25) + 13;
    if (n > SIZE_MAX / 2) return zlib_bound;
    return std::max<uint64_t>(zlib_bound, libdeflate_zlib_compress_bound(nullptr, size_t(n)));
}

int codec_inflate(uint8_t* dst, uint32_t* size, const uint8_t* src, uint32_t src_length) {
    if (!size || !dst || !src) return CODEC_FLATE_BAD_ARGUMENT;
    uLongf capacity = *size;
    const int status = uncompress(dst, &capacity, src, src_length);
    if (status == Z_OK) *size = uint32_t(capacity);
    return status;
}

struct CodecInflater {
    z_stream zs;
    bool ended;
};

CodecInflater* codec_inflater_new(const uint8_t* src, uint32_t src_length) {
    if (!src) return nullptr;
    CodecInflater* in = new (std::nothrow) CodecInflater{};
    if (!in) return nullptr;
    in->zs.next_in = const_cast<Bytef*>(src);
    in->zs.avail_in = src_length;
    if (inflateInit(&in->zs) != Z_OK) {
        delete in;
        return nullptr;
    }
    return in;
}

int codec_inflater_read(CodecInflater* in, uint8_t* out, size_t max, size_t* got) {
    *got = 0;
    if (!in || !out) return CODEC_FLATE_BAD_ARGUMENT;
    if (in->ended || max == 0) return CODEC_OK;
    in->zs.next_out = out;
    in->zs.avail_out = uInt(std::min<size_t>(max, UINT32_MAX));
    const int status = inflate(&in->zs, Z_NO_FLUSH);
    *got = size_t(in->zs.next_out - out);
    if (status == Z_STREAM_END) in->ended = true;
    // Input that ends before the stream does is a damaged stream.
    if (status == Z_BUF_ERROR && *got == 0) return Z_DATA_ERROR;
    return status == Z_OK || status == Z_STREAM_END || status == Z_BUF_ERROR ? CODEC_OK : status;
}

void codec_inflater_free(CodecInflater* in) {
    if (!in) return;
    inflateEnd(&in->zs);
    delete in;
}

size_t codec_deflate_part_bound(size_t n) {
    return libdeflate_deflate_compress_bound(nullptr, n);
}

namespace {

// Clears the final-block bit of a raw deflate stream and tells how many
// bits of its last byte are unused: its blocks are walked with zlib's
// inflate, which stops at each block's end and says where the next begins.
bool open_last_block(uint8_t* data, size_t n, int* unused_bits) {
    z_stream zs{};
    if (inflateInit2(&zs, -15) != Z_OK) return false;
    zs.next_in = data;
    zs.avail_in = uInt(n);
    size_t start_byte = 0;  // where the block being read began
    int start_bit = 0;
    uint8_t scratch[1 << 15];
    int status = Z_OK;
    int unused = -1;
    for (;;) {
        zs.next_out = scratch;
        zs.avail_out = sizeof scratch;
        status = inflate(&zs, Z_BLOCK);
        if (status != Z_OK) break;
        if (!(zs.data_type & 128)) continue;
        // At the last block's end, the bits of its last byte it left; at
        // another's, the next block's header is the next bit to be read.
        const int pending = zs.data_type & 7;
        if (zs.data_type & 64) {
            unused = pending;
            continue;
        }
        const size_t taken = size_t(zs.next_in - data);
        start_byte = pending ? taken - 1 : taken;
        start_bit = pending ? 8 - pending : 0;
    }
    const bool ended = status == Z_STREAM_END && zs.avail_in == 0 && unused >= 0;
    *unused_bits = unused;
    inflateEnd(&zs);
    if (!ended || start_byte >= n) return false;
    data[start_byte] = uint8_t(data[start_byte] & ~(1u << start_bit));
    return true;
}

}  // namespace

bool codec_deflate_part(CodecDeflatePart* p) {
    p->length = 0;
    p->unused_bits = -1;
    libdeflate_compressor* c = libdeflate_alloc_compressor(6);
    if (!c) return false;
    static const uint8_t kNothing = 0;
    const uint8_t* in = p->src ? p->src : &kNothing;
    p->length = libdeflate_deflate_compress(c, in, p->n, p->out, p->room);
    libdeflate_free_compressor(c);
    p->adler = libdeflate_adler32(1, in, p->n);
    if (p->length == 0) return false;
    return !p->more_follows || open_last_block(p->out, p->length, &p->unused_bits);
}

int codec_flate_join(uint8_t* dst, uint32_t* size, const CodecDeflatePart* first,
                     const CodecDeflatePart* second) {
    if (!dst || !size || first->out != dst + 2 || !first->more_follows || first->unused_bits < 0)
        return CODEC_FLATE_BAD_ARGUMENT;
    // The first part, whose last block no longer ends the stream, is padded
    // to a byte's end by an empty stored block (three header bits, then a
    // length of 0 and its complement).
    const int unused = first->unused_bits;
    uint8_t* at = dst + 2 + first->length;
    at[-1] = uint8_t(at[-1] & ((1u << (8 - unused)) - 1u));
    const size_t pad = unused < 3 ? 1 : 0;
    const uint64_t head = 2 + first->length + pad + 4;
    if (head + second->length + 4 > *size || second->length + 4 > second->room)
        return CODEC_FLATE_FULL;
    if (pad) *at++ = 0;
    const uint8_t empty_stored[4] = {0x00, 0x00, 0xFF, 0xFF};
    std::memcpy(at, empty_stored, 4);
    // zlib's header for the default level, and the whole source's Adler-32.
    dst[0] = 0x78;
    dst[1] = 0x9C;
    const uint32_t adler = uint32_t(adler32_combine(first->adler, second->adler, z_off_t(second->n)));
    for (int i = 0; i < 4; ++i) second->out[second->length + size_t(i)] = uint8_t(adler >> (24 - 8 * i));
    *size = uint32_t(head);
    return CODEC_OK;
}
