// The Standard security handler: MD5 (RFC 1321) and RC4, our own
// primitives of the document digest and the RC4 revisions, and the
// handler's computations as pure functions over the values of an
// encryption dictionary, for revisions 2 and 3 (RC4), 4 (AES-128) and 6
// (AES-256). AES, SHA-2 and random bytes come from crypto.h.
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

// ---------------------------------------------------------------------------
// Handler computations. Those that can fail return SEC_OK or a negative
// SEC_ERR_* code.

enum {
    SEC_OK = 0,
    SEC_ERR_ARGUMENT = -1,    // null pointer, unknown revision or key length
    SEC_ERR_CRYPTO = -2,      // a primitive of crypto.h failed
    SEC_ERR_PASSWORD = -3,    // the password does not match /U or /O
    SEC_ERR_PERMS = -4,       // /Perms does not decrypt to the dictionary's /P
    SEC_ERR_SPACE = -5,       // output buffer too small
    SEC_ERR_CIPHERTEXT = -6,  // encrypted data too short, not whole blocks or badly padded
    SEC_ERR_UTF8 = -7,        // password is not well-formed UTF-8
    SEC_ERR_PROHIBITED = -8,  // password holds a character SASLprep prohibits
    SEC_ERR_BIDI = -9,        // password breaks SASLprep's right-to-left rule
};

// The four permissions the command offers, as its option packs them.
enum {
    SEC_ALLOW_PRINT = 1,
    SEC_ALLOW_COPY = 2,
    SEC_ALLOW_MODIFY = 4,
    SEC_ALLOW_ANNOTATE = 8,
};

// /P for revision r (2, 3, 4 or 6) from SEC_ALLOW_* flags; 0 for another
// revision. Bits 1-2 are clear and 7-8 and 13-32 set, as every revision
// requires. Print, modify, copy and annotate are bits 3 to 6. Revisions 2
// and 3 set bits 9 to 12 as well, which is the value the RC4 documents
// carry; from revision 4 they follow the choices: fill in forms (9) with
// annotate, assemble (11) with modify, high-quality print (12) with print,
// and accessibility extraction (10) always.
int32_t sec_permissions(int32_t r, int32_t allow);

// Per-object key of revisions 2 to 4: MD5 of the key_length (1 to 16) bytes
// of file_key, the low three bytes of number and two of generation (least
// significant first) and, for AES-128 (aes true), the bytes "sAlT"; its
// first min(key_length + 5, 16) bytes go to object_key. Returns that
// length, 0 for bad arguments. Revision 6 uses the file key itself.
size_t sec_object_key(const uint8_t* file_key, size_t key_length, int32_t number,
                      uint16_t generation, bool aes, uint8_t object_key[16]);

// ---- Revisions 2 to 4: MD5 keys, /O and /U by RC4 --------------------------
//
// Passwords are bytes up to a NUL (null is empty); only the first 32 count.
// The file key derivation assumes /EncryptMetadata true (the default).

// Password cut to 32 bytes or completed from the handler's padding string.
void sec_pad_password(const char* password, uint8_t out[32]);

// What an RC4 or AES-128 dictionary and the trailer carry.
struct SecMd5Dict {
    int32_t r;            // 2, 3 or 4
    int32_t key_length;   // bytes: 5 for revision 2, 5 to 16 for 3 and 4
    int32_t p;
    uint8_t o[32];
    uint8_t u[32];
    uint8_t file_id[16];  // first element of /ID
};

// Computes o and u of d from r, key_length, p and file_id, and the file key
// (key_length bytes, the rest of key zeroed). An empty owner password is
// replaced by the user password.
int sec_md5_make(SecMd5Dict* d, const char* owner, const char* user, uint8_t key[16]);

// The file key opened with the user password: SEC_ERR_PASSWORD unless the
// password reproduces /U (all 32 bytes in revision 2, the first 16 later).
// On failure key is zeroed (likewise below).
int sec_md5_user_key(const SecMd5Dict* d, const char* user, uint8_t key[16]);

// The file key opened with the owner password, which decrypts /O into the
// padded user password; SEC_ERR_PASSWORD as for the user password.
int sec_md5_owner_key(const SecMd5Dict* d, const char* owner, uint8_t key[16]);

// ---- AES-encrypted strings and streams (revisions 4 and 6) -----------------

// Bytes that length bytes of plain data take encrypted: a 16-byte IV, then
// the data padded (PKCS#7) to the next whole block.
size_t sec_aes_encrypted_length(size_t length);

// iv, then in encrypted with AES-CBC under key (the 16-byte object key of
// revision 4 or the 32-byte file key of revision 6), into out. capacity
// must be at least sec_aes_encrypted_length(length). A stream encrypted
// piece by piece writes the IV and then runs crypto_aes_cbc_* itself.
int sec_aes_encrypt(const uint8_t* key, size_t key_length, const uint8_t iv[16],
                    const uint8_t* in, size_t length, uint8_t* out, size_t capacity,
                    size_t* out_length);

