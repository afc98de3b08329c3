// Writer internals shared by the files of pdf/ and pdf/security/: the
// document struct, the allocator, the object table, the output channel and
// primitive syntax, the object model, stream objects, and the pieces of the
// file, the catalog, pages, images and PDF/A. Not for callers outside the
// writer; tests include it where they test an internal on purpose.
#ifndef TARVO_PDFW_PRIVATE_H
#define TARVO_PDFW_PRIVATE_H

#include <cstdio>

#include "codec/codec.h"
#include "pdf/pdfw.h"
#include "pdf/security/crypto.h"
#include "pdf/security/security.h"
#include "platform/platform.h"

// A4 in whole points, in document units.
constexpr int32_t PDFW_A4_SHORT = 59500;
constexpr int32_t PDFW_A4_LONG = 84200;

// Offsets in the cross-reference table have 10 digits.
constexpr int64_t PDFW_MAX_FILE_OFFSET = 9999999999LL;

// Longest string the object model and the string writer take.
constexpr int32_t PDFW_MAX_STRING = 2048;

// Stage markers of creation, page adding and closing.
enum {
    PDFW_STAGE_CREATE = 1,
    PDFW_STAGE_OPEN = 2,
    PDFW_STAGE_PAGE = 3,
    PDFW_STAGE_PAGES = 4,
    PDFW_STAGE_INFO = 5,
    PDFW_STAGE_ENCRYPT = 6,
    PDFW_STAGE_CATALOG = 7,
    PDFW_STAGE_XREF = 8,
    PDFW_STAGE_TRAILER = 9,
    PDFW_STAGE_FOOTER = 10,
    PDFW_STAGE_CLOSE = 11,
};

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
const char* pdfw_token_name(int kind);    // "???" above 23
const char* pdfw_filter_name(int code);   // "None", "FlateDecode", ...; "???" out of range
const char* pdfw_transition_name(int style);  // null outside 0..14

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

struct PdfXrefEntry {
    uint32_t generation;
    int64_t offset;
    char kind;  // 'n' or 'f'
    int32_t page_ordinal;
};

enum {
    PDFW_CIPHER_NONE = 0,
    PDFW_CIPHER_RC4 = 1,
    PDFW_CIPHER_AES = 2,
};

struct PdfSecurity {
    int dict_present;
    int on;
    PdfObjectId dict_id;
    int32_t v;
    int32_t r;
    int32_t key_length;  // bytes
    int32_t p;
    int cipher;          // PDFW_CIPHER_*
    uint8_t o[48];       // 32 bytes below revision 6
    uint8_t u[48];
    uint8_t oe[32];      // revision 6
    uint8_t ue[32];
    uint8_t perms[16];
    uint8_t file_key[32];
    uint8_t file_id[16];  // zero unless encrypted
    PdfObjectId current;
    CryptoRandom rng;     // keys, salts, IVs and the identifier
};

struct PdfDocument {
    FILE* out;
    wchar_t* out_path;   // owned, pdfw_alloc'ed; null until created
    int64_t position;    // bytes written so far
    int64_t mem_in_use;
    int64_t mem_peak;
    int rotation;
    int page_preset;
    int32_t page_width;
    int32_t page_height;
    int crop_mode;
    int32_t crop_box[4];
    int info_from_file;
    PdfObject* doc_info_obj;

    // Pages.
    int page_rotation;       // -1: no /Rotate
    int next_size_selector;  // -1: no /MediaBox per page
    int32_t next_width;
    int32_t next_height;
    int32_t page_count;

    int last_error;
    int stage;

    PdfXrefEntry* xref;
    int32_t xref_count;
    int32_t xref_capacity;
    int64_t prev_xref_offset;
    int64_t xref_offset;

    PdfObjectId root_id;
    PdfObjectId info_id;
    PdfObjectId pages_id;

    int required_version;
    PdfSecurity security;
    PdfEncodingChoices encoding;
    PdfViewing viewing;
    int pdfa;
    wchar_t* icc_path;  // owned, pdfw_alloc'ed; null until set

    char* content;  // current page's content text
    size_t content_capacity;

    PdfTraceFn trace;
    void* trace_opaque;
    PdfWarningFn warning;
    void* warning_opaque;
    int body_version;  // what the objects need beyond the header's version
    int threads;  // for one image, at least 1
    char error_detail[160];  // what the last failure found; empty: its code says all
    // The first failed write of the file, which every later write repeats:
    // bytes after a lost piece would land at offsets the table does not hold.
    int write_error;  // 0: none
    char write_detail[160];
};

