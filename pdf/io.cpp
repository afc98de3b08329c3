// Output channel and primitive syntax: every byte of the file passes through
// channel_write, which counts the offset and turns a short
// write into a message and -4.
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstring>

#include "pdf/pdfw_private.h"

namespace {

constexpr int32_t kMaxString = 2048;

const char* const kTokenNames[] = {
    "PDF_TOKEN_ERROR",      "PDF_TOKEN_EOI",         "PDF_TOKEN_TRUE",
    "PDF_TOKEN_FALSE",      "PDF_TOKEN_NULL",        "PDF_TOKEN_STREAM_OPEN",
    "PDF_TOKEN_STREAM_CLOSE", "PDF_TOKEN_OBJ_OPEN",  "PDF_TOKEN_OBJ_CLOSE",
    "PDF_TOKEN_XREF",       "PDF_TOKEN_TRAILER",     "PDF_TOKEN_R",
    "PDF_TOKEN_DIC_OPEN",   "PDF_TOKEN_DIC_CLOSE",   "PDF_TOKEN_ARR_OPEN",
    "PDF_TOKEN_ARR_CLOSE",  "PDF_TOKEN_NUMBER",      "PDF_TOKEN_LITSTRING",
    "PDF_TOKEN_HEXSTRING",  "PDF_TOKEN_NAME",        "PDF_TOKEN_DICTIONARY",
    "PDF_TOKEN_ARRAY",      "PDF_TOKEN_INDIRECT",    "PDF_TOKEN_STREAM",
};

// Keywords of the token kinds 0..15; empty for kinds that write nothing.
const char* const kKeywords[] = {
    "", "", "true", "false", "null", "stream", "endstream", "obj",
    "endobj", "xref", "trailer", "R", "<<", ">>", "[", "]",
};

// Writes one block. text non-null selects the string form of the failure
// message (the text shown and its length).
bool channel_write(PdfDocument* doc, const void* bytes, int64_t length, const char* text) {
    if (!doc) return false;
    if (doc->write_error) return pdfw_fail_detail(doc, doc->write_error, "%s", doc->write_detail);
    if (length <= 0) return true;
    if (!doc->out) return pdfw_fail(doc, PDFW_ERR_FILE_STATE);
    // The cross-reference table holds 10-digit offsets; a file beyond them
    // could not be indexed.
    if (length > PDFW_MAX_FILE_OFFSET - doc->position) {
        pdfw_trace(doc, "PDF: Error: pdfw_io_data( %" PRId64 " bytes at 0x%" PRIX64
                    ") would pass the file size limit of %" PRId64 " bytes\n",
                    length, uint64_t(doc->position), PDFW_MAX_FILE_OFFSET);
        pdfw_fail_detail(doc, PDFW_ERR_WRITE, "the file would pass %" PRId64 " bytes",
                         PDFW_MAX_FILE_OFFSET);
        return pdfw_write_failed(doc);
    }
    errno = 0;
    size_t accepted = std::fwrite(bytes, 1, size_t(length), doc->out);
    if (accepted < size_t(length)) {
        int err = errno;
        if (text)
            pdfw_trace(doc, "PDF: Error: pdfw_io_cstring( '%s' %" PRId64 ") at 0x%" PRIX64
                        " %zu errno=%d\n",
                        text, length, uint64_t(doc->position), accepted, err);
        else
            pdfw_trace(doc, "PDF: Error: pdfw_io_data( %" PRId64 " bytes at 0x%" PRIX64
                        ") %zu errno=%d\n",
                        length, uint64_t(doc->position), accepted, err);
        pdfw_fail_errno(doc, PDFW_ERR_WRITE, err);
        return pdfw_write_failed(doc);
    }
    doc->position += length;
    return true;
}

bool write_name(PdfDocument* doc, const char* name) {
    static const char kHex[] = "0123456789ABCDEF";
    char out[512];
    size_t used = 0;
    out[used++] = '/';
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
        if (used + 3 > sizeof out) {
            if (!channel_write(doc, out, int64_t(used), nullptr)) return false;
            used = 0;
        }
        if (*p >= 0x21 && *p <= 0x7E) {
            out[used++] = char(*p);
        } else {
            out[used++] = '#';
            out[used++] = kHex[*p >> 4];
            out[used++] = kHex[*p & 15];
        }
    }
    return channel_write(doc, out, int64_t(used), nullptr);
}

