// MD5 (RFC 1321) and RC4: the primitives of the document digest and the
// Standard security handler.
#ifndef TARVO_SECURITY_H
#define TARVO_SECURITY_H

#include <cstddef>
#include <cstdint>

struct Md5Context {
    uint32_t state[4];
    uint64_t bit_count;
    uint8_t buffer[64];
};

void md5_init(Md5Context* ctx);
void md5_update(Md5Context* ctx, const void* data, size_t length);
void md5_final(Md5Context* ctx, uint8_t digest[16]);

struct Rc4State {
    uint8_t s[256];
    uint8_t i;
    uint8_t j;
};

// Key of 1 to 16 bytes (any length from 1 to 256 works).
void rc4_init(Rc4State* st, const uint8_t* key, size_t key_length);
// XORs the keystream over the buffer in place.
void rc4_crypt(Rc4State* st, uint8_t* buffer, size_t length);

#endif
