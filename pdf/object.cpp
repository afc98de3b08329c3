// Object model: nodes built in memory, key paths, text strings, and the
// serialiser with object framing and stream objects.
#include <cstdio>
#include <cstring>

#include "pdf/pdfw_private.h"

namespace {

constexpr int32_t kMaxString = 2048;
constexpr size_t kMaxSegment = 127;

// One block holds the node and its payload, which follows it.
PdfObject* make_node(PdfDocument* doc, int kind, const void* payload, int32_t length) {
    if (length < 0) {
        pdfw_fail(doc, PDFW_ERR_ARGUMENT);
        return nullptr;
    }
    void* block = pdfw_alloc(doc, sizeof(PdfObject) + size_t(length) + 1);
    if (!block) return nullptr;
    PdfObject* node = static_cast<PdfObject*>(block);
    node->kind = kind;
    node->next = nullptr;
    node->first_child = nullptr;
    node->ref = PdfObjectId{0, 0};
    node->length = length;
    node->text = reinterpret_cast<char*>(node + 1);
    if (length > 0 && payload) std::memcpy(node->text, payload, size_t(length));
    node->text[length] = 0;
    return node;
}

PdfObject* make_text_node(PdfDocument* doc, int kind, const char* text) {
    size_t n = std::strlen(text);
    if (n > size_t(INT32_MAX) - 1 - sizeof(PdfObject)) {
        pdfw_fail(doc, PDFW_ERR_STRING_LENGTH);
        return nullptr;
    }
    return make_node(doc, kind, text, int32_t(n));
}

PdfObject* make_number(PdfDocument* doc, long value, int decimals) {
    char text[32];
    return make_text_node(doc, PDF_TOKEN_NUMBER, pdfw_format_fixed(value, decimals, text));
}

// Link to the key node of key in dict, or null. Keys and values alternate;
// the walk stops at a child that is not a name with a value after it.
PdfObject** find_key(PdfObject* dict, const char* key) {
    PdfObject** link = &dict->first_child;
    while (*link && (*link)->kind == PDF_TOKEN_NAME && (*link)->next) {
        if (std::strcmp((*link)->text, key) == 0) return link;
        link = &(*link)->next->next;
    }
    return nullptr;
}

void append_child(PdfObject* parent, PdfObject* node) {
    PdfObject** link = &parent->first_child;
    while (*link) link = &(*link)->next;
    *link = node;
}

bool is_dict(const PdfObject* node) { return node && node->kind == PDF_TOKEN_DICTIONARY; }
bool is_array(const PdfObject* node) { return node && node->kind == PDF_TOKEN_ARRAY; }
bool is_string(const PdfObject* node) {
    return node && (node->kind == PDF_TOKEN_LITSTRING || node->kind == PDF_TOKEN_HEXSTRING);
}

bool remove_key(PdfDocument* doc, PdfObject* dict, const char* key) {
    if (!doc) return false;
    if (!is_dict(dict) || !key) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    PdfObject** link = find_key(dict, key);
    if (!link) return true;
    PdfObject* key_node = *link;
    PdfObject* value = key_node->next;
    *link = value->next;
    value->next = nullptr;
    pdfw_object_free(doc, key_node);  // the key and its value
    return true;
}

bool array_add(PdfDocument* doc, PdfObject* array, PdfObject* node) {
    if (!node) return false;
    if (!is_array(array)) {
        pdfw_object_free(doc, node);
        return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    }
    append_child(array, node);
    return true;
}

}  // namespace

PdfObject* pdfw_dict_new(PdfDocument* doc) {
    if (!doc) return nullptr;
    return make_node(doc, PDF_TOKEN_DICTIONARY, nullptr, 0);
}

void pdfw_object_free(PdfDocument* doc, PdfObject* node) {
    while (node) {
        PdfObject* next = node->next;
        pdfw_object_free(doc, node->first_child);
        pdfw_free(doc, node);
        node = next;
    }
}

