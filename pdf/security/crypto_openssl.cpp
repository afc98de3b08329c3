// The cryptographic primitives over OpenSSL's libcrypto, through EVP only.
// libcrypto is mapped by the first call that needs it: a run that does not
// encrypt then starts without loading and relocating it.
#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstdio>
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

struct Libcrypto {
    bool loaded;
    char problem[320];
    decltype(&EVP_CIPHER_CTX_new) ctx_new;
    decltype(&EVP_CIPHER_CTX_free) ctx_free;
    decltype(&EVP_CIPHER_CTX_set_padding) set_padding;
    decltype(&EVP_CipherInit_ex) init;
    decltype(&EVP_CipherUpdate) update;
    decltype(&EVP_CipherFinal_ex) final;
    decltype(&EVP_Digest) digest;
    decltype(&EVP_aes_128_cbc) aes_128_cbc;
    decltype(&EVP_aes_256_cbc) aes_256_cbc;
    decltype(&EVP_aes_128_ecb) aes_128_ecb;
    decltype(&EVP_aes_256_ecb) aes_256_ecb;
    decltype(&EVP_sha256) sha256;
    decltype(&EVP_sha384) sha384;
    decltype(&EVP_sha512) sha512;
    decltype(&RAND_bytes) rand_bytes;
};

template <typename F>
bool bind(void* handle, const char* name, F* slot) {
    *slot = reinterpret_cast<F>(dlsym(handle, name));
    return *slot != nullptr;
}

Libcrypto load_libcrypto() {
    Libcrypto l{};
    void* h = dlopen(TARVO_LIBCRYPTO_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* why = dlerror();
        std::snprintf(l.problem, sizeof l.problem, "OpenSSL's libcrypto cannot be loaded (%s)",
                      why ? why : TARVO_LIBCRYPTO_SONAME);
        return l;
    }
    // The handle stays open for the process: the calls may come from any thread.
    l.loaded = bind(h, "EVP_CIPHER_CTX_new", &l.ctx_new) &&
               bind(h, "EVP_CIPHER_CTX_free", &l.ctx_free) &&
               bind(h, "EVP_CIPHER_CTX_set_padding", &l.set_padding) &&
               bind(h, "EVP_CipherInit_ex", &l.init) &&
               bind(h, "EVP_CipherUpdate", &l.update) &&
               bind(h, "EVP_CipherFinal_ex", &l.final) &&
               bind(h, "EVP_Digest", &l.digest) &&
               bind(h, "EVP_aes_128_cbc", &l.aes_128_cbc) &&
               bind(h, "EVP_aes_256_cbc", &l.aes_256_cbc) &&
               bind(h, "EVP_aes_128_ecb", &l.aes_128_ecb) &&
               bind(h, "EVP_aes_256_ecb", &l.aes_256_ecb) &&
               bind(h, "EVP_sha256", &l.sha256) &&
               bind(h, "EVP_sha384", &l.sha384) &&
               bind(h, "EVP_sha512", &l.sha512) &&
               bind(h, "RAND_bytes", &l.rand_bytes);
    if (!l.loaded)
        std::snprintf(l.problem, sizeof l.problem,
                      "OpenSSL's libcrypto (" TARVO_LIBCRYPTO_SONAME ") lacks a call it needs");
    return l;
}

const Libcrypto& libcrypto() {
    static const Libcrypto l = load_libcrypto();
    return l;
}

// Null when libcrypto cannot be loaded; callers report the backend's failure.
const Libcrypto* lib() { return libcrypto().loaded ? &libcrypto() : nullptr; }

const EVP_CIPHER* cbc_cipher(size_t key_length) {
    if (key_length == 16) return lib()->aes_128_cbc();
    if (key_length == 32) return lib()->aes_256_cbc();
    return nullptr;
}

// EVP takes int lengths; larger inputs are fed in slices of this size,
// a whole number of blocks.
const size_t kSlice = size_t(1) << 30;

}  // namespace

