// Converter command: argument pass, settings record and conversion run.
//
// main() decodes the command line, calls cmd_parse_args, writes its
// warnings, then cmd_read_source_date, cmd_check_settings and cmd_run when
// there are files; the result code of the first step that does not succeed
// is the process exit status (on Linux its low byte, on Windows the whole
// code). main() writes the warning lines, the single error line of a
// failure and the final "End" debug line; the other steps write none of
// them.
#ifndef TARVO_CMD_H
#define TARVO_CMD_H

#include <cstdint>
#include <string>
#include <vector>

#include "pdf/pdfw.h"

// Result codes: the process exit status.
enum {
    TARVO_OK = 0,                  // document written and closed
    TARVO_EXIT_VERSION = 91,       // exitversion option (library version 0.91)
    TARVO_ERR_NO_FILE = -400,      // no file path on the command line
    TARVO_ERR_MARGIN = -401,       // a margin is negative
    TARVO_ERR_ENCODING = -402,     // the writer refused the encoding call
    TARVO_ERR_PAGE_SIZE = -403,    // exactly one of ldw and ldh is given
    TARVO_ERR_FIT = -404,          // a fitted image is below 1 unit wide or high
    TARVO_ERR_RESOLUTION = -405,   // the caller resolution is negative
    TARVO_ERR_RANGE = -406,        // a table-driven option value is out of range
    TARVO_ERR_PDFA_SECURITY = -407,  // eco and sec are both set
    TARVO_ERR_SECURITY = -408,     // sec is neither 1 nor 2 with encryption requested
    TARVO_ERR_PASSWORD = -409,     // a password character the encryption mode cannot hold
    TARVO_ERR_PASSWORD_FILE = -410,  // a password file (susfile=, sowfile=) cannot be read
    TARVO_ERR_OUTPUT_NAME = -411,  // no -o= and the first bitmap is no file to name it after
    TARVO_ERR_PAGE = -501,         // the writer failed to add a bitmap as a page
    TARVO_ERR_LOAD = -502,         // loading a bitmap file failed
    TARVO_ERR_ROTATION = -506,     // the writer refused the rotation
    TARVO_ERR_EXEC_MODE = -507,    // the writer refused the exec-mode settings
    TARVO_ERR_WRITER = -600,       // plus the writer's last error (PDFW_ERR_*)
};

// What the command line asks for besides a conversion.
enum {
    TARVO_REQUEST_RUN = 0,
    TARVO_REQUEST_HELP = 1,     // --help, or -h, -? or /? alone: usage on standard output, exit 0
    TARVO_REQUEST_VERSION = 2,  // --version: name and version, exit 0
};

// Only this many characters of an option element count (paths excepted).
enum { TARVO_OPTION_CHARS = 255 };
// Passwords keep at most this many bytes (AES-256's UTF-8 excepted).
enum { TARVO_PASSWORD_BYTES = 79 };
// A password file's first line must end within this many bytes.
enum { TARVO_PASSWORD_LINE_MAX = 4096 };

// Every setting of one run, filled by cmd_parse_args and read-only after.
// Lengths are tenths of a millimetre. Text is wide (UTF-32 on Linux, UTF-16 on Windows; stray bytes of
// the command line as U+DC80 + byte, see platform.h); passwords are bytes.
struct TarvoSettings {
    int32_t dpi = 0;  // caller resolution, dpi= or d=; 0 not given
    int32_t eco = 0;  // 1: PDF/A-1b
    int32_t enc = 0;  // image encoding choice 0..7
    int32_t encp = 0;  // the same for images kept with their colour table
    int32_t encg = 0;  // the same for 8-bit grey ramps
    int32_t ldw = 0;  // document page width; 0 not given
    int32_t ldh = 0;  // document page height; 0 not given
    int32_t lbl = 0;  // margins: left, top, right, bottom
    int32_t lbt = 0;
    int32_t lbr = 0;
    int32_t lbb = 0;
    int32_t lis = 0;  // image scaling 0, -1 .. -4
    int32_t lip = 0;  // image position 0..9
    int32_t vra = 0;  // document rotation in degrees
    int32_t vom = 0;  // exec mode: normal, full screen, presentation
    int32_t vwp = 0;  // page mode, 0 not written
    int32_t vwl = 0;  // page layout, 0 not written
    int32_t vwz = 0;  // opening zoom, 0 none
    int32_t vwzv = 1000;  // zoom in thousandths
    int32_t vwsp = 1;     // start page, from 1
    int32_t vwwf = 0;  // viewer preferences: 0 not written, 1 false, 2 true
    int32_t vwwc = 0;
    int32_t vwwt = 0;
    int32_t vwhm = 0;
    int32_t vwht = 0;
    int32_t vwhc = 0;
    int32_t vpa = 0;  // page auto-advance
    int32_t vpt = 0;  // page display time, ms
    int32_t vte = 0;  // transition style
    int32_t vtd = 0;  // transition direction, -1 none
    int32_t vtt = 0;  // transition time, ms
    int32_t vpl = 0;  // presentation loop
    int32_t vbc = 0;  // background colour 0xRRGGBB
    int32_t sec = 0;  // 0 none, 1 RC4 40-bit, 2 RC4 128-bit, 3 AES-256, 4 AES-128
    int32_t set = 0;  // permissions: 1 print, 2 copy, 4 modify, 8 annotate

