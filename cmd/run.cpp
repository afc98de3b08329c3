// The conversion run: one document from creation to destruction, one page
// per bitmap, written to an output that replaces the target only once the
// document is complete.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cmd/tarvo.h"
#include "dib/dib.h"
#include "pdf/pdfw.h"
#include "platform/platform.h"

namespace {

const char HEADER_COMMENT[] = "%Tarvo-0.7";

// Set by tests only: see cmd_set_test_seed.
std::string g_test_seed;

// SOURCE_DATE_EPOCH: the document's dates come from that instant for the
// length of the run.
struct FixedDates {
    bool fixed;
    explicit FixedDates(int64_t seconds) : fixed(seconds >= 0) {
        if (fixed) plat_set_fixed_time(seconds);
    }
    ~FixedDates() {
        if (fixed) plat_clear_fixed_time();
    }
};

struct Run {
    const TarvoSettings* settings = nullptr;
    std::wstring* detail = nullptr;
    PdfDocument* doc = nullptr;
    CmdPageSource* pages = nullptr;
    PlatOutput output = nullptr;
    std::wstring out_path;   // the target, as the user named it
    std::wstring out_shown;  // the same in messages: "***" when named after a password
    const std::wstring* page_file = nullptr;  // the bitmap of the page being written
    bool to_stdout = false;  // the document goes to standard output
};

// The writer's warnings name the bitmap they concern.
void page_warning(void* opaque, const char* text) {
    const Run* run = static_cast<const Run*>(opaque);
    std::wstring line = run->page_file ? L"'" + *run->page_file + L"': " : std::wstring();
    cmd_warning_line((line + cmd_widen(text)).c_str());
}

void set_detail(Run& run, const std::wstring& text) {
    if (run.detail) *run.detail = text;
}

// Every failure exit: nothing of the run is left behind but a file that
// already existed at the target, untouched.
int fail(Run& run, int code) {
    cmd_stop_pipe_reads(true);  // a page may be waiting for a FIFO's writer
    cmd_pages_stop(run.pages);  // before the document its pages belong to
    run.pages = nullptr;
    if (run.doc) pdfw_destroy(&run.doc);
    cmd_progress_end();
    plat_output_abandon(run.output);
    run.output = nullptr;
    return code;
}

// A failure of the writer: its cause (error) becomes part of the code.
int writer_fail(Run& run, const std::wstring& what, int error) {
    set_detail(run, what + L" (writer error " + std::to_wstring(error) + L")");
    return fail(run, TARVO_ERR_WRITER + error);
}

// The writer's words for its last failure, with the file it concerns where
// the words are the system's: the output for a write, the profile for
// PDF/A. *named (when not null) tells that the file is in them.
std::wstring writer_words(const Run& run, bool* named = nullptr) {
    const std::wstring why = cmd_widen(pdfw_last_error_text(run.doc));
    std::wstring words = why;
    switch (pdfw_last_error(run.doc)) {
    case PDFW_ERR_WRITE: words = L"cannot write '" + run.out_shown + L"': " + why; break;
    case PDFW_ERR_ICC_OPEN:
    case PDFW_ERR_ICC_READ:
        words = L"cannot use ICC profile '" + run.settings->iccfile + L"': " + why;
        break;
    default: break;
    }
    if (named) *named = words != why;
    return words;
}

// ": " and the system's reason, when it gave one.
std::wstring because(const PlatReason& why) {
    return why.text[0] ? L": " + cmd_widen(why.text) : std::wstring();
}

// The same for a failed call on the document, with the writer's words;
// what names the step unless the words name their file.
int destroy_and_fail(Run& run, const std::wstring& what) {
    bool named = false;
    const std::wstring why = run.doc ? writer_words(run, &named) : std::wstring();
    return writer_fail(run, named ? why : why.empty() ? what : what + L": " + why,
                       pdfw_destroy(&run.doc));
}

// A bitmap's path as messages show it.
std::wstring shown_path(const TarvoSettings* s, size_t k) {
    return int(k) == s->hidden_file ? L"***" : s->files[k];
}

// The trace rounds to whole dots per inch its own way (the writer's
// /HDPI uses dib_dpi_from_ppm); only the trace line reads this.
int32_t dpi_from_ppm(int32_t ppm) {
    return static_cast<int32_t>((static_cast<int64_t>(ppm) * 254 + 5000) / 10000);
}

int32_t sum32(int64_t a, int64_t b, int64_t c) { return cmd_clamp32(a + b + c); }

// The bitmap's size on the page in document units, by the caller's
// resolution or its own.
ImageExtent bitmap_extent(const TarvoSettings* s, const DibInfoHeader& header) {
    const int32_t width = header.width;
    const int32_t rows = cmd_clamp32(dib_rows(header.height));
    if (s->dpi > 0) cmd_debug(s, L"DBG: caller dpi=%d\n", s->dpi);
    cmd_debug(s, L"DBG: image dpi=%d/%d\n", dpi_from_ppm(header.x_ppm), dpi_from_ppm(header.y_ppm));
    if (s->dpi > 0) return image_extent(width, rows, s->dpi, s->dpi, true);
    return image_extent(width, rows, header.x_ppm, header.y_ppm, false);
}

int add_page(Run& run, size_t k, CmdPage& page, bool page_size_given, const PageRect& area) {
    const TarvoSettings* s = run.settings;
    const std::wstring path = shown_path(s, k);
    cmd_debug(s, L"DBG: pdf add page %d\n", static_cast<int>(k));
    if (page.load_status != DIB_OK) {
        set_detail(run, L"cannot load bitmap '" + path + L"': " +
                            cmd_widen(dib_cause_text(page.load_cause)) +
                            (cmd_looks_like_option(path) ? L"; options must come before the bitmaps"
                                                         : L""));
        return fail(run, TARVO_ERR_LOAD);
    }
    const ImageExtent size = bitmap_extent(s, page.header);
    if (page.rows_missing > 0)
        cmd_warning_line((L"'" + path + L"' is truncated: " + std::to_wstring(page.rows_missing) +
                          L" of " + std::to_wstring(dib_rows(page.header.height)) +
                          L" rows are missing and drawn in colour 0").c_str());

    PageRect rect{};
    PageRect clip = area;
    if (page_size_given) {
        if (!fit_image(size.w, size.h, s->lis, s->lip, area, &rect)) {
            pdfw_image_discard(run.doc, page.image);
            set_detail(run, L"bitmap '" + path + L"' does not fit into the page area");
            return fail(run, TARVO_ERR_FIT);
        }
    } else {
        const int32_t l = units_from_tenth_mm(s->lbl);
        const int32_t t = units_from_tenth_mm(s->lbt);
        const int32_t r = units_from_tenth_mm(s->lbr);
        const int32_t b = units_from_tenth_mm(s->lbb);
        rect = PageRect{l, t, size.w, size.h};
        clip = rect;
        pdfw_set_next_page_size(run.doc, 0, 0, 0, sum32(l, size.w, r), sum32(t, size.h, b));
    }

    run.page_file = &path;
    const bool added = pdfw_impage_prepared(run.doc, page.image, &rect, &clip);
    run.page_file = nullptr;
    if (!added) {
        set_detail(run, L"cannot add bitmap '" + path + L"' as a page: " + writer_words(run) +
                            L" (writer error " + std::to_wstring(pdfw_last_error(run.doc)) + L")");
        return fail(run, TARVO_ERR_PAGE);
    }
    return TARVO_OK;
}

// Every page in order; the next one is prepared while this one is written.
int add_pages(Run& run, bool page_size_given, const PageRect& area) {
    const TarvoSettings* s = run.settings;
    run.pages = cmd_pages_start(run.doc, &s->files, cmd_thread_count());
    if (!run.pages) return writer_fail(run, L"out of memory", PDFW_ERR_NO_MEMORY);
    CmdPage page{};
    for (size_t k = 0; cmd_pages_next(run.pages, &page); ++k) {
        const int code = add_page(run, k, page, page_size_given, area);
        cmd_pages_written(run.pages);
        if (code != TARVO_OK) return code;
        plat_output_written(run.output);
        cmd_progress_page(page.input_bytes);
    }
    cmd_pages_stop(run.pages);
    run.pages = nullptr;
    return TARVO_OK;
}

void set_info(Run& run) {
    const TarvoSettings* s = run.settings;
    cmd_debug(s, L"DBG: pdf add info\n");
    if (!s->title.empty()) pdfw_set_info(run.doc, "/Title", s->title.c_str());
    // An empty author removes the writer's default (the login name).
    pdfw_set_info(run.doc, "/Author", s->author.c_str());
    if (!s->subject.empty()) pdfw_set_info(run.doc, "/Subject", s->subject.c_str());
    if (!s->keywords.empty()) pdfw_set_info(run.doc, "/Keywords", s->keywords.c_str());
    if (!s->creator.empty()) pdfw_set_info(run.doc, "/Creator", s->creator.c_str());
}

PdfViewing viewing_of(const TarvoSettings* s) {
    return PdfViewing{s->vom,  s->vpa,   s->vpt,
                      s->vte,  s->vtd,   s->vtt,
                      s->vpl,  cmd_pack_colour(s->vbc), cmd_pack_viewer_flags(s),
                      s->vwp - 1, s->vwl - 1, s->vwz - 1,
                      s->vwzv, s->vwsp};
}

int set_encryption(Run& run) {
    const TarvoSettings* s = run.settings;
    cmd_debug(s, L"DBG: pdf encrypt\n");
    const int choice = cmd_key_size_choice(s->sec);
    if (choice < 0) {
        set_detail(run, L"unknown security mode (sec)");
        return fail(run, TARVO_ERR_SECURITY);
    }
    // The RC4 permission word is the command's own; AES takes the standard's.
    const int32_t permissions = s->sec <= 2 ? cmd_pack_permissions(s->set)
                                            : pdfw_permissions(choice, s->set & 15);
    cmd_debug(s, L"DBG:   encrypt in=0x%04lX set=0x%04lX\n",
              static_cast<unsigned long>(static_cast<uint32_t>(s->set)),
              static_cast<unsigned long>(static_cast<uint32_t>(permissions)));
    // Keys, salts, IVs and the identifier always come from the system's
    // random source: anything derived from the run (its date, options or
    // bitmaps) would be known to whoever knows the run. SOURCE_DATE_EPOCH
    // fixes the dates only.
    if (!g_test_seed.empty()) pdfw_set_random_seed(run.doc, g_test_seed.data(), g_test_seed.size());
    if (!pdfw_set_encryption(run.doc, s->owner_password.c_str(), s->user_password.c_str(), choice,
                             permissions))
        return destroy_and_fail(run, L"cannot set up encryption");
    return TARVO_OK;
}

int set_encodings(Run& run) {
    const TarvoSettings* s = run.settings;
    cmd_debug(s, L"DBG: pdf encoding\n");
    if (s->enc == 0 && s->encp == 0 && s->encg == 0) return TARVO_OK;
    PdfEncodingChoices e{};
    pdfw_get_encodings(run.doc, &e);
    e.compression_on = 1;
    e.reserved[0] = e.reserved[1] = 0;
    e.compare_ccitt_flate = 1;
    // Per class: filter and quality; a quality of -1 keeps the writer's.
    struct Slot {
        int32_t asked;
        int* filter;
        int* quality;
    } slots[] = {{s->enc, &e.truecolour, &e.truecolour_quality},
                 {s->encp, &e.palette, &e.palette_quality},
                 {s->encg, &e.grey, &e.grey_quality}};
    bool known = true;
    for (const Slot& slot : slots) {
        int filter = 0, quality = -1;
        if (slot.asked == 0) continue;
        known = known && cmd_encoding_choice(slot.asked, &filter, &quality);
        *slot.filter = filter;
        if (quality >= 0) *slot.quality = quality;
    }
    if (!known || !pdfw_set_encodings(run.doc, &e)) {
        set_detail(run, L"the image encoding was refused");
        return fail(run, TARVO_ERR_ENCODING);
    }
    return TARVO_OK;
}

// Everything the document needs before its file exists.
int configure_document(Run& run) {
    const TarvoSettings* s = run.settings;
    cmd_debug(s, L"DBG: pdf new\n");
    if (!pdfw_new(&run.doc)) return destroy_and_fail(run, L"cannot create the document");
    // The document on standard output leaves no room for trace lines.
    if (s->quiet || run.to_stdout)
        pdfw_set_trace(run.doc, nullptr, nullptr);
    else if (PdfTraceFn trace = cmd_progress_trace())
        pdfw_set_trace(run.doc, trace, nullptr);
    pdfw_set_warning(run.doc, page_warning, &run);
    pdfw_set_threads(run.doc, cmd_thread_count());
    if (s->eco == 1 && !pdfw_set_icc_file(run.doc, s->iccfile.c_str()))
        return destroy_and_fail(run, L"cannot use ICC profile '" + s->iccfile + L"'");
    cmd_debug(s, L"DBG: pdf set document exec mode: %d\n", s->vom);
    const PdfViewing viewing = viewing_of(s);
    if (!pdfw_set_viewing(run.doc, &viewing)) {
        set_detail(run, L"the viewer settings were refused");
        return fail(run, TARVO_ERR_EXEC_MODE);
    }
    int code = s->sec != 0 ? set_encryption(run) : TARVO_OK;
    return code == TARVO_OK ? set_encodings(run) : code;
}

int create_file(Run& run) {
    const TarvoSettings* s = run.settings;
    const std::wstring& out_path = run.out_path;
    cmd_debug(s, L"DBG: pdf create %ls\n", run.out_shown.c_str());
    for (const std::wstring& f : s->files)
        if (!run.to_stdout && plat_same_file(out_path.c_str(), f.c_str()))
            return writer_fail(run, L"output file '" + run.out_shown + L"' is one of the bitmaps",
                               PDFW_ERR_FILE_OPEN);
    PlatReason why;
    run.output = run.to_stdout ? plat_output_open_stdout(&why) : plat_output_open(out_path.c_str(), &why);
    if (!run.output)
        return writer_fail(run, L"cannot create output file '" + run.out_shown + L"'" + because(why),
                           PDFW_ERR_FILE_OPEN);
    FILE* file = plat_output_file(run.output, &why);
    if (!file)
        return writer_fail(run, L"cannot create output file '" + run.out_shown + L"'" + because(why),
                           PDFW_ERR_FILE_OPEN);
    if (!pdfw_file_attach(run.doc, file, HEADER_COMMENT))
        return destroy_and_fail(run, L"cannot create output file '" + run.out_shown + L"'");
    return TARVO_OK;
}

// The document's page size and rotation; *area is where the bitmaps go
// when the page size is given.
int set_geometry(Run& run, bool* page_size_given, PageRect* area) {
    const TarvoSettings* s = run.settings;
    cmd_debug(s, L"DBG: pdf set document size\n");
    *page_size_given = s->ldw > 0 && s->ldh > 0;
    if (*page_size_given) {
        const int32_t w = units_from_tenth_mm(s->ldw);
        const int32_t h = units_from_tenth_mm(s->ldh);
        const int64_t l = units_from_tenth_mm(s->lbl);
        const int64_t t = units_from_tenth_mm(s->lbt);
        const int64_t r = units_from_tenth_mm(s->lbr);
        const int64_t b = units_from_tenth_mm(s->lbb);
        *area = PageRect{static_cast<int32_t>(l), static_cast<int32_t>(t), sum32(w, -l, -r),
                         sum32(h, -t, -b)};
        cmd_debug(s, L"DBG: pdf set pagesize: %d x %d sq xusp\n", w, h);
        if (!pdfw_set_page_size(run.doc, 0, 0, 0, w, h))
            return destroy_and_fail(run, L"the page size was refused");
    } else if (s->ldw > 0 || s->ldh > 0) {
        set_detail(run, L"page width (ldw) and height (ldh) must be given together");
        return fail(run, TARVO_ERR_PAGE_SIZE);
    }
    cmd_debug(s, L"DBG: pdf set document rotation: %d\n", s->vra);
    if (!pdfw_set_rotation(run.doc, s->vra)) {
        set_detail(run, L"rotation " + std::to_wstring(s->vra) + L" is not 0, 90, 180 or 270");
        return fail(run, TARVO_ERR_ROTATION);
    }
    return TARVO_OK;
}

}  // namespace

