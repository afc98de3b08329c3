// Stream objects: the dictionary and the body are gathered first and the
// whole object is written at the end, when /Length is known, the body is
// compressed if asked and encrypted with the object's key.
#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "pdf/pdfw_private.h"

namespace {

// Turns a failed step into a failed stream; the cause is already set.
bool stream_fail(PdfStream* s) {
    s->failed = true;
    return false;
}

bool dict_append(PdfStream* s, const char* text, size_t n) {
    if (s->dict_length + n + 1 > s->dict_capacity) {
        size_t grown = s->dict_capacity ? s->dict_capacity * 2 : 256;
        while (grown < s->dict_length + n + 1) grown *= 2;
        char* bigger = static_cast<char*>(pdfw_realloc(s->doc, s->dict, grown));
        if (!bigger) return stream_fail(s);
        s->dict = bigger;
        s->dict_capacity = grown;
    }
    std::memcpy(s->dict + s->dict_length, text, n);
    s->dict_length += n;
    s->dict[s->dict_length] = 0;
    return true;
}

// The compressed body replaces the plain one when it saves more than the
// margin; a body that does not shrink that much stays as it is.
bool compress_body(PdfStream* s, bool* compressed) {
    *compressed = false;
    if (!(s->flags & PDFW_STREAM_FLATE) || s->length <= s->flate_margin) return true;
    const int64_t room = s->length - s->flate_margin;
    if (s->length > UINT32_MAX) return true;
    uint8_t* packed = static_cast<uint8_t*>(pdfw_alloc(s->doc, size_t(room)));
    if (!packed) return false;
    uint32_t size = uint32_t(room);
    if (codec_flate(packed, &size, s->body, uint32_t(s->length)) != CODEC_OK) {
        pdfw_free(s->doc, packed);
        return true;
    }
    pdfw_free(s->doc, s->body);
    s->body = packed;
    s->length = size;
    s->capacity = room;
    *compressed = true;
    return true;
}

// Each dictionary line goes out on its own, as the line writer reports a
// failed write with the line's text.
bool write_dict_lines(PdfDocument* doc, char* dict) {
    char* line = dict;
    while (line && *line) {
        char* end = std::strchr(line, '\n');
        *end = 0;
        bool ok = pdfw_io_line(doc, line);
        *end = '\n';
        if (!ok) return false;
        line = end + 1;
    }
    return true;
}

// The body goes out encrypted a piece at a time, so no second copy of a
// large image is made.
bool write_body(PdfStream* s) {
    PdfDocument* doc = s->doc;
    PdfCipher c;
    if (!pdfw_cipher_begin(doc, s->id, &c)) return false;
    constexpr size_t kPiece = 1 << 16;
    uint8_t* sealed = c.kind == PDFW_CIPHER_AES
                          ? static_cast<uint8_t*>(pdfw_alloc(doc, kPiece + 32))
                          : nullptr;
    // A made body passes through a piece buffer of its own.
    uint8_t* made = s->produce ? static_cast<uint8_t*>(pdfw_alloc(doc, kPiece)) : nullptr;
    bool ok = (c.kind != PDFW_CIPHER_AES || sealed) && (!s->produce || made);
    for (int64_t at = 0; ok && at < s->length; at += int64_t(kPiece)) {
        size_t n = size_t(std::min<int64_t>(int64_t(kPiece), s->length - at));
        uint8_t* piece = made;
        if (made) {
            size_t got = 0;
            ok = s->produce(s->produce_opaque, made, n, &got);
            if (ok && got != n) ok = pdfw_fail(doc, PDFW_ERR_ARGUMENT);
        } else {
            piece = s->body + at;
        }
        uint8_t* out = sealed ? sealed : piece;  // RC4 works in place
        size_t produced = 0;
        ok = ok && pdfw_cipher_update(&c, piece, n, out, &produced) &&
             pdfw_io_data(doc, out, int64_t(produced));
    }
    pdfw_free(doc, made);
    size_t tail = 0;
    uint8_t last[32];
    ok = ok && pdfw_cipher_finish(&c, last, &tail) && pdfw_io_data(doc, last, int64_t(tail));
    pdfw_cipher_free(&c);
    pdfw_free(doc, sealed);
    return ok;
}

bool write_object(PdfStream* s, bool compressed) {
    PdfDocument* doc = s->doc;
    const long length = long(pdfw_encrypted_length(doc, s->length));
    const bool length_first = (s->flags & PDFW_STREAM_LENGTH_FIRST) != 0;
    auto length_and_filter = [&] {
        return pdfw_io_key_int(doc, "/Length", length) &&
               (!compressed || pdfw_io_key_name(doc, "/Filter", "/FlateDecode"));
    };
    auto filter_and_length = [&] {
        return (!compressed || pdfw_io_key_name(doc, "/Filter", "/FlateDecode")) &&
               pdfw_io_key_int(doc, "/Length", length);
    };
    return pdfw_obj_begin(doc, s->id) && pdfw_io_line(doc, "<<") &&
           (!length_first || length_and_filter()) && write_dict_lines(doc, s->dict) &&
           (length_first || filter_and_length()) && pdfw_io_line(doc, ">>") &&
           pdfw_io_line(doc, "stream") && write_body(s) && pdfw_io_line(doc, "\nendstream") &&
           pdfw_obj_end(doc);
}

}  // namespace

