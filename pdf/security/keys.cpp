// Keys of the Standard security handler up to revision 4: the MD5-based
// file key, /O and /U by RC4 (ISO 32000-1 7.6.3, algorithms 1 to 7), the
// per-object key (with the AES salt of revision 4), and /P.
#include <cstring>

#include "pdf/security/crypto.h"
#include "pdf/security/security.h"

namespace {

// Every buffer here that held a password or a key is wiped before it goes
// out of scope.

// Fixed padding of the Standard security handler.
const uint8_t kPadding[32] = {
    0x28, 0xBF, 0x4E, 0x5E, 0x4E, 0x75, 0x8A, 0x41, 0x64, 0x00, 0x4E,
    0x56, 0xFF, 0xFA, 0x01, 0x08, 0x2E, 0x2E, 0x00, 0xB6, 0xD0, 0x68,
    0x3E, 0x80, 0x2F, 0x0C, 0xA9, 0xFE, 0x64, 0x53, 0x69, 0x7A,
};

void md5_once(const void* data, size_t length, uint8_t digest[16]) {
    Md5Context ctx;
    md5_init(&ctx);
    md5_update(&ctx, data, length);
    md5_final(&ctx, digest);
    crypto_wipe(&ctx, sizeof ctx);
}

void rc4_once(const uint8_t* key, size_t key_length, uint8_t* buffer, size_t length) {
    Rc4State st;
    rc4_init(&st, key, key_length);
    rc4_crypt(&st, buffer, length);
    crypto_wipe(&st, sizeof st);
}

// From revision 3 on, 19 more passes follow, keyed by the key XOR the pass
// number; decrypting runs the 20 passes backwards.
void rc4_passes(const uint8_t* key, size_t key_length, int32_t r, bool decrypt,
                uint8_t* buffer, size_t length) {
    if (r < 3) {
        rc4_once(key, key_length, buffer, length);
        return;
    }
    uint8_t pass_key[16];
    for (int k = 0; k < 20; ++k) {
        int i = decrypt ? 19 - k : k;
        for (size_t b = 0; b < key_length; ++b) pass_key[b] = uint8_t(key[b] ^ i);
        rc4_once(pass_key, key_length, buffer, length);
    }
    crypto_wipe(pass_key, sizeof pass_key);
}

bool dict_valid(const SecMd5Dict* d) {
    if (!d) return false;
    if (d->r == 2) return d->key_length == 5;
    return (d->r == 3 || d->r == 4) && d->key_length >= 5 && d->key_length <= 16;
}

// RC4 key that encrypts /O, from the owner password (algorithm 3, a to d).
void owner_rc4_key(const char* owner, const SecMd5Dict* d, uint8_t key[16]) {
    uint8_t padded[32];
    sec_pad_password(owner, padded);
    md5_once(padded, sizeof padded, key);
    crypto_wipe(padded, sizeof padded);
    if (d->r >= 3)
        for (int k = 0; k < 50; ++k) md5_once(key, 16, key);
}

// Algorithm 2: the file key from a padded user password.
void file_key(const uint8_t padded_user[32], const SecMd5Dict* d, uint8_t key[16]) {
    uint32_t p = uint32_t(d->p);
    const uint8_t p_bytes[4] = {uint8_t(p), uint8_t(p >> 8), uint8_t(p >> 16),
                                uint8_t(p >> 24)};
    Md5Context ctx;
    md5_init(&ctx);
    md5_update(&ctx, padded_user, 32);
    md5_update(&ctx, d->o, 32);
    md5_update(&ctx, p_bytes, 4);
    md5_update(&ctx, d->file_id, 16);
    uint8_t digest[16];
    md5_final(&ctx, digest);
    crypto_wipe(&ctx, sizeof ctx);
    size_t n = size_t(d->key_length);
    if (d->r >= 3)
        for (int k = 0; k < 50; ++k) md5_once(digest, n, digest);
    std::memset(key, 0, 16);
    std::memcpy(key, digest, n);
    crypto_wipe(digest, sizeof digest);
}

// Algorithms 4 and 5: /U from the file key. Revision 3 and later fill the
// last 16 bytes with the padding string's.
void user_value(const uint8_t key[16], const SecMd5Dict* d, uint8_t u[32]) {
    size_t n = size_t(d->key_length);
    if (d->r < 3) {
        std::memcpy(u, kPadding, 32);
        rc4_once(key, n, u, 32);
        return;
    }
    Md5Context ctx;
    md5_init(&ctx);
    md5_update(&ctx, kPadding, 32);
    md5_update(&ctx, d->file_id, 16);
    md5_final(&ctx, u);
    rc4_passes(key, n, d->r, false, u, 16);
    std::memcpy(u + 16, kPadding + 16, 16);
}

// Algorithms 6 and 7 end alike: the padded user password must reproduce /U,
// whose last 16 bytes are arbitrary from revision 3 on.
int open_with(const uint8_t padded_user[32], const SecMd5Dict* d, uint8_t key[16]) {
    uint8_t u[32];
    file_key(padded_user, d, key);
    user_value(key, d, u);
    if (std::memcmp(u, d->u, d->r < 3 ? 32 : 16) != 0) {
        std::memset(key, 0, 16);
        return SEC_ERR_PASSWORD;
    }
    return SEC_OK;
}

}  // namespace

