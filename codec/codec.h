// Image encoders: CCITT fax (T.4 / T.6), DCT through libjpeg, Flate through
// zlib. Each writes into a caller-owned buffer of fixed capacity.
#ifndef TARVO_CODEC_H
#define TARVO_CODEC_H

#include <cstddef>
#include <cstdint>

#include "dib/dib.h"

struct PdfDocument;

// ccitt_encode results.
enum {
    CCITT_OK = 0,
    CCITT_FULL_1D = 2,
    CCITT_FULL_2D = 3,
    CCITT_MIXED_UNSUPPORTED = 4,
    CCITT_FULL_EOFB = 5,
};

// Codes packed rows ((columns + 7) / 8 bytes each, 1 = white) with K < 0
// (Group 4) or K = 0 (Modified Huffman). space: capacity in, length out on
// success; unchanged on failure.
int32_t ccitt_encode(uint8_t* output, uint32_t* space, const uint8_t* data,
                     int32_t input_length, int32_t k, int32_t byte_align,
                     int32_t columns, int32_t rows, int32_t black_is_1);

// JPEG-codes a bitmap. *output is the caller's buffer and *size its
// capacity. On success *size is the JPEG length; when the data outgrew the
// caller's buffer, *output is replaced by a larger buffer taken with
// pdfw_alloc(doc, ...) that the caller then owns and frees with pdfw_free.
// Returns 0, or libjpeg's message code (1 when that is 0).
int dct_encode(PdfDocument* doc, uint8_t** output, uint32_t* size,
               DibHandle dib, int quality, int grey);

// zlib stream of the whole source at the default level into dst; *size is
// the capacity in, the produced length out. 0, or zlib's negative status
// (-5 when it does not fit).
int pdfw_filter_flate(PdfDocument* doc, uint8_t* dst, uint32_t* size,
                      const uint8_t* src, uint32_t src_length);

#endif
