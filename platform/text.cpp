// Wide text at the OS boundary: UTF-8 with stray bytes escaped as
// U+DC80 + byte (the same mapping as Python's surrogateescape), so that any
// byte string a Linux file name can hold survives bytes -> wide -> bytes.
// Wide strings are UTF-32 where wchar_t has 32 bits and UTF-16 where it has
// 16 (Windows); the UTF-8 is the same either way.
#include "platform/platform.h"

#include <cstdlib>
#include <cstring>

namespace {

const wchar_t ESCAPE_BASE = 0xDC00;  // stray byte b is carried as ESCAPE_BASE + b (b >= 0x80)
const bool UTF16 = sizeof(wchar_t) == 2;

bool is_cont(unsigned char b) { return (b & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at s (1..4) and its code point,
// or 0 when the lead byte does not start one. Overlongs, encoded surrogates,
// values above U+10FFFF and truncated sequences are all rejected here.
int decode_one(const unsigned char* s, uint32_t* cp) {
    unsigned char b0 = s[0];
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    }
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        if (!is_cont(s[1])) return 0;
        *cp = (uint32_t(b0 & 0x1F) << 6) | (s[1] & 0x3F);
        return 2;
    }
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        unsigned char lo = 0x80, hi = 0xBF;
        if (b0 == 0xE0) lo = 0xA0;  // below: overlong
        if (b0 == 0xED) hi = 0x9F;  // above: UTF-16 surrogates
        if (s[1] < lo || s[1] > hi || !is_cont(s[2])) return 0;
        *cp = (uint32_t(b0 & 0x0F) << 12) | (uint32_t(s[1] & 0x3F) << 6) | (s[2] & 0x3F);
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        unsigned char lo = 0x80, hi = 0xBF;
        if (b0 == 0xF0) lo = 0x90;  // below: overlong
        if (b0 == 0xF4) hi = 0x8F;  // above: beyond U+10FFFF
        if (s[1] < lo || s[1] > hi || !is_cont(s[2]) || !is_cont(s[3])) return 0;
        *cp = (uint32_t(b0 & 0x07) << 18) | (uint32_t(s[1] & 0x3F) << 12) |
              (uint32_t(s[2] & 0x3F) << 6) | (s[3] & 0x3F);
        return 4;
    }
    return 0;
}

}  // namespace

wchar_t* plat_utf8_to_wide(const char* bytes) {
    if (!bytes) return nullptr;
    size_t n = std::strlen(bytes);
    // At most one wide character per byte (in UTF-16 a four-byte sequence
    // makes two). The NUL terminator stops every look-ahead in decode_one,
    // since it is never a continuation byte.
    wchar_t* out = static_cast<wchar_t*>(std::malloc((n + 1) * sizeof(wchar_t)));
    if (!out) return nullptr;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(bytes);
    size_t k = 0;
    for (size_t i = 0; i < n;) {
        uint32_t cp = 0;
        int len = decode_one(s + i, &cp);
        if (len == 0) {
            out[k++] = wchar_t(ESCAPE_BASE + s[i]);
            ++i;
        } else if (UTF16 && cp >= 0x10000) {
            out[k++] = wchar_t(0xD800 + ((cp - 0x10000) >> 10));
            out[k++] = wchar_t(0xDC00 + ((cp - 0x10000) & 0x3FF));
            i += size_t(len);
        } else {
            out[k++] = wchar_t(cp);
            i += size_t(len);
        }
    }
    out[k] = 0;
    return out;
}

char* plat_wide_to_utf8(const wchar_t* text) {
    if (!text) return nullptr;
    size_t n = std::wcslen(text);
    if (n > (SIZE_MAX - 1) / 4) return nullptr;
    char* out = static_cast<char*>(std::malloc(n * 4 + 1));
    if (!out) return nullptr;
    unsigned char* d = reinterpret_cast<unsigned char*>(out);
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = uint32_t(text[i]);
        const uint32_t next = i + 1 < n ? uint32_t(text[i + 1]) : 0;
        if (UTF16 && c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
            ++i;
        } else if (c >= 0xDC80 && c <= 0xDCFF) {
            *d++ = static_cast<unsigned char>(c - ESCAPE_BASE);
            continue;
        }
        // A surrogate outside the escape range or a value beyond Unicode has
        // no UTF-8 form: write U+FFFD rather than bytes no reader accepts.
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
        if (c < 0x80) {
            *d++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *d++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *d++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *d++ = static_cast<unsigned char>(0xE0 | (c >> 12));
            *d++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *d++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            *d++ = static_cast<unsigned char>(0xF0 | (c >> 18));
            *d++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            *d++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *d++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    *d = 0;
    return out;
}

void plat_errno_reason(int error, PlatReason* why) {
    if (!why) return;
    why->text[0] = 0;
    if (error == 0) return;
    // Both C runtimes keep strerror's text per thread or constant, and the
    // command never sets a locale, so it is the runtime's English.
    const char* text = std::strerror(error);
    if (!text) return;
    std::strncpy(why->text, text, sizeof why->text - 1);
    why->text[sizeof why->text - 1] = 0;
}
