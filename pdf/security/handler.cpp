// Standard security handler, revisions 2 (RC4 40-bit) and 3 (RC4 128-bit):
// the O and U values, the file key, and per-object encryption of strings and
// streams (PDF 1.4 reference, algorithms 3.1 to 3.7).
#include <cstdio>
#include <cstring>

#include "pdf/pdfw_private.h"

namespace {

// Fixed padding of the Standard security handler.
const uint8_t kPadding[32] = {
    0x28, 0xBF, 0x4E, 0x5E, 0x4E, 0x75, 0x8A, 0x41, 0x64, 0x00, 0x4E,
    0x56, 0xFF, 0xFA, 0x01, 0x08, 0x2E, 0x2E, 0x00, 0xB6, 0xD0, 0x68,
    0x3E, 0x80, 0x2F, 0x0C, 0xA9, 0xFE, 0x64, 0x53, 0x69, 0x7A,
};

// Password bytes up to the NUL, cut to 32 or completed from the padding.
void pad_password(const char* password, uint8_t out[32]) {
    size_t n = 0;
    if (password) {
        while (n < 32 && password[n] != '\0') ++n;
        std::memcpy(out, password, n);
    }
    std::memcpy(out + n, kPadding, 32 - n);
}

void md5_once(const void* data, size_t length, uint8_t digest[16]) {
    Md5Context ctx;
    md5_init(&ctx);
    md5_update(&ctx, data, length);
    md5_final(&ctx, digest);
}

// Revision 3 strengthens a digest by hashing it 50 more times.
void md5_strengthen(uint8_t digest[16]) {
    for (int k = 0; k < 50; ++k) md5_once(digest, 16, digest);
}

void rc4_once(const uint8_t* key, size_t key_length, uint8_t* buffer, size_t length) {
    Rc4State st;
    rc4_init(&st, key, key_length);
    rc4_crypt(&st, buffer, length);
}

// Revision 3 adds 19 passes keyed by the key XOR the pass number; decrypting
// runs the 20 passes backwards.
void rc4_passes(const uint8_t* key, size_t key_length, int r, bool decrypt,
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
}

// RC4 key that encrypts O: from the owner password, or the user password
// when the owner's is empty.
void owner_rc4_key(const char* owner, const char* user, int r, uint8_t key[16]) {
    uint8_t padded[32];
    pad_password(owner && owner[0] ? owner : user, padded);
    md5_once(padded, sizeof padded, key);
    if (r >= 3) md5_strengthen(key);
}

void compute_o(const char* owner, const char* user, const PdfSecurity* sec,
               uint8_t o[32]) {
    uint8_t key[16];
    owner_rc4_key(owner, user, sec->r, key);
    pad_password(user, o);
    rc4_passes(key, size_t(sec->key_length), sec->r, false, o, 32);
}

// File key and U from an already padded user password, with the O, P and
// file identifier of sec.
void compute_key_and_u(const uint8_t padded_user[32], const PdfSecurity* sec,
                       uint8_t key[16], uint8_t u[32]) {
    uint32_t p = uint32_t(sec->p);
    const uint8_t p_bytes[4] = {uint8_t(p), uint8_t(p >> 8), uint8_t(p >> 16),
                                uint8_t(p >> 24)};
    Md5Context ctx;
    md5_init(&ctx);
    md5_update(&ctx, padded_user, 32);
    md5_update(&ctx, sec->o, 32);
    md5_update(&ctx, p_bytes, 4);
    md5_update(&ctx, sec->file_id, 16);
    uint8_t digest[16];
    md5_final(&ctx, digest);
    if (sec->r >= 3) md5_strengthen(digest);
    size_t n = size_t(sec->key_length);
    std::memset(key, 0, 16);
    std::memcpy(key, digest, n);

    if (sec->r < 3) {
        std::memcpy(u, kPadding, 32);
        rc4_once(key, n, u, 32);
        return;
    }
    md5_init(&ctx);
    md5_update(&ctx, kPadding, 32);
    md5_update(&ctx, sec->file_id, 16);
    md5_final(&ctx, u);
    rc4_passes(key, n, sec->r, false, u, 16);
    std::memcpy(u + 16, kPadding + 16, 16);
}

bool user_password_valid(const char* user, const PdfSecurity* sec) {
    uint8_t padded[32], key[16], u[32];
    pad_password(user, padded);
    compute_key_and_u(padded, sec, key, u);
    return std::memcmp(u, sec->u, 32) == 0;
}

// Recovers the padded user password from O with the owner password and
// checks it against U.
bool owner_password_valid(const char* owner, const char* user, const PdfSecurity* sec) {
    uint8_t rc4_key[16], padded_user[32], key[16], u[32];
    owner_rc4_key(owner, user, sec->r, rc4_key);
    std::memcpy(padded_user, sec->o, 32);
    rc4_passes(rc4_key, size_t(sec->key_length), sec->r, true, padded_user, 32);
    compute_key_and_u(padded_user, sec, key, u);
    return std::memcmp(u, sec->u, 32) == 0;
}

}  // namespace