// The reverse: in is IV and ciphertext; out needs length - 16 bytes.
// SEC_ERR_CIPHERTEXT when in is not an IV and whole, validly padded blocks.
int sec_aes_decrypt(const uint8_t* key, size_t key_length, const uint8_t* in,
                    size_t length, uint8_t* out, size_t capacity, size_t* out_length);

// ---- Revision 6: AES-256 --------------------------------------------------
//
// The file key is 32 random bytes and encrypts strings and streams itself.
// Passwords are prepared bytes (sec_password_prepare) with their length;
// bytes beyond 127 are ignored. An empty owner password is used as it is.

enum {
    SEC_R6_PASSWORD_MAX = 127,
    SEC_R6_RANDOM_LENGTH = 36,
};

// Makes a revision 6 password from NUL-terminated UTF-8 text (null is
// empty) by SASLprep (RFC 4013, a profile of RFC 3454's stringprep) and
// cuts the UTF-8 result to its first 127 bytes, as the handler requires (a
// character may be cut). Done, with RFC 3454's tables:
//  - mapping: non-ASCII spaces (C.1.2) to U+0020, B.1 to nothing;
//  - prohibition of C.1.2, C.2.1, C.2.2 and C.3 to C.9
//    (SEC_ERR_PROHIBITED), so ASCII control characters are refused;
//  - the bidirectional rule of its section 6 with D.1 and D.2
//    (SEC_ERR_BIDI).
// Left out:
//  - NFKC normalisation, which needs Unicode's decomposition and
//    composition data (a large table, or a library such as ICU). Text
//    already in NFKC form, as ASCII and the precomposed letters keyboards
//    type are, comes out right; decomposed accents and compatibility
//    characters (U+00AA, U+2168, fullwidth forms, ligatures) stay as
//    given, where a normalising reader would change them;
//  - the check for unassigned code points (A.1): stringprep asks it of
//    stored strings only, and it would refuse every character added after
//    Unicode 3.2, which readers pass through.
// SEC_ERR_UTF8 for malformed input. On failure *length is 0, out is
// zeroed and *fault (when not null) tells which character was refused.
struct SecPasswordFault {
    size_t position;  // of the character in the input, from 1
    uint32_t value;   // its code point; for SEC_ERR_UTF8 the byte that is not UTF-8
};
int sec_password_prepare(const char* utf8, uint8_t out[SEC_R6_PASSWORD_MAX],
                         size_t* length, SecPasswordFault* fault = nullptr);

// The UTF-8 bytes of code point c (at most U+10FFFF); returns their number.
size_t sec_utf8_encode(uint32_t c, uint8_t out[4]);

// What an AES-256 dictionary carries (EncryptMetadata true).
struct SecR6Dict {
    int32_t p;
    uint8_t u[48];
    uint8_t ue[32];
    uint8_t o[48];
    uint8_t oe[32];
    uint8_t perms[16];
};

// The revision 6 password hash: SHA-256 of password, salt and user_value
// (the 48-byte /U, or null for the user's hashes), then rounds of
// AES-128-CBC and SHA-256/384/512 until at least 64 rounds are done and the
// last byte of the round's ciphertext is at most the round count - 32.
int sec_r6_hash(const uint8_t* password, size_t length, const uint8_t salt[8],
                const uint8_t* user_value, uint8_t hash[32]);

// Computes u, ue, o, oe and perms of d from d->p, the passwords and the
// 32-byte file key. random holds SEC_R6_RANDOM_LENGTH fresh random bytes:
// the user's validation and key salts (0-7, 8-15), the owner's (16-23,
// 24-31), and the last 4 bytes of /Perms (32-35).
int sec_r6_make(SecR6Dict* d, const uint8_t* owner, size_t owner_length,
                const uint8_t* user, size_t user_length, const uint8_t file_key[32],
                const uint8_t random[SEC_R6_RANDOM_LENGTH]);

// The file key opened with the user password (from /UE) or the owner
// password (from /OE); SEC_ERR_PASSWORD when the password's hash does not
// match /U or /O. On failure file_key is zeroed.
int sec_r6_user_key(const SecR6Dict* d, const uint8_t* password, size_t length,
                    uint8_t file_key[32]);
int sec_r6_owner_key(const SecR6Dict* d, const uint8_t* password, size_t length,
                     uint8_t file_key[32]);

// SEC_OK when /Perms decrypts under the file key to d->p, 'T' for
// EncryptMetadata and "adb"; SEC_ERR_PERMS otherwise.
int sec_r6_check_perms(const SecR6Dict* d, const uint8_t file_key[32]);

#endif
