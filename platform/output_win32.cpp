// Output files written safely on Windows: the document is written to a
// new file beside the target, flushed to disk, and moved over the target
// with MoveFileExW (MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH).
// Ctrl-C, Ctrl-Break and closing the console remove the new file; a kill
// (TerminateProcess) leaves it behind, under its temporary name. For
// standard output the new file is made in the temporary folder and copied
// out once complete.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <new>
#include <string>

#include "platform/platform.h"

struct PlatOutputState {
    std::wstring target;
    std::wstring written;    // the path the writer opens
    bool temporary = false;  // written is a new file, not the target
    bool to_stdout = false;  // copied to standard output, then removed
};

namespace {

// The system's words for a code of GetLastError, as UTF-8 without the
// period and line end FormatMessageW ends them with.
void win32_reason(DWORD code, PlatReason* why) {
    if (!why) return;
    why->text[0] = 0;
    wchar_t text[160];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text / sizeof text[0], nullptr);
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L'.' ||
                     text[n - 1] == L' '))
        --n;
    if (n == 0) {
        std::snprintf(why->text, sizeof why->text, "system error %lu",
                      static_cast<unsigned long>(code));
        return;
    }
    text[n] = 0;
    char* bytes = plat_wide_to_utf8(text);
    if (!bytes) return;
    std::snprintf(why->text, sizeof why->text, "%s", bytes);
    std::free(bytes);
}

// ---- Removing the new file on Ctrl-C, Ctrl-Break and console close --------
// The handler runs on a thread of its own while the writer may be in the
// middle of a write, so the path waits in a fixed buffer.

wchar_t g_cleanup_path[32768];
volatile LONG g_cleanup_armed = 0;

BOOL WINAPI on_console_event(DWORD event) {
    if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) &&
        InterlockedExchange(&g_cleanup_armed, 0) == 1) {
        // The writer's stream holds the file open, and an open file cannot
        // be deleted; the process ends right after anyway.
        _fcloseall();
        DeleteFileW(g_cleanup_path);
    }
    return FALSE;  // the default handler then ends the process
}

void arm_cleanup(const std::wstring& path) {
    if (path.size() >= sizeof g_cleanup_path / sizeof g_cleanup_path[0]) return;
    std::wmemcpy(g_cleanup_path, path.c_str(), path.size() + 1);
    InterlockedExchange(&g_cleanup_armed, 1);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void disarm_cleanup() {
    if (InterlockedExchange(&g_cleanup_armed, 0) == 1)
        SetConsoleCtrlHandler(on_console_event, FALSE);
}

size_t name_start(const std::wstring& path) {
    size_t k = path.size();
    while (k > 0 && !plat_is_separator(path[k - 1]) && path[k - 1] != L':') --k;
    return k;
}

// A target that exists and is not a file on disk (NUL, CON, a pipe) is
// written directly.
bool is_device(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const DWORD type = GetFileType(h);
    CloseHandle(h);
    return type != FILE_TYPE_DISK;
}

// Creates ".name.XXXXXX" beside the target; false when the folder takes
// no new file.
bool create_temporary(PlatOutputState* plan) {
    const size_t start = name_start(plan->target);
    const std::wstring stem =
        plan->target.substr(0, start) + L"." + plan->target.substr(start) + L".";
    uint32_t seed = GetTickCount() ^ (uint32_t(GetCurrentProcessId()) << 16);
    for (int attempt = 0; attempt < 100; ++attempt) {
        seed = seed * 1103515245u + 12345u;
        wchar_t suffix[16];
        std::swprintf(suffix, sizeof suffix / sizeof suffix[0], L"%06x",
                      unsigned(seed >> 8) & 0xFFFFFFu);
        const std::wstring path = stem + suffix;
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            return false;
        }
        CloseHandle(h);
        plan->written = path;
        plan->temporary = true;
        arm_cleanup(path);
        return true;
    }
    return false;
}

// The new file must be on disk before it replaces the old one.
bool flush_file(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = FlushFileBuffers(h) != 0;
    return CloseHandle(h) && ok;
}

