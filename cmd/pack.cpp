// Settings packed into the words the writer takes.
#include "cmd/tarvo.h"
#include "pdf/pdfw.h"

uint32_t cmd_pack_viewer_flags(const TarvoSettings* s) {
    uint32_t flags = 0;
    if (s->vwp != 0) flags |= 0x0001;
    if (s->vwl != 0) flags |= 0x0002;
    if (s->vwz != 0) flags |= 0x0004;
    // Each preference: a value bit (true unless the setting is 1, "false"),
    // then a presence bit; the writer reads the value only when present.
    const int32_t prefs[6] = {s->vwwf, s->vwwc, s->vwwt, s->vwhm, s->vwht, s->vwhc};
    for (int k = 0; k < 6; ++k) {
        if (prefs[k] != 1) flags |= 0x10u << (2 * k);
        if (prefs[k] != 0) flags |= 0x20u << (2 * k);
    }
    return flags;
}

uint32_t cmd_pack_colour(int32_t rgb) {
    uint32_t v = uint32_t(rgb);
    return ((v & 0xFF) << 16) | (v & 0xFF00) | ((v >> 16) & 0xFF);
}

int32_t cmd_pack_permissions(int32_t set) {
    // /P bits 0-1 are reserved as 0 and bits 6 and up are granted; the four
    // choosable permissions sit at bits 2-5 in an order of their own.
    uint32_t p = 0xFFFFFFC0u;
    if (set & 1) p |= 0x04;  // print
    if (set & 4) p |= 0x08;  // modify contents
    if (set & 2) p |= 0x10;  // copy or extract
    if (set & 8) p |= 0x20;  // annotate
    return int32_t(p);
}

int cmd_key_size_choice(int32_t sec) {
    switch (sec) {
    case 1: return PDFW_SECURITY_RC4_40;
    case 2: return PDFW_SECURITY_RC4_128;
    case 3: return PDFW_SECURITY_AES_256;
    case 4: return PDFW_SECURITY_AES_128;
    default: return -1;
    }
}

bool cmd_encoding_choice(int32_t enc, int* filter, int* quality) {
    static const int QUALITY[5] = {100, 75, 50, 25, 1};
    if (enc == 1 || enc == 2) {
        *filter = enc == 1 ? PDFW_FILTER_NONE : PDFW_FILTER_FLATE;
        *quality = -1;
        return true;
    }
    if (enc >= 3 && enc <= 7) {
        *filter = PDFW_FILTER_DCT;
        *quality = QUALITY[enc - 3];
        return true;
    }
    return false;
}
