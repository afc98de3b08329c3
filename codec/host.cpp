// Memory and trace lines of the encoders, through the caller's host.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec/codec_private.h"

void* codec_alloc(const CodecHost* host, size_t n) {
    if (!host) return std::malloc(n ? n : 1);
    return host->alloc(host->opaque, n);
}

void* codec_realloc(const CodecHost* host, void* block, size_t old_n, size_t n) {
    if (!host) return std::realloc(block, n ? n : 1);
    if (host->realloc) return host->realloc(host->opaque, block, n);
    void* bigger = host->alloc(host->opaque, n);
    if (!bigger) return nullptr;
    if (block) {
        std::memcpy(bigger, block, old_n < n ? old_n : n);
        host->free(host->opaque, block);
    }
    return bigger;
}

void codec_free(const CodecHost* host, void* block) {
    if (!block) return;
    if (!host) {
        std::free(block);
        return;
    }
    host->free(host->opaque, block);
}

void codec_trace(const CodecHost* host, const char* format, ...) {
    if (!host || !host->trace) return;
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    host->trace(host->opaque, line);
}