int crypto_sha2(int bits, const void* data, size_t length, uint8_t* digest) {
    if ((bits != 256 && bits != 384 && bits != 512) || !digest || (!data && length > 0))
        return CRYPTO_ERR_ARGUMENT;
    const Libcrypto* c = lib();
    if (!c) return CRYPTO_ERR_BACKEND;
    const EVP_MD* md = bits == 256 ? c->sha256() : bits == 384 ? c->sha384() : c->sha512();
    static const uint8_t kNothing = 0;
    return c->digest(data ? data : &kNothing, length, digest, nullptr, md, nullptr) == 1
               ? CRYPTO_OK
               : CRYPTO_ERR_BACKEND;
}

int crypto_aes_cbc_begin(CryptoAes** ctx, bool encrypt, const uint8_t* key,
                         size_t key_length, const uint8_t iv[16], bool padding) {
    if (!ctx) return CRYPTO_ERR_ARGUMENT;
    *ctx = nullptr;
    if ((key_length != 16 && key_length != 32) || !key || !iv) return CRYPTO_ERR_ARGUMENT;
    if (!lib()) return CRYPTO_ERR_BACKEND;
    const EVP_CIPHER* cipher = cbc_cipher(key_length);
    CryptoAes* c = static_cast<CryptoAes*>(std::calloc(1, sizeof(CryptoAes)));
    if (!c) return CRYPTO_ERR_NO_MEMORY;
    c->evp = lib()->ctx_new();
    if (!c->evp) {
        std::free(c);
        return CRYPTO_ERR_NO_MEMORY;
    }
    if (lib()->init(c->evp, cipher, nullptr, key, iv, encrypt ? 1 : 0) != 1 ||
        lib()->set_padding(c->evp, padding ? 1 : 0) != 1) {
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
        if (lib()->update(ctx->evp, out + written, &n, in, int(slice)) != 1) {
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
    if (lib()->final(ctx->evp, ctx->padding ? out : scratch, &n) != 1)
        return ctx->encrypt ? CRYPTO_ERR_BACKEND : CRYPTO_ERR_PADDING;
    *out_length = size_t(n);
    return CRYPTO_OK;
}

void crypto_aes_free(CryptoAes* ctx) {
    if (!ctx) return;
    lib()->ctx_free(ctx->evp);
    std::free(ctx);
}

int crypto_aes_ecb_block(bool encrypt, const uint8_t* key, size_t key_length,
                         const uint8_t in[16], uint8_t out[16]) {
    if ((key_length != 16 && key_length != 32) || !key || !in || !out)
        return CRYPTO_ERR_ARGUMENT;
    const Libcrypto* c = lib();
    if (!c) return CRYPTO_ERR_BACKEND;
    const EVP_CIPHER* cipher = key_length == 16 ? c->aes_128_ecb() : c->aes_256_ecb();
    EVP_CIPHER_CTX* evp = c->ctx_new();
    if (!evp) return CRYPTO_ERR_NO_MEMORY;
    uint8_t block[CRYPTO_AES_BLOCK];
    int n = 0, tail = 0;
    bool ok = c->init(evp, cipher, nullptr, key, nullptr, encrypt ? 1 : 0) == 1 &&
              c->set_padding(evp, 0) == 1 &&
              c->update(evp, block, &n, in, CRYPTO_AES_BLOCK) == 1 &&
              c->final(evp, block + n, &tail) == 1 &&
              n + tail == CRYPTO_AES_BLOCK;
    c->ctx_free(evp);
    if (!ok) return CRYPTO_ERR_BACKEND;
    std::memcpy(out, block, CRYPTO_AES_BLOCK);
    return CRYPTO_OK;
}

const char* crypto_unavailable() { return lib() ? nullptr : libcrypto().problem; }

int crypto_system_random(uint8_t* out, size_t length) {
    if (!out && length > 0) return CRYPTO_ERR_ARGUMENT;
    if (length == 0) return CRYPTO_OK;
    const Libcrypto* c = lib();
    if (!c) return CRYPTO_ERR_BACKEND;
    while (length > 0) {
        int slice = length < size_t(INT_MAX) ? int(length) : INT_MAX;
        if (c->rand_bytes(out, slice) != 1) return CRYPTO_ERR_BACKEND;
        out += slice;
        length -= size_t(slice);
    }
    return CRYPTO_OK;
}
