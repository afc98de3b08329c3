// PDF document writer: the calls a program embedding it needs.
//
// A document is written in this order:
//   pdfw_new
//   settings: pdfw_set_icc_file (PDF/A), pdfw_set_viewing, pdfw_set_encryption,
//             pdfw_set_encodings, pdfw_set_trace
//   pdfw_file_create
//   pdfw_set_page_size, pdfw_set_rotation
//   per page: pdfw_set_next_page_size, pdf_page_set_rotate (optional), pdfw_impage
//   pdfw_set_info
//   pdfw_file_close
//   pdfw_destroy
//
// Every call but pdfw_destroy returns true for success and false for
// failure. A failure leaves a negative code in the document's last error
// (PDFW_ERR_*), which pdfw_last_error reads, pdfw_strerror explains and
// pdfw_destroy returns; a call that fails always sets it. A null document
// makes every call fail. A document belongs to one thread at a time.
//
// Lengths are document units: 1/7200 inch (hundredths of a point).
// Everything the writer allocates is counted (pdfw_mem_in_use) and released
// by pdfw_destroy at the latest.
//
// This header, dib/dib.h and platform/platform.h compile as C11 and as
// C++; the calls have C linkage and take C types only.
#ifndef TARVO_PDFW_H
#define TARVO_PDFW_H

// The standard headers for C and C++ come with platform.h, through dib.h.
#include "dib/dib.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct PdfDocument PdfDocument;

// Library version 0.91.
enum { PDFW_VERSION_MAJOR = 0, PDFW_VERSION_MINOR = 91 };

// Last-error codes.
enum {
    PDFW_OK = 0,
    PDFW_ERR_NO_MEMORY = -1,         // an allocation failed
    PDFW_ERR_FILE_STATE = -2,        // output file open when it must not be, or the reverse
    PDFW_ERR_FILE_OPEN = -3,         // the output file cannot be created
    PDFW_ERR_WRITE = -4,             // writing, flushing or closing the output failed
    PDFW_ERR_ARGUMENT = -5,          // an argument missing or out of its range
    PDFW_ERR_DCT = -16,              // JPEG coding failed
    PDFW_ERR_FILTER = -17,           // an image encoding the writer cannot produce
    PDFW_ERR_BITMAP_FORMAT = -18,    // a bitmap the image writer does not take
    PDFW_ERR_FLATE = -19,            // Flate coding failed
    PDFW_ERR_LINE_LENGTH = -20,      // a line too long for the line writer
    PDFW_ERR_STRING_LENGTH = -21,    // a string over 2048 bytes
    PDFW_ERR_VERSION = -22,          // a required PDF version without a header
    PDFW_ERR_NULL_DOCUMENT = -25,    // no document
    PDFW_ERR_ICC_PATH = -26,         // no ICC profile path
    PDFW_ERR_ICC_OPEN = -27,         // the ICC profile does not open
    PDFW_ERR_ICC_READ = -28,         // the ICC profile is unreadable, short or not RGB
    PDFW_ERR_PDFA_ENCRYPTION = -29,  // encryption asked for in PDF/A mode
    PDFW_ERR_PDFA_LZW = -30,         // LZW asked for in PDF/A mode
    PDFW_ERR_PDFA_SCRIPT = -35,      // presentation scripts left out in PDF/A mode
};

// A short English text for a last-error code; "unknown error" for others.
const char* pdfw_strerror(int code);

// Image encodings (filter codes). The image writer produces NONE, FLATE,
// CCITT and DCT; the others are names only.
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

// Page and image rectangle in document units; x from the left edge, y from
// the top edge downward.
typedef struct PageRect {
    int32_t x;
    int32_t y;
    int32_t w;
    int32_t h;
} PageRect;

// ---- Document ----------------------------------------------------------------

// A new document in *handle: A4 portrait pages, PDF 1.3, default encodings.
// False (handle unchanged) when handle is null or memory runs out.
bool pdfw_new(PdfDocument** handle);
// Closes the output file without completing it if it is still open, frees
// everything and clears *handle. Returns the last error; -25 for null.
int pdfw_destroy(PdfDocument** handle);
int pdfw_last_error(const PdfDocument* doc);  // -25 for null
// The last error in words, with what was found where the writer knows it
// ("a 4-bit colour table of 3 entries where 16 are needed"); valid until
// the next call on the document.
const char* pdfw_last_error_text(const PdfDocument* doc);

