// Flate filter: zlib's one-shot compress at the default level, which yields a
// zlib-format stream (RFC 1950) as FlateDecode expects.
#include <zlib.h>

#include "codec/codec.h"

int pdfw_filter_flate(PdfDocument* doc, uint8_t* dst, uint32_t* size, const uint8_t* src,
                      uint32_t src_length) {
    (void)doc;
    if (!size) return Z_STREAM_ERROR;
    // zlib refuses null buffers even when they are empty.
    static const Bytef kNothing = 0;
    Bytef spare = 0;
    uLongf capacity = dst ? *size : 0;
    int status = compress(dst ? dst : &spare, &capacity, src ? src : &kNothing, src_length);
    if (status == Z_OK) *size = uint32_t(capacity);
    return status;
}