void sec_pad_password(const char* password, uint8_t out[32]) {
    size_t n = 0;
    if (password) {
        while (n < 32 && password[n] != '\0') ++n;
        std::memcpy(out, password, n);
    }
    std::memcpy(out + n, kPadding, 32 - n);
}

int sec_md5_make(SecMd5Dict* d, const char* owner, const char* user, uint8_t key[16]) {
    if (!dict_valid(d) || !key) return SEC_ERR_ARGUMENT;
    uint8_t rc4_key[16];
    owner_rc4_key(owner && owner[0] ? owner : user, d, rc4_key);
    sec_pad_password(user, d->o);
    rc4_passes(rc4_key, size_t(d->key_length), d->r, false, d->o, 32);
    uint8_t padded_user[32];
    sec_pad_password(user, padded_user);
    file_key(padded_user, d, key);
    user_value(key, d, d->u);
    crypto_wipe(rc4_key, sizeof rc4_key);
    crypto_wipe(padded_user, sizeof padded_user);
    return SEC_OK;
}

int sec_md5_user_key(const SecMd5Dict* d, const char* user, uint8_t key[16]) {
    if (!dict_valid(d) || !key) return SEC_ERR_ARGUMENT;
    uint8_t padded_user[32];
    sec_pad_password(user, padded_user);
    const int status = open_with(padded_user, d, key);
    crypto_wipe(padded_user, sizeof padded_user);
    return status;
}

int sec_md5_owner_key(const SecMd5Dict* d, const char* owner, uint8_t key[16]) {
    if (!dict_valid(d) || !key) return SEC_ERR_ARGUMENT;
    uint8_t rc4_key[16], padded_user[32];
    owner_rc4_key(owner, d, rc4_key);
    std::memcpy(padded_user, d->o, 32);
    rc4_passes(rc4_key, size_t(d->key_length), d->r, true, padded_user, 32);
    const int status = open_with(padded_user, d, key);
    crypto_wipe(rc4_key, sizeof rc4_key);
    crypto_wipe(padded_user, sizeof padded_user);
    return status;
}

size_t sec_object_key(const uint8_t* file_key, size_t key_length, int32_t number,
                      uint16_t generation, bool aes, uint8_t object_key[16]) {
    if (!file_key || !object_key || key_length == 0 || key_length > 16) return 0;
    uint8_t material[16 + 5 + 4];
    std::memcpy(material, file_key, key_length);
    uint32_t num = uint32_t(number);
    uint8_t* at = material + key_length;
    *at++ = uint8_t(num);
    *at++ = uint8_t(num >> 8);
    *at++ = uint8_t(num >> 16);
    *at++ = uint8_t(generation);
    *at++ = uint8_t(generation >> 8);
    if (aes) {
        std::memcpy(at, "sAlT", 4);
        at += 4;
    }
    md5_once(material, size_t(at - material), object_key);
    crypto_wipe(material, sizeof material);
    return key_length + 5 < 16 ? key_length + 5 : 16;
}

int32_t sec_permissions(int32_t r, int32_t allow) {
    if (r != 2 && r != 3 && r != 4 && r != 6) return 0;
    uint32_t p = 0xFFFFF0C0u;  // bits 7-8 and 13-32
    if (allow & SEC_ALLOW_PRINT) p |= 0x04;
    if (allow & SEC_ALLOW_MODIFY) p |= 0x08;
    if (allow & SEC_ALLOW_COPY) p |= 0x10;
    if (allow & SEC_ALLOW_ANNOTATE) p |= 0x20;
    if (r <= 3) return int32_t(p | 0xF00u);
    p |= 0x200;
    if (allow & SEC_ALLOW_ANNOTATE) p |= 0x100;
    if (allow & SEC_ALLOW_MODIFY) p |= 0x400;
    if (allow & SEC_ALLOW_PRINT) p |= 0x800;
    return int32_t(p);
}