    std::wstring outfile;  // empty: derived from the first file by the run
    std::wstring title, author, subject, keywords, creator;
    std::wstring iccfile;
    // PDFDocEncoding bytes, at most 79; with sec=3 UTF-8 text, whole.
    // Converted at the end of the options by the last sec= given.
    std::string owner_password;
    std::string user_password;
    bool password_text = false;    // the passwords are UTF-8 text (sec=3)
    bool passwords_given = false;  // some sow=, sus=, sowfile= or susfile=
    // Index in files of a path that followed a bare -sus or -sow: most
    // likely the password itself, so never shown; -1 for none.
    int hidden_file = -1;
    int32_t debug = 0;
    int32_t verbose = 0;  // accepted, read by nobody
    int32_t quiet = 0;    // 1: nothing on standard output during the run
    // SOURCE_DATE_EPOCH: the document's dates are this instant in UTC
    // instead of the clock's; -1 when not set.
    int64_t source_date = -1;
    // One line per option that was ignored, for main() to write (without the
    // "tarvo: warning: " prefix).
    std::vector<std::wstring> warnings;

    int request = TARVO_REQUEST_RUN;
    std::vector<std::wstring> files;  // bitmap paths in command-line order
};

// The argument pass over argv[1..argc-1] (argv[0] is the program). Fills
// *settings (which should start default-constructed) and writes the "DBG: "
// trace of the pass when the debug option is given. Returns TARVO_OK when
// there are files to convert or a --help/--version request (see
// settings->request), TARVO_EXIT_VERSION, TARVO_ERR_RANGE, TARVO_ERR_PASSWORD,
// TARVO_ERR_PASSWORD_FILE or TARVO_ERR_NO_FILE. On a failure *detail (when
// not null) names what failed. Each option that matches no form is ignored
// as before, with a line in settings->warnings naming it and, for the common
// slips, what was meant. Password values never appear in the trace, the
// warnings or *detail: they show as "***".
// susfile= and sowfile= read the first line of a file ("-": the next line
// of standard input) as they are met, its line end dropped.
int cmd_parse_args(int argc, const wchar_t* const* argv, TarvoSettings* settings,
                   std::wstring* detail);

// Warnings on the encryption settings as a whole, for main() to write
// before the run: passwords without sec=, encryption that anyone can open
// and change, set= restrictions without an owner password of their own.
std::vector<std::wstring> cmd_settings_warnings(const TarvoSettings* settings);

// Overwrites the passwords in *settings with zeros and empties them.
void cmd_forget_passwords(TarvoSettings* settings);

// Latest instant SOURCE_DATE_EPOCH may name: 9999-12-31 23:59:59 UTC, the
// last one a four-digit PDF date can hold.
const int64_t TARVO_SOURCE_DATE_MAX = 253402300799;
// Takes the value of SOURCE_DATE_EPOCH (null when it is not set) into
// settings->source_date. TARVO_OK, or TARVO_ERR_RANGE with *detail naming
// the variable when the value is not a whole number of seconds (decimal
// digits only) from 0 to TARVO_SOURCE_DATE_MAX.
int cmd_read_source_date(TarvoSettings* settings, const char* value, std::wstring* detail);

