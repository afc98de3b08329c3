// Standard security handler in the document: the setup of revisions 2 and 3
// (RC4), 4 (AES-128) and 6 (AES-256), the encryption dictionary, and the
// per-object encryption of strings and streams. The keys and the
// dictionary's values are computed in keys.cpp and aes_handler.cpp; AES and
// random bytes come from crypto.h.
#include <cstdio>
#include <cstring>

#include "pdf/pdfw_private.h"
#include "pdf/security/crypto.h"

static_assert(int(PDFW_ALLOW_PRINT) == int(SEC_ALLOW_PRINT) &&
                  int(PDFW_ALLOW_COPY) == int(SEC_ALLOW_COPY) &&
                  int(PDFW_ALLOW_MODIFY) == int(SEC_ALLOW_MODIFY) &&
                  int(PDFW_ALLOW_ANNOTATE) == int(SEC_ALLOW_ANNOTATE),
              "the public permission bits are the handler's");

namespace {

struct Scheme {
    int32_t v;
    int32_t r;
    int32_t key_length;  // bytes
    int cipher;          // PDFW_CIPHER_*
    int version;         // the PDF version it needs
};

Scheme scheme_of(int choice) {
    switch (choice) {
    case PDFW_SECURITY_RC4_128: return {2, 3, 16, PDFW_CIPHER_RC4, 0x104};
    case PDFW_SECURITY_AES_256: return {5, 6, 32, PDFW_CIPHER_AES, 0x107};
    case PDFW_SECURITY_AES_128: return {4, 4, 16, PDFW_CIPHER_AES, 0x106};
    default: return {1, 2, 5, PDFW_CIPHER_RC4, 0x103};
    }
}

// The file identifier: unique to this document, so that no two documents
// share a file key. Random bytes and the clock go into its MD5; a seeded
// (reproducible) run takes the generator's bytes alone.
bool make_file_id(PdfDocument* doc) {
    uint8_t fresh[16];
    if (crypto_random_bytes(&doc->security.rng, fresh, sizeof fresh) != CRYPTO_OK)
        return pdfw_fail_detail(doc, PDFW_ERR_ARGUMENT, "no random bytes for the file identifier");
    Md5Context ctx;
    md5_init(&ctx);
    md5_update(&ctx, fresh, sizeof fresh);
    if (!doc->security.rng.seeded) {
        PlatTime utc{};
        plat_system_time(&utc);
        const int32_t fields[] = {utc.year, utc.month, utc.day,    utc.hour,
                                  utc.minute, utc.second, utc.millisecond};
        md5_update(&ctx, fields, sizeof fields);
    }
    md5_final(&ctx, doc->security.file_id);
    return true;
}

// Revisions 2 to 4: /O, /U and the MD5-based file key. An empty owner
// password stands for the user password, as in /O.
bool setup_md5(PdfDocument* doc, const char* owner, const char* user, bool* owner_ok,
               bool* user_ok) {
    PdfSecurity* sec = &doc->security;
    SecMd5Dict d{sec->r, sec->key_length, sec->p, {}, {}, {}};
    std::memcpy(d.file_id, sec->file_id, 16);
    sec_md5_make(&d, owner, user, sec->file_key);
    std::memcpy(sec->o, d.o, 32);
    std::memcpy(sec->u, d.u, 32);
    uint8_t key[16];
    *owner_ok = sec_md5_owner_key(&d, owner && owner[0] ? owner : user, key) == SEC_OK;
    *user_ok = sec_md5_user_key(&d, user, key) == SEC_OK;
    crypto_wipe(key, sizeof key);
    return true;
}

// Why SASLprep refused a password, naming the character and where it stands.
bool refuse_password(PdfDocument* doc, const char* which, int status, const SecPasswordFault& f) {
    char shown[32];
    if (status == SEC_ERR_UTF8) {
        std::snprintf(shown, sizeof shown, "the byte 0x%02X", unsigned(f.value));
    } else if (f.value < 0x20 || (f.value >= 0x7F && f.value <= 0xA0)) {
        std::snprintf(shown, sizeof shown, "U+%04X", unsigned(f.value));
    } else {
        uint8_t bytes[5] = {0};
        bytes[sec_utf8_encode(f.value, bytes)] = 0;
        std::snprintf(shown, sizeof shown, "'%s' (U+%04X)", reinterpret_cast<char*>(bytes),
                      unsigned(f.value));
    }
    const char* why = status == SEC_ERR_UTF8 ? "which is not UTF-8"
                      : status == SEC_ERR_BIDI ? "which breaks SASLprep's rule for right-to-left text"
                                               : "which SASLprep prohibits";
    return pdfw_fail_detail(doc, PDFW_ERR_ARGUMENT, "the %s password holds %s at character %zu, %s",
                            which, shown, f.position, why);
}

// Revision 6: a random 32-byte file key under /UE and /OE. The owner
// password falls back to the user's as in the RC4 revisions: an empty one
// would let anybody lift the permissions.
bool setup_r6(PdfDocument* doc, const char* owner, const char* user, bool* owner_ok,
              bool* user_ok) {
    PdfSecurity* sec = &doc->security;
    uint8_t up[SEC_R6_PASSWORD_MAX], op[SEC_R6_PASSWORD_MAX], random[SEC_R6_RANDOM_LENGTH];
    size_t ul = 0, ol = 0;
    SecPasswordFault fault{};
    int status = sec_password_prepare(user, up, &ul, &fault);
    if (status != SEC_OK) return refuse_password(doc, "user", status, fault);
    status = sec_password_prepare(owner && owner[0] ? owner : user, op, &ol, &fault);
    if (status != SEC_OK) {
        crypto_wipe(up, sizeof up);
        return refuse_password(doc, "owner", status, fault);
    }
    bool ok = crypto_random_bytes(&sec->rng, sec->file_key, 32) == CRYPTO_OK &&
              crypto_random_bytes(&sec->rng, random, sizeof random) == CRYPTO_OK;
    if (!ok) pdfw_fail_detail(doc, PDFW_ERR_ARGUMENT, "no random bytes for the file key");
    SecR6Dict d{};
    d.p = sec->p;
    if (ok && sec_r6_make(&d, op, ol, up, ul, sec->file_key, random) != SEC_OK)
        ok = pdfw_fail_detail(doc, PDFW_ERR_ARGUMENT, "the AES-256 keys cannot be made");
    if (ok) {
        std::memcpy(sec->o, d.o, 48);
        std::memcpy(sec->u, d.u, 48);
        std::memcpy(sec->oe, d.oe, 32);
        std::memcpy(sec->ue, d.ue, 32);
        std::memcpy(sec->perms, d.perms, 16);
        uint8_t key[32];
        *owner_ok = sec_r6_owner_key(&d, op, ol, key) == SEC_OK &&
                    std::memcmp(key, sec->file_key, 32) == 0;
        *user_ok = sec_r6_user_key(&d, up, ul, key) == SEC_OK &&
                   std::memcmp(key, sec->file_key, 32) == 0 &&
                   sec_r6_check_perms(&d, sec->file_key) == SEC_OK;
        crypto_wipe(key, sizeof key);
    }
    crypto_wipe(up, sizeof up);
    crypto_wipe(op, sizeof op);
    crypto_wipe(random, sizeof random);
    return ok;
}

// Key of one object: revision 6 uses the file key itself.
size_t object_key(const PdfSecurity* sec, PdfObjectId id, uint8_t key[32]) {
    if (sec->r == 6) {
        std::memcpy(key, sec->file_key, 32);
        return 32;
    }
    return sec_object_key(sec->file_key, size_t(sec->key_length), id.number, id.generation,
                          sec->cipher == PDFW_CIPHER_AES, key);
}

}  // namespace