bool write_hexstring(PdfDocument* doc, const void* bytes, int32_t length) {
    if (length < 0 || (length > 0 && !bytes)) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    // Encrypted on a copy, which AES makes up to 32 bytes longer.
    const size_t room = size_t(length) + 32;
    uint8_t* copy = static_cast<uint8_t*>(pdfw_alloc(doc, room + 2 * room + 2));
    if (!copy) return false;
    int64_t sealed = 0;
    if (!pdfw_encrypt_string(doc, doc->security.current, static_cast<const uint8_t*>(bytes),
                             length, copy, &sealed)) {
        pdfw_free(doc, copy);
        return false;
    }
    char* text = reinterpret_cast<char*>(copy + room);
    const size_t used = pdfw_hex_text(copy, int32_t(sealed), text);
    bool ok = channel_write(doc, text, int64_t(used), nullptr);
    pdfw_free(doc, copy);
    return ok;
}

bool write_ref(PdfDocument* doc, const PdfObjectId* id) {
    if (!id) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    char text[40];
    std::snprintf(text, sizeof text, "%ld %u R", long(id->number), unsigned(id->generation));
    return pdfw_io_cstring(doc, text);
}

}  // namespace

size_t pdfw_hex_text(const uint8_t* bytes, int32_t length, char* out) {
    static const char kHex[] = "0123456789abcdef";
    size_t used = 0;
    out[used++] = '<';
    for (int32_t i = 0; i < length; ++i) {
        out[used++] = kHex[bytes[i] >> 4];
        out[used++] = kHex[bytes[i] & 15];
    }
    out[used++] = '>';
    return used;
}

void pdfw_hex_upper(const uint8_t* bytes, size_t n, char* out) {
    static const char kHex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = kHex[bytes[i] >> 4];
        out[2 * i + 1] = kHex[bytes[i] & 15];
    }
    out[2 * n] = 0;
}

const char* pdfw_token_name(int kind) {
    if (kind < 0 || kind > PDF_TOKEN_STREAM) return "???";
    return kTokenNames[kind];
}

int64_t pdfw_io_position(const PdfDocument* doc) { return doc ? doc->position : 0; }

bool pdfw_io_data(PdfDocument* doc, const void* bytes, int64_t length) {
    if (length > 0 && !bytes) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    return channel_write(doc, bytes, length, nullptr);
}

bool pdfw_io_cstring(PdfDocument* doc, const char* text) {
    if (!doc) return false;
    if (!text) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    return channel_write(doc, text, int64_t(std::strlen(text)), text);
}

bool pdfw_io_line(PdfDocument* doc, const char* text) {
    if (!pdfw_io_cstring(doc, text)) return false;
    return channel_write(doc, "\n", 1, "\n");
}

bool pdfw_io_printf(PdfDocument* doc, const char* format, ...) {
    if (!doc) return false;
    if (!format) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    char line[256];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0 || n >= int(sizeof line)) return pdfw_fail(doc, PDFW_ERR_LINE_LENGTH);
    return pdfw_io_line(doc, line);
}

