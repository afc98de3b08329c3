// PDF document writer: the document context and every writer call.
//
// Calls return nonzero for success and zero for failure; a failure leaves a
// negative code in the document's last error (PDFW_ERR_*), which
// pdfw_destroy returns. A null document makes every call fail.
#ifndef TARVO_PDFW_H
#define TARVO_PDFW_H

#include <cstddef>
#include <cstdint>
#include <cwchar>

#include "dib/dib.h"

struct PdfDocument;

// Library version 0.91.
enum { PDFW_VERSION_MAJOR = 0, PDFW_VERSION_MINOR = 91 };

// Last-error codes.
enum {
    PDFW_ERR_NO_MEMORY = -1,
    PDFW_ERR_FILE_STATE = -2,
    PDFW_ERR_FILE_OPEN = -3,
    PDFW_ERR_WRITE = -4,
    PDFW_ERR_DCT = -16,
    PDFW_ERR_BITMAP_FORMAT = -18,
    PDFW_ERR_STRING_LENGTH = -21,
    PDFW_ERR_VERSION = -22,
    PDFW_ERR_NULL_DOCUMENT = -25,
    PDFW_ERR_ICC_PATH = -26,
    PDFW_ERR_ICC_OPEN = -27,
    PDFW_ERR_ICC_READ = -28,
    PDFW_ERR_PDFA_ENCRYPTION = -29,
    PDFW_ERR_PDFA_LZW = -30,
    PDFW_ERR_PDFA_SCRIPT = -35,
};

// Filter codes: index into the filter-name table.
enum {
    PDFW_FILTER_NONE = 0,
    PDFW_FILTER_ASCIIHEX = 1,
    PDFW_FILTER_ASCII85 = 2,
    PDFW_FILTER_LZW = 3,
    PDFW_FILTER_FLATE = 4,
    PDFW_FILTER_RUNLENGTH = 5,
    PDFW_FILTER_CCITT = 6,
    PDFW_FILTER_JBIG2 = 7,
    PDFW_FILTER_DCT = 8,
    PDFW_FILTER_JPX = 9,
    PDFW_FILTER_CRYPT = 10,
};
const char* pdfw_filter_name(int code);  // "None", "FlateDecode", ...; "???" out of range

// Token kinds: tokens the writer emits and value kinds of the object model.
enum PdfTokenKind {
    PDF_TOKEN_ERROR = 0,
    PDF_TOKEN_EOI = 1,
    PDF_TOKEN_TRUE = 2,
    PDF_TOKEN_FALSE = 3,
    PDF_TOKEN_NULL = 4,
    PDF_TOKEN_STREAM_OPEN = 5,
    PDF_TOKEN_STREAM_CLOSE = 6,
    PDF_TOKEN_OBJ_OPEN = 7,
    PDF_TOKEN_OBJ_CLOSE = 8,
    PDF_TOKEN_XREF = 9,
    PDF_TOKEN_TRAILER = 10,
    PDF_TOKEN_R = 11,
    PDF_TOKEN_DIC_OPEN = 12,
    PDF_TOKEN_DIC_CLOSE = 13,
    PDF_TOKEN_ARR_OPEN = 14,
    PDF_TOKEN_ARR_CLOSE = 15,
    PDF_TOKEN_NUMBER = 16,
    PDF_TOKEN_LITSTRING = 17,
    PDF_TOKEN_HEXSTRING = 18,
    PDF_TOKEN_NAME = 19,
    PDF_TOKEN_DICTIONARY = 20,
    PDF_TOKEN_ARRAY = 21,
    PDF_TOKEN_INDIRECT = 22,
    PDF_TOKEN_STREAM = 23,
};
const char* pdfw_token_name(int kind);  // "???" above 23

struct PdfObjectId {
    int32_t number;
    uint16_t generation;
};

// Object-model node. Payload by kind: NUMBER and NAME hold NUL-terminated
// text; LITSTRING/HEXSTRING hold length bytes plus a NUL; INDIRECT an id;
// DICTIONARY and ARRAY hold children through first_child.
struct PdfObject {
    int32_t kind;
    PdfObject* next;
    PdfObject* first_child;
    PdfObjectId ref;
    int32_t length;
    char* text;
};

// Page and image rectangle in document units (1/7200 inch); x from the left
// edge, y from the top edge downward.
struct PageRect {
    int32_t x;
    int32_t y;
    int32_t w;
    int32_t h;
};

// ---- Document context and settings ----------------------------------------
bool pdfw_new(PdfDocument** handle);
int pdfw_destroy(PdfDocument** handle);  // the last error; -25 for null
int pdfw_last_error(const PdfDocument* doc);
void pdfw_set_last_error(PdfDocument* doc, int code);
bool pdfw_set_icc_file(PdfDocument* doc, const wchar_t* path);
bool pdfw_set_exec_mode(PdfDocument* doc, int exec_mode, int auto_advance,
                        int page_time, int transition_style,
                        int transition_direction, int transition_time,
                        int loop, uint32_t background, uint32_t viewer_flags,
                        int page_mode, int page_layout, int zoom_mode,
                        int zoom_value, int start_page);
