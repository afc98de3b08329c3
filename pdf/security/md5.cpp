// MD5 message digest, RFC 1321: 64-byte blocks, four rounds of sixteen
// steps, little-endian words.
#include <cstring>

#include "pdf/security/security.h"

namespace {

// floor(abs(sin(i + 1)) * 2^32)
const uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee,
    0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be,
    0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa,
    0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c,
    0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05,
    0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039,
    0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1,
    0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

const int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void transform(uint32_t state[4], const uint8_t block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = uint32_t(block[4 * i]) | uint32_t(block[4 * i + 1]) << 8 |
               uint32_t(block[4 * i + 2]) << 16 | uint32_t(block[4 * i + 3]) << 24;
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        int round = i / 16;
        uint32_t f;
        int k;
        switch (round) {
        case 0: f = (b & c) | (~b & d); k = i; break;
        case 1: f = (b & d) | (c & ~d); k = (5 * i + 1) & 15; break;
        case 2: f = b ^ c ^ d; k = (3 * i + 5) & 15; break;
        default: f = c ^ (b | ~d); k = (7 * i) & 15; break;
        }
        uint32_t rotated = rotl(a + f + kSine[i] + x[k], kShift[round][i & 3]);
        a = d;
        d = c;
        c = b;
        b += rotated;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void md5_init(Md5Context* ctx) {
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->bit_count = 0;
    std::memset(ctx->buffer, 0, sizeof ctx->buffer);
}

void md5_update(Md5Context* ctx, const void* data, size_t length) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t used = size_t(ctx->bit_count / 8 % 64);
    ctx->bit_count += uint64_t(length) * 8;
    if (used) {
        size_t take = 64 - used < length ? 64 - used : length;
        std::memcpy(ctx->buffer + used, p, take);
        used += take;
        p += take;
        length -= take;
        if (used < 64) return;
        transform(ctx->state, ctx->buffer);
    }
    for (; length >= 64; p += 64, length -= 64) transform(ctx->state, p);
    if (length) std::memcpy(ctx->buffer, p, length);
}

void md5_final(Md5Context* ctx, uint8_t digest[16]) {
    uint64_t bits = ctx->bit_count;
    // Pad with 0x80 and zeros to 56 bytes mod 64, then the bit count.
    uint8_t pad[72] = {0x80};
    size_t used = size_t(bits / 8 % 64);
    size_t pad_length = used < 56 ? 56 - used : 120 - used;
    uint8_t count[8];
    for (int i = 0; i < 8; ++i) count[i] = uint8_t(bits >> (8 * i));
    md5_update(ctx, pad, pad_length);
    md5_update(ctx, count, 8);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = uint8_t(ctx->state[i] >> (8 * j));
}