// Trace lines: the writer's "PDF: " lines and the encoders' lines, each a
// whole line ending "\n". By default they go to standard output; a null
// function drops them.
typedef void (*PdfTraceFn)(void* opaque, const char* line);
bool pdfw_set_trace(PdfDocument* doc, PdfTraceFn fn, void* opaque);

// Warnings: something the writer did otherwise than asked, as one line of
// text without a line end (a page's transparency composited onto white in
// PDF/A, say). None are given until a function is set.
typedef void (*PdfWarningFn)(void* opaque, const char* text);
bool pdfw_set_warning(PdfDocument* doc, PdfWarningFn fn, void* opaque);

// Threads the writer may use for one image (1, the default, keeps to the
// caller's thread). The output is the same for every number.
bool pdfw_set_threads(PdfDocument* doc, int threads);

// ---- Settings, before pdfw_file_create ----------------------------------------

// PDF/A-1b with the RGB ICC profile at path (read and checked at close):
// -26 for a null or empty path. Raises the version to 1.4.
bool pdfw_set_icc_file(PdfDocument* doc, const wchar_t* path);

// Viewer flags of PdfViewing: which of page mode, layout and zoom are
// written, and the viewer preferences. Each preference has a value bit
// (given here; set means true) and, one above it, a bit that says it is
// written at all.
enum {
    PDFW_VIEW_PAGE_MODE = 0x0001,
    PDFW_VIEW_PAGE_LAYOUT = 0x0002,
    PDFW_VIEW_ZOOM = 0x0004,
    PDFW_VIEW_FIT_WINDOW = 0x0010,
    PDFW_VIEW_CENTER_WINDOW = 0x0040,
    PDFW_VIEW_DISPLAY_DOC_TITLE = 0x0100,
    PDFW_VIEW_HIDE_MENUBAR = 0x0400,
    PDFW_VIEW_HIDE_TOOLBAR = 0x1000,
    PDFW_VIEW_HIDE_WINDOW_UI = 0x4000,
};

// How the document opens and, in presentation mode, how pages change.
typedef struct PdfViewing {
    int exec_mode;             // 0 normal, 1 full screen, 2 presentation
    int auto_advance;          // presentation: pages get a display duration
    int page_time;             // display duration, ms
    int transition_style;      // 0..14: Split .. Random
    int transition_direction;  // -1..7, meaning by style
    int transition_time;       // ms
    int loop;                  // presentation script loops
    uint32_t background;       // 0x00BBGGRR
    uint32_t viewer_flags;     // PDFW_VIEW_*
    int page_mode;             // -1 none; 0 UseNone .. 4 UseAttachments
    int page_layout;           // -1 none; 0 SinglePage .. 5 TwoColumnRight
    int zoom_mode;             // -1 none; 0 Fit .. 5 FitBV, 6 XYZ 100 %, 7 XYZ at zoom_value
    int zoom_value;            // thousandths (1000 is 100 %)
    int start_page;            // from 1, clamped to the page count
} PdfViewing;
// Stores the settings unchanged, without checks.
bool pdfw_set_viewing(PdfDocument* doc, const PdfViewing* viewing);
// The same as 14 arguments in the order of PdfViewing.
bool pdfw_set_exec_mode(PdfDocument* doc, int exec_mode, int auto_advance,
                        int page_time, int transition_style,
                        int transition_direction, int transition_time,
                        int loop, uint32_t background, uint32_t viewer_flags,
                        int page_mode, int page_layout, int zoom_mode,
                        int zoom_value, int start_page);

// Which encoding each image class gets (PDFW_FILTER_*), and JPEG qualities.
typedef struct PdfEncodingChoices {
    int compression_on;       // 0: every image unencoded
    int truecolour;           // 16, 24 and 32 bits; default DCT
    int truecolour_quality;   // default 75
    int palette;              // images written with their colour table; default none
    int palette_quality;      // default 0
    int grey;                 // 8 bits with the grey ramp; default DCT
    int grey_quality;         // default 75
    int bilevel;              // 1 bit, black and white; default CCITT
    int reserved[2];          // stored, read by nothing
    int compare_ccitt_flate;  // bilevel: keep Flate when it is smaller; default 1
} PdfEncodingChoices;
bool pdfw_get_encodings(PdfDocument* doc, PdfEncodingChoices* out);
// Stores all choices; in PDF/A mode LZW for any class fails with -30 and
// stores nothing.
bool pdfw_set_encodings(PdfDocument* doc, const PdfEncodingChoices* choices);
// The same field by field: each encoding and quality of -1 keeps its
// current value; the others are stored as given.
bool pdfw_set_encoding(PdfDocument* doc, int compression_on, int truecolour,
                       int truecolour_quality, int palette,
                       int palette_quality, int grey, int grey_quality,
                       int bilevel, int reserved_a, int reserved_b,
                       int compare_ccitt_flate);

