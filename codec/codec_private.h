// Helpers the encoders share: memory and trace lines through a CodecHost.
#ifndef TARVO_CODEC_PRIVATE_H
#define TARVO_CODEC_PRIVATE_H

#include "codec/codec.h"

void* codec_alloc(const CodecHost* host, size_t n);
// Like realloc; through alloc, copy and free when the host has no realloc.
void* codec_realloc(const CodecHost* host, void* block, size_t old_n, size_t n);
void codec_free(const CodecHost* host, void* block);
void codec_trace(const CodecHost* host, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Codes a baseline JPEG (in, n bytes; no restarts) again with Huffman
// tables made from its own symbols, as libjpeg's optimised coding makes
// them. The result goes to *output (capacity *size) or, when larger, to a
// buffer from the host that replaces it; *size gets its length. CODEC_OK,
// CODEC_OPTIMISE_NO_MEMORY, or CODEC_OPTIMISE_FAILED when no table can be
// made (a code longer than 32 bits, where libjpeg fails too) or the data
// does not decode.
enum { CODEC_OPTIMISE_NO_MEMORY = 1, CODEC_OPTIMISE_FAILED = 2 };
int codec_jpeg_optimise(const CodecHost* host, const uint8_t* in, size_t n, uint8_t** output,
                        uint32_t* size);

#endif