// True when a path that begins with '-' or '/' names an option, so that a
// bitmap path of this form was most likely meant as one.
bool cmd_looks_like_option(const std::wstring& path);
// Every option keyword of the argument pass (table keywords, the forms
// taking a value, the flags), for the manual and completion checks.
std::vector<std::wstring> cmd_option_names();

// The checks made before anything is created, in this order:
// TARVO_ERR_MARGIN, TARVO_ERR_RESOLUTION, TARVO_ERR_PDFA_SECURITY; TARVO_OK
// when all pass. *detail as for cmd_parse_args.
int cmd_check_settings(const TarvoSettings* settings, std::wstring* detail);

// The conversion run over settings->files (at least one). Returns a result
// code; on failure *detail (when not null) may name what failed. Does not
// write the "End" debug line nor the error line.
int cmd_run(const TarvoSettings* settings, std::wstring* detail);

// Viewer-preference word for pdfw_set_exec_mode: presence bits 0-2 for
// vwp/vwl/vwz, then a value bit and a presence bit per preference from bit 4.
uint32_t cmd_pack_viewer_flags(const TarvoSettings* settings);
// 0xRRGGBB to the writer's colour word 0x00BBGGRR.
uint32_t cmd_pack_colour(int32_t rgb);
// The /P value for the set= permission bits; bits 4-7 of set are ignored.
int32_t cmd_pack_permissions(int32_t set);
// The writer's security choice for sec: RC4 40-bit for 1, RC4 128-bit for 2,
// AES-256 for 3, AES-128 for 4; -1 otherwise.
int cmd_key_size_choice(int32_t sec);
// Writer encoding for enc 1..7 (and encp, encg): filter code and JPEG
// quality (-1 keeps the writer's). False for 0 (no call) and values out of
// range.
bool cmd_encoding_choice(int32_t enc, int* filter, int* quality);

// Test hook: false makes the run write a named temporary file, as it does
// where the file system has no unnamed files (O_TMPFILE); true by default.
void cmd_set_unnamed_output(bool allowed);
// Test hook: runs that encrypt take their file identifier, keys, salts and
// IVs from a generator seeded with these bytes (pdfw_set_random_seed), so
// that a test can pin encrypted output; empty (the default) is the system's
// random source. A fixed seed makes the keys public: never for real output.
void cmd_set_test_seed(const std::string& seed);

// Writes a "DBG: " line (fmt as in the wide printf family, cut at 2057
// characters) to the debug channel when settings->debug is set.
void cmd_debug(const TarvoSettings* settings, const wchar_t* fmt, ...);

// The one error line of a failed run, on standard error:
// "tarvo: error <code>: <detail>". An empty or null detail is replaced by
// cmd_result_text(code).
void cmd_error_line(int code, const wchar_t* detail);
// A warning line on standard error: "tarvo: warning: <text>".
void cmd_warning_line(const wchar_t* text);
// UTF-8 text (the writer's and the system's words) as wide text; empty for
// null.
std::wstring cmd_widen(const char* utf8);
// Short text for a result code.
const wchar_t* cmd_result_text(int code);

// ---- Pages prepared ahead ---------------------------------------------------
// One bitmap of the command line, loaded and its image prepared.
struct CmdPage {
    int load_status;           // DIB_OK, or the loader's status
    int load_cause;            // the loader's DIB_CAUSE_* when it failed
    DibInfoHeader header;      // of a loaded bitmap
    PdfPreparedImage* image;   // for pdfw_impage_prepared; null if the load failed
    bool prepared;
    int64_t input_bytes;       // bytes of the bitmap's file or pipe
    int64_t rows_missing;      // rows the file lacked, drawn in colour 0
};
struct CmdPageSource;
// Threads the run may use: TARVO_THREADS when it is a number of at least 1,
// else the number of available cores.
int cmd_thread_count();
// Prepares the pages of files (which must outlive the source) for doc, in
// order; with threads > 1 and more than one file on two threads, ahead of
// the run as far as the memory budget allows. Null when out of memory.
CmdPageSource* cmd_pages_start(PdfDocument* doc, const std::vector<std::wstring>* files,
                               int threads);
