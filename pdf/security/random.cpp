// The random source: the system generator, or after seeding a SHA-256
// generator in counter mode (the construction is described in crypto.h).
#include <cstring>

#include "pdf/security/crypto.h"

void crypto_random_init(CryptoRandom* rng) {
    if (rng) std::memset(rng, 0, sizeof *rng);
}

int crypto_random_seed(CryptoRandom* rng, const void* seed, size_t length) {
    if (!rng || (!seed && length > 0)) return CRYPTO_ERR_ARGUMENT;
    crypto_random_init(rng);
    int status = crypto_sha2(256, seed, length, rng->key);
    if (status != CRYPTO_OK) return status;
    rng->seeded = 1;
    return CRYPTO_OK;
}

int crypto_random_bytes(CryptoRandom* rng, uint8_t* out, size_t length) {
    if (!out && length > 0) return CRYPTO_ERR_ARGUMENT;
    if (!rng || !rng->seeded) return crypto_system_random(out, length);
    while (length > 0) {
        if (rng->pool_left == 0) {
            uint8_t input[40];
            std::memcpy(input, rng->key, 32);
            for (int i = 0; i < 8; ++i) input[32 + i] = uint8_t(rng->counter >> (56 - 8 * i));
            int status = crypto_sha2(256, input, sizeof input, rng->pool);
            if (status != CRYPTO_OK) return status;
            ++rng->counter;
            rng->pool_left = sizeof rng->pool;
        }
        size_t take = length < rng->pool_left ? length : rng->pool_left;
        std::memcpy(out, rng->pool + (sizeof rng->pool - rng->pool_left), take);
        rng->pool_left -= uint32_t(take);
        out += take;
        length -= take;
    }
    return CRYPTO_OK;
}