bool pdfw_set_encryption(PdfDocument* doc, const char* owner_password,
                         const char* user_password, int key_size_choice,
                         int32_t permissions) {
    if (!doc) return false;
    if (doc->pdfa) return pdfw_fail(doc, PDFW_ERR_PDFA_ENCRYPTION);
    // Objects already in the file would stay in clear text under an
    // encryption dictionary, and the digest can be finalised only once.
    if (doc->out || doc->position > 0 || doc->security.dict_present) return pdfw_fail(doc, PDFW_ERR_FILE_STATE);
    PdfObjectId dict_id;
    if (!pdfw_obj_new(doc, &dict_id, 0)) return false;

    PdfSecurity* sec = &doc->security;
    sec->dict_present = 1;
    sec->on = 1;
    sec->dict_id = dict_id;
    sec->p = permissions;
    md5_final(&doc->digest, sec->file_id);

    bool wide = key_size_choice == 1;
    sec->v = wide ? 2 : 1;
    sec->r = wide ? 3 : 2;
    sec->key_length = wide ? 16 : 5;
    pdfw_require_version(doc, wide ? 0x104 : 0x103);

    compute_o(owner_password, user_password, sec, sec->o);
    uint8_t padded_user[32];
    pad_password(user_password, padded_user);
    compute_key_and_u(padded_user, sec, sec->file_key, sec->u);

    bool owner_ok = owner_password_valid(owner_password, user_password, sec);
    bool user_ok = user_password_valid(user_password, sec);
    pdfw_trace(doc, "PDF security: Owner password is %s, User password is %s\n",
                owner_ok ? "valid" : "wrong", user_ok ? "valid" : "wrong");
    return owner_ok && user_ok;
}

void pdfw_encrypt_buffer(PdfDocument* doc, PdfObjectId id, uint8_t* buffer,
                         int64_t length) {
    if (!doc || !doc->security.on || !buffer || length <= 0) return;
    const PdfSecurity* sec = &doc->security;
    size_t n = size_t(sec->key_length);
    uint8_t material[21];
    std::memcpy(material, sec->file_key, n);
    uint32_t number = uint32_t(id.number);
    material[n] = uint8_t(number);
    material[n + 1] = uint8_t(number >> 8);
    material[n + 2] = uint8_t(number >> 16);
    material[n + 3] = uint8_t(id.generation);
    material[n + 4] = uint8_t(id.generation >> 8);
    uint8_t object_key[16];
    md5_once(material, n + 5, object_key);
    size_t object_key_length = n + 5 < 16 ? n + 5 : 16;
    Rc4State st;
    rc4_init(&st, object_key, object_key_length);
    rc4_crypt(&st, buffer, size_t(length));
}

void pdfw_encrypt_current(PdfDocument* doc, uint8_t* buffer, int64_t length) {
    if (!doc) return;
    pdfw_encrypt_buffer(doc, doc->security.current, buffer, length);
}