void pdfw_stream_begin(PdfDocument* doc, PdfStream* s, PdfObjectId id, unsigned flags,
                       int32_t flate_margin) {
    std::memset(s, 0, sizeof *s);
    s->doc = doc;
    s->id = id;
    s->flags = flags;
    s->flate_margin = flate_margin < 0 ? 0 : flate_margin;
    s->failed = doc == nullptr;
}

bool pdfw_stream_entry(PdfStream* s, const char* format, ...) {
    if (s->failed) return false;
    char line[256];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0 || n >= int(sizeof line)) {
        pdfw_fail(s->doc, PDFW_ERR_LINE_LENGTH);
        return stream_fail(s);
    }
    return dict_append(s, line, size_t(n)) && dict_append(s, "\n", 1);
}

bool pdfw_stream_entry_hex(PdfStream* s, const char* before, const uint8_t* bytes,
                           int32_t length, const char* after) {
    if (s->failed) return false;
    if (length < 0 || length > PDFW_MAX_STRING || (length > 0 && !bytes)) {
        pdfw_fail(s->doc, PDFW_ERR_ARGUMENT);
        return stream_fail(s);
    }
    uint8_t work[PDFW_MAX_STRING + 32];
    char text[2 * (PDFW_MAX_STRING + 32) + 2];
    int64_t sealed = 0;
    if (!pdfw_encrypt_string(s->doc, s->id, bytes, length, work, &sealed)) return stream_fail(s);
    const size_t used = pdfw_hex_text(work, int32_t(sealed), text);
    return dict_append(s, before, std::strlen(before)) && dict_append(s, text, used) &&
           dict_append(s, after, std::strlen(after)) && dict_append(s, "\n", 1);
}

bool pdfw_stream_write(PdfStream* s, const void* bytes, int64_t length) {
    if (s->failed) return false;
    if (length < 0 || (length > 0 && !bytes)) {
        pdfw_fail(s->doc, PDFW_ERR_ARGUMENT);
        return stream_fail(s);
    }
    if (length == 0) return true;
    if (s->length + length > s->capacity) {
        int64_t grown = s->capacity ? s->capacity * 2 : 4096;
        while (grown < s->length + length) grown *= 2;
        uint8_t* bigger = static_cast<uint8_t*>(pdfw_realloc(s->doc, s->body, size_t(grown)));
        if (!bigger) return stream_fail(s);
        s->body = bigger;
        s->capacity = grown;
    }
    std::memcpy(s->body + s->length, bytes, size_t(length));
    s->length += length;
    return true;
}

bool pdfw_stream_adopt(PdfStream* s, uint8_t* block, int64_t length) {
    if (s->failed || s->body) {
        // Appended to what is there: the block is ours either way.
        bool ok = pdfw_stream_write(s, block, length);
        pdfw_free(s->doc, block);
        return ok;
    }
    s->body = block;
    s->length = length;
    s->capacity = length;
    return true;
}

bool pdfw_stream_produce(PdfStream* s, int64_t length,
                         bool (*produce)(void* opaque, uint8_t* out, size_t max, size_t* got),
                         void* opaque) {
    if (s->failed) return false;
    if (s->body || length < 0 || !produce || (s->flags & PDFW_STREAM_FLATE)) {
        pdfw_fail(s->doc, PDFW_ERR_ARGUMENT);
        return stream_fail(s);
    }
    s->produce = produce;
    s->produce_opaque = opaque;
    s->length = length;
    return true;
}

bool pdfw_stream_end(PdfStream* s) {
    bool ok = !s->failed;
    bool compressed = false;
    if (ok) ok = compress_body(s, &compressed);
    if (ok) ok = write_object(s, compressed);
    pdfw_stream_abandon(s);
    return ok;
}

void pdfw_stream_abandon(PdfStream* s) {
    pdfw_free(s->doc, s->dict);
    pdfw_free(s->doc, s->body);
    s->dict = nullptr;
    s->body = nullptr;
    s->dict_length = s->dict_capacity = 0;
    s->length = s->capacity = 0;
    s->produce = nullptr;
}

bool pdfw_obj_stream(PdfDocument* doc, uint8_t* data, int32_t length, PdfObjectId* id) {
    if (!doc) return false;
    if (length < 0 || (length > 0 && !data)) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    PdfObjectId own;
    if (!pdfw_obj_new(doc, &own, 0)) return false;
    if (id) *id = own;
    // Compression pays only when it saves more than 21 bytes.
    PdfStream s;
    pdfw_stream_begin(doc, &s, own, PDFW_STREAM_FLATE | PDFW_STREAM_LENGTH_FIRST, 21);
    pdfw_stream_write(&s, data, length);
    return pdfw_stream_end(&s);
}
