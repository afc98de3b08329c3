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

#endif