void pdfw_security_init(PdfDocument* doc) { crypto_random_init(&doc->security.rng); }

void pdfw_security_wipe(PdfDocument* doc) { crypto_wipe(&doc->security, sizeof doc->security); }

bool pdfw_set_random_seed(PdfDocument* doc, const void* seed, size_t length) {
    if (!doc) return false;
    if (!seed && length > 0) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    if (doc->security.dict_present) return pdfw_fail(doc, PDFW_ERR_FILE_STATE);
    if (crypto_random_seed(&doc->security.rng, seed, length) != CRYPTO_OK)
        return pdfw_fail(doc, PDFW_ERR_NO_MEMORY);
    return true;
}

int32_t pdfw_permissions(int security_choice, int allow) {
    return sec_permissions(scheme_of(security_choice).r, allow);
}

int pdfw_pdfdoc_byte(uint32_t c) {
    // Bytes 0x18 to 0x1F and 0x80 to 0xA0 hold characters of their own; the
    // rest of the first half is ASCII and of the second Latin-1. 0x7F, 0x9F
    // and 0xAD are undefined.
    static const uint16_t kLow[8] = {0x02D8, 0x02C7, 0x02C6, 0x02D9, 0x02DD, 0x02DB, 0x02DA, 0x02DC};
    static const uint16_t kHigh[33] = {
        0x2022, 0x2020, 0x2021, 0x2026, 0x2014, 0x2013, 0x0192, 0x2044, 0x2039, 0x203A, 0x2212,
        0x2030, 0x201E, 0x201C, 0x201D, 0x2018, 0x2019, 0x201A, 0x2122, 0xFB01, 0xFB02, 0x0141,
        0x0152, 0x0160, 0x0178, 0x017D, 0x0131, 0x0142, 0x0153, 0x0161, 0x017E, 0x0000, 0x20AC};
    if ((c >= 0x01 && c <= 0x17) || (c >= 0x20 && c <= 0x7E) || (c >= 0xA1 && c <= 0xFF && c != 0xAD))
        return int(c);
    for (int i = 0; i < 8; ++i)
        if (c == kLow[i]) return 0x18 + i;
    for (int i = 0; i < 33; ++i)
        if (c != 0 && c == kHigh[i]) return 0x80 + i;
    return -1;
}

