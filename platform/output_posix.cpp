// Output files written safely on POSIX systems: the document is written to
// an unnamed file in the target's folder (or, where the file system does
// not allow that, a hidden named one removed on SIGINT, SIGTERM and
// SIGHUP), flushed to disk, and only then given the target's name; or, for
// standard output, written to such a file in the temporary folder and
// copied out once complete.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "platform/platform.h"

// Where the document goes: the target itself when it is not a regular file
// (a device or a FIFO cannot be replaced), otherwise a new file beside it,
// unnamed while it is written where the file system allows.
struct PlatOutputState {
    std::string target;     // the file the user named, symbolic links resolved
    std::string written;    // the path the writer opens
    std::wstring written_wide;
    int unnamed = -1;       // the unnamed file (O_TMPFILE), or -1
    std::string temporary;  // the named temporary file, or empty
    int named = -1;         // the named temporary file, open, or -1
    mode_t mode = 0;        // permission bits the finished file gets
    bool to_stdout = false;  // copied to standard output instead of named
};

namespace {

std::string to_bytes(const wchar_t* text) {
    char* bytes = plat_wide_to_utf8(text);
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


bool g_unnamed_allowed = true;

mode_t current_umask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
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
bool open_unnamed(const std::string& dir, PlatOutputState* plan) {
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

// The file the document is written to beside plan->target: unnamed where
// the file system allows, else ".name.XXXXXX", mode 0600 until complete.
bool open_temporary(PlatOutputState* plan) {
    const std::string dir = folder_of(plan->target);
    if (open_unnamed(dir, plan)) return true;
    std::string templ = dir + "." + plan->target.substr(dir.size()) + ".XXXXXX";
    HeldSignals held;  // none between creating the file and arming its removal
    int fd = mkostemp(&templ[0], O_CLOEXEC);
    if (fd < 0) return false;
    plan->named = fd;
    plan->temporary = templ;
    plan->written = templ;
    arm_cleanup(templ);
    return true;
}

// Creates the temporary file (mode 0600 until the document is complete).
// False with errno set when the target's folder takes no new file or the
// target is a folder.
bool plan_output(const wchar_t* path, PlatOutputState* plan) {
    plan->target = to_bytes(path);
    plan->written = plan->target;
    plan->mode = 0666 & ~current_umask();
    struct stat st;
    if (stat(plan->target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            return false;
        }
        if (!S_ISREG(st.st_mode)) return true;
        plan->mode = st.st_mode & 07777;
        // Replace what a link points to, not the link.
        if (char* real = realpath(plan->target.c_str(), nullptr)) {
            plan->target = real;
            std::free(real);
        }
    }
    return open_temporary(plan);
}

// Gives the unnamed file the target's name. linkat will not replace a
// file, so an existing target is replaced through a fresh name and rename.
bool link_unnamed(const PlatOutputState& plan) {
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

bool finish_output(PlatOutputState& plan) {
    if (plan.unnamed >= 0) {
        bool ok = fchmod(plan.unnamed, plan.mode) == 0 && fsync(plan.unnamed) == 0 &&
                  link_unnamed(plan);
        close(plan.unnamed);
        plan.unnamed = -1;
        return ok;
    }
    if (plan.temporary.empty()) return true;
    // The new file must be on disk before it replaces the old one, or a
    // crash right after the rename could leave an empty file where a good
    // one was.
    bool ok = fchmod(plan.named, plan.mode) == 0 && fsync(plan.named) == 0 &&
              rename(plan.temporary.c_str(), plan.target.c_str()) == 0;
    if (ok) {
        close(plan.named);
        plan.named = -1;
        plan.temporary.clear();
        disarm_cleanup();
    }
    return ok;
}

// The finished document onto standard output, after anything already
// buffered there. A named file loses its name first: a reader that closes
// the pipe early ends the process (SIGPIPE) with nothing left behind.
bool copy_to_stdout(const PlatOutputState& plan) {
    const int fd = plan.unnamed >= 0 ? plan.unnamed : plan.named;
    if (fd == plan.named) unlink(plan.temporary.c_str());
    if (fd < 0 || std::fflush(stdout) != 0) return false;
    char buffer[64 * 1024];
    off_t at = 0;
    bool ok = true;
    while (ok) {
        const ssize_t n = pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        at += n;
        for (ssize_t done = 0; ok && done < n;) {
            const ssize_t w = write(STDOUT_FILENO, buffer + done, size_t(n - done));
            if (w > 0)
                done += w;
            else
                ok = w < 0 && errno == EINTR;
        }
    }
    return ok;
}

// Nothing of a failed run stays behind.
void abandon_output(PlatOutputState& plan) {
    if (plan.unnamed >= 0) close(plan.unnamed);
    plan.unnamed = -1;
    if (plan.named >= 0) close(plan.named);
    plan.named = -1;
    if (!plan.temporary.empty()) unlink(plan.temporary.c_str());
    plan.temporary.clear();
    disarm_cleanup();
}

}  // namespace

bool plat_same_file(const wchar_t* a, const wchar_t* b) {
    struct stat sa, sb;
    return a && b && stat(to_bytes(a).c_str(), &sa) == 0 && S_ISREG(sa.st_mode) &&
           stat(to_bytes(b).c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

PlatOutput plat_output_open(const wchar_t* target, PlatReason* why) {
    plat_errno_reason(0, why);
    if (!target) return nullptr;
    PlatOutputState* state = new (std::nothrow) PlatOutputState;
    if (!state) {
        plat_errno_reason(ENOMEM, why);
        return nullptr;
    }
    if (!plan_output(target, state)) {
        plat_errno_reason(errno, why);
        delete state;
        return nullptr;
    }
    state->written_wide = to_wide(state->written);
    return state;
}

const wchar_t* plat_output_path(PlatOutput out) { return out ? out->written_wide.c_str() : nullptr; }

FILE* plat_output_file(PlatOutput out, PlatReason* why) {
    plat_errno_reason(0, why);
    if (!out) return nullptr;
    errno = 0;
    FILE* f = nullptr;
    // The file made for the document, through a descriptor of its own: the
    // plan keeps its one for the commit.
    const int made = out->unnamed >= 0 ? out->unnamed : out->named;
    if (made >= 0) {
        const int fd = fcntl(made, F_DUPFD_CLOEXEC, 0);
        if (fd >= 0 && !(f = fdopen(fd, "w+b"))) close(fd);
    } else {
        f = plat_wfopen(out->written_wide.c_str(), "w+b");
    }
    if (!f) plat_errno_reason(errno ? errno : EIO, why);
    return f;
}

PlatOutput plat_output_open_stdout(PlatReason* why) {
    plat_errno_reason(0, why);
    PlatOutputState* state = new (std::nothrow) PlatOutputState;
    if (!state) return nullptr;
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = tmp && *tmp ? tmp : "/tmp";
    if (dir.back() != '/') dir += '/';
    state->to_stdout = true;
    state->target = dir + "tarvo.pdf";
    errno = 0;
    if (!open_temporary(state)) {
        plat_errno_reason(errno, why);
        delete state;
        return nullptr;
    }
    state->written_wide = to_wide(state->written);
    return state;
}

bool plat_output_commit(PlatOutput out, PlatReason* why) {
    plat_errno_reason(0, why);
    if (!out) return false;
    errno = 0;
    const bool ok = out->to_stdout ? copy_to_stdout(*out) : finish_output(*out);
    if (!ok) plat_errno_reason(errno, why);
    if (!ok || out->to_stdout) abandon_output(*out);
    delete out;
    return ok;
}

void plat_output_abandon(PlatOutput out) {
    if (!out) return;
    abandon_output(*out);
    delete out;
}

void plat_output_written(PlatOutput out) {
    // A file only copied to standard output need never reach the disk.
    const int fd = !out || out->to_stdout ? -1 : out->unnamed >= 0 ? out->unnamed : out->named;
    // Errors are the commit's to find.
    if (fd >= 0) (void)sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

void plat_output_allow_unnamed(bool allowed) { g_unnamed_allowed = allowed; }