bool pdfw_dict_set(PdfDocument* doc, PdfObject* dict, const char* key, PdfObject* value) {
    if (!value) return false;
    if (!doc || !is_dict(dict) || !key) {
        pdfw_object_free(doc, value);
        return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    }
    if (PdfObject** link = find_key(dict, key)) {
        PdfObject* old = (*link)->next;
        value->next = old->next;
        (*link)->next = value;
        old->next = nullptr;
        pdfw_object_free(doc, old);
        return true;
    }
    PdfObject* key_node = make_text_node(doc, PDF_TOKEN_NAME, key);
    if (!key_node) {
        pdfw_object_free(doc, value);
        return false;
    }
    value->next = nullptr;
    key_node->next = value;
    append_child(dict, key_node);
    return true;
}

bool pdfw_dict_set_bool(PdfDocument* doc, PdfObject* dict, const char* key, int flag) {
    if (!doc) return false;
    return pdfw_dict_set(doc, dict, key,
                         make_node(doc, flag ? PDF_TOKEN_TRUE : PDF_TOKEN_FALSE, nullptr, 0));
}

bool pdfw_dict_set_name(PdfDocument* doc, PdfObject* dict, const char* key, const char* name) {
    if (!name || !*name) return remove_key(doc, dict, key);
    if (!doc) return false;
    return pdfw_dict_set(doc, dict, key, make_text_node(doc, PDF_TOKEN_NAME, name));
}

bool pdfw_dict_set_string(PdfDocument* doc, PdfObject* dict, const char* key,
                          const char* text) {
    if (!text || !*text) return remove_key(doc, dict, key);
    if (!doc) return false;
    return pdfw_dict_set(doc, dict, key, make_text_node(doc, PDF_TOKEN_LITSTRING, text));
}

bool pdfw_dict_set_bytes(PdfDocument* doc, PdfObject* dict, const char* key,
                         const void* bytes, int32_t length) {
    if (!bytes || length == 0) return remove_key(doc, dict, key);
    if (!doc) return false;
    if (length < 0) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    return pdfw_dict_set(doc, dict, key, make_node(doc, PDF_TOKEN_LITSTRING, bytes, length));
}

bool pdfw_dict_set_text(PdfDocument* doc, PdfObject* dict, const char* key,
                        const uint16_t* units, int32_t count) {
    if (!units || count == 0) return remove_key(doc, dict, key);
    if (!doc) return false;
    return pdfw_dict_set(doc, dict, key, pdfw_text_string(doc, units, count));
}

bool pdfw_dict_set_format(PdfDocument* doc, PdfObject* dict, const char* key,
                          const char* templ, const char* const* args, int nargs) {
    if (!templ || !*templ) return remove_key(doc, dict, key);
    if (!doc) return false;
    // Size first, so the string node is made in one piece.
    int64_t length = 0;
    int used = 0;
    for (const char* p = templ; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            // A placeholder without an argument would read past the list.
            if (used >= nargs || !args) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
            length += int64_t(args[used] ? std::strlen(args[used]) : 0);
            ++used;
            ++p;
        } else {
            ++length;
            if (p[0] == '%' && p[1]) {
                ++length;
                ++p;
            }
        }
    }
    if (length > INT32_MAX / 2) return pdfw_fail(doc, PDFW_ERR_STRING_LENGTH);
    PdfObject* node = make_node(doc, PDF_TOKEN_LITSTRING, nullptr, int32_t(length));
    if (!node) return false;
    char* out = node->text;
    used = 0;
    for (const char* p = templ; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            const char* arg = args[used++];
            size_t n = arg ? std::strlen(arg) : 0;
            if (n) std::memcpy(out, arg, n);
            out += n;
            ++p;
        } else {
            *out++ = *p;
            if (p[0] == '%' && p[1]) *out++ = *++p;
        }
    }
    return pdfw_dict_set(doc, dict, key, node);
}

bool pdfw_dict_set_int(PdfDocument* doc, PdfObject* dict, const char* key, int32_t value) {
    if (!doc) return false;
    return pdfw_dict_set(doc, dict, key, make_number(doc, value, 0));
}

bool pdfw_dict_set_hundredths(PdfDocument* doc, PdfObject* dict, const char* key,
                              int32_t value) {
    if (!doc) return false;
    return pdfw_dict_set(doc, dict, key, make_number(doc, value, 2));
}

bool pdfw_dict_set_ref(PdfDocument* doc, PdfObject* dict, const char* key, PdfObjectId id) {
    if (!doc) return false;
    PdfObject* node = make_node(doc, PDF_TOKEN_INDIRECT, nullptr, 0);
    if (node) node->ref = id;
    return pdfw_dict_set(doc, dict, key, node);
}

