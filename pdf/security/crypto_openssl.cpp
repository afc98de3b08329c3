// The cryptographic primitives over OpenSSL's libcrypto, through EVP only.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "pdf/security/crypto.h"

struct CryptoAes {
    EVP_CIPHER_CTX* evp;
    bool encrypt;
    bool padding;
    bool done;       // finished or failed: no more input
    uint64_t total;  // input bytes so far, for the length checks
};

namespace {

const EVP_CIPHER* cbc_cipher(size_t key_length) {
    if (key_length == 16) return EVP_aes_128_cbc();
    if (key_length == 32) return EVP_aes_256_cbc();
    return nullptr;
}

// EVP takes int lengths; larger inputs are fed in slices of this size,
// a whole number of blocks.
const size_t kSlice = size_t(1) << 30;

}  // namespace

int crypto_sha2(int bits, const void* data, size_t length, uint8_t* digest) {
    const EVP_MD* md = bits == 256 ? EVP_sha256() : bits == 384 ? EVP_sha384()
                     : bits == 512 ? EVP_sha512() : nullptr;
    if (!md || !digest || (!data && length > 0)) return CRYPTO_ERR_ARGUMENT;
    static const uint8_t kNothing = 0;
    return EVP_Digest(data ? data : &kNothing, length, digest, nullptr, md, nullptr) == 1
               ? CRYPTO_OK
               : CRYPTO_ERR_BACKEND;
}

int crypto_aes_cbc_begin(CryptoAes** ctx, bool encrypt, const uint8_t* key,
                         size_t key_length, const uint8_t iv[16], bool padding) {
    if (!ctx) return CRYPTO_ERR_ARGUMENT;
    *ctx = nullptr;
    const EVP_CIPHER* cipher = cbc_cipher(key_length);
    if (!cipher || !key || !iv) return CRYPTO_ERR_ARGUMENT;
    CryptoAes* c = static_cast<CryptoAes*>(std::calloc(1, sizeof(CryptoAes)));
    if (!c) return CRYPTO_ERR_NO_MEMORY;
    c->evp = EVP_CIPHER_CTX_new();
    if (!c->evp) {
        std::free(c);
        return CRYPTO_ERR_NO_MEMORY;
    }
    if (EVP_CipherInit_ex(c->evp, cipher, nullptr, key, iv, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(c->evp, padding ? 1 : 0) != 1) {
        crypto_aes_free(c);
        return CRYPTO_ERR_BACKEND;
    }
    c->encrypt = encrypt;
    c->padding = padding;
    *ctx = c;
    return CRYPTO_OK;
}

int crypto_aes_cbc_update(CryptoAes* ctx, const uint8_t* in, size_t length,
                          uint8_t* out, size_t out_capacity, size_t* out_length) {
    if (!ctx || !out_length || (!in && length > 0) || !out) return CRYPTO_ERR_ARGUMENT;
    *out_length = 0;
    if (ctx->done) return CRYPTO_ERR_STATE;
    if (out_capacity < length || out_capacity - length < CRYPTO_AES_BLOCK) {
        ctx->done = true;
        return CRYPTO_ERR_SPACE;
    }
    size_t written = 0;
    while (length > 0) {
        size_t slice = length < kSlice ? length : kSlice;
        int n = 0;
        if (EVP_CipherUpdate(ctx->evp, out + written, &n, in, int(slice)) != 1) {
            ctx->done = true;
            return CRYPTO_ERR_BACKEND;
        }
        written += size_t(n);
        in += slice;
        length -= slice;
        ctx->total += slice;
    }
    *out_length = written;
    return CRYPTO_OK;
}

int crypto_aes_cbc_finish(CryptoAes* ctx, uint8_t* out, size_t out_capacity,
                          size_t* out_length) {
    if (!ctx || !out_length) return CRYPTO_ERR_ARGUMENT;
    *out_length = 0;
    if (ctx->done) return CRYPTO_ERR_STATE;
    ctx->done = true;
    bool whole = ctx->total % CRYPTO_AES_BLOCK == 0;
    if (!whole && (!ctx->encrypt || !ctx->padding)) return CRYPTO_ERR_LENGTH;
    if (!ctx->encrypt && ctx->padding && ctx->total == 0) return CRYPTO_ERR_LENGTH;
    // Only padded passes write here; an unpadded one may pass no buffer.
    uint8_t scratch[CRYPTO_AES_BLOCK] = {0};
    if (ctx->padding && (!out || out_capacity < CRYPTO_AES_BLOCK)) return CRYPTO_ERR_SPACE;
    int n = 0;
    if (EVP_CipherFinal_ex(ctx->evp, ctx->padding ? out : scratch, &n) != 1)
        return ctx->encrypt ? CRYPTO_ERR_BACKEND : CRYPTO_ERR_PADDING;
    *out_length = size_t(n);
    return CRYPTO_OK;
}

void crypto_aes_free(CryptoAes* ctx) {
    if (!ctx) return;
    EVP_CIPHER_CTX_free(ctx->evp);
    std::free(ctx);
}

int crypto_aes_ecb_block(bool encrypt, const uint8_t* key, size_t key_length,
                         const uint8_t in[16], uint8_t out[16]) {
    const EVP_CIPHER* cipher = key_length == 16 ? EVP_aes_128_ecb()
                             : key_length == 32 ? EVP_aes_256_ecb() : nullptr;
    if (!cipher || !key || !in || !out) return CRYPTO_ERR_ARGUMENT;
    EVP_CIPHER_CTX* evp = EVP_CIPHER_CTX_new();
    if (!evp) return CRYPTO_ERR_NO_MEMORY;
    uint8_t block[CRYPTO_AES_BLOCK];
    int n = 0, tail = 0;
    bool ok = EVP_CipherInit_ex(evp, cipher, nullptr, key, nullptr, encrypt ? 1 : 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(evp, 0) == 1 &&
              EVP_CipherUpdate(evp, block, &n, in, CRYPTO_AES_BLOCK) == 1 &&
              EVP_CipherFinal_ex(evp, block + n, &tail) == 1 &&
              n + tail == CRYPTO_AES_BLOCK;
    EVP_CIPHER_CTX_free(evp);
    if (!ok) return CRYPTO_ERR_BACKEND;
    std::memcpy(out, block, CRYPTO_AES_BLOCK);
    return CRYPTO_OK;
}

void crypto_wipe(void* p, size_t length) {
    if (p && length > 0) OPENSSL_cleanse(p, length);
}

int crypto_system_random(uint8_t* out, size_t length) {
    if (!out && length > 0) return CRYPTO_ERR_ARGUMENT;
    while (length > 0) {
        int slice = length < size_t(INT_MAX) ? int(length) : INT_MAX;
        if (RAND_bytes(out, slice) != 1) return CRYPTO_ERR_BACKEND;
        out += slice;
        length -= size_t(slice);
    }
    return CRYPTO_OK;
}
