// The AES side of the Standard security handler: strings and streams as
// IV + AES-CBC (revisions 4 and 6), and the revision 6 password hash with
// /U, /UE, /O, /OE and /Perms (ISO 32000-2 7.6.4.3, algorithms 2.A, 2.B
// and 8 to 13).
#include <cstring>

#include "pdf/security/crypto.h"
#include "pdf/security/security.h"

namespace {

const uint8_t kZeroIv[16] = {0};

// Encrypting passwords for the hash rounds: 64 copies of the longest
// password, the longest intermediate hash (SHA-512) and /U.
const size_t kRoundMax = 64 * (SEC_R6_PASSWORD_MAX + 64 + 48);

int from_crypto(int status) {
    switch (status) {
    case CRYPTO_OK: return SEC_OK;
    case CRYPTO_ERR_SPACE: return SEC_ERR_SPACE;
    case CRYPTO_ERR_LENGTH:
    case CRYPTO_ERR_PADDING: return SEC_ERR_CIPHERTEXT;
    default: return SEC_ERR_CRYPTO;
    }
}

// A 32-byte key wrapped or unwrapped with AES-256-CBC under a hash, zero IV
// and no padding (the /UE and /OE values).
int wrap_key(bool encrypt, const uint8_t hash[32], const uint8_t in[32], uint8_t out[32]) {
    size_t n = 0;
    int status = encrypt ? crypto_aes_cbc_encrypt(hash, 32, kZeroIv, false, in, 32, out, 32, &n)
                         : crypto_aes_cbc_decrypt(hash, 32, kZeroIv, false, in, 32, out, 32, &n);
    return status == CRYPTO_OK && n == 32 ? SEC_OK : SEC_ERR_CRYPTO;
}

// Algorithms 11 and 12, then 2.A: the password's hash with the validation
// salt must equal the first 32 bytes of value (/U or /O); its hash with the
// key salt then unwraps the file key from wrapped (/UE or /OE).
int open_key(const uint8_t value[48], const uint8_t wrapped[32], const uint8_t* user_value,
             const uint8_t* password, size_t length, uint8_t file_key[32]) {
    std::memset(file_key, 0, 32);
    uint8_t hash[32];
    int status = sec_r6_hash(password, length, value + 32, user_value, hash);
    if (status == SEC_OK && std::memcmp(hash, value, 32) != 0) status = SEC_ERR_PASSWORD;
    if (status == SEC_OK) status = sec_r6_hash(password, length, value + 40, user_value, hash);
    if (status == SEC_OK) status = wrap_key(false, hash, wrapped, file_key);
    if (status != SEC_OK) crypto_wipe(file_key, 32);
    crypto_wipe(hash, sizeof hash);
    return status;
}

}  // namespace

size_t sec_aes_encrypted_length(size_t length) {
    if (length > SIZE_MAX - 2 * CRYPTO_AES_BLOCK) return 0;
    return CRYPTO_AES_BLOCK + (length / CRYPTO_AES_BLOCK + 1) * CRYPTO_AES_BLOCK;
}

int sec_aes_encrypt(const uint8_t* key, size_t key_length, const uint8_t iv[16],
                    const uint8_t* in, size_t length, uint8_t* out, size_t capacity,
                    size_t* out_length) {
    if (!out_length) return SEC_ERR_ARGUMENT;
    *out_length = 0;
    size_t need = sec_aes_encrypted_length(length);
    if (!key || !iv || !out || (!in && length > 0) || need == 0) return SEC_ERR_ARGUMENT;
    if (capacity < need) return SEC_ERR_SPACE;
    std::memcpy(out, iv, CRYPTO_AES_BLOCK);
    size_t n = 0;
    int status = crypto_aes_cbc_encrypt(key, key_length, iv, true, in, length,
                                        out + CRYPTO_AES_BLOCK, capacity - CRYPTO_AES_BLOCK, &n);
    if (status == CRYPTO_ERR_ARGUMENT) return SEC_ERR_ARGUMENT;
    if (status != CRYPTO_OK) return from_crypto(status);
    *out_length = CRYPTO_AES_BLOCK + n;
    return SEC_OK;
}

int sec_aes_decrypt(const uint8_t* key, size_t key_length, const uint8_t* in,
                    size_t length, uint8_t* out, size_t capacity, size_t* out_length) {
    if (!out_length) return SEC_ERR_ARGUMENT;
    *out_length = 0;
    if (!key || !in || !out) return SEC_ERR_ARGUMENT;
    if (length < 2 * CRYPTO_AES_BLOCK || length % CRYPTO_AES_BLOCK != 0)
        return SEC_ERR_CIPHERTEXT;
    int status = crypto_aes_cbc_decrypt(key, key_length, in, true, in + CRYPTO_AES_BLOCK,
                                        length - CRYPTO_AES_BLOCK, out, capacity, out_length);
    if (status == CRYPTO_ERR_ARGUMENT) return SEC_ERR_ARGUMENT;
    return from_crypto(status);
}