// Standard security handler. security_choice: PDFW_SECURITY_AES_256 (the
// one to use: revision 6, PDF 1.7 extension level 8), PDFW_SECURITY_AES_128
// (revision 4, PDF 1.6), PDFW_SECURITY_RC4_128 (revision 3) or, for any
// other value, PDFW_SECURITY_RC4_40 (revision 2); RC4 is broken and kept
// for old readers. Every later string and stream is encrypted. Passwords
// are NUL-ended (null = empty): for AES-256 UTF-8 text, prepared with
// SASLprep and cut to 127 bytes; for the others bytes (PDFDocEncoding, see
// pdfw_pdfdoc_byte) of which the first 32 count. An empty owner password
// stands for the user password. The file identifier, keys, salts and IVs
// come from the system's random source. permissions is the /P word (see
// pdfw_permissions). Once, before pdfw_file_create: -29 in PDF/A mode, -2
// once the file exists or when already set up, -5 for a password AES-256
// cannot take (the last error's text names the character and where it
// stands). Traces its self-check line. Its copies of the passwords and the
// scratch of the key derivation are wiped once used, the document's keys
// when it is destroyed.
enum {
    PDFW_SECURITY_RC4_40 = 0,
    PDFW_SECURITY_RC4_128 = 1,
    PDFW_SECURITY_AES_256 = 2,
    PDFW_SECURITY_AES_128 = 3,
};
bool pdfw_set_encryption(PdfDocument* doc, const char* owner_password,
                         const char* user_password, int security_choice,
                         int32_t permissions);
// /P for a choice from what readers may do: PDFW_ALLOW_* flags.
enum {
    PDFW_ALLOW_PRINT = 1,
    PDFW_ALLOW_COPY = 2,
    PDFW_ALLOW_MODIFY = 4,
    PDFW_ALLOW_ANNOTATE = 8,
};
int32_t pdfw_permissions(int security_choice, int allow);
// The PDFDocEncoding byte of Unicode character c (ISO 32000-1 Annex D), the
// encoding of passwords below AES-256; -1 for a character it lacks. The
// controls U+0001 to U+0017, undefined there, stand for themselves.
int pdfw_pdfdoc_byte(uint32_t c);
// The file identifier and every random byte of encryption (keys, salts,
// IVs) come from a generator seeded with these bytes instead of the
// system's random source, so that a test makes the same file every time.
// Before pdfw_set_encryption (-2 after). A fixed seed gives fixed keys, and
// a seed made from public data (dates, names, sizes, options) makes them
// public: for tests only, never for a document anyone is to rely on.
bool pdfw_set_random_seed(PdfDocument* doc, const void* seed, size_t length);

// ---- Output file ---------------------------------------------------------------

// Creates the file at path and writes the header; comment (null for none)
// is written as a line after it. The Author entry starts as the user's login
// name. -2 when a file is already open, -3 when it cannot be created, -22
// for an unsupported version.
bool pdfw_file_create(PdfDocument* doc, const wchar_t* path, const char* comment);
// The same with a file the caller opened for writing and reading, which
// the document then owns: closed by pdfw_file_close or pdfw_destroy, or at
// once when the call refuses it (-3 for a null file, -2 with a file open).
bool pdfw_file_attach(PdfDocument* doc, FILE* file, const char* comment);

// The document's page size: preset 1 A4 portrait (the default), 2 A4
// landscape, 0 width x height (both above 0; reserved_a and reserved_b must
// be 0). -5 otherwise.
bool pdfw_set_page_size(PdfDocument* doc, int preset, int reserved_a, int reserved_b,
                        int32_t width, int32_t height);
