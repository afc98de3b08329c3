// RC4 stream cipher: key schedule, then the keystream XOR-ed over a buffer.
#include "pdf/security/security.h"

void rc4_init(Rc4State* st, const uint8_t* key, size_t key_length) {
    for (int i = 0; i < 256; ++i) st->s[i] = uint8_t(i);
    st->i = 0;
    st->j = 0;
    if (!key || key_length == 0) return;
    uint8_t j = 0;
    for (int i = 0; i < 256; ++i) {
        j = uint8_t(j + st->s[i] + key[size_t(i) % key_length]);
        uint8_t t = st->s[i];
        st->s[i] = st->s[j];
        st->s[j] = t;
    }
}

void rc4_crypt(Rc4State* st, uint8_t* buffer, size_t length) {
    uint8_t i = st->i;
    uint8_t j = st->j;
    for (size_t n = 0; n < length; ++n) {
        i = uint8_t(i + 1);
        j = uint8_t(j + st->s[i]);
        uint8_t t = st->s[i];
        st->s[i] = st->s[j];
        st->s[j] = t;
        buffer[n] ^= st->s[uint8_t(st->s[i] + st->s[j])];
    }
    st->i = i;
    st->j = j;
}
