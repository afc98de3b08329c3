// The command's two channels of its own: "DBG: " lines on the debug channel,
// and the warning lines and the single error line of a failed run on
// standard error.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cmd/tarvo.h"
#include "platform/platform.h"
#include "pdf/pdfw.h"

namespace {

// A debug line holds at most this many characters.
const size_t DEBUG_LINE_CHARS = 2057;

void write_stderr(const std::wstring& line) {
    char* bytes = plat_wide_to_utf8(line.c_str());
    if (!bytes) return;
    cmd_progress_clear();
    std::fputs(bytes, stderr);
    std::fflush(stderr);
    std::free(bytes);
}

}  // namespace

void cmd_debug(const TarvoSettings* settings, const wchar_t* fmt, ...) {
    if (!settings || !settings->debug) return;
    // vswprintf gives no length on overflow, so grow until the line fits;
    // paths can make a line longer than the cut.
    std::vector<wchar_t> buf(DEBUG_LINE_CHARS + 1);
    for (;;) {
        va_list ap;
        va_start(ap, fmt);
        int n = std::vswprintf(buf.data(), buf.size(), fmt, ap);
        va_end(ap);
        if (n >= 0) break;
        if (buf.size() >= (size_t(1) << 20)) return;
        buf.assign(buf.size() * 4, 0);
    }
    std::wstring line(buf.data());
    if (line.size() > DEBUG_LINE_CHARS) {
        // Keep the line end, or the next line would run on in the channel.
        bool newline = line.back() == L'\n';
        line.resize(DEBUG_LINE_CHARS);
        if (newline) line.back() = L'\n';
    }
    cmd_progress_clear();
    plat_debug_out(line.c_str());
}

const wchar_t* cmd_result_text(int code) {
    switch (code) {
    case TARVO_OK: return L"done";
    case TARVO_EXIT_VERSION: return L"version query";
    case TARVO_ERR_NO_FILE: return L"no bitmap file given";
    case TARVO_ERR_MARGIN: return L"a margin is negative";
    case TARVO_ERR_ENCODING: return L"the image encoding was refused";
    case TARVO_ERR_PAGE_SIZE: return L"page width (ldw) and height (ldh) must be given together";
    case TARVO_ERR_FIT: return L"the image does not fit into the page area";
    case TARVO_ERR_RESOLUTION: return L"the resolution is negative";
    case TARVO_ERR_RANGE: return L"an option value is out of range";
    case TARVO_ERR_PDFA_SECURITY: return L"PDF/A (eco) and encryption (sec) exclude each other";
    case TARVO_ERR_SECURITY: return L"unknown security mode (sec)";
    case TARVO_ERR_PASSWORD: return L"a password character the encryption mode cannot hold";
    case TARVO_ERR_PASSWORD_FILE: return L"a password file cannot be read";
    case TARVO_ERR_OUTPUT_NAME: return L"no output name can be made from the first bitmap: give -o=";
    case TARVO_ERR_PAGE: return L"adding a page failed";
    case TARVO_ERR_LOAD: return L"loading a bitmap failed";
    case TARVO_ERR_ROTATION: return L"the rotation must be 0, 90, 180 or 270";
    case TARVO_ERR_EXEC_MODE: return L"the viewer settings were refused";
    case TARVO_ERR_WRITER + PDFW_ERR_NO_MEMORY: return L"out of memory";
    case TARVO_ERR_WRITER + PDFW_ERR_FILE_OPEN: return L"the output file cannot be opened";
    case TARVO_ERR_WRITER + PDFW_ERR_WRITE: return L"writing the output file failed";
    case TARVO_ERR_WRITER + PDFW_ERR_NULL_DOCUMENT: return L"the document could not be created";
    case TARVO_ERR_WRITER + PDFW_ERR_ICC_PATH: return L"PDF/A (eco=1) needs an ICC profile (iccfile=)";
    case TARVO_ERR_WRITER + PDFW_ERR_ICC_OPEN: return L"the ICC profile cannot be opened";
    case TARVO_ERR_WRITER + PDFW_ERR_ICC_READ: return L"the ICC profile cannot be read";
    default: break;
    }
    if (code < TARVO_ERR_WRITER && code > TARVO_ERR_WRITER - 100) return L"the PDF writer failed";
    return L"failed";
}

void cmd_error_line(int code, const wchar_t* detail) {
    const wchar_t* what = detail && *detail ? detail : cmd_result_text(code);
    write_stderr(L"tarvo: error " + std::to_wstring(code) + L": " + what + L"\n");
}

std::wstring cmd_widen(const char* utf8) {
    wchar_t* wide = plat_utf8_to_wide(utf8 ? utf8 : "");
    std::wstring s = wide ? wide : L"";
    std::free(wide);
    return s;
}

void cmd_warning_line(const wchar_t* text) {
    write_stderr(std::wstring(L"tarvo: warning: ") + (text ? text : L"") + L"\n");
}