int sec_r6_hash(const uint8_t* password, size_t length, const uint8_t salt[8],
                const uint8_t* user_value, uint8_t hash[32]) {
    if ((!password && length > 0) || !salt || !hash) return SEC_ERR_ARGUMENT;
    if (length > SEC_R6_PASSWORD_MAX) length = SEC_R6_PASSWORD_MAX;
    size_t extra = user_value ? 48 : 0;

    uint8_t k[64];
    size_t k_length = 32;
    uint8_t start[SEC_R6_PASSWORD_MAX + 8 + 48];
    if (length > 0) std::memcpy(start, password, length);
    std::memcpy(start + length, salt, 8);
    if (extra) std::memcpy(start + length + 8, user_value, extra);
    int status = crypto_sha2(256, start, length + 8 + extra, k) == CRYPTO_OK ? SEC_OK
                                                                             : SEC_ERR_CRYPTO;
    crypto_wipe(start, sizeof start);

    // Stack buffers: 30 KB in all, and no allocation. Both hold the
    // password and the round keys, so they are wiped however the loop ends.
    uint8_t k1[kRoundMax];
    uint8_t e[kRoundMax];
    size_t used = 0;
    for (int round = 1; status == SEC_OK; ++round) {
        size_t piece = length + k_length + extra;
        for (int i = 0; i < 64; ++i) {
            uint8_t* at = k1 + size_t(i) * piece;
            if (length > 0) std::memcpy(at, password, length);
            std::memcpy(at + length, k, k_length);
            if (extra) std::memcpy(at + length + k_length, user_value, extra);
        }
        if (64 * piece > used) used = 64 * piece;
        // 64 pieces are always whole blocks, so no padding is needed.
        size_t e_length = 0;
        if (crypto_aes_cbc_encrypt(k, 16, k + 16, false, k1, 64 * piece, e, sizeof e, &e_length) !=
            CRYPTO_OK) {
            status = SEC_ERR_CRYPTO;
            break;
        }
        // The first 16 bytes of E as a big-endian number, modulo 3: since
        // 256 = 1 (mod 3) that is the sum of the bytes modulo 3.
        unsigned sum = 0;
        for (int i = 0; i < 16; ++i) sum += e[i];
        static const int kBits[3] = {256, 384, 512};
        int bits = kBits[sum % 3];
        if (crypto_sha2(bits, e, e_length, k) != CRYPTO_OK) {
            status = SEC_ERR_CRYPTO;
            break;
        }
        k_length = size_t(bits / 8);
        if (round >= 64 && int(e[e_length - 1]) <= round - 32) break;
    }
    if (status == SEC_OK) std::memcpy(hash, k, 32);
    crypto_wipe(k1, used);
    crypto_wipe(e, used);
    crypto_wipe(k, sizeof k);
    return status;
}

int sec_r6_make(SecR6Dict* d, const uint8_t* owner, size_t owner_length,
                const uint8_t* user, size_t user_length, const uint8_t file_key[32],
                const uint8_t random[SEC_R6_RANDOM_LENGTH]) {
    if (!d || !file_key || !random) return SEC_ERR_ARGUMENT;
    const uint8_t* user_salts = random;
    const uint8_t* owner_salts = random + 16;
    uint8_t hash[32];

    // Algorithm 8: /U is the hash with the validation salt, then both
    // salts; /UE wraps the file key under the hash with the key salt.
    int status = sec_r6_hash(user, user_length, user_salts, nullptr, d->u);
    if (status == SEC_OK) {
        std::memcpy(d->u + 32, user_salts, 16);
        status = sec_r6_hash(user, user_length, user_salts + 8, nullptr, hash);
    }
    if (status == SEC_OK) status = wrap_key(true, hash, file_key, d->ue);

    // Algorithm 9: the same for the owner, with the whole /U hashed in.
    if (status == SEC_OK) status = sec_r6_hash(owner, owner_length, owner_salts, d->u, d->o);
    if (status == SEC_OK) {
        std::memcpy(d->o + 32, owner_salts, 16);
        status = sec_r6_hash(owner, owner_length, owner_salts + 8, d->u, hash);
    }
    if (status == SEC_OK) status = wrap_key(true, hash, file_key, d->oe);
    crypto_wipe(hash, sizeof hash);
    if (status != SEC_OK) return status;

    // Algorithm 10: P extended to 64 bits with ones, least significant
    // byte first, 'T' for EncryptMetadata, "adb", 4 random bytes.
    uint32_t p = uint32_t(d->p);
    uint8_t perms[16] = {uint8_t(p), uint8_t(p >> 8), uint8_t(p >> 16), uint8_t(p >> 24),
                         0xFF, 0xFF, 0xFF, 0xFF, 'T', 'a', 'd', 'b'};
    std::memcpy(perms + 12, random + 32, 4);
    status = crypto_aes_ecb_block(true, file_key, 32, perms, d->perms) == CRYPTO_OK
                 ? SEC_OK
                 : SEC_ERR_CRYPTO;
    crypto_wipe(perms, sizeof perms);
    return status;
}

int sec_r6_user_key(const SecR6Dict* d, const uint8_t* password, size_t length,
                    uint8_t file_key[32]) {
    if (!d || !file_key) return SEC_ERR_ARGUMENT;
    return open_key(d->u, d->ue, nullptr, password, length, file_key);
}

int sec_r6_owner_key(const SecR6Dict* d, const uint8_t* password, size_t length,
                     uint8_t file_key[32]) {
    if (!d || !file_key) return SEC_ERR_ARGUMENT;
    return open_key(d->o, d->oe, d->u, password, length, file_key);
}

int sec_r6_check_perms(const SecR6Dict* d, const uint8_t file_key[32]) {
    if (!d || !file_key) return SEC_ERR_ARGUMENT;
    uint8_t plain[16];
    if (crypto_aes_ecb_block(false, file_key, 32, d->perms, plain) != CRYPTO_OK)
        return SEC_ERR_CRYPTO;
    uint32_t p = uint32_t(plain[0]) | uint32_t(plain[1]) << 8 | uint32_t(plain[2]) << 16 |
                 uint32_t(plain[3]) << 24;
    bool ok = p == uint32_t(d->p) && plain[8] == 'T' && std::memcmp(plain + 9, "adb", 3) == 0;
    crypto_wipe(plain, sizeof plain);
    return ok ? SEC_OK : SEC_ERR_PERMS;
}
