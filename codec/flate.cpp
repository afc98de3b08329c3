// Flate: zlib's one-shot compress at the default level, which yields a
// zlib-format stream (RFC 1950) as FlateDecode expects.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <new>

#include "codec/codec.h"

static_assert(CODEC_FLATE_FULL == Z_BUF_ERROR && CODEC_FLATE_NO_MEMORY == Z_MEM_ERROR &&
                  CODEC_FLATE_BAD_ARGUMENT == Z_STREAM_ERROR,
              "Flate statuses are zlib's");

int codec_flate(uint8_t* dst, uint32_t* size, const uint8_t* src, uint32_t src_length) {
    if (!size) return CODEC_FLATE_BAD_ARGUMENT;
    // zlib refuses null buffers even when they are empty.
    static const Bytef kNothing = 0;
    Bytef spare = 0;
    uLongf capacity = dst ? *size : 0;
    int status = compress(dst ? dst : &spare, &capacity, src ? src : &kNothing, src_length);
    if (status == Z_OK) *size = uint32_t(capacity);
    return status;
}

uint64_t codec_flate_bound(uint64_t n) {
    return n + (n >> 12) + (n >> 14) + (n >> 25) + 13;
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

// zlib's deflate keeps its block decisions to its own buffers, not to how
// the input arrives, so pieces without flushes give compress()'s bytes;
// compress() runs it with the same defaults (window 15, memory level 8).
int codec_flate_pieces(uint8_t* dst, uint32_t* size,
                       bool (*next)(void* opaque, const uint8_t** data, size_t* n), void* opaque) {
    if (!size || !next) return CODEC_FLATE_BAD_ARGUMENT;
    static const Bytef kNothing = 0;
    Bytef spare = 0;
    z_stream zs;
    zs.zalloc = Z_NULL;
    zs.zfree = Z_NULL;
    zs.opaque = Z_NULL;
    int status = deflateInit(&zs, Z_DEFAULT_COMPRESSION);
    if (status != Z_OK) return status;
    zs.next_out = dst ? dst : &spare;
    zs.avail_out = dst ? *size : 0;
    for (;;) {
        const uint8_t* data = nullptr;
        size_t n = 0;
        if (!next(opaque, &data, &n)) {
            status = CODEC_SOURCE_FAILED;
            break;
        }
        zs.next_in = const_cast<Bytef*>(data && n ? data : &kNothing);
        zs.avail_in = uInt(n);
        status = deflate(&zs, n == 0 ? Z_FINISH : Z_NO_FLUSH);
        if (n == 0 || zs.avail_in != 0 || (status != Z_OK && status != Z_BUF_ERROR)) break;
    }
    // As compress(): only a finished stream is a result; one that ran out
    // of room is Z_BUF_ERROR.
    if (status == Z_STREAM_END) {
        *size = uint32_t(zs.total_out);
        status = Z_OK;
    } else if (status == Z_OK || (status == Z_BUF_ERROR)) {
        status = Z_BUF_ERROR;
    }
    deflateEnd(&zs);
    return status;
}