// The next page, waiting for it if need be; false past the last. The caller
// owns page->image, and says when the page is written.
bool cmd_pages_next(CmdPageSource* source, CmdPage* page);
// The page handed out last is written (or will not be): the memory it held
// counts no more against the pages still to be made.
void cmd_pages_written(CmdPageSource* source);
// Stops the work, frees what was not handed out and the source; accepts null.
void cmd_pages_stop(CmdPageSource* source);

// ---- Bitmaps from pipes, the document to standard output -------------------
// The bitmap path that stands for standard input, and the output path that
// stands for standard output: "-".
extern const wchar_t TARVO_STANDARD_STREAM[];
// True when the document goes to standard output: -o=- or a system name
// of it (/dev/stdout).
bool cmd_output_is_stdout(const std::wstring& outfile);
// True when no output can be named after path: standard input, a pipe, a
// device, or a path in the system's device tables (/dev/stdin).
bool cmd_input_is_stream(const std::wstring& path);
// Loads the bitmap at path as DIB_OP_LOAD does, or when rows is given as
// dib_load_bmp_rows does (*rows then set as it sets it). Standard input
// and FIFOs are read whole into memory first. Returns the loader's status
// with its DIB_CAUSE_* in *cause; *bytes gets the size of the file or of
// what the pipe gave.
int cmd_load_bitmap(const std::wstring& path, DibHandle* dib, DibRows** rows, int* cause,
                    int64_t* bytes);
// true makes every pipe read that is waiting give up (a run that has
// failed must not wait for a FIFO's writer); false lets them wait again.
void cmd_stop_pipe_reads(bool stop);

// ---- The progress line ------------------------------------------------------
// When standard error is a terminal and the run is not -quiet, one line
// there ("tarvo: page 12 of 20, 312 MB read") is redrawn as pages are
// written, once the run has more than one page or has lasted a second.
// Every other line the command writes to the terminal clears it first.
void cmd_progress_start(const TarvoSettings* settings);
// One page written, whose bitmap had this many bytes.
void cmd_progress_page(int64_t bytes);
// Erases the line if it is shown; it comes back with the next page.
void cmd_progress_clear();
// Erases the line for good.
void cmd_progress_end();
// A trace function for pdfw_set_trace: the writer's line on standard
// output, the progress line cleared first when both share a terminal. Null
// when the progress line is off (the writer's own trace then serves).
PdfTraceFn cmd_progress_trace();

// ---- Page geometry, in document units (1/7200 inch) ----------------------
// Results that would not fit 32 bits saturate at the int32 limits.

// v saturated at the int32 limits.
int32_t cmd_clamp32(int64_t v);

// Tenths of a millimetre to document units, nearest (halves up) for v >= 0.
int32_t units_from_tenth_mm(int32_t tenth_mm);

// Page size of a paper name (A3, A4, A5, B5, Letter, Legal, Tabloid, any
// case; a trailing L for landscape) in tenths of a millimetre. False for
// any other name.
bool cmd_paper_size(const wchar_t* name, int32_t* width, int32_t* height);
// The names cmd_paper_size knows, for messages and help.
extern const wchar_t TARVO_PAPER_NAMES[];

struct ImageExtent {
    int32_t w;
    int32_t h;
};
// Size of a width x height bitmap at xres/yres, each in dots per inch when
// is_dpi, else pixels per metre; a resolution of 0 or below is the default
// (96 dpi, 3780 ppm).
ImageExtent image_extent(int32_t width, int32_t height, int32_t xres, int32_t yres,
                         bool is_dpi);

// Scales a w x h image by the lis mode (0 keep, -1 fit, -2 fit when too big,
// -3 stretch, -4 stretch when too big) and places it in the area by the lip
// position (1..9 on a 3 x 3 grid, anything else centred). False when the
// result is less than 1 unit wide or high; *out is set either way.
bool fit_image(int32_t w, int32_t h, int32_t scale, int32_t align, const PageRect& area,
               PageRect* out);

// Output name from the first bitmap's path: the extension of its file-name
// part replaced by ".pdf", or ".pdf" appended when it has none (a leading dot
// names a hidden file, not an extension).
std::wstring cmd_default_output(const std::wstring& first_file);

#endif
