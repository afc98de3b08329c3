// Flate: zlib's one-shot compress at the default level, which yields a
// zlib-format stream (RFC 1950) as FlateDecode expects.
#include <zlib.h>

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
