// The conversion run: one document from creation to destruction, one page
// per bitmap, written to a temporary file that replaces the target only once
// the document is complete.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cmd/tarvo.h"
#include "dib/dib.h"
#include "pdf/pdfw.h"
#include "platform/platform.h"

namespace {

const char HEADER_COMMENT[] = "%Tarvo-0.7";

std::string to_bytes(const std::wstring& text) {
    char* bytes = plat_wide_to_utf8(text.c_str());
    std::string s = bytes ? bytes : "";
    std::free(bytes);
    return s;
}

std::wstring to_wide(const std::string& bytes) {
    wchar_t* text = plat_utf8_to_wide(bytes.c_str());
    std::wstring s = text ? text : L"";
    std::free(text);
    return s;
}

// Where the document goes: the target itself when it is not a regular file
// (a device or a FIFO cannot be replaced), otherwise a new file beside it,
// unnamed while it is written where the file system allows.
struct OutputPlan {
    std::string target;     // the file the user named, symbolic links resolved
    std::string written;    // the path the writer opens
    int unnamed = -1;       // the unnamed file (O_TMPFILE), or -1
    std::string temporary;  // the named temporary file, or empty
    mode_t mode = 0;        // permission bits the finished file gets
};

bool g_unnamed_allowed = true;

mode_t current_umask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// True when the output names the same file as one of the bitmaps: replacing
// it would destroy an input the user still has nothing else of.
bool output_is_input(const std::wstring& path, const std::vector<std::wstring>& files) {
    struct stat out;
    if (stat(to_bytes(path).c_str(), &out) != 0 || !S_ISREG(out.st_mode)) return false;
    for (const std::wstring& f : files) {
        struct stat in;
        if (stat(to_bytes(f).c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
            return true;
    }
    return false;
}

// ---- Removing a named temporary file on SIGINT, SIGTERM and SIGHUP --------
// Only for file systems without unnamed files. The handler may only use
// what is safe in a signal handler, so the path waits in a fixed buffer.

const int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
char g_cleanup_path[PATH_MAX + 1];
volatile sig_atomic_t g_cleanup_armed = 0;
struct sigaction g_previous_actions[3];
bool g_handlers_installed[3];

// Removes the file, then dies of the signal as if it had not been caught,
// so the parent sees the usual status (130 for SIGINT in a shell).
void remove_and_die(int sig) {
    if (g_cleanup_armed) unlink(g_cleanup_path);
    signal(sig, SIG_DFL);
    raise(sig);  // delivered when the handler returns
}

void arm_cleanup(const std::string& path) {
    if (path.size() > PATH_MAX) return;
    std::memcpy(g_cleanup_path, path.c_str(), path.size() + 1);
    g_cleanup_armed = 1;
    for (int k = 0; k < 3; ++k) {
        struct sigaction previous;
        g_handlers_installed[k] = false;
        // An ignored signal (nohup) stays ignored.
        if (sigaction(CLEANUP_SIGNALS[k], nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = remove_and_die;
        sigemptyset(&action.sa_mask);
        g_handlers_installed[k] =
            sigaction(CLEANUP_SIGNALS[k], &action, &g_previous_actions[k]) == 0;
    }
}

void disarm_cleanup() {
    g_cleanup_armed = 0;
    for (int k = 0; k < 3; ++k) {
        if (g_handlers_installed[k]) sigaction(CLEANUP_SIGNALS[k], &g_previous_actions[k], nullptr);
        g_handlers_installed[k] = false;
    }
}

// Holds SIGINT, SIGTERM and SIGHUP back while a named file exists for a
// moment on the way to the target; they take effect once it is renamed.
struct HeldSignals {
    sigset_t previous;
    HeldSignals() {
        sigset_t held;
        sigemptyset(&held);
        for (int sig : CLEANUP_SIGNALS) sigaddset(&held, sig);
        sigprocmask(SIG_BLOCK, &held, &previous);
    }
    ~HeldSignals() { sigprocmask(SIG_SETMASK, &previous, nullptr); }
};

std::string folder_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string fd_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// An unnamed file in the target's folder: a kill at any moment leaves
// nothing behind. The writer reaches it through /proc; false when the file
// system or a missing /proc does not allow it.
bool open_unnamed(const std::string& dir, OutputPlan* plan) {
    if (!g_unnamed_allowed) return false;
    int fd = open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    if (access(fd_path(fd).c_str(), W_OK) != 0) {
        close(fd);
        return false;
    }
    plan->unnamed = fd;
    plan->written = fd_path(fd);
    return true;
}

// Creates the temporary file (mode 0600 until the document is complete).
// False when the target's folder takes no new file.
bool plan_output(const std::wstring& path, OutputPlan* plan) {
    plan->target = to_bytes(path);
    plan->written = plan->target;
    plan->mode = 0666 & ~current_umask();
    struct stat st;
    if (stat(plan->target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) return true;
        plan->mode = st.st_mode & 07777;
        // Replace what a link points to, not the link.
        if (char* real = realpath(plan->target.c_str(), nullptr)) {
            plan->target = real;
            std::free(real);
        }
    }
    const std::string dir = folder_of(plan->target);
    if (open_unnamed(dir, plan)) return true;
    std::string templ = dir + "." + plan->target.substr(dir.size()) + ".XXXXXX";
    HeldSignals held;  // none between creating the file and arming its removal
    int fd = mkstemp(&templ[0]);
    if (fd < 0) return false;
    close(fd);
    plan->temporary = templ;
    plan->written = templ;
    arm_cleanup(templ);
    return true;
}

// The new file must be on disk before it replaces the old one, or a crash
// right after the rename could leave an empty file where a good one was.
bool sync_file(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    return close(fd) == 0 && ok;
}

// Gives the unnamed file the target's name. linkat will not replace a
// file, so an existing target is replaced through a fresh name and rename.
bool link_unnamed(const OutputPlan& plan) {
    const std::string source = fd_path(plan.unnamed);
    if (linkat(AT_FDCWD, source.c_str(), AT_FDCWD, plan.target.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    if (errno != EEXIST) return false;
    const std::string dir = folder_of(plan.target);
    const std::string stem = dir + "." + plan.target.substr(dir.size()) + ".";
    std::timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint32_t seed = uint32_t(ts.tv_nsec) ^ (uint32_t(getpid()) << 16);
    HeldSignals held;
    for (int attempt = 0; attempt < 100; ++attempt) {
        seed = seed * 1103515245u + 12345u;
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%06x", unsigned(seed >> 8) & 0xFFFFFFu);
        const std::string fresh = stem + suffix;
        if (linkat(AT_FDCWD, source.c_str(), AT_FDCWD, fresh.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            if (errno == EEXIST) continue;
            return false;
        }
        if (rename(fresh.c_str(), plan.target.c_str()) == 0) return true;
        unlink(fresh.c_str());
        return false;
    }
    return false;
}

bool finish_output(OutputPlan& plan) {
    if (plan.unnamed >= 0) {
        bool ok = fchmod(plan.unnamed, plan.mode) == 0 && fsync(plan.unnamed) == 0 &&
                  link_unnamed(plan);
        close(plan.unnamed);
        plan.unnamed = -1;
        return ok;
    }
    if (plan.temporary.empty()) return true;
    bool ok = chmod(plan.temporary.c_str(), plan.mode) == 0 && sync_file(plan.temporary) &&
              rename(plan.temporary.c_str(), plan.target.c_str()) == 0;
    if (ok) {
        plan.temporary.clear();
        disarm_cleanup();
    }
    return ok;
}

// Nothing of a failed run stays behind.
void abandon_output(OutputPlan& plan) {
    if (plan.unnamed >= 0) close(plan.unnamed);
    plan.unnamed = -1;
    if (!plan.temporary.empty()) unlink(plan.temporary.c_str());
    plan.temporary.clear();
    disarm_cleanup();
}

// -quiet: the writer and the encoders print their trace lines on standard
// output and have no switch for it, so standard output is sent to
// /dev/null for the run and given back after it.
struct QuietStdout {
    int saved = -1;
    explicit QuietStdout(bool quiet) {
        if (!quiet) return;
        std::fflush(stdout);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null < 0) return;
        saved = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
        if (saved >= 0 && dup2(null, STDOUT_FILENO) < 0) {
            close(saved);
            saved = -1;
        }
        close(null);
    }
    ~QuietStdout() {
        if (saved < 0) return;
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }
};

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
    DibHandle dib = nullptr;
    OutputPlan output;
};

void set_detail(Run& run, const std::wstring& text) {
    if (run.detail) *run.detail = text;
}

// Every failure exit: nothing of the run is left behind but a file that
// already existed at the target, untouched.
int fail(Run& run, int code) {
    if (run.dib) dib_command(DIB_OP_FREE, &run.dib, nullptr);
    if (run.doc) pdfw_destroy(&run.doc);
    abandon_output(run.output);
    return code;
}

// A failure of the writer: its cause (error) becomes part of the code.
int writer_fail(Run& run, const std::wstring& what, int error) {
    set_detail(run, what + L" (writer error " + std::to_wstring(error) + L")");
    return fail(run, TARVO_ERR_WRITER + error);
}

int destroy_and_fail(Run& run, const std::wstring& what) {
    return writer_fail(run, what, pdfw_destroy(&run.doc));
}

// The trace rounds to whole dots per inch its own way (the writer's
// /HDPI uses dib_dpi_from_ppm); only the trace line reads this.
int32_t dpi_from_ppm(int32_t ppm) {
    return static_cast<int32_t>((static_cast<int64_t>(ppm) * 254 + 5000) / 10000);
}

int32_t sum32(int64_t a, int64_t b, int64_t c) {
    int64_t v = a + b + c;
    return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int32_t>(v);
}

int add_page(Run& run, size_t k, bool page_size_given, const PageRect& area) {
    const TarvoSettings* s = run.settings;
    const std::wstring& path = s->files[k];
    cmd_debug(s, L"DBG: pdf add page %d\n", static_cast<int>(k));
    if (dib_command(DIB_OP_LOAD, &run.dib, const_cast<wchar_t*>(path.c_str())) != DIB_OK) {
        run.dib = nullptr;
        set_detail(run, L"cannot load bitmap '" + path + L"'" +
                            (cmd_looks_like_option(path) ? L"; options must come before the bitmaps"
                                                         : L""));
        return fail(run, TARVO_ERR_LOAD);
    }
    DibInfoHeader header{};
    dib_command(DIB_OP_GET_HEADER, run.dib, &header);
    const int32_t width = header.width;
    const int64_t all_rows = dib_rows(header.height);
    const int32_t rows = all_rows > INT32_MAX ? INT32_MAX : static_cast<int32_t>(all_rows);

    ImageExtent size;
    if (s->dpi > 0) {
        cmd_debug(s, L"DBG: caller dpi=%d\n", s->dpi);
        cmd_debug(s, L"DBG: image dpi=%d/%d\n", dpi_from_ppm(header.x_ppm),
                  dpi_from_ppm(header.y_ppm));
        size = image_extent(width, rows, s->dpi, s->dpi, true);
    } else {
        cmd_debug(s, L"DBG: image dpi=%d/%d\n", dpi_from_ppm(header.x_ppm),
                  dpi_from_ppm(header.y_ppm));
        size = image_extent(width, rows, header.x_ppm, header.y_ppm, false);
    }

    PageRect rect{};
    PageRect clip = area;
    if (page_size_given) {
        if (!fit_image(size.w, size.h, s->lis, s->lip, area, &rect)) {
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

    if (!pdfw_impage(run.doc, run.dib, &rect, &clip)) {
        set_detail(run, L"cannot add bitmap '" + path + L"' as a page (writer error " +
                            std::to_wstring(pdfw_last_error(run.doc)) + L")");
        return fail(run, TARVO_ERR_PAGE);
    }
    dib_command(DIB_OP_FREE, &run.dib, nullptr);
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

}  // namespace

int cmd_run(const TarvoSettings* settings, std::wstring* detail) {
    if (!settings || settings->files.empty()) return TARVO_ERR_NO_FILE;
    const TarvoSettings* s = settings;
    Run run;
    run.settings = s;
    run.detail = detail;

    const int checked = cmd_check_settings(s, detail);
    if (checked != TARVO_OK) return checked;
    QuietStdout quiet(s->quiet != 0);
    FixedDates dates(s->source_date);

    const std::wstring out_path =
        s->outfile.empty() ? cmd_default_output(s->files.front()) : s->outfile;

    cmd_debug(s, L"DBG: pdf new\n");
    if (!pdfw_new(&run.doc)) return destroy_and_fail(run, L"cannot create the document");

    if (s->eco == 1 && !pdfw_set_icc_file(run.doc, s->iccfile.c_str()))
        return destroy_and_fail(run, L"cannot use ICC profile '" + s->iccfile + L"'");

    cmd_debug(s, L"DBG: pdf set document exec mode: %d\n", s->vom);
    if (!pdfw_set_exec_mode(run.doc, s->vom, s->vpa, s->vpt, s->vte, s->vtd, s->vtt, s->vpl,
                            cmd_pack_colour(s->vbc), cmd_pack_viewer_flags(s), s->vwp - 1,
                            s->vwl - 1, s->vwz - 1, s->vwzv, s->vwsp)) {
        set_detail(run, L"the viewer settings were refused");
        return fail(run, TARVO_ERR_EXEC_MODE);
    }

    if (s->sec != 0) {
        cmd_debug(s, L"DBG: pdf encrypt\n");
        const int choice = cmd_key_size_choice(s->sec);
        if (choice < 0) {
            set_detail(run, L"unknown security mode (sec)");
            return fail(run, TARVO_ERR_SECURITY);
        }
        const int32_t permissions = cmd_pack_permissions(s->set);
        cmd_debug(s, L"DBG:   encrypt in=0x%04lX set=0x%04lX\n",
                  static_cast<unsigned long>(static_cast<uint32_t>(s->set)),
                  static_cast<unsigned long>(static_cast<uint32_t>(permissions)));
        if (!pdfw_set_encryption(run.doc, s->owner_password.c_str(), s->user_password.c_str(),
                                 choice, permissions))
            return destroy_and_fail(run, L"cannot set up encryption");
    }

    cmd_debug(s, L"DBG: pdf encoding\n");
    if (s->enc != 0 || s->encp != 0 || s->encg != 0) {
        // Per class: filter and quality, -1 keeping the writer's choice.
        int choice[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
        const int32_t asked[3] = {s->enc, s->encp, s->encg};
        bool known = true;
        for (int k = 0; k < 3; ++k)
            if (asked[k] != 0) known = known && cmd_encoding_choice(asked[k], &choice[k][0], &choice[k][1]);
        if (!known || !pdfw_set_encoding(run.doc, 1, choice[0][0], choice[0][1], choice[1][0],
                                         choice[1][1], choice[2][0], choice[2][1], -1, 0, 0, 1)) {
            set_detail(run, L"the image encoding was refused");
            return fail(run, TARVO_ERR_ENCODING);
        }
    }

    cmd_debug(s, L"DBG: pdf create %ls\n", out_path.c_str());
    if (output_is_input(out_path, s->files))
        return writer_fail(run, L"output file '" + out_path + L"' is one of the bitmaps",
                           PDFW_ERR_FILE_OPEN);
    if (!plan_output(out_path, &run.output))
        return writer_fail(run, L"cannot create output file '" + out_path + L"'",
                           PDFW_ERR_FILE_OPEN);
    const std::wstring written = to_wide(run.output.written);
    if (!pdfw_file_create(run.doc, written.c_str(), HEADER_COMMENT))
        return destroy_and_fail(run, L"cannot create output file '" + out_path + L"'");

    cmd_debug(s, L"DBG: pdf set document size\n");
    const bool page_size_given = s->ldw > 0 && s->ldh > 0;
    PageRect area{};
    if (page_size_given) {
        const int32_t w = units_from_tenth_mm(s->ldw);
        const int32_t h = units_from_tenth_mm(s->ldh);
        const int64_t l = units_from_tenth_mm(s->lbl);
        const int64_t t = units_from_tenth_mm(s->lbt);
        const int64_t r = units_from_tenth_mm(s->lbr);
        const int64_t b = units_from_tenth_mm(s->lbb);
        area = PageRect{static_cast<int32_t>(l), static_cast<int32_t>(t), sum32(w, -l, -r),
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

    for (size_t k = 0; k < s->files.size(); ++k) {
        int code = add_page(run, k, page_size_given, area);
        if (code != TARVO_OK) return code;
    }

    set_info(run);

    cmd_debug(s, L"DBG: pdf close\n");
    if (!pdfw_file_close(run.doc)) return destroy_and_fail(run, L"cannot complete '" + out_path + L"'");

    cmd_debug(s, L"DBG: pdf destroy\n");
    pdfw_destroy(&run.doc);
    if (!finish_output(run.output)) {
        set_detail(run, L"cannot replace '" + out_path + L"'");
        return fail(run, TARVO_ERR_WRITER + PDFW_ERR_WRITE);
    }
    return TARVO_OK;
}

void cmd_set_unnamed_output(bool allowed) { g_unnamed_allowed = allowed; }