PdfObject* pdfw_dict_set_array(PdfDocument* doc, PdfObject* dict, const char* key) {
    if (!doc) return nullptr;
    PdfObject* node = make_node(doc, PDF_TOKEN_ARRAY, nullptr, 0);
    return pdfw_dict_set(doc, dict, key, node) ? node : nullptr;
}

PdfObject* pdfw_dict_set_dict(PdfDocument* doc, PdfObject* dict, const char* key) {
    if (!doc) return nullptr;
    PdfObject* node = make_node(doc, PDF_TOKEN_DICTIONARY, nullptr, 0);
    return pdfw_dict_set(doc, dict, key, node) ? node : nullptr;
}

bool pdfw_array_add_name(PdfDocument* doc, PdfObject* array, const char* name) {
    if (!doc) return false;
    if (!name) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    return array_add(doc, array, make_text_node(doc, PDF_TOKEN_NAME, name));
}

bool pdfw_array_add_null(PdfDocument* doc, PdfObject* array) {
    if (!doc) return false;
    return array_add(doc, array, make_node(doc, PDF_TOKEN_NULL, nullptr, 0));
}

bool pdfw_array_add_hundredths(PdfDocument* doc, PdfObject* array, int32_t value) {
    if (!doc) return false;
    return array_add(doc, array, make_number(doc, value, 2));
}

bool pdfw_array_add_fixed(PdfDocument* doc, PdfObject* array, int32_t value, int decimals) {
    if (!doc) return false;
    return array_add(doc, array, make_number(doc, value, decimals));
}

bool pdfw_array_add_ref(PdfDocument* doc, PdfObject* array, PdfObjectId id) {
    if (!doc) return false;
    PdfObject* node = make_node(doc, PDF_TOKEN_INDIRECT, nullptr, 0);
    if (node) node->ref = id;
    return array_add(doc, array, node);
}

bool pdfw_array_add_bytes(PdfDocument* doc, PdfObject* array, const void* bytes,
                          int32_t length) {
    if (!doc) return false;
    if (!bytes || length < 0) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    return array_add(doc, array, make_node(doc, PDF_TOKEN_LITSTRING, bytes, length));
}

PdfObject* pdfw_text_string(PdfDocument* doc, const uint16_t* units, int32_t count) {
    if (!doc) return nullptr;
    if (count < 0 || (count > 0 && !units)) {
        pdfw_fail(doc, PDFW_ERR_ARGUMENT);
        return nullptr;
    }
    bool ascii = true;
    for (int32_t i = 0; i < count && ascii; ++i) ascii = units[i] <= 0x7F;
    int64_t size = ascii ? count : 2 * int64_t(count) + 2;
    if (size > kMaxString) {
        pdfw_fail(doc, PDFW_ERR_STRING_LENGTH);
        return nullptr;
    }
    PdfObject* node = make_node(doc, PDF_TOKEN_LITSTRING, nullptr, int32_t(size));
    if (!node) return nullptr;
    uint8_t* out = reinterpret_cast<uint8_t*>(node->text);
    if (ascii) {
        for (int32_t i = 0; i < count; ++i) out[i] = uint8_t(units[i]);
    } else {
        // Byte order mark, then UTF-16BE.
        *out++ = 0xFE;
        *out++ = 0xFF;
        for (int32_t i = 0; i < count; ++i) {
            *out++ = uint8_t(units[i] >> 8);
            *out++ = uint8_t(units[i]);
        }
    }
    return node;
}

PdfObject* pdfw_dict_get(PdfDocument* doc, PdfObject* node, const char* path) {
    (void)doc;
    if (!node || !path || path[0] != '/') return nullptr;
    PdfObject* current = node;
    const char* p = path;
    while (*p == '/') {
        ++p;
        size_t n = std::strcspn(p, "/");
        char key[kMaxSegment + 1];
        size_t kept = n < kMaxSegment ? n : kMaxSegment;
        std::memcpy(key, p, kept);
        key[kept] = 0;
        p += n;
        if (!is_dict(current)) return nullptr;
        PdfObject** link = find_key(current, key);
        if (!link) return nullptr;
        current = (*link)->next;
        // Objects read back from a file are not kept, so references end here.
        if (current->kind == PDF_TOKEN_INDIRECT) return nullptr;
    }
    if (*p || current->kind == PDF_TOKEN_NULL) return nullptr;
    return current;
}