// Rotation of every page: 0, 90, 180 or 270, else -5.
bool pdfw_set_rotation(PdfDocument* doc, int degrees);

// ---- Pages -----------------------------------------------------------------------

// Own size of the pages that follow: selector -1 none (the document's size
// applies), else as pdfw_set_page_size's preset.
bool pdfw_set_next_page_size(PdfDocument* doc, int selector, int reserved_a,
                             int reserved_b, int32_t width, int32_t height);
// Own rotation of the pages that follow: 0, 90, 180, 270, or -1 for none.
bool pdf_page_set_rotate(PdfDocument* doc, int angle);
// Adds a page showing the bitmap (read, not changed or freed) in the image
// rectangle (null: the whole page), clipped to clip (null: no clip). The
// bitmap's class chooses its encoding (see PdfEncodingChoices); an alpha
// channel that is not opaque everywhere becomes a soft mask (composited
// onto white in PDF/A, with a warning), and JPEG or plain PNG data the
// bitmap holds is carried as it is. -2 without an open file, -18 for a
// bitmap it does not take (zero size, a depth other than 1, 2, 4, 8, 16,
// 24 or 32), -16/-19 when coding fails, -1, -4.
bool pdfw_impage(PdfDocument* doc, DibHandle dib, const PageRect* image,
                 const PageRect* clip);

// A page's image encoded ahead of its page, so that the next page can be
// encoded on another thread while this one is written. pdfw_image_prepare
// reads the bitmap and the document's settings and counts its memory with
// the document's, but writes nothing and keeps its failure and trace lines
// to itself: it may run on another thread while the document's own thread
// writes pages, as long as no settings call runs meanwhile. It takes the
// bitmap (*dib becomes null) and frees it as soon as it has been read; when
// the encoder read it itself (JPEG) and still works on its own copy, it
// calls read_done (when not null) right then, on its own thread, so a
// caller can start on the next bitmap. It returns false when the image
// failed (*out still holds it, with its failure, unless memory ran out at
// once: then *out is null).
typedef struct PdfPreparedImage PdfPreparedImage;
bool pdfw_image_prepare(PdfDocument* doc, DibHandle* dib, int res_is_dpi,
                        void (*read_done)(void* opaque), void* opaque,
                        PdfPreparedImage** out);
// The same from a bitmap file's rows (dib_load_bmp_rows), read through
// their window as the image is encoded; the rows stay the caller's, who
// closes them after the call and learns then whether a read failed.
// Unencoded samples are made here rather than when the page is written.
bool pdfw_image_prepare_rows(PdfDocument* doc, DibRows* rows, int res_is_dpi,
                             void (*read_done)(void* opaque), void* opaque,
                             PdfPreparedImage** out);
// pdfw_impage with a prepared image, which it frees (in every case): the
// trace lines and the failure of the preparation come out here, as if the
// image had been encoded now.
bool pdfw_impage_prepared(PdfDocument* doc, PdfPreparedImage* prepared, const PageRect* image,
                          const PageRect* clip);
// Frees a prepared image that will not be used; accepts null.
void pdfw_image_discard(PdfDocument* doc, PdfPreparedImage* image);
// Bytes a prepared image holds until it is written: its coded data (or a
// bitmap kept for unencoded samples) and its trace lines; 0 for null.
int64_t pdfw_image_held_bytes(const PdfPreparedImage* image);

// ---- Information and closing -------------------------------------------------------

// Sets (or with null or empty text removes) an information entry, key with
// or without its slash ("/Title", "Author"). After pdfw_file_create; -21
// for text over 2048 characters.
bool pdfw_set_info(PdfDocument* doc, const char* key, const wchar_t* value);
// Writes the document-level objects, the cross-reference table and the
// trailer, flushes and closes the file. -2 without an open file, -4, -1,
// or the ICC profile's -26..-28 in PDF/A mode.
bool pdfw_file_close(PdfDocument* doc);

// ---- Memory -------------------------------------------------------------------------
int64_t pdfw_mem_in_use(const PdfDocument* doc);
int64_t pdfw_mem_peak(const PdfDocument* doc);
// Bytes held by all documents together; 0 once every document is destroyed.
int64_t pdfw_mem_all_in_use(void);

// "Dunmarrow Tarvo Library v0.91", the /Producer entry.
const wchar_t* pdfw_producer(void);

#ifdef __cplusplus
}
#endif

#endif
