// Standard security handler, revisions 2 (RC4 40-bit) and 3 (RC4 128-bit),
// in the document: the setup and per-object encryption of strings and
// streams. The keys, /O and /U are computed in keys.cpp.
#include <cstdio>
#include <cstring>

#include "pdf/pdfw_private.h"

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

    SecMd5Dict d{sec->r, sec->key_length, sec->p, {}, {}, {}};
    std::memcpy(d.file_id, sec->file_id, 16);
    sec_md5_make(&d, owner_password, user_password, sec->file_key);
    std::memcpy(sec->o, d.o, 32);
    std::memcpy(sec->u, d.u, 32);

    // An empty owner password stands for the user password, as in /O.
    uint8_t key[16];
    const char* owner = owner_password && owner_password[0] ? owner_password : user_password;
    bool owner_ok = sec_md5_owner_key(&d, owner, key) == SEC_OK;
    bool user_ok = sec_md5_user_key(&d, user_password, key) == SEC_OK;
    pdfw_trace(doc, "PDF security: Owner password is %s, User password is %s\n",
               owner_ok ? "valid" : "wrong", user_ok ? "valid" : "wrong");
    if (!owner_ok || !user_ok)
        return pdfw_fail_detail(doc, PDFW_ERR_ARGUMENT, "the passwords do not check out");
    return true;
}

void pdfw_encrypt_buffer(PdfDocument* doc, PdfObjectId id, uint8_t* buffer,
                         int64_t length) {
    if (!doc || !doc->security.on || !buffer || length <= 0) return;
    const PdfSecurity* sec = &doc->security;
    uint8_t object_key[16];
    size_t object_key_length = sec_object_key(sec->file_key, size_t(sec->key_length), id.number,
                                              id.generation, false, object_key);
    Rc4State st;
    rc4_init(&st, object_key, object_key_length);
    rc4_crypt(&st, buffer, size_t(length));
}

void pdfw_encrypt_current(PdfDocument* doc, uint8_t* buffer, int64_t length) {
    if (!doc) return;
    pdfw_encrypt_buffer(doc, doc->security.current, buffer, length);
}
