// Stream objects: the dictionary and the body are gathered first and the
// whole object is written at the end, when /Length is known, through a
// chain of stages: Flate if asked, the object's cipher, the file.
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

// The body goes out through a chain of stages, each taking pieces and a
// finish and handing what it makes to the next: Flate for bodies that ask
// for it, the cipher, the file. Each stage is told the length of what it
// will be given before the first piece, so the file stage can write the
// object's head, /Length included, before the body.
struct Stage {
    bool (*begin)(Stage* self, int64_t length, bool compressed);
    bool (*put)(Stage* self, const uint8_t* data, size_t n);
    bool (*finish)(Stage* self);
    Stage* next;
    PdfStream* stream;
};

constexpr size_t kPiece = size_t(1) << 16;

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

// The file: the object's head on begin, the body as it comes, its tail on
// finish.
bool file_begin(Stage* self, int64_t length, bool compressed) {
    PdfStream* s = self->stream;
    PdfDocument* doc = s->doc;
    const long sealed = long(pdfw_encrypted_length(doc, length));
    const bool length_first = (s->flags & PDFW_STREAM_LENGTH_FIRST) != 0;
    auto length_and_filter = [&] {
        return pdfw_io_key_int(doc, "/Length", sealed) &&
               (!compressed || pdfw_io_key_name(doc, "/Filter", "/FlateDecode"));
    };
    auto filter_and_length = [&] {
        return (!compressed || pdfw_io_key_name(doc, "/Filter", "/FlateDecode")) &&
               pdfw_io_key_int(doc, "/Length", sealed);
    };
    return pdfw_obj_begin(doc, s->id) && pdfw_io_line(doc, "<<") &&
           (!length_first || length_and_filter()) && write_dict_lines(doc, s->dict) &&
           (length_first || filter_and_length()) && pdfw_io_line(doc, ">>") &&
           pdfw_io_line(doc, "stream");
}
bool file_put(Stage* self, const uint8_t* data, size_t n) {
    return n == 0 || pdfw_io_data(self->stream->doc, data, int64_t(n));
}
bool file_finish(Stage* self) {
    return pdfw_io_line(self->stream->doc, "\nendstream") && pdfw_obj_end(self->stream->doc);
}

// The cipher of the object's key, a piece at a time, so no second copy of
// a large body is made; without encryption the pieces pass as they are.
struct CipherStage {
    Stage stage;
    PdfCipher c;
    bool begun;
    uint8_t* work;  // a piece and an AES block's growth
};
bool cipher_begin(Stage* self, int64_t length, bool compressed) {
    CipherStage* cs = reinterpret_cast<CipherStage*>(self);
    PdfDocument* doc = self->stream->doc;
    if (!pdfw_cipher_begin(doc, self->stream->id, &cs->c)) return false;
    cs->begun = true;
    if (cs->c.kind != PDFW_CIPHER_NONE) {
        cs->work = static_cast<uint8_t*>(pdfw_alloc(doc, kPiece + 32));
        if (!cs->work) return false;
    }
    return self->next->begin(self->next, length, compressed);
}
bool cipher_put(Stage* self, const uint8_t* data, size_t n) {
    CipherStage* cs = reinterpret_cast<CipherStage*>(self);
    if (!cs->work) return self->next->put(self->next, data, n);
    for (size_t at = 0; at < n; at += kPiece) {
        const size_t piece = std::min(kPiece, n - at);
        size_t produced = 0;
        if (!pdfw_cipher_update(&cs->c, data + at, piece, cs->work, &produced) ||
            !self->next->put(self->next, cs->work, produced))
            return false;
    }
    return true;
}
bool cipher_finish(Stage* self) {
    CipherStage* cs = reinterpret_cast<CipherStage*>(self);
    uint8_t last[32];
    size_t tail = 0;
    return pdfw_cipher_finish(&cs->c, last, &tail) && self->next->put(self->next, last, tail) &&
           self->next->finish(self->next);
}
void cipher_free(CipherStage* cs, PdfDocument* doc) {
    if (cs->begun) pdfw_cipher_free(&cs->c);
    pdfw_free(doc, cs->work);
}