bool pdfw_set_encryption(PdfDocument* doc, const char* owner_password,
                         const char* user_password, int security_choice,
                         int32_t permissions) {
    if (!doc) return false;
    if (doc->pdfa) return pdfw_fail(doc, PDFW_ERR_PDFA_ENCRYPTION);
    // Objects already in the file would stay in clear text under an
    // encryption dictionary.
    if (doc->out || doc->position > 0 || doc->security.dict_present)
        return pdfw_fail(doc, PDFW_ERR_FILE_STATE);
    if (const char* why = crypto_unavailable())
        return pdfw_fail_detail(doc, PDFW_ERR_ARGUMENT, "%s", why);
    PdfObjectId dict_id;
    if (!pdfw_obj_new(doc, &dict_id, 0)) return false;

    PdfSecurity* sec = &doc->security;
    const Scheme scheme = scheme_of(security_choice);
    sec->dict_present = 1;
    sec->dict_id = dict_id;
    sec->p = permissions;
    sec->v = scheme.v;
    sec->r = scheme.r;
    sec->key_length = scheme.key_length;
    sec->cipher = scheme.cipher;
    pdfw_require_version(doc, scheme.version);
    if (!make_file_id(doc)) return false;

    bool owner_ok = false, user_ok = false;
    const bool made = sec->r == 6 ? setup_r6(doc, owner_password, user_password, &owner_ok, &user_ok)
                                  : setup_md5(doc, owner_password, user_password, &owner_ok, &user_ok);
    if (!made) return false;
    sec->on = 1;
    pdfw_trace(doc, "PDF security: Owner password is %s, User password is %s\n",
               owner_ok ? "valid" : "wrong", user_ok ? "valid" : "wrong");
    if (!owner_ok || !user_ok)
        return pdfw_fail_detail(doc, PDFW_ERR_ARGUMENT, "the passwords do not check out");
    return true;
}

bool pdfw_security_write_dict(PdfDocument* doc) {
    const PdfSecurity& s = doc->security;
    const size_t ou = s.r == 6 ? 48 : 32;
    char o[97], u[97];
    pdfw_hex_upper(s.o, ou, o);
    pdfw_hex_upper(s.u, ou, u);
    bool ok = pdfw_obj_begin(doc, s.dict_id) && pdfw_io_line(doc, "<<") &&
              pdfw_io_key_name(doc, "/Filter", "/Standard") && pdfw_io_key_int(doc, "/V", s.v) &&
              pdfw_io_key_int(doc, "/R", s.r) &&
              (s.v == 1 || pdfw_io_key_int(doc, "/Length", long(s.key_length) * 8));
    if (ok && s.cipher == PDFW_CIPHER_AES) {
        ok = pdfw_io_printf(doc, "/CF << /StdCF << /CFM /%s /AuthEvent /DocOpen /Length %d >> >>",
                            s.r == 6 ? "AESV3" : "AESV2", int(s.key_length)) &&
             pdfw_io_line(doc, "/StmF /StdCF") && pdfw_io_line(doc, "/StrF /StdCF");
    }
    ok = ok && pdfw_io_printf(doc, "/O <%s>", o) && pdfw_io_printf(doc, "/U <%s>", u);
    if (ok && s.r == 6) {
        char oe[65], ue[65], perms[33];
        pdfw_hex_upper(s.oe, 32, oe);
        pdfw_hex_upper(s.ue, 32, ue);
        pdfw_hex_upper(s.perms, 16, perms);
        ok = pdfw_io_printf(doc, "/OE <%s>", oe) && pdfw_io_printf(doc, "/UE <%s>", ue) &&
             pdfw_io_printf(doc, "/Perms <%s>", perms);
    }
    return ok && pdfw_io_key_int(doc, "/P", s.p) && pdfw_obj_dict_end(doc);
}