int cmd_run(const TarvoSettings* settings, std::wstring* detail) {
    if (!settings || settings->files.empty()) return TARVO_ERR_NO_FILE;
    const TarvoSettings* s = settings;
    Run run;
    run.settings = s;
    run.detail = detail;
    run.out_path = s->outfile.empty() ? cmd_default_output(s->files.front()) : s->outfile;
    run.out_shown = s->outfile.empty() && s->hidden_file == 0 ? L"***" : run.out_path;

    const int checked = cmd_check_settings(s, detail);
    if (checked != TARVO_OK) return checked;
    FixedDates dates(s->source_date);
    // A name made from standard input, a pipe or a device would be no
    // place for a file; the run stops before reading from it.
    if (s->outfile.empty() && cmd_input_is_stream(s->files.front())) {
        set_detail(run, L"no output name can be made from '" + s->files.front() +
                            L"', which is not a file: give one with -o= (-o=- for standard output)");
        return TARVO_ERR_OUTPUT_NAME;
    }
    run.to_stdout = cmd_output_is_stdout(s->outfile);
    cmd_stop_pipe_reads(false);
    cmd_progress_start(s);

    bool page_size_given = false;
    PageRect area{};
    int code = configure_document(run);
    if (code == TARVO_OK) code = create_file(run);
    if (code == TARVO_OK) code = set_geometry(run, &page_size_given, &area);
    if (code == TARVO_OK) code = add_pages(run, page_size_given, area);
    if (code != TARVO_OK) return code;

    set_info(run);
    cmd_debug(s, L"DBG: pdf close\n");
    if (!pdfw_file_close(run.doc))
        return destroy_and_fail(run, L"cannot complete '" + run.out_shown + L"'");
    cmd_debug(s, L"DBG: pdf destroy\n");
    pdfw_destroy(&run.doc);
    cmd_progress_end();
    PlatReason why;
    const bool committed = plat_output_commit(run.output, &why);
    run.output = nullptr;
    if (!committed) {
        set_detail(run, L"cannot replace '" + run.out_shown + L"'" + because(why));
        return fail(run, TARVO_ERR_WRITER + PDFW_ERR_WRITE);
    }
    return TARVO_OK;
}

void cmd_set_unnamed_output(bool allowed) { plat_output_allow_unnamed(allowed); }

void cmd_set_test_seed(const std::string& seed) { g_test_seed = seed; }