bool pdfw_set_encoding(PdfDocument* doc, int compression_on, int truecolour,
                       int truecolour_quality, int palette,
                       int palette_quality, int grey, int grey_quality,
                       int bilevel, int further1, int further2,
                       int compare_ccitt_flate);
bool pdfw_set_page_size(PdfDocument* doc, int preset, int flag_a, int flag_b,
                        int32_t width, int32_t height);
bool pdfw_set_rotation(PdfDocument* doc, int degrees);
void pdfw_require_version(PdfDocument* doc, int version);
const wchar_t* pdfw_producer();

// Counted allocator: a 4-byte length prefix, in-use and peak counters.
void* pdfw_alloc(PdfDocument* doc, size_t n);
void* pdfw_realloc(PdfDocument* doc, void* block, size_t n);
void pdfw_free(PdfDocument* doc, void* block);
int64_t pdfw_mem_in_use(const PdfDocument* doc);
int64_t pdfw_mem_peak(const PdfDocument* doc);
// Bytes held through the counted allocator by all documents together; 0 once
// every document is destroyed (leak checks in tests).
int64_t pdfw_mem_all_in_use();
// Test hook: the allocator's Nth request from now (1-based) fails; 0 = off.
void pdfw_alloc_fail_after(unsigned n);

// Object table.
bool pdfw_obj_new(PdfDocument* doc, PdfObjectId* id, int32_t page_ordinal);
int32_t pdfw_obj_count(const PdfDocument* doc);
bool pdfw_obj_set_page(PdfDocument* doc, PdfObjectId id, int32_t ordinal);
bool pdfw_obj_set_offset(PdfDocument* doc, PdfObjectId id, int64_t offset);
bool pdfw_page_ref(const PdfDocument* doc, int32_t ordinal, PdfObjectId* id);
const char* pdfw_transition_name(int style);  // null outside 0..14

