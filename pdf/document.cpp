// Document context: creation, settings calls, destruction, the counted
// allocator and the object table.
#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "pdf/pdfw_private.h"

namespace {

// The length prefix is 4 bytes, but nodes hold pointers and 64-bit values,
// so the header is padded to the strictest fundamental alignment.
constexpr size_t kHeader = alignof(std::max_align_t);
static_assert(kHeader >= sizeof(uint32_t), "header must hold the length");

// The counters are updated with atomic operations: a page's image may be
// prepared on another thread while the document writes.
unsigned g_fail_countdown = 0;
int64_t g_all_in_use = 0;

// Consumes one allocator request of the test hook; false when it must fail.
bool request_allowed() {
    unsigned left = __atomic_load_n(&g_fail_countdown, __ATOMIC_RELAXED);
    while (left != 0) {
        if (__atomic_compare_exchange_n(&g_fail_countdown, &left, left - 1, false,
                                        __ATOMIC_RELAXED, __ATOMIC_RELAXED))
            return left != 1;
    }
    return true;
}

// Blocks from this size up are an encoder's output room or a page's
// samples: mapped apart from the heap, so that room never written costs
// nothing and all of it goes back when freed.
constexpr size_t kBigFrom = size_t(1) << 20;

void* raw_alloc(size_t n) {
    return n >= kBigFrom ? plat_big_alloc(kHeader + n) : std::malloc(kHeader + n);
}

void raw_free(void* raw, uint32_t n) {
    if (n >= kBigFrom)
        plat_big_free(raw, kHeader + n);
    else
        std::free(raw);
}

uint32_t stored_length(const void* block) {
    uint32_t n;
    std::memcpy(&n, static_cast<const unsigned char*>(block) - kHeader, sizeof n);
    return n;
}

void account(PdfDocument* doc, int64_t delta) {
    const int64_t now = __atomic_add_fetch(&doc->mem_in_use, delta, __ATOMIC_RELAXED);
    __atomic_add_fetch(&g_all_in_use, delta, __ATOMIC_RELAXED);
    int64_t peak = __atomic_load_n(&doc->mem_peak, __ATOMIC_RELAXED);
    while (now > peak && !__atomic_compare_exchange_n(&doc->mem_peak, &peak, now, false,
                                                      __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
}

const char* const kFilterNames[] = {
    "None",           "ASCIIHexDecode", "ASCII85Decode", "LZWDecode",
    "FlateDecode",    "RunLengthDecode", "CCITTFaxDecode", "JBIG2Decode",
    "DCTDecode",      "JPXDecode",      "CryptDecode",
};

const char* const kTransitionNames[] = {
    "Split", "Blinds", "Box",   "Wipe",    "Dissolve", "Glitter", "Replace", "Fly",
    "Fly",   "Push",   "Cover", "Uncover", "Fade",     "Comb",    "Random",
};

struct ErrorText {
    int code;
    const char* text;
};
const ErrorText kErrorTexts[] = {
    {PDFW_OK, "no error"},
    {PDFW_ERR_NO_MEMORY, "out of memory"},
    {PDFW_ERR_FILE_STATE, "the output file is not in the state the call needs"},
    {PDFW_ERR_FILE_OPEN, "the output file cannot be created"},
    {PDFW_ERR_WRITE, "writing the output file failed"},
    {PDFW_ERR_ARGUMENT, "an argument is missing or out of range"},
    {PDFW_ERR_DCT, "JPEG coding failed"},
    {PDFW_ERR_FILTER, "the image writer cannot produce that encoding"},
    {PDFW_ERR_BITMAP_FORMAT, "bitmap format not supported"},
    {PDFW_ERR_FLATE, "Flate coding failed"},
    {PDFW_ERR_LINE_LENGTH, "a line is too long for the line writer"},
    {PDFW_ERR_STRING_LENGTH, "a string is longer than 2048 bytes"},
    {PDFW_ERR_VERSION, "unsupported PDF version"},
    {PDFW_ERR_NULL_DOCUMENT, "no document"},
    {PDFW_ERR_ICC_PATH, "no ICC profile given"},
    {PDFW_ERR_ICC_OPEN, "the ICC profile cannot be opened"},
    {PDFW_ERR_ICC_READ, "the ICC profile is unreadable, incomplete or not RGB"},
    {PDFW_ERR_PDFA_ENCRYPTION, "PDF/A documents cannot be encrypted"},
    {PDFW_ERR_PDFA_LZW, "PDF/A documents cannot use LZW"},
    {PDFW_ERR_PDFA_SCRIPT, "PDF/A documents cannot hold the presentation scripts"},
};

void trace_to_stdout(void*, const char* line) { std::fputs(line, stdout); }

void* host_alloc(void* opaque, size_t n) {
    return pdfw_alloc(static_cast<PdfDocument*>(opaque), n);
}
void* host_realloc(void* opaque, void* block, size_t n) {
    return pdfw_realloc(static_cast<PdfDocument*>(opaque), block, n);
}
void host_free(void* opaque, void* block) { pdfw_free(static_cast<PdfDocument*>(opaque), block); }
void host_trace(void* opaque, const char* line) {
    const PdfDocument* doc = static_cast<const PdfDocument*>(opaque);
    if (doc->trace) doc->trace(doc->trace_opaque, line);
}

bool append_entry(PdfDocument* doc, uint32_t generation, char kind, int32_t ordinal) {
    if (doc->xref_count == doc->xref_capacity) {
        int32_t grown = doc->xref_capacity ? doc->xref_capacity * 2 : 64;
        void* bigger = pdfw_realloc(doc, doc->xref, sizeof(PdfXrefEntry) * size_t(grown));
        if (!bigger) return false;
        doc->xref = static_cast<PdfXrefEntry*>(bigger);
        doc->xref_capacity = grown;
    }
    PdfXrefEntry& e = doc->xref[doc->xref_count++];
    e.generation = generation;
    e.offset = doc->position;
    e.kind = kind;
    e.page_ordinal = ordinal;
    return true;
}

bool id_in_table(const PdfDocument* doc, PdfObjectId id) {
    return id.number >= 0 && id.number < doc->xref_count;
}

}  // namespace

const char* pdfw_filter_name(int code) {
    if (code < 0 || code > PDFW_FILTER_CRYPT) return "???";
    return kFilterNames[code];
}

const char* pdfw_strerror(int code) {
    for (const ErrorText& e : kErrorTexts)
        if (e.code == code) return e.text;
    return "unknown error";
}

bool pdfw_fail(PdfDocument* doc, int code) {
    if (!doc) return false;
    doc->last_error = code;
    doc->error_detail[0] = 0;
    return false;
}

bool pdfw_fail_detail(PdfDocument* doc, int code, const char* format, ...) {
    if (!doc) return false;
    doc->last_error = code;
    va_list args;
    va_start(args, format);
    std::vsnprintf(doc->error_detail, sizeof doc->error_detail, format, args);
    va_end(args);
    return false;
}

bool pdfw_write_failed(PdfDocument* doc) {
    if (doc && !doc->write_error) {
        doc->write_error = doc->last_error;
        std::snprintf(doc->write_detail, sizeof doc->write_detail, "%s", doc->error_detail);
    }
    return false;
}

bool pdfw_fail_errno(PdfDocument* doc, int code, int error) {
    PlatReason why;
    plat_errno_reason(error, &why);
    return why.text[0] ? pdfw_fail_detail(doc, code, "%s", why.text) : pdfw_fail(doc, code);
}

const char* pdfw_last_error_text(const PdfDocument* doc) {
    if (!doc) return pdfw_strerror(PDFW_ERR_NULL_DOCUMENT);
    return doc->error_detail[0] ? doc->error_detail : pdfw_strerror(doc->last_error);
}

void pdfw_trace(const PdfDocument* doc, const char* format, ...) {
    PdfTraceFn fn = doc ? doc->trace : trace_to_stdout;
    if (!fn) return;
    char line[1024];
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    // A line that names a long text is not cut.
    char* big = n >= int(sizeof line) ? static_cast<char*>(std::malloc(size_t(n) + 1)) : nullptr;
    if (big) std::vsnprintf(big, size_t(n) + 1, format, again);
    va_end(again);
    if (n >= 0) fn(doc ? doc->trace_opaque : nullptr, big ? big : line);
    std::free(big);
}

void pdfw_trace_text(const PdfDocument* doc, const char* line) {
    PdfTraceFn fn = doc ? doc->trace : trace_to_stdout;
    if (fn) fn(doc ? doc->trace_opaque : nullptr, line);
}

CodecHost pdfw_codec_host(PdfDocument* doc) {
    return CodecHost{host_alloc, host_realloc, host_free, host_trace, nullptr, doc};
}

const char* pdfw_transition_name(int style) {
    if (style < 0 || style > 14) return nullptr;
    return kTransitionNames[style];
}

// ---- Allocator --------------------------------------------------------------

void pdfw_alloc_fail_after(unsigned n) { __atomic_store_n(&g_fail_countdown, n, __ATOMIC_RELAXED); }

int64_t pdfw_mem_all_in_use() { return __atomic_load_n(&g_all_in_use, __ATOMIC_RELAXED); }

void* pdfw_alloc_counted(PdfDocument* doc, size_t n) {
    if (!doc) return request_allowed() ? std::malloc(n ? n : 1) : nullptr;
    void* raw = nullptr;
    if (n <= UINT32_MAX && request_allowed()) raw = raw_alloc(n);
    if (!raw) return nullptr;
    uint32_t len = uint32_t(n);
    std::memcpy(raw, &len, sizeof len);
    account(doc, int64_t(n));
    return static_cast<unsigned char*>(raw) + kHeader;
}

void* pdfw_realloc_counted(PdfDocument* doc, void* block, size_t n) {
    if (!block) return pdfw_alloc_counted(doc, n);
    if (!doc) return request_allowed() ? std::realloc(block, n ? n : 1) : nullptr;
    uint32_t old = stored_length(block);
    void* raw = nullptr;
    unsigned char* old_raw = static_cast<unsigned char*>(block) - kHeader;
    if (n > UINT32_MAX || !request_allowed()) return nullptr;
    if (old < kBigFrom && n < kBigFrom) {
        raw = std::realloc(old_raw, kHeader + n);
    } else if ((raw = raw_alloc(n)) != nullptr) {
        std::memcpy(raw, old_raw, kHeader + std::min<size_t>(old, n));
        raw_free(old_raw, old);
    }
    if (!raw) return nullptr;
    uint32_t len = uint32_t(n);
    std::memcpy(raw, &len, sizeof len);
    account(doc, int64_t(n) - int64_t(old));
    return static_cast<unsigned char*>(raw) + kHeader;
}

void* pdfw_alloc(PdfDocument* doc, size_t n) {
    void* block = pdfw_alloc_counted(doc, n);
    if (!block) pdfw_fail(doc, PDFW_ERR_NO_MEMORY);
    return block;
}

void* pdfw_realloc(PdfDocument* doc, void* block, size_t n) {
    void* bigger = pdfw_realloc_counted(doc, block, n);
    if (!bigger) pdfw_fail(doc, PDFW_ERR_NO_MEMORY);
    return bigger;
}

void pdfw_trim(PdfDocument* doc, void* block, size_t used) {
    if (!doc || !block) return;
    const uint32_t n = stored_length(block);
    if (n >= kBigFrom)
        plat_big_trim(static_cast<unsigned char*>(block) - kHeader, kHeader + n, kHeader + used);
}

void pdfw_free(PdfDocument* doc, void* block) {
    if (!block) return;
    if (!doc) {
        std::free(block);
        return;
    }
    const uint32_t n = stored_length(block);
    account(doc, -int64_t(n));
    raw_free(static_cast<unsigned char*>(block) - kHeader, n);
}

int64_t pdfw_mem_in_use(const PdfDocument* doc) {
    return doc ? __atomic_load_n(&doc->mem_in_use, __ATOMIC_RELAXED) : 0;
}
int64_t pdfw_mem_peak(const PdfDocument* doc) {
    return doc ? __atomic_load_n(&doc->mem_peak, __ATOMIC_RELAXED) : 0;
}

// ---- Creation and destruction -----------------------------------------------

bool pdfw_new(PdfDocument** handle) {
    if (!handle) return false;
    if (!request_allowed()) return false;
    PdfDocument* doc = static_cast<PdfDocument*>(std::calloc(1, sizeof(PdfDocument)));
    if (!doc) return false;
    doc->required_version = 0x103;
    doc->page_preset = 1;
    doc->page_width = PDFW_A4_SHORT;
    doc->page_height = PDFW_A4_LONG;
    doc->crop_mode = -1;
    doc->page_rotation = -1;
    doc->next_size_selector = -1;
    pdfw_security_init(doc);
    doc->encoding = PdfEncodingChoices{1, 8, 75, 0, 0, 8, 75, 6, {0, 0}, 1};
    doc->trace = trace_to_stdout;
    doc->threads = 1;

    bool ok = append_entry(doc, 65535, 'f', 0);
    PdfObjectId* reserved[] = {&doc->root_id, &doc->info_id, &doc->pages_id};
    for (PdfObjectId* id : reserved) ok = ok && pdfw_obj_new(doc, id, 0);
    if (!ok) {
        pdfw_free(doc, doc->xref);
        std::free(doc);
        return false;
    }
    *handle = doc;
    return true;
}

int pdfw_destroy(PdfDocument** handle) {
    if (!handle || !*handle) return PDFW_ERR_NULL_DOCUMENT;
    PdfDocument* doc = *handle;
    int result = doc->last_error;
    pdfw_free(doc, doc->content);
    doc->content = nullptr;
    if (doc->out) std::fclose(doc->out);
    doc->out = nullptr;
    pdfw_free(doc, doc->xref);
    if (doc->info_from_file == 0) pdfw_object_free(doc, doc->doc_info_obj);
    pdfw_free(doc, doc->out_path);
    pdfw_free(doc, doc->icc_path);
    pdfw_security_wipe(doc);
    std::free(doc);
    *handle = nullptr;
    return result;
}

int pdfw_last_error(const PdfDocument* doc) {
    return doc ? doc->last_error : PDFW_ERR_NULL_DOCUMENT;
}

bool pdfw_set_threads(PdfDocument* doc, int threads) {
    if (!doc) return false;
    if (threads < 1) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    doc->threads = threads;
    return true;
}

bool pdfw_set_trace(PdfDocument* doc, PdfTraceFn fn, void* opaque) {
    if (!doc) return false;
    doc->trace = fn;
    doc->trace_opaque = opaque;
    return true;
}

// ---- Settings -----------------------------------------------------------------

bool pdfw_set_icc_file(PdfDocument* doc, const wchar_t* path) {
    if (!doc) return false;
    size_t n = path ? std::wcslen(path) : 0;
    if (n == 0) return pdfw_fail(doc, PDFW_ERR_ICC_PATH);
    // Kept whole: a cut path would name another file.
    wchar_t* copy = static_cast<wchar_t*>(pdfw_alloc(doc, (n + 1) * sizeof(wchar_t)));
    if (!copy) return false;
    std::wmemcpy(copy, path, n + 1);
    pdfw_free(doc, doc->icc_path);
    doc->icc_path = copy;
    doc->pdfa = 1;
    pdfw_require_version(doc, 0x104);
    return true;
}

bool pdfw_set_viewing(PdfDocument* doc, const PdfViewing* viewing) {
    if (!doc) return false;
    if (!viewing) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    doc->viewing = *viewing;
    return true;
}

bool pdfw_set_exec_mode(PdfDocument* doc, int exec_mode, int auto_advance, int page_time,
                        int transition_style, int transition_direction,
                        int transition_time, int loop, uint32_t background,
                        uint32_t viewer_flags, int page_mode, int page_layout,
                        int zoom_mode, int zoom_value, int start_page) {
    const PdfViewing v{exec_mode,       auto_advance, page_time,  transition_style,
                       transition_direction, transition_time, loop, background,
                       viewer_flags,    page_mode,    page_layout, zoom_mode,
                       zoom_value,      start_page};
    return pdfw_set_viewing(doc, &v);
}

bool pdfw_get_encodings(PdfDocument* doc, PdfEncodingChoices* out) {
    if (!doc) return false;
    if (!out) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    *out = doc->encoding;
    return true;
}

bool pdfw_set_encodings(PdfDocument* doc, const PdfEncodingChoices* e) {
    if (!doc) return false;
    if (!e) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    if (doc->pdfa && (e->truecolour == PDFW_FILTER_LZW || e->palette == PDFW_FILTER_LZW ||
                      e->grey == PDFW_FILTER_LZW || e->bilevel == PDFW_FILTER_LZW))
        return pdfw_fail(doc, PDFW_ERR_PDFA_LZW);
    doc->encoding = *e;
    return true;
}

bool pdfw_set_encoding(PdfDocument* doc, int compression_on, int truecolour,
                       int truecolour_quality, int palette, int palette_quality, int grey,
                       int grey_quality, int bilevel, int reserved_a, int reserved_b,
                       int compare_ccitt_flate) {
    if (!doc) return false;
    PdfEncodingChoices e = doc->encoding;
    e.compression_on = compression_on;
    e.reserved[0] = reserved_a;
    e.reserved[1] = reserved_b;
    e.compare_ccitt_flate = compare_ccitt_flate;
    // -1 keeps the current choice.
    auto keep_or_set = [](int& field, int value) {
        if (value >= 0) field = value;
    };
    keep_or_set(e.truecolour, truecolour);
    keep_or_set(e.truecolour_quality, truecolour_quality);
    keep_or_set(e.palette, palette);
    keep_or_set(e.palette_quality, palette_quality);
    keep_or_set(e.grey, grey);
    keep_or_set(e.grey_quality, grey_quality);
    keep_or_set(e.bilevel, bilevel);
    // The PDF/A check sees the values given, as a -1 keeps a checked one.
    return pdfw_set_encodings(doc, &e);
}

bool pdfw_preset_size(int preset, int reserved_a, int reserved_b, int32_t width,
                      int32_t height, int32_t* out_width, int32_t* out_height) {
    switch (preset) {
    case 0:
        if (reserved_a != 0 || reserved_b != 0 || width <= 0 || height <= 0) return false;
        *out_width = width;
        *out_height = height;
        return true;
    case 1:
        *out_width = PDFW_A4_SHORT;
        *out_height = PDFW_A4_LONG;
        return true;
    case 2:
        *out_width = PDFW_A4_LONG;
        *out_height = PDFW_A4_SHORT;
        return true;
    default:
        return false;
    }
}

bool pdfw_set_page_size(PdfDocument* doc, int preset, int reserved_a, int reserved_b,
                        int32_t width, int32_t height) {
    if (!doc) return false;
    if (!pdfw_preset_size(preset, reserved_a, reserved_b, width, height, &doc->page_width,
                          &doc->page_height))
        return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    doc->page_preset = preset;
    return true;
}

bool pdfw_set_rotation(PdfDocument* doc, int degrees) {
    if (!doc) return false;
    if (degrees != 0 && degrees != 90 && degrees != 180 && degrees != 270)
        return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    doc->rotation = degrees;
    return true;
}

void pdfw_require_body_version(PdfDocument* doc, int version) {
    if (doc && version > doc->body_version) doc->body_version = version;
}

bool pdfw_set_warning(PdfDocument* doc, PdfWarningFn fn, void* opaque) {
    if (!doc) return false;
    doc->warning = fn;
    doc->warning_opaque = opaque;
    return true;
}

void pdfw_warning(const PdfDocument* doc, const char* text) {
    if (doc && doc->warning) doc->warning(doc->warning_opaque, text);
}

void pdfw_require_version(PdfDocument* doc, int version) {
    if (doc && version > doc->required_version) doc->required_version = version;
}

const wchar_t* pdfw_producer() {
    static wchar_t text[64];
    std::swprintf(text, sizeof text / sizeof text[0], L"Dunmarrow Tarvo Library v%ld.%02ld",
                  long(PDFW_VERSION_MAJOR), long(PDFW_VERSION_MINOR));
    return text;
}

// ---- Object table ---------------------------------------------------------------

bool pdfw_obj_new(PdfDocument* doc, PdfObjectId* id, int32_t page_ordinal) {
    if (!doc) return false;
    if (!id) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    int32_t number = doc->xref_count;
    if (!append_entry(doc, 0, 'n', page_ordinal)) return false;
    id->number = number;
    id->generation = 0;
    return true;
}

int32_t pdfw_obj_count(const PdfDocument* doc) { return doc ? doc->xref_count : 0; }

bool pdfw_obj_set_page(PdfDocument* doc, PdfObjectId id, int32_t ordinal) {
    if (!doc) return false;
    if (!id_in_table(doc, id)) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    doc->xref[id.number].page_ordinal = ordinal;
    return true;
}

bool pdfw_obj_set_offset(PdfDocument* doc, PdfObjectId id, int64_t offset) {
    if (!doc) return false;
    if (!id_in_table(doc, id)) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    doc->xref[id.number].offset = offset ? offset : doc->position;
    return true;
}

bool pdfw_page_ref(const PdfDocument* doc, int32_t ordinal, PdfObjectId* id) {
    if (!doc || !id || ordinal <= 0) return false;
    for (int32_t i = 0; i < doc->xref_count; ++i) {
        if (doc->xref[i].page_ordinal == ordinal) {
            id->number = i;
            id->generation = uint16_t(doc->xref[i].generation);
            return true;
        }
    }
    return false;
}
