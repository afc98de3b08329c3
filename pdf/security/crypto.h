// Cryptographic primitives taken from the platform: SHA-2 digests, AES in
// CBC and ECB mode, and random bytes. This header is the whole boundary:
// one source file implements it per platform (crypto_openssl.cpp on Linux,
// over libcrypto's EVP calls; crypto_cng.cpp on Windows, over CNG), so the
// handler code above it never sees the library. The one-shot CBC calls are
// built once over the piecewise ones (crypto.cpp). MD5 and RC4 are our own and
// live in security.h.
//
// Every call returns CRYPTO_OK or a negative CRYPTO_ERR_* code and frees
// whatever it allocated on every path. Nothing here keeps global state
// that changes (the CNG backend opens its algorithm providers once), so
// calls on different contexts may run on different threads.
#ifndef TARVO_CRYPTO_H
#define TARVO_CRYPTO_H

#include <cstddef>
#include <cstdint>

enum {
    CRYPTO_OK = 0,
    CRYPTO_ERR_ARGUMENT = -1,  // null pointer, unknown digest, key not 16 or 32 bytes
    CRYPTO_ERR_BACKEND = -2,   // the library refused the operation
    CRYPTO_ERR_NO_MEMORY = -3,
    CRYPTO_ERR_SPACE = -4,     // the output buffer is too small
    CRYPTO_ERR_LENGTH = -5,    // input is not whole blocks where it must be
    CRYPTO_ERR_PADDING = -6,   // decrypted data ends in invalid PKCS#7 padding
    CRYPTO_ERR_STATE = -7,     // the context has finished or failed before
};

enum { CRYPTO_AES_BLOCK = 16 };

// ---------------------------------------------------------------------------
// SHA-2 (FIPS 180-4)

// Digest of length bytes at data with SHA-256, SHA-384 or SHA-512 (bits =
// 256, 384 or 512) into digest, which holds bits / 8 bytes. data may be null
// when length is 0.
int crypto_sha2(int bits, const void* data, size_t length, uint8_t* digest);

// ---------------------------------------------------------------------------
// AES (FIPS 197) in CBC mode (SP 800-38A), keys of 16 or 32 bytes

struct CryptoAes;  // one CBC pass, encrypting or decrypting

// Starts a pass with the key and 16-byte IV. With padding, encryption adds
// PKCS#7 padding at the end (1 to 16 bytes, so the output is the input
// rounded up to the next whole block) and decryption checks and removes it;
// without, the total input must be whole blocks. *ctx is null on failure.
int crypto_aes_cbc_begin(CryptoAes** ctx, bool encrypt, const uint8_t* key,
                         size_t key_length, const uint8_t iv[16], bool padding);

// Feeds length bytes (any chunking gives the same result) and writes the
// blocks completed so far to out, *out_length bytes. out must not overlap
// in and must hold length + CRYPTO_AES_BLOCK bytes (CRYPTO_ERR_SPACE
// otherwise): a partial block, and when decrypting with padding the last
// whole block, are held back until the next call or the finish.
int crypto_aes_cbc_update(CryptoAes* ctx, const uint8_t* in, size_t length,
                          uint8_t* out, size_t out_capacity, size_t* out_length);

// Ends the pass: writes what was held back (with padding: 16 bytes when
// encrypting, 0 to 15 when decrypting; without: nothing) to out, which
// holds CRYPTO_AES_BLOCK bytes. CRYPTO_ERR_LENGTH when the input was not
// whole blocks (without padding, or any decryption), CRYPTO_ERR_PADDING
// when decryption found bad padding. Any failure in update or finish ends
// the pass: later calls return CRYPTO_ERR_STATE.
int crypto_aes_cbc_finish(CryptoAes* ctx, uint8_t* out, size_t out_capacity,
                          size_t* out_length);

// Frees the context; null is accepted.
void crypto_aes_free(CryptoAes* ctx);

// One-shot CBC: the whole input at once into out. Encryption with padding
// needs (length / 16 + 1) * 16 bytes of capacity, without padding length;
// decryption needs length.
int crypto_aes_cbc_encrypt(const uint8_t* key, size_t key_length, const uint8_t iv[16],
                           bool padding, const uint8_t* in, size_t length, uint8_t* out,
                           size_t out_capacity, size_t* out_length);
int crypto_aes_cbc_decrypt(const uint8_t* key, size_t key_length, const uint8_t iv[16],
                           bool padding, const uint8_t* in, size_t length, uint8_t* out,
                           size_t out_capacity, size_t* out_length);

// One block in ECB mode, encrypting or decrypting; in and out may be the
// same block.
int crypto_aes_ecb_block(bool encrypt, const uint8_t* key, size_t key_length,
                         const uint8_t in[16], uint8_t out[16]);

// ---------------------------------------------------------------------------
// Wiping

// Overwrites length bytes at p with zeros in a way the compiler may not
// leave out (plat_wipe): for passwords, keys and the scratch they passed
// through. Accepts null with length 0.
void crypto_wipe(void* p, size_t length);

// Null when the primitives can be used in this process; otherwise why not
// (the library that holds them cannot be loaded), for the error line.
const char* crypto_unavailable();

// ---------------------------------------------------------------------------
// Random bytes

// length bytes from the operating system's generator (seeded by the
// system, suitable for keys).
int crypto_system_random(uint8_t* out, size_t length);

// A random source that is either the system generator or, once seeded, a
// deterministic generator, so that a reproducible run can make the same
// keys, salts and IVs every time. Plain data: copy it to fork the stream.
//
// The deterministic generator: K = SHA-256(seed); block i (i = 0, 1, ...)
// is SHA-256(K || i as 8 bytes, most significant first); the output is the
// concatenation of the blocks. Every request takes the next bytes of that
// stream, so the result does not depend on how requests are split. Its
// output is exactly as secret as the seed: a fixed seed is for tests and
// reproducible builds, not for protecting documents.
struct CryptoRandom {
    int seeded;          // 0: system generator
    uint8_t key[32];     // K
    uint64_t counter;    // index of the next block
    uint8_t pool[32];    // current block
    uint32_t pool_left;  // its unused bytes, at the end of pool
};

// The system generator.
void crypto_random_init(CryptoRandom* rng);
// Switches to the deterministic generator started from length bytes of seed
// (any bytes, any length, 0 included); seeding again restarts the stream.
int crypto_random_seed(CryptoRandom* rng, const void* seed, size_t length);
// length bytes from rng; a null rng is the system generator.
int crypto_random_bytes(CryptoRandom* rng, uint8_t* out, size_t length);

#endif
