// The cryptographic primitives over Windows CNG (bcrypt): BCryptHash for
// SHA-2, BCryptEncrypt and BCryptDecrypt on whole blocks for AES, and
// BCryptGenRandom. PKCS#7 padding and the holding back of partial blocks
// are done here, so that both directions behave exactly as the OpenSSL
// backend does, error codes included.
#include <windows.h>
#include <bcrypt.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "pdf/security/crypto.h"

struct CryptoAes {
    BCRYPT_KEY_HANDLE key;
    bool encrypt;
    bool padding;
    bool done;       // finished or failed: no more input
    uint64_t total;  // input bytes so far, for the length checks
    uint8_t iv[CRYPTO_AES_BLOCK];       // the chaining value, updated by CNG
    uint8_t held[CRYPTO_AES_BLOCK];     // input not yet passed on
    size_t held_length;
};

namespace {

// CNG takes ULONG lengths; larger inputs go in slices of whole blocks.
const size_t kSlice = size_t(1) << 30;

// Algorithm providers are opened once and never change after; opening one
// costs more than a whole AES-256 key derivation.
BCRYPT_ALG_HANDLE open_provider(const wchar_t* algorithm, const wchar_t* chaining) {
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&alg, algorithm, nullptr, 0))) return nullptr;
    if (chaining &&
        !BCRYPT_SUCCESS(BCryptSetProperty(alg, BCRYPT_CHAINING_MODE,
                                          reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(chaining)),
                                          ULONG((std::wcslen(chaining) + 1) * sizeof(wchar_t)), 0))) {
        BCryptCloseAlgorithmProvider(alg, 0);
        return nullptr;
    }
    return alg;
}

BCRYPT_ALG_HANDLE provider(int which) {
    static BCRYPT_ALG_HANDLE sha256 = open_provider(BCRYPT_SHA256_ALGORITHM, nullptr);
    static BCRYPT_ALG_HANDLE sha384 = open_provider(BCRYPT_SHA384_ALGORITHM, nullptr);
    static BCRYPT_ALG_HANDLE sha512 = open_provider(BCRYPT_SHA512_ALGORITHM, nullptr);
    static BCRYPT_ALG_HANDLE aes_cbc = open_provider(BCRYPT_AES_ALGORITHM, BCRYPT_CHAIN_MODE_CBC);
    static BCRYPT_ALG_HANDLE aes_ecb = open_provider(BCRYPT_AES_ALGORITHM, BCRYPT_CHAIN_MODE_ECB);
    switch (which) {
    case 256: return sha256;
    case 384: return sha384;
    case 512: return sha512;
    case 1: return aes_cbc;
    case 2: return aes_ecb;
    default: return nullptr;
    }
}

enum { AES_CBC = 1, AES_ECB = 2 };

int make_key(int mode, const uint8_t* key, size_t key_length, BCRYPT_KEY_HANDLE* out) {
    *out = nullptr;
    if (!key || (key_length != 16 && key_length != 32)) return CRYPTO_ERR_ARGUMENT;
    BCRYPT_ALG_HANDLE alg = provider(mode);
    if (!alg) return CRYPTO_ERR_BACKEND;
    return BCRYPT_SUCCESS(BCryptGenerateSymmetricKey(alg, out, nullptr, 0,
                                                     const_cast<PUCHAR>(key), ULONG(key_length), 0))
               ? CRYPTO_OK
               : CRYPTO_ERR_BACKEND;
}

// Whole blocks through the cipher, chaining through iv (null for ECB).
bool crypt_blocks(BCRYPT_KEY_HANDLE key, bool encrypt, uint8_t* iv, const uint8_t* in,
                  size_t length, uint8_t* out) {
    while (length > 0) {
        const size_t slice = length < kSlice ? length : kSlice;
        ULONG n = 0;
        PUCHAR input = const_cast<PUCHAR>(in);
        const ULONG iv_size = iv ? CRYPTO_AES_BLOCK : 0;
        const NTSTATUS status =
            encrypt ? BCryptEncrypt(key, input, ULONG(slice), nullptr, iv, iv_size, out,
                                    ULONG(slice), &n, 0)
                    : BCryptDecrypt(key, input, ULONG(slice), nullptr, iv, iv_size, out,
                                    ULONG(slice), &n, 0);
        if (!BCRYPT_SUCCESS(status) || n != slice) return false;
        in += slice;
        out += slice;
        length -= slice;
    }
    return true;
}

}  // namespace

int crypto_sha2(int bits, const void* data, size_t length, uint8_t* digest) {
    if ((bits != 256 && bits != 384 && bits != 512) || !digest || (!data && length > 0))
        return CRYPTO_ERR_ARGUMENT;
    BCRYPT_ALG_HANDLE alg = provider(bits);
    if (!alg || length > 0xFFFFFFFFu) return CRYPTO_ERR_BACKEND;
    static const uint8_t kNothing = 0;
    PUCHAR input = const_cast<PUCHAR>(static_cast<const uint8_t*>(data ? data : &kNothing));
    return BCRYPT_SUCCESS(BCryptHash(alg, nullptr, 0, input, ULONG(length), digest, ULONG(bits / 8)))
               ? CRYPTO_OK
               : CRYPTO_ERR_BACKEND;
}