// Records code as the document's last error and returns false, so that the
// place that finds a fault can end with `return pdfw_fail(doc, code);`.
bool pdfw_fail(PdfDocument* doc, int code);
// Keeps the failure just recorded as the file's first failed write, which
// every later write repeats; returns false.
bool pdfw_write_failed(PdfDocument* doc);
// The same with words on what was found, for pdfw_last_error_text.
bool pdfw_fail_detail(PdfDocument* doc, int code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// The same with the system's words for errno value error ("No space left
// on device") as the detail; for 0 the code's own text.
bool pdfw_fail_errno(PdfDocument* doc, int code, int error);
// One trace line, formatted; to the document's trace function (standard
// output by default; a null document traces there too).
void pdfw_trace(const PdfDocument* doc, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// A line composed before (ending "\n"), passed on as it is.
void pdfw_trace_text(const PdfDocument* doc, const char* line);

// ---- Settings ---------------------------------------------------------------------
// Page size of a preset: 0 takes width and height (both above 0, reserved
// words 0), 1 is A4 portrait, 2 A4 landscape. False for anything else.
bool pdfw_preset_size(int preset, int reserved_a, int reserved_b, int32_t width,
                      int32_t height, int32_t* out_width, int32_t* out_height);
void pdfw_require_version(PdfDocument* doc, int version);
// A version the objects written need once the header is out; the catalog
// states it.
void pdfw_require_body_version(PdfDocument* doc, int version);
// Passes a warning to the document's warning function.
void pdfw_warning(const PdfDocument* doc, const char* text);

// ---- Counted allocator --------------------------------------------------------------
// Blocks carry their length in front; in-use and peak counters per
// document. With a null document: plain allocation without accounting.
// Out of memory sets -1.
void* pdfw_alloc(PdfDocument* doc, size_t n);
void* pdfw_realloc(PdfDocument* doc, void* block, size_t n);
void pdfw_free(PdfDocument* doc, void* block);
// The same without recording an error: for work on another thread, which
// keeps its own. Counting is thread-safe.
void* pdfw_alloc_counted(PdfDocument* doc, size_t n);
// Gives the memory past the first `used` bytes of a block back while the
// block stays: for an encoder's room once its data is made. Still counted.
void pdfw_trim(PdfDocument* doc, void* block, size_t used);
void* pdfw_realloc_counted(PdfDocument* doc, void* block, size_t n);
// Test hook: the allocator's Nth request from now (1-based) fails; 0 = off.
void pdfw_alloc_fail_after(unsigned n);
// The encoders' host for a document: its allocator and its trace.
CodecHost pdfw_codec_host(PdfDocument* doc);

// ---- Object table -----------------------------------------------------------------------
bool pdfw_obj_new(PdfDocument* doc, PdfObjectId* id, int32_t page_ordinal);
int32_t pdfw_obj_count(const PdfDocument* doc);
bool pdfw_obj_set_page(PdfDocument* doc, PdfObjectId id, int32_t ordinal);
bool pdfw_obj_set_offset(PdfDocument* doc, PdfObjectId id, int64_t offset);
bool pdfw_page_ref(const PdfDocument* doc, int32_t ordinal, PdfObjectId* id);

// ---- Output channel and primitive syntax ----------------------------------------------
// Every byte of the file passes here: offsets, write failures
// (-4, with a trace line) and the 10-digit offset limit.
int64_t pdfw_io_position(const PdfDocument* doc);
bool pdfw_io_data(PdfDocument* doc, const void* bytes, int64_t length);
bool pdfw_io_cstring(PdfDocument* doc, const char* text);
bool pdfw_io_line(PdfDocument* doc, const char* text);
// One formatted line of at most 255 bytes (-20 beyond).
bool pdfw_io_printf(PdfDocument* doc, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
bool pdfw_io_token(PdfDocument* doc, int kind, char separator,
                   const void* payload, int32_t length);
bool pdfw_io_litstring(PdfDocument* doc, const void* bytes, int32_t length);
bool pdfw_io_key_name(PdfDocument* doc, const char* key, const char* value);
bool pdfw_io_key_int(PdfDocument* doc, const char* key, long value);
bool pdfw_io_key_bool(PdfDocument* doc, const char* key, int flag);
bool pdfw_obj_dict_end(PdfDocument* doc);
// "<" two lowercase hex digits a byte ">" into out (2 * length + 2 bytes);
// returns the count.
size_t pdfw_hex_text(const uint8_t* bytes, int32_t length, char* out);
// Upper-case hex digits of n bytes, NUL-terminated (2 * n + 1 bytes).
void pdfw_hex_upper(const uint8_t* bytes, size_t n, char* out);
// Scaled integer as a PDF real; buffer of at least 32 bytes.
char* pdfw_format_fixed(long value, int decimals, char* buffer);

// ---- Object model --------------------------------------------------------------------------
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
// FE FF and UTF-16BE; null when over 2048 bytes (-21) or out of memory.
PdfObject* pdfw_text_string(PdfDocument* doc, const uint16_t* units,
                            int32_t count);

bool pdfw_obj_begin(PdfDocument* doc, PdfObjectId id);
bool pdfw_obj_end(PdfDocument* doc);
bool pdfw_object(PdfDocument* doc, PdfObjectId id, PdfObject* value);
bool pdfw_object_sub(PdfDocument* doc, PdfObject* value);

// ---- Stream objects -------------------------------------------------------------------------
// One stream object: begun with its object number, given its dictionary
// entries and its body (in pieces, or a whole block handed over), and
// written at pdfw_stream_end: "N 0 obj", "<<", the entries, /Length, ">>",
// "stream", the body (compressed when asked, encrypted with the object's
// key), "endstream", "endobj". Nothing reaches the file before the end, so
// a stream abandoned on a failure leaves no partial object.
enum {
    // Compress the body with Flate when that saves more than the margin;
    // the writer then adds /Filter /FlateDecode.
    PDFW_STREAM_FLATE = 1,
    // /Length (and the added /Filter) before the caller's entries, not after.
    PDFW_STREAM_LENGTH_FIRST = 2,
};
struct PdfStream {
    PdfDocument* doc;
    PdfObjectId id;
    unsigned flags;
    int32_t flate_margin;
    char* dict;  // entries, each ending "\n"
    size_t dict_length;
    size_t dict_capacity;
    uint8_t* body;
    int64_t length;
    int64_t capacity;
    uint8_t* more;  // a second adopted block, written after the body
    int64_t more_length;
    bool failed;  // a step failed; the end writes nothing
    // A body made while it is written, instead of body: fills out with up
    // to max bytes (*got), in order; false on failure (the cause set).
    bool (*produce)(void* opaque, uint8_t* out, size_t max, size_t* got);
    void* produce_opaque;
};
void pdfw_stream_begin(PdfDocument* doc, PdfStream* s, PdfObjectId id, unsigned flags,
                       int32_t flate_margin);
// One dictionary line, formatted (at most 255 bytes).
bool pdfw_stream_entry(PdfStream* s, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// A line holding a hex string between two texts; the string is encrypted
// with the object's key like every string of the document.
bool pdfw_stream_entry_hex(PdfStream* s, const char* before, const uint8_t* bytes,
                           int32_t length, const char* after);
// Appends body bytes.
bool pdfw_stream_write(PdfStream* s, const void* bytes, int64_t length);
// Takes a whole body allocated with pdfw_alloc; the stream frees it.
bool pdfw_stream_adopt(PdfStream* s, uint8_t* block, int64_t length);
// Takes a second block, written after the adopted body without being
// copied to it; once, and not with PDFW_STREAM_FLATE or produce.
bool pdfw_stream_adopt_more(PdfStream* s, uint8_t* block, int64_t length);
// A body of length bytes that produce makes while it is written, so that
// no copy of it is held; not with PDFW_STREAM_FLATE.
bool pdfw_stream_produce(PdfStream* s, int64_t length,
                         bool (*produce)(void* opaque, uint8_t* out, size_t max, size_t* got),
                         void* opaque);
// Writes the object and frees the stream's memory; false (with the cause
// set) when any step failed.
bool pdfw_stream_end(PdfStream* s);
void pdfw_stream_abandon(PdfStream* s);

// A stream object of the given bytes (copied; compressed when that saves
// more than 21 bytes), with a new object number in *id when id is not null.
bool pdfw_obj_stream(PdfDocument* doc, uint8_t* data, int32_t length,
                     PdfObjectId* id);

// ---- File structure ----------------------------------------------------------------------
bool pdfw_page_kids(PdfDocument* doc);
bool pdfw_set_info_bytes(PdfDocument* doc, const char* key, const char* text);
// Info date text "D:YYYYMMDDHHmmSS+HH'mm'" from the platform clock.
bool pdfw_info_date(char* buffer, size_t size);

// ---- Catalog presentation settings ------------------------------------------------------
bool pdfw_catalog_page_mode(PdfDocument* doc, PdfObject* catalog);
bool pdfw_catalog_page_layout(PdfDocument* doc, PdfObject* catalog);
bool pdfw_catalog_open_action(PdfDocument* doc, PdfObject* catalog);
bool pdfw_catalog_viewer_prefs(PdfDocument* doc, PdfObject* catalog);
bool pdfw_page_transition(PdfDocument* doc, PdfObject* page);

// ---- Pages and images ---------------------------------------------------------------------
bool pdfw_content_printf(PdfDocument* doc, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// Writes the bitmap as an image XObject; res_is_dpi: its resolution fields
// hold dots per inch rather than pixels per metre.
bool pdfw_impage_image(PdfDocument* doc, DibHandle dib, int res_is_dpi,
                       PdfObjectId* id);

// Writes a prepared image as its XObject (with its trace lines and, when it
// failed, its failure) and frees it.
bool pdfw_image_emit(PdfDocument* doc, PdfPreparedImage* image, PdfObjectId* id);

// The encoders' description of a bitmap open in a view.
CodecImage pdfw_codec_image(const DibView* view);
// The encoders through the writer's calling convention: memory from the
// document, trace lines to its trace.
int pdfw_filter_flate(PdfDocument* doc, uint8_t* dst, uint32_t* size, const uint8_t* src,
                      uint32_t src_length);
int pdfw_filter_ccitt(PdfDocument* doc, uint8_t* out, uint32_t* size,
                      const uint8_t* samples, uint32_t length, int32_t columns,
                      int32_t rows);
// JPEG-codes a bitmap (locked and unlocked here); *output and *size as for
// codec_dct_encode, a grown buffer coming from pdfw_alloc.
int dct_encode(PdfDocument* doc, uint8_t** output, uint32_t* size, DibHandle dib,
               int quality, int grey);

// ---- XMP packet and PDF/A output intent -----------------------------------------------------
bool pdfw_obj_metadata(PdfDocument* doc, PdfObjectId* id);
bool pdfw_obj_output_intent(PdfDocument* doc, PdfObjectId* id);

// Length of an XMP date, "YYYY-MM-DDThh:mm:ss+hh:mm".
enum { PDFW_XMP_DATE_LENGTH = 25 };

// XMP form of an information date "D:YYYYMMDDhhmmss+HH'mm'" (sign + - or Z;
// Z becomes +00:00) into out, which holds at least 26 bytes; NUL-terminated.
// Returns 25, or 0 with out empty when the text is not of that form.
int pdfw_xmp_date(const char* info_date, char* out);

// UTF-8 of UTF-16 units as XML character data: surrogate pairs joined,
// unpaired surrogates U+FFFD, markup characters escaped, characters XML 1.0
// forbids dropped. Writes to out unless it is null; returns the byte count.
size_t pdfw_xmp_text(const uint16_t* units, int32_t count, char* out);

// The XMP packet mirroring the information dictionary info, in a block from
// pdfw_alloc (the caller frees it) with its length in *length; null when out
// of memory (last error -1).
char* pdfw_xmp_packet(PdfDocument* doc, PdfObject* info, int32_t* length);

// Reads the document's ICC profile and checks that it is a complete RGB
// profile, without writing anything. Fails with -26 (no path), -27 (does not
// open), -28 (unreadable, short or not RGB) or -1. Lets a caller refuse a
// bad profile before the output file is created.
bool pdfw_icc_check(PdfDocument* doc);

// ---- Standard security handler ------------------------------------------------------------
// Sets up the document's random source (the system's until seeded).
void pdfw_security_init(PdfDocument* doc);
// Zeroes the keys and everything else of the handler, before the document
// is freed.
void pdfw_security_wipe(PdfDocument* doc);
// The encryption dictionary as its object.
bool pdfw_security_write_dict(PdfDocument* doc);
// Bytes that length bytes of a string or stream take once encrypted.
int64_t pdfw_encrypted_length(const PdfDocument* doc, int64_t length);

// Encryption of one string or stream under its object's key, in pieces:
// update writes to out, which holds length + 32 bytes (in and out may be
// the same buffer); finish writes up to 32 more. Without encryption the
// bytes pass unchanged.
struct PdfCipher {
    int kind;  // PDFW_CIPHER_*
    Rc4State rc4;
    CryptoAes* aes;
    uint8_t iv[16];
    bool iv_pending;
};
bool pdfw_cipher_begin(PdfDocument* doc, PdfObjectId id, PdfCipher* c);
bool pdfw_cipher_update(PdfCipher* c, const uint8_t* in, size_t length, uint8_t* out,
                        size_t* out_length);
bool pdfw_cipher_finish(PdfCipher* c, uint8_t* out, size_t* out_length);
void pdfw_cipher_free(PdfCipher* c);
// A whole string at once: out holds length + 32 bytes.
bool pdfw_encrypt_string(PdfDocument* doc, PdfObjectId id, const uint8_t* in, int64_t length,
                         uint8_t* out, int64_t* out_length);

#endif