void abandon_output(PlatOutputState& plan) {
    if (plan.temporary) DeleteFileW(plan.written.c_str());
    plan.temporary = false;
    disarm_cleanup();
}

// The finished document onto standard output, in binary so that no byte
// is translated.
bool copy_to_stdout(const PlatOutputState& plan) {
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    FILE* f = _wfopen(plan.written.c_str(), L"rb");
    if (!f) return false;
    char buffer[64 * 1024];
    bool ok = true;
    for (size_t n; ok && (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
        ok = std::fwrite(buffer, 1, n, stdout) == n;
    ok = ok && !std::ferror(f) && std::fflush(stdout) == 0;
    std::fclose(f);
    return ok;
}

struct FileId {
    DWORD volume;
    DWORD high;
    DWORD low;
};

bool file_id(const wchar_t* path, FileId* id) {
    HANDLE h = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = GetFileInformationByHandle(h, &info) && GetFileType(h) == FILE_TYPE_DISK &&
                    !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(h);
    if (ok) *id = FileId{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return ok;
}

}  // namespace

bool plat_same_file(const wchar_t* a, const wchar_t* b) {
    FileId ia{}, ib{};
    return a && b && file_id(a, &ia) && file_id(b, &ib) && ia.volume == ib.volume &&
           ia.high == ib.high && ia.low == ib.low;
}

PlatOutput plat_output_open(const wchar_t* target, PlatReason* why) {
    plat_errno_reason(0, why);
    if (!target || !*target) {
        win32_reason(ERROR_INVALID_NAME, why);
        return nullptr;
    }
    // A folder would only be found at the move, after the whole document.
    const DWORD attributes = GetFileAttributesW(target);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        plat_errno_reason(EISDIR, why);
        return nullptr;
    }
    PlatOutputState* state = new (std::nothrow) PlatOutputState;
    if (!state) {
        plat_errno_reason(ENOMEM, why);
        return nullptr;
    }
    state->target = target;
    state->written = target;
    if (!is_device(state->target) && !create_temporary(state)) {
        win32_reason(GetLastError(), why);
        delete state;
        return nullptr;
    }
    return state;
}

const wchar_t* plat_output_path(PlatOutput out) { return out ? out->written.c_str() : nullptr; }

FILE* plat_output_file(PlatOutput out, PlatReason* why) {
    plat_errno_reason(0, why);
    if (!out) return nullptr;
    errno = 0;
    FILE* f = plat_wfopen(out->written.c_str(), "w+b");
    if (!f) plat_errno_reason(errno ? errno : EIO, why);
    return f;
}

PlatOutput plat_output_open_stdout(PlatReason* why) {
    plat_errno_reason(0, why);
    PlatOutputState* state = new (std::nothrow) PlatOutputState;
    if (!state) return nullptr;
    wchar_t folder[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
    state->to_stdout = true;
    state->target = std::wstring(folder, n > 0 && n <= MAX_PATH ? n : 0) + L"tarvo.pdf";
    if (!create_temporary(state)) {
        win32_reason(GetLastError(), why);
        delete state;
        return nullptr;
    }
    return state;
}

bool plat_output_commit(PlatOutput out, PlatReason* why) {
    plat_errno_reason(0, why);
    if (!out) return false;
    bool ok = true;
    if (out->to_stdout) {
        ok = copy_to_stdout(*out);
        abandon_output(*out);
    } else if (out->temporary) {
        ok = flush_file(out->written) &&
             MoveFileExW(out->written.c_str(), out->target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        if (ok) {
            out->temporary = false;
            disarm_cleanup();
        }
    }
    if (!ok) {
        win32_reason(GetLastError(), why);
        abandon_output(*out);
    }
    delete out;
    return ok;
}

void plat_output_abandon(PlatOutput out) {
    if (!out) return;
    abandon_output(*out);
    delete out;
}

// Windows has no unnamed files: every output is a named new file.
// The commit's FlushFileBuffers has no asynchronous start to hand work to.
void plat_output_written(PlatOutput) {}

void plat_output_allow_unnamed(bool) {}