int crypto_aes_cbc_begin(CryptoAes** ctx, bool encrypt, const uint8_t* key,
                         size_t key_length, const uint8_t iv[16], bool padding) {
    if (!ctx) return CRYPTO_ERR_ARGUMENT;
    *ctx = nullptr;
    if (!key || !iv || (key_length != 16 && key_length != 32)) return CRYPTO_ERR_ARGUMENT;
    CryptoAes* c = static_cast<CryptoAes*>(std::calloc(1, sizeof(CryptoAes)));
    if (!c) return CRYPTO_ERR_NO_MEMORY;
    const int status = make_key(AES_CBC, key, key_length, &c->key);
    if (status != CRYPTO_OK) {
        std::free(c);
        return status;
    }
    c->encrypt = encrypt;
    c->padding = padding;
    std::memcpy(c->iv, iv, CRYPTO_AES_BLOCK);
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
    ctx->total += length;
    const size_t available = ctx->held_length + length;
    // A padded decryption keeps its last whole block until the finish,
    // where the padding is checked and taken off.
    size_t keep = available % CRYPTO_AES_BLOCK;
    if (keep == 0 && available > 0 && !ctx->encrypt && ctx->padding) keep = CRYPTO_AES_BLOCK;
    size_t pass = available - keep;
    size_t written = 0;
    if (pass > 0 && ctx->held_length > 0) {
        const size_t fill = CRYPTO_AES_BLOCK - ctx->held_length;
        std::memcpy(ctx->held + ctx->held_length, in, fill);
        in += fill;
        length -= fill;
        ctx->held_length = 0;
        if (!crypt_blocks(ctx->key, ctx->encrypt, ctx->iv, ctx->held, CRYPTO_AES_BLOCK, out)) {
            ctx->done = true;
            return CRYPTO_ERR_BACKEND;
        }
        written = CRYPTO_AES_BLOCK;
        pass -= CRYPTO_AES_BLOCK;
    }
    if (pass > 0) {
        if (!crypt_blocks(ctx->key, ctx->encrypt, ctx->iv, in, pass, out + written)) {
            ctx->done = true;
            return CRYPTO_ERR_BACKEND;
        }
        written += pass;
        in += pass;
        length -= pass;
    }
    if (length > 0) std::memcpy(ctx->held + ctx->held_length, in, length);
    ctx->held_length += length;
    *out_length = written;
    return CRYPTO_OK;
}

int crypto_aes_cbc_finish(CryptoAes* ctx, uint8_t* out, size_t out_capacity,
                          size_t* out_length) {
    if (!ctx || !out_length) return CRYPTO_ERR_ARGUMENT;
    *out_length = 0;
    if (ctx->done) return CRYPTO_ERR_STATE;
    ctx->done = true;
    const bool whole = ctx->total % CRYPTO_AES_BLOCK == 0;
    if (!whole && (!ctx->encrypt || !ctx->padding)) return CRYPTO_ERR_LENGTH;
    if (!ctx->encrypt && ctx->padding && ctx->total == 0) return CRYPTO_ERR_LENGTH;
    if (!ctx->padding) return CRYPTO_OK;
    if (!out || out_capacity < CRYPTO_AES_BLOCK) return CRYPTO_ERR_SPACE;
    uint8_t block[CRYPTO_AES_BLOCK];
    if (ctx->encrypt) {
        const uint8_t pad = uint8_t(CRYPTO_AES_BLOCK - ctx->held_length);
        std::memcpy(block, ctx->held, ctx->held_length);
        std::memset(block + ctx->held_length, pad, pad);
        if (!crypt_blocks(ctx->key, true, ctx->iv, block, CRYPTO_AES_BLOCK, out))
            return CRYPTO_ERR_BACKEND;
        *out_length = CRYPTO_AES_BLOCK;
        return CRYPTO_OK;
    }
    if (!crypt_blocks(ctx->key, false, ctx->iv, ctx->held, CRYPTO_AES_BLOCK, block))
        return CRYPTO_ERR_BACKEND;
    const uint8_t pad = block[CRYPTO_AES_BLOCK - 1];
    bool valid = pad >= 1 && pad <= CRYPTO_AES_BLOCK;
    for (size_t i = CRYPTO_AES_BLOCK - (valid ? pad : 0); valid && i < CRYPTO_AES_BLOCK; ++i)
        valid = block[i] == pad;
    if (!valid) return CRYPTO_ERR_PADDING;
    *out_length = CRYPTO_AES_BLOCK - pad;
    std::memcpy(out, block, *out_length);
    return CRYPTO_OK;
}

void crypto_aes_free(CryptoAes* ctx) {
    if (!ctx) return;
    if (ctx->key) BCryptDestroyKey(ctx->key);
    // The held block is plain text.
    crypto_wipe(ctx, sizeof *ctx);
    std::free(ctx);
}

int crypto_aes_ecb_block(bool encrypt, const uint8_t* key, size_t key_length,
                         const uint8_t in[16], uint8_t out[16]) {
    if (!in || !out) return CRYPTO_ERR_ARGUMENT;
    BCRYPT_KEY_HANDLE handle = nullptr;
    const int status = make_key(AES_ECB, key, key_length, &handle);
    if (status != CRYPTO_OK) return status;
    uint8_t block[CRYPTO_AES_BLOCK];
    const bool ok = crypt_blocks(handle, encrypt, nullptr, in, CRYPTO_AES_BLOCK, block);
    BCryptDestroyKey(handle);
    if (!ok) return CRYPTO_ERR_BACKEND;
    std::memcpy(out, block, CRYPTO_AES_BLOCK);
    return CRYPTO_OK;
}

const char* crypto_unavailable() { return nullptr; }

int crypto_system_random(uint8_t* out, size_t length) {
    if (!out && length > 0) return CRYPTO_ERR_ARGUMENT;
    while (length > 0) {
        const ULONG slice = length < kSlice ? ULONG(length) : ULONG(kSlice);
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out, slice, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return CRYPTO_ERR_BACKEND;
        out += slice;
        length -= slice;
    }
    return CRYPTO_OK;
}
