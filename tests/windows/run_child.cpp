// Starts a program as a Windows parent does and reports what only a Windows
// parent sees: run_child [-debug FILE] PROGRAM [ARGS...] runs PROGRAM with
// CreateProcessW (as its debugger with -debug, collecting every
// OUTPUT_DEBUG_STRING_EVENT into FILE as UTF-8) and prints "exit <code>"
// with the full 32-bit exit code from GetExitCodeProcess as its last line
// of standard output. Its own exit status is 0 when the child ran.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// One argument quoted so that CommandLineToArgvW gives it back unchanged.
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        out.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
        slashes = 0;
        out += c;
    }
    out.append(2 * slashes, L'\\');
    return out + L"\"";
}

std::string utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

// The text of an OUTPUT_DEBUG_STRING_EVENT, read from the child.
std::wstring debug_string(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
    const size_t units = info.nDebugStringLength;
    if (units == 0) return std::wstring();
    if (info.fUnicode) {
        std::wstring text(units, L'\0');
        SIZE_T got = 0;
        ReadProcessMemory(process, info.lpDebugStringData, &text[0], units * sizeof(wchar_t), &got);
        text.resize(got / sizeof(wchar_t));
        while (!text.empty() && text.back() == 0) text.pop_back();
        return text;
    }
    std::string bytes(units, '\0');
    SIZE_T got = 0;
    ReadProcessMemory(process, info.lpDebugStringData, &bytes[0], units, &got);
    bytes.resize(got);
    while (!bytes.empty() && bytes.back() == 0) bytes.pop_back();
    const int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), nullptr, 0);
    std::wstring text(size_t(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), &text[0], n);
    return text;
}

// Runs the child to its end as its debugger; its debug strings go to out.
DWORD debug_child(const PROCESS_INFORMATION& pi, FILE* out) {
    DWORD code = 0;
    for (;;) {
        DEBUG_EVENT ev;
        if (!WaitForDebugEvent(&ev, INFINITE)) return DWORD(-1);
        DWORD status = DBG_CONTINUE;
        switch (ev.dwDebugEventCode) {
        case OUTPUT_DEBUG_STRING_EVENT: {
            const std::string text = utf8(debug_string(pi.hProcess, ev.u.DebugString));
            std::fwrite(text.data(), 1, text.size(), out);
            break;
        }
        case CREATE_PROCESS_DEBUG_EVENT:
            if (ev.u.CreateProcessInfo.hFile) CloseHandle(ev.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (ev.u.LoadDll.hFile) CloseHandle(ev.u.LoadDll.hFile);
            break;
        case EXCEPTION_DEBUG_EVENT:
            // The loader's breakpoint is expected; anything else is the child's.
            if (ev.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                status = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            code = ev.u.ExitProcess.dwExitCode;
            ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, DBG_CONTINUE);
            return code;
        default:
            break;
        }
        ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, status);
    }
}

}  // namespace

int main() {
    _setmode(_fileno(stdout), _O_BINARY);  // "\n" alone, as the reader on Linux expects
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    int first = 1;
    FILE* debug_out = nullptr;
    if (argc > 2 && std::wstring(argv[1]) == L"-debug") {
        debug_out = _wfopen(argv[2], L"wb");
        if (!debug_out) {
            std::fprintf(stderr, "run_child: cannot write the debug file\n");
            return 2;
        }
        first = 3;
    }
    if (first >= argc) {
        std::fprintf(stderr, "usage: run_child [-debug FILE] PROGRAM [ARGS...]\n");
        return 2;
    }
    std::wstring line;
    for (int i = first; i < argc; ++i) line += (i > first ? L" " : L"") + quoted(argv[i]);
    std::vector<wchar_t> command(line.begin(), line.end());
    command.push_back(0);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    const DWORD flags = debug_out ? DEBUG_ONLY_THIS_PROCESS : 0;
    if (!CreateProcessW(argv[first], command.data(), nullptr, nullptr, TRUE, flags, nullptr,
                        nullptr, &si, &pi)) {
        std::fprintf(stderr, "run_child: cannot start the program (error %lu)\n", GetLastError());
        return 2;
    }
    DWORD code = 0;
    if (debug_out) {
        code = debug_child(pi, debug_out);
        std::fclose(debug_out);
    } else {
        WaitForSingleObject(pi.hProcess, INFINITE);
    }
    // The code as the system keeps it, whichever way the child was run.
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    std::fflush(stdout);
    std::printf("exit %ld\n", long(int32_t(code)));
    return 0;
}
