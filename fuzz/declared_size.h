// What a BMP file's headers declare, read before anything is loaded, so a
// target can pass over inputs whose pixel array alone would be the
// allocator's test rather than its own. Both header kinds are read: the
// 12-byte core header with 16-bit sizes and every longer one with 32-bit
// sizes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

inline uint32_t le(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

// Bytes of the uncompressed pixel array the headers declare (rows padded
// to 4 bytes, at least one bit per pixel); 0 when the headers are cut short.
inline uint64_t declared_pixel_bytes(const uint8_t* data, size_t size) {
    if (size < 26) return 0;
    const bool core = le(data + 14, 4) == 12;
    int64_t w, h;
    uint64_t bits;
    if (core) {
        w = le(data + 18, 2);
        h = le(data + 20, 2);
        bits = le(data + 24, 2);
    } else {
        if (size < 30) return 0;
        w = static_cast<int32_t>(le(data + 18, 4));
        h = static_cast<int32_t>(le(data + 22, 4));
        bits = le(data + 28, 2);
    }
    const uint64_t aw = static_cast<uint64_t>(w < 0 ? -w : w);
    const uint64_t ah = static_cast<uint64_t>(h < 0 ? -h : h);
    if (bits == 0) bits = 1;
    return (aw * bits + 31) / 32 * 4 * ah;
}

}  // namespace fuzz