// ---- Output channel and primitive syntax ----------------------------------
int64_t pdfw_io_position(const PdfDocument* doc);
bool pdfw_io_data(PdfDocument* doc, const void* bytes, int64_t length);
bool pdfw_io_cstring(PdfDocument* doc, const char* text);
bool pdfw_io_line(PdfDocument* doc, const char* text);
bool pdfw_io_printf(PdfDocument* doc, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
bool pdfw_io_token(PdfDocument* doc, int kind, char separator,
                   const void* payload, int32_t length);
bool pdfw_io_litstring(PdfDocument* doc, const void* bytes, int32_t length);
bool pdfw_io_key_name(PdfDocument* doc, const char* key, const char* value);
bool pdfw_io_key_int(PdfDocument* doc, const char* key, long value);
bool pdfw_io_key_bool(PdfDocument* doc, const char* key, int flag);
bool pdfw_obj_dict_end(PdfDocument* doc);
// Scaled integer as a PDF real; buffer of at least 32 bytes.
char* pdfw_format_fixed(long value, int decimals, char* buffer);

// ---- Object model ----------------------------------------------------------
PdfObject* pdfw_dict_new(PdfDocument* doc);
void pdfw_object_free(PdfDocument* doc, PdfObject* node);
bool pdfw_dict_set(PdfDocument* doc, PdfObject* dict, const char* key,
                   PdfObject* value);
bool pdfw_dict_set_bool(PdfDocument* doc, PdfObject* dict, const char* key,
                        int flag);
bool pdfw_dict_set_name(PdfDocument* doc, PdfObject* dict, const char* key,
                        const char* name);
bool pdfw_dict_set_string(PdfDocument* doc, PdfObject* dict, const char* key,
                          const char* text);
bool pdfw_dict_set_bytes(PdfDocument* doc, PdfObject* dict, const char* key,
                         const void* bytes, int32_t length);
bool pdfw_dict_set_text(PdfDocument* doc, PdfObject* dict, const char* key,
                        const uint16_t* units, int32_t count);
// Template with "%s" replaced by the NUL-terminated string arguments in
// order; args holds nargs pointers.
bool pdfw_dict_set_format(PdfDocument* doc, PdfObject* dict, const char* key,
                          const char* templ, const char* const* args,
                          int nargs);
bool pdfw_dict_set_int(PdfDocument* doc, PdfObject* dict, const char* key,
                       int32_t value);
bool pdfw_dict_set_hundredths(PdfDocument* doc, PdfObject* dict,
                              const char* key, int32_t value);
bool pdfw_dict_set_ref(PdfDocument* doc, PdfObject* dict, const char* key,
                       PdfObjectId id);
PdfObject* pdfw_dict_set_array(PdfDocument* doc, PdfObject* dict,
                               const char* key);
PdfObject* pdfw_dict_set_dict(PdfDocument* doc, PdfObject* dict,
                              const char* key);
bool pdfw_array_add_name(PdfDocument* doc, PdfObject* array, const char* name);
bool pdfw_array_add_null(PdfDocument* doc, PdfObject* array);
bool pdfw_array_add_hundredths(PdfDocument* doc, PdfObject* array,
                               int32_t value);
bool pdfw_array_add_fixed(PdfDocument* doc, PdfObject* array, int32_t value,
                          int decimals);
bool pdfw_array_add_ref(PdfDocument* doc, PdfObject* array, PdfObjectId id);
bool pdfw_array_add_bytes(PdfDocument* doc, PdfObject* array,
                          const void* bytes, int32_t length);
PdfObject* pdfw_dict_get(PdfDocument* doc, PdfObject* node, const char* path);
int32_t pdfw_dict_get_bytes(PdfDocument* doc, PdfObject* node,
                            const char* path, char* buffer, int32_t* length);
int32_t pdfw_dict_get_text(PdfDocument* doc, PdfObject* node,
                           const char* path, uint16_t* buffer,
                           int32_t* length);
// A string node from UTF-16 units: plain bytes when all are below 0x80, else
// FE FF and UTF-16BE; null when over 2048 bytes or out of memory.
PdfObject* pdfw_text_string(PdfDocument* doc, const uint16_t* units,
                            int32_t count);

bool pdfw_obj_begin(PdfDocument* doc, PdfObjectId id);
bool pdfw_obj_end(PdfDocument* doc);
bool pdfw_object(PdfDocument* doc, PdfObjectId id, PdfObject* value);
bool pdfw_object_sub(PdfDocument* doc, PdfObject* value);
bool pdfw_obj_stream(PdfDocument* doc, uint8_t* data, int32_t length,
                     PdfObjectId* id);

// ---- File structure and close sequence ------------------------------------
bool pdfw_file_create(PdfDocument* doc, const wchar_t* path,
                      const char* comment);
bool pdfw_file_close(PdfDocument* doc);
bool pdfw_page_kids(PdfDocument* doc);
bool pdfw_set_info(PdfDocument* doc, const char* key, const wchar_t* value);
bool pdfw_set_info_bytes(PdfDocument* doc, const char* key, const char* text);
// Info date text "D:YYYYMMDDHHmmSS+HH'mm'" from the platform clock.
bool pdfw_info_date(char* buffer, size_t size);

// ---- Catalog presentation settings ----------------------------------------
bool pdfw_catalog_page_mode(PdfDocument* doc, PdfObject* catalog);
bool pdfw_catalog_page_layout(PdfDocument* doc, PdfObject* catalog);
bool pdfw_catalog_open_action(PdfDocument* doc, PdfObject* catalog);
bool pdfw_catalog_viewer_prefs(PdfDocument* doc, PdfObject* catalog);
bool pdfw_page_transition(PdfDocument* doc, PdfObject* page);

// ---- Pages and content streams --------------------------------------------
bool pdfw_impage(PdfDocument* doc, DibHandle dib, const PageRect* image,
                 const PageRect* clip);
bool pdfw_set_next_page_size(PdfDocument* doc, int selector, int flag_a,
                             int flag_b, int32_t width, int32_t height);
bool pdf_page_set_rotate(PdfDocument* doc, int angle);
bool pdfw_content_printf(PdfDocument* doc, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// ---- Image XObjects --------------------------------------------------------
bool pdfw_impage_image(PdfDocument* doc, DibHandle dib, int res_is_dpi,
                       PdfObjectId* id);
bool pdfw_stream_data(PdfDocument* doc, uint8_t* bytes, int64_t length,
                      PdfObjectId id);

// ---- XMP metadata and PDF/A output intent ---------------------------------
bool pdfw_obj_metadata(PdfDocument* doc, PdfObjectId* id);
bool pdfw_obj_output_intent(PdfDocument* doc, PdfObjectId* id);

// ---- Standard security handler --------------------------------------------
// RC4 encryption of every later string and stream. Passwords are NUL-ended
// bytes (null = empty; only the first 32 count); key_size_choice 1 is
// 128-bit (R 3), anything else 40-bit (R 2). Must come before
// pdfw_file_create, once: -29 in PDF/A mode, -2 once the file exists or
// when already set up. Prints the self-check line.
bool pdfw_set_encryption(PdfDocument* doc, const char* owner_password,
                         const char* user_password, int key_size_choice,
                         int32_t permissions);
// RC4 in place with the key of object id (of the object begun last), from
// a fresh state each call; nothing while encryption is off.
void pdfw_encrypt_buffer(PdfDocument* doc, PdfObjectId id, uint8_t* buffer,
                         int64_t length);
void pdfw_encrypt_current(PdfDocument* doc, uint8_t* buffer, int64_t length);

#endif