// Flate over the whole body: what it is given is gathered (a body handed
// over whole is coded where it lies), and on finish the compressed body
// goes on when it saves more than the margin, the plain one otherwise.
struct FlateStage {
    Stage stage;
    int64_t length;
    const uint8_t* whole;  // the body, when it came in one piece
    uint8_t* gathered;
    int64_t have;
};
bool flate_begin(Stage* self, int64_t length, bool) {
    reinterpret_cast<FlateStage*>(self)->length = length;
    return true;
}
bool flate_put(Stage* self, const uint8_t* data, size_t n) {
    FlateStage* fs = reinterpret_cast<FlateStage*>(self);
    if (fs->have == 0 && int64_t(n) == fs->length) {
        fs->whole = data;
        fs->have = fs->length;
        return true;
    }
    if (!fs->gathered) {
        fs->gathered = static_cast<uint8_t*>(pdfw_alloc(self->stream->doc, size_t(std::max<int64_t>(fs->length, 1))));
        if (!fs->gathered) return false;
        if (fs->whole) std::memcpy(fs->gathered, fs->whole, size_t(fs->have));
    }
    std::memcpy(fs->gathered + fs->have, data, n);
    fs->have += int64_t(n);
    return true;
}
bool flate_finish(Stage* self) {
    FlateStage* fs = reinterpret_cast<FlateStage*>(self);
    PdfStream* s = self->stream;
    const uint8_t* plain = fs->gathered ? fs->gathered : fs->whole;
    Stage* next = self->next;
    uint8_t* packed = nullptr;
    uint32_t size = 0;
    if (fs->length > s->flate_margin && fs->length <= UINT32_MAX) {
        const int64_t room = fs->length - s->flate_margin;
        packed = static_cast<uint8_t*>(pdfw_alloc(s->doc, size_t(room)));
        if (!packed) return false;
        size = uint32_t(room);
        if (codec_flate(packed, &size, plain, uint32_t(fs->length)) != CODEC_OK) {
            pdfw_free(s->doc, packed);
            packed = nullptr;
        }
    }
    const bool ok = packed ? next->begin(next, size, true) && next->put(next, packed, size)
                           : next->begin(next, fs->length, false) &&
                                 next->put(next, plain, size_t(fs->length));
    pdfw_free(s->doc, packed);
    return ok && next->finish(next);
}

// The body into the chain: whole (in one or two blocks), or made a piece
// at a time.
bool feed_body(PdfStream* s, Stage* first) {
    if (!first->begin(first, s->length + s->more_length, false)) return false;
    if (!s->produce)
        return first->put(first, s->body, size_t(s->length)) &&
               (!s->more || first->put(first, s->more, size_t(s->more_length))) &&
               first->finish(first);
    uint8_t* made = static_cast<uint8_t*>(pdfw_alloc(s->doc, kPiece));
    bool ok = made != nullptr;
    for (int64_t at = 0; ok && at < s->length; at += int64_t(kPiece)) {
        const size_t n = size_t(std::min<int64_t>(int64_t(kPiece), s->length - at));
        size_t got = 0;
        ok = s->produce(s->produce_opaque, made, n, &got);
        if (ok && got != n) ok = pdfw_fail(s->doc, PDFW_ERR_ARGUMENT);
        ok = ok && first->put(first, made, n);
    }
    pdfw_free(s->doc, made);
    return ok && first->finish(first);
}

bool write_object(PdfStream* s) {
    Stage file{file_begin, file_put, file_finish, nullptr, s};
    CipherStage cipher{{cipher_begin, cipher_put, cipher_finish, &file, s}, {}, false, nullptr};
    FlateStage flate{{flate_begin, flate_put, flate_finish, &cipher.stage, s}, 0, nullptr, nullptr, 0};
    Stage* first = (s->flags & PDFW_STREAM_FLATE) ? &flate.stage : &cipher.stage;
    const bool ok = feed_body(s, first);
    pdfw_free(s->doc, flate.gathered);
    cipher_free(&cipher, s->doc);
    return ok;
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
    if (length < 0 || (length > 0 && !bytes) || s->more) {
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

bool pdfw_stream_adopt_more(PdfStream* s, uint8_t* block, int64_t length) {
    if (s->failed || s->more || s->produce || length < 0 || (s->flags & PDFW_STREAM_FLATE)) {
        pdfw_free(s->doc, block);
        if (s->failed) return false;
        pdfw_fail(s->doc, PDFW_ERR_ARGUMENT);
        return stream_fail(s);
    }
    s->more = block;
    s->more_length = length;
    return true;
}

bool pdfw_stream_produce(PdfStream* s, int64_t length,
                         bool (*produce)(void* opaque, uint8_t* out, size_t max, size_t* got),
                         void* opaque) {
    if (s->failed) return false;
    if (s->body || s->more || length < 0 || !produce || (s->flags & PDFW_STREAM_FLATE)) {
        pdfw_fail(s->doc, PDFW_ERR_ARGUMENT);
        return stream_fail(s);
    }
    s->produce = produce;
    s->produce_opaque = opaque;
    s->length = length;
    return true;
}

bool pdfw_stream_end(PdfStream* s) {
    const bool ok = !s->failed && write_object(s);
    pdfw_stream_abandon(s);
    return ok;
}

void pdfw_stream_abandon(PdfStream* s) {
    pdfw_free(s->doc, s->dict);
    pdfw_free(s->doc, s->body);
    pdfw_free(s->doc, s->more);
    s->dict = nullptr;
    s->body = nullptr;
    s->more = nullptr;
    s->more_length = 0;
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