bool pdfw_io_token(PdfDocument* doc, int kind, char separator, const void* payload,
                   int32_t length) {
    if (!doc) return false;
    bool ok = true;
    switch (kind) {
    case PDF_TOKEN_ERROR:
    case PDF_TOKEN_EOI:
    case PDF_TOKEN_DICTIONARY:
    case PDF_TOKEN_ARRAY:
    case PDF_TOKEN_STREAM:
        break;
    case PDF_TOKEN_NUMBER:
        ok = pdfw_io_cstring(doc, static_cast<const char*>(payload));
        break;
    case PDF_TOKEN_LITSTRING:
        ok = pdfw_io_litstring(doc, payload, length);
        break;
    case PDF_TOKEN_HEXSTRING:
        ok = write_hexstring(doc, payload, length);
        break;
    case PDF_TOKEN_NAME:
        ok = payload ? write_name(doc, static_cast<const char*>(payload))
                     : pdfw_fail(doc, PDFW_ERR_ARGUMENT);
        break;
    case PDF_TOKEN_INDIRECT:
        ok = write_ref(doc, static_cast<const PdfObjectId*>(payload));
        break;
    default:
        if (kind < 0 || kind >= int(sizeof kKeywords / sizeof kKeywords[0]))
            return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
        ok = pdfw_io_cstring(doc, kKeywords[kind]);
        break;
    }
    if (ok && separator != 0) ok = channel_write(doc, &separator, 1, nullptr);
    return ok;
}

bool pdfw_io_litstring(PdfDocument* doc, const void* bytes, int32_t length) {
    if (!doc) return false;
    if (length < 0 || (length > 0 && !bytes)) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    if (length > kMaxString) return pdfw_fail(doc, PDFW_ERR_STRING_LENGTH);
    // Encryption works on a copy so the caller's bytes stay intact; AES
    // makes it up to 32 bytes longer.
    uint8_t work[kMaxString + 32];
    int64_t sealed = 0;
    if (!pdfw_encrypt_string(doc, doc->security.current, static_cast<const uint8_t*>(bytes),
                             length, work, &sealed))
        return false;
    char text[2 * (kMaxString + 32) + 2];
    size_t used = 0;
    text[used++] = '(';
    for (int64_t i = 0; i < sealed; ++i) {
        char c = char(work[i]);
        switch (c) {
        case '\n': text[used++] = '\\'; c = 'n'; break;
        case '\r': text[used++] = '\\'; c = 'r'; break;
        case '(': case ')': case '\\': text[used++] = '\\'; break;
        default: break;
        }
        text[used++] = c;
    }
    text[used++] = ')';
    return channel_write(doc, text, int64_t(used), nullptr);
}

bool pdfw_io_key_name(PdfDocument* doc, const char* key, const char* value) {
    return pdfw_io_printf(doc, "%s %s", key, value);
}

bool pdfw_io_key_int(PdfDocument* doc, const char* key, long value) {
    return pdfw_io_printf(doc, "%s %ld", key, value);
}

bool pdfw_io_key_bool(PdfDocument* doc, const char* key, int flag) {
    return pdfw_io_printf(doc, "%s %s", key, flag ? "true" : "false");
}

bool pdfw_obj_dict_end(PdfDocument* doc) {
    return pdfw_io_line(doc, ">>") && pdfw_io_line(doc, "endobj");
}

char* pdfw_format_fixed(long value, int decimals, char* buffer) {
    if (decimals <= 0) {
        std::snprintf(buffer, 32, "%ld", value);
        return buffer;
    }
    // 18 decimals cover every long; more would only add leading zeros.
    if (decimals > 18) decimals = 18;
    uint64_t scale = 1;
    for (int i = 0; i < decimals; ++i) scale *= 10;
    // Unsigned magnitude, so the most negative long has one too.
    uint64_t magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
    uint64_t whole = magnitude / scale;
    uint64_t fraction = magnitude % scale;
    const char* sign = value < 0 ? "-" : "";
    // The point is written by hand: the C library's would follow the locale.
    // At most 21 characters: 19 digits, the sign and the point.
    char text[64];
    if (fraction == 0)
        std::snprintf(text, sizeof text, "%s%" PRIu64, sign, whole);
    else
        std::snprintf(text, sizeof text, "%s%" PRIu64 ".%0*" PRIu64, sign, whole, decimals,
                      fraction);
    std::memcpy(buffer, text, std::strlen(text) + 1);
    return buffer;
}
