// What the crypto boundary builds from its own calls, the same on every
// platform: one-shot CBC over a pass, and wiping.
#include "pdf/security/crypto.h"

#include <cstring>

#include "platform/platform.h"

namespace {

// update may write straight into out while out keeps a block to spare
// beyond its input; the last one or two blocks go through scratch.
int cbc_once(bool encrypt, const uint8_t* key, size_t key_length, const uint8_t iv[16],
             bool padding, const uint8_t* in, size_t length, uint8_t* out,
             size_t out_capacity, size_t* out_length) {
    if (!out_length || (!in && length > 0)) return CRYPTO_ERR_ARGUMENT;
    *out_length = 0;
    const size_t need = encrypt && padding ? (length / CRYPTO_AES_BLOCK + 1) * CRYPTO_AES_BLOCK
                                           : length;
    if (need > 0 && !out) return CRYPTO_ERR_ARGUMENT;
    if (out_capacity < need) return CRYPTO_ERR_SPACE;
    CryptoAes* ctx = nullptr;
    int status = crypto_aes_cbc_begin(&ctx, encrypt, key, key_length, iv, padding);
    if (status != CRYPTO_OK) return status;
    const size_t direct =
        length > CRYPTO_AES_BLOCK ? (length - CRYPTO_AES_BLOCK) / CRYPTO_AES_BLOCK * CRYPTO_AES_BLOCK
                                  : 0;
    size_t written = 0, n = 0;
    if (direct > 0) {
        status = crypto_aes_cbc_update(ctx, in, direct, out, out_capacity, &n);
        written = n;
    }
    uint8_t scratch[3 * CRYPTO_AES_BLOCK];
    if (status == CRYPTO_OK) {
        status = crypto_aes_cbc_update(ctx, in + direct, length - direct, scratch, sizeof scratch, &n);
        if (status == CRYPTO_OK && n > 0) std::memcpy(out + written, scratch, n);
        written += n;
    }
    size_t tail = 0;
    if (status == CRYPTO_OK) status = crypto_aes_cbc_finish(ctx, scratch, sizeof scratch, &tail);
    crypto_aes_free(ctx);
    if (status == CRYPTO_OK && tail > 0) std::memcpy(out + written, scratch, tail);
    crypto_wipe(scratch, sizeof scratch);
    if (status != CRYPTO_OK) return status;
    *out_length = written + tail;
    return CRYPTO_OK;
}

}  // namespace

int crypto_aes_cbc_encrypt(const uint8_t* key, size_t key_length, const uint8_t iv[16],
                           bool padding, const uint8_t* in, size_t length, uint8_t* out,
                           size_t out_capacity, size_t* out_length) {
    return cbc_once(true, key, key_length, iv, padding, in, length, out, out_capacity,
                    out_length);
}

int crypto_aes_cbc_decrypt(const uint8_t* key, size_t key_length, const uint8_t iv[16],
                           bool padding, const uint8_t* in, size_t length, uint8_t* out,
                           size_t out_capacity, size_t* out_length) {
    return cbc_once(false, key, key_length, iv, padding, in, length, out, out_capacity,
                    out_length);
}

void crypto_wipe(void* p, size_t length) { plat_wipe(p, length); }
