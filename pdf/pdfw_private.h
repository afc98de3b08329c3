// Writer internals shared by the files of pdf/ and pdf/security/. Not for
// callers outside the writer.
#ifndef TARVO_PDFW_PRIVATE_H
#define TARVO_PDFW_PRIVATE_H

#include <cstdio>

#include "pdf/pdfw.h"
#include "pdf/security/security.h"

// A4 in whole points, in document units.
constexpr int32_t PDFW_A4_SHORT = 59500;
constexpr int32_t PDFW_A4_LONG = 84200;

// Page size of a preset: 0 takes width and height (both above 0, flags 0),
// 1 is A4 portrait, 2 A4 landscape. False for anything else.
bool pdfw_preset_size(int preset, int flag_a, int flag_b, int32_t width, int32_t height,
                      int32_t* out_width, int32_t* out_height);

// Offsets in the cross-reference table have 10 digits.
constexpr int64_t PDFW_MAX_FILE_OFFSET = 9999999999LL;

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

struct PdfXrefEntry {
    uint32_t generation;
    int64_t offset;
    char kind;  // 'n' or 'f'
    int32_t page_ordinal;
};

struct PdfEncodingChoices {
    int compression_on;
    int truecolour;
    int truecolour_quality;
    int palette;
    int palette_quality;
    int grey;
    int grey_quality;
    int bilevel;
    int further1;
    int further2;
    int compare_ccitt_flate;
};

struct PdfViewing {
    int exec_mode;
    int auto_advance;
    int page_time;
    int transition_style;
    int transition_direction;
    int transition_time;
    int loop;
    uint32_t background;  // 0x00BBGGRR
    uint32_t viewer_flags;
    int page_mode;
    int page_layout;
    int zoom_mode;
    int zoom_value;
    int start_page;
};

struct PdfSecurity {
    int dict_present;
    int on;
    PdfObjectId dict_id;
    int32_t v;
    int32_t r;
    int32_t key_length;  // bytes
    int32_t p;
    uint8_t o[32];
    uint8_t u[32];
    uint8_t file_key[16];
    uint8_t file_id[16];
    PdfObjectId current;
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

    Md5Context digest;
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
};

// ---- XMP packet (PDF/A) ------------------------------------------------------
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

#endif