int32_t pdfw_dict_get_bytes(PdfDocument* doc, PdfObject* node, const char* path,
                            char* buffer, int32_t* length) {
    if (!length) return 0;
    int32_t capacity = *length;
    *length = 0;
    PdfObject* value = pdfw_dict_get(doc, node, path);
    if (!is_string(value) || !buffer || capacity <= 0) return 0;
    int32_t count = value->length < capacity - 1 ? value->length : capacity - 1;
    std::memcpy(buffer, value->text, size_t(count));
    buffer[count] = 0;
    *length = count;
    return count;
}

int32_t pdfw_dict_get_text(PdfDocument* doc, PdfObject* node, const char* path,
                           uint16_t* buffer, int32_t* length) {
    if (!length) return 0;
    int32_t capacity = *length;
    *length = 0;
    PdfObject* value = pdfw_dict_get(doc, node, path);
    if (!is_string(value) || !buffer || capacity <= 0) return 0;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(value->text);
    int32_t count;
    if (value->length > 1 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        count = (value->length - 2) / 2;
        if (count > capacity - 1) count = capacity - 1;
        for (int32_t i = 0; i < count; ++i)
            buffer[i] = uint16_t(bytes[2 + 2 * i] << 8 | bytes[3 + 2 * i]);
    } else {
        count = value->length < capacity - 1 ? value->length : capacity - 1;
        for (int32_t i = 0; i < count; ++i) buffer[i] = bytes[i];
    }
    buffer[count] = 0;
    *length = count;
    return count;
}

// ---- Serialisation --------------------------------------------------------------

bool pdfw_obj_begin(PdfDocument* doc, PdfObjectId id) {
    if (!doc) return false;
    doc->security.current = id;
    if (!pdfw_obj_set_offset(doc, id, doc->position)) return false;
    return pdfw_io_printf(doc, "%ld %d obj", long(id.number), int(id.generation));
}

bool pdfw_obj_end(PdfDocument* doc) { return pdfw_io_line(doc, "endobj"); }

bool pdfw_object(PdfDocument* doc, PdfObjectId id, PdfObject* value) {
    if (!doc) return false;
    if (!value) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    return pdfw_obj_begin(doc, id) && pdfw_object_sub(doc, value) && pdfw_obj_end(doc);
}

bool pdfw_object_sub(PdfDocument* doc, PdfObject* value) {
    if (!doc) return false;
    if (!value) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    switch (value->kind) {
    case PDF_TOKEN_TRUE:
    case PDF_TOKEN_FALSE:
    case PDF_TOKEN_NULL:
        return pdfw_io_token(doc, value->kind, ' ', nullptr, 0);
    case PDF_TOKEN_NUMBER:
    case PDF_TOKEN_NAME:
        return pdfw_io_token(doc, value->kind, ' ', value->text, value->length);
    case PDF_TOKEN_INDIRECT:
        return pdfw_io_token(doc, value->kind, ' ', &value->ref, 0);
    case PDF_TOKEN_LITSTRING:
    case PDF_TOKEN_HEXSTRING:
        return pdfw_io_token(doc, value->kind, '\n', value->text, value->length);
    case PDF_TOKEN_DICTIONARY:
    case PDF_TOKEN_ARRAY: {
        bool dict = value->kind == PDF_TOKEN_DICTIONARY;
        if (!pdfw_io_token(doc, dict ? PDF_TOKEN_DIC_OPEN : PDF_TOKEN_ARR_OPEN,
                           dict ? '\n' : ' ', nullptr, 0))
            return false;
        for (PdfObject* child = value->first_child; child; child = child->next)
            if (!pdfw_object_sub(doc, child)) return false;
        return pdfw_io_token(doc, dict ? PDF_TOKEN_DIC_CLOSE : PDF_TOKEN_ARR_CLOSE, '\n',
                             nullptr, 0);
    }
    default:
        pdfw_trace(doc, "PDF: Error: pdfw_object_sub can't handle %s\n",
                   pdfw_token_name(value->kind));
        return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    }
}