int64_t pdfw_encrypted_length(const PdfDocument* doc, int64_t length) {
    if (!doc || !doc->security.on || doc->security.cipher != PDFW_CIPHER_AES) return length;
    return int64_t(sec_aes_encrypted_length(size_t(length)));
}

namespace {

// The IV leads the first bytes an AES stream gives out; returns its length
// there (0 once it is out).
size_t take_iv(PdfCipher* c, uint8_t* out) {
    if (!c->iv_pending) return 0;
    std::memcpy(out, c->iv, sizeof c->iv);
    c->iv_pending = false;
    return sizeof c->iv;
}

}  // namespace

bool pdfw_cipher_begin(PdfDocument* doc, PdfObjectId id, PdfCipher* c) {
    std::memset(c, 0, sizeof *c);
    if (!doc || !doc->security.on) return true;
    const PdfSecurity* sec = &doc->security;
    uint8_t key[32];
    const size_t key_length = object_key(sec, id, key);
    if (sec->cipher == PDFW_CIPHER_RC4) {
        c->kind = PDFW_CIPHER_RC4;
        rc4_init(&c->rc4, key, key_length);
        crypto_wipe(key, sizeof key);
        return true;
    }
    // AES: a fresh IV goes in front of every string and stream.
    const bool ok = crypto_random_bytes(&doc->security.rng, c->iv, sizeof c->iv) == CRYPTO_OK &&
                    crypto_aes_cbc_begin(&c->aes, true, key, key_length, c->iv, true) == CRYPTO_OK;
    crypto_wipe(key, sizeof key);
    if (!ok) return pdfw_fail_detail(doc, PDFW_ERR_ARGUMENT, "AES encryption cannot start");
    c->kind = PDFW_CIPHER_AES;
    c->iv_pending = true;
    return true;
}

bool pdfw_cipher_update(PdfCipher* c, const uint8_t* in, size_t length, uint8_t* out,
                        size_t* out_length) {
    *out_length = 0;
    switch (c->kind) {
    case PDFW_CIPHER_NONE:
        if (out != in && length > 0) std::memmove(out, in, length);
        *out_length = length;
        return true;
    case PDFW_CIPHER_RC4:
        if (out != in && length > 0) std::memmove(out, in, length);
        rc4_crypt(&c->rc4, out, length);
        *out_length = length;
        return true;
    default: {
        const size_t at = take_iv(c, out);
        size_t n = 0;
        const bool ok = crypto_aes_cbc_update(c->aes, in, length, out + at,
                                              length + CRYPTO_AES_BLOCK, &n) == CRYPTO_OK;
        *out_length = at + n;
        return ok;
    }
    }
}

bool pdfw_cipher_finish(PdfCipher* c, uint8_t* out, size_t* out_length) {
    *out_length = 0;
    if (c->kind != PDFW_CIPHER_AES) return true;
    const size_t at = take_iv(c, out);
    size_t n = 0;
    const bool ok = crypto_aes_cbc_finish(c->aes, out + at, CRYPTO_AES_BLOCK, &n) == CRYPTO_OK;
    *out_length = at + n;
    crypto_aes_free(c->aes);
    c->aes = nullptr;
    return ok;
}

void pdfw_cipher_free(PdfCipher* c) {
    crypto_aes_free(c->aes);
    c->aes = nullptr;
    // The RC4 state is the object key's schedule.
    crypto_wipe(&c->rc4, sizeof c->rc4);
}

bool pdfw_encrypt_string(PdfDocument* doc, PdfObjectId id, const uint8_t* in, int64_t length,
                         uint8_t* out, int64_t* out_length) {
    PdfCipher c;
    size_t a = 0, b = 0;
    bool ok = pdfw_cipher_begin(doc, id, &c) &&
              pdfw_cipher_update(&c, in, size_t(length), out, &a) &&
              pdfw_cipher_finish(&c, out + a, &b);
    pdfw_cipher_free(&c);
    *out_length = int64_t(a + b);
    if (!ok) return pdfw_fail_detail(doc, PDFW_ERR_ARGUMENT, "encryption failed");
    return true;
}
