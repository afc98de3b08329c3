// The argument pass: options into the settings record, then the file paths.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>

#include "cmd/tarvo.h"
#include "platform/platform.h"

namespace {

// Table-driven integer options, in the order they are tried.
struct TarvoOption {
    const wchar_t* keyword;
    int32_t TarvoSettings::*target;
    int32_t min;
    int32_t max;
};

const TarvoOption OPTIONS[] = {
    {L"dpi", &TarvoSettings::dpi, 1, INT32_MAX},
    {L"d", &TarvoSettings::dpi, 1, INT32_MAX},
    {L"eco", &TarvoSettings::eco, 0, 1},
    {L"enc", &TarvoSettings::enc, 0, 7},
    {L"ldw", &TarvoSettings::ldw, 1, INT32_MAX},
    {L"ldh", &TarvoSettings::ldh, 1, INT32_MAX},
    {L"lbl", &TarvoSettings::lbl, 0, INT32_MAX},
    {L"lbt", &TarvoSettings::lbt, 0, INT32_MAX},
    {L"lbr", &TarvoSettings::lbr, 0, INT32_MAX},
    {L"lbb", &TarvoSettings::lbb, 0, INT32_MAX},
    {L"lis", &TarvoSettings::lis, -4, 0},
    {L"lip", &TarvoSettings::lip, 0, 9},
    {L"vra", &TarvoSettings::vra, 0, 270},
    {L"vom", &TarvoSettings::vom, 0, 2},
    {L"vwp", &TarvoSettings::vwp, 0, 4},
    {L"vwl", &TarvoSettings::vwl, 0, 6},
    {L"vwz", &TarvoSettings::vwz, 0, 8},
    {L"vwzv", &TarvoSettings::vwzv, 1, 32767},
    {L"vwsp", &TarvoSettings::vwsp, 1, 32767},
    {L"vwwf", &TarvoSettings::vwwf, 0, 2},
    {L"vwwc", &TarvoSettings::vwwc, 0, 2},
    {L"vwwt", &TarvoSettings::vwwt, 0, 2},
    {L"vwhm", &TarvoSettings::vwhm, 0, 2},
    {L"vwht", &TarvoSettings::vwht, 0, 2},
    {L"vwhc", &TarvoSettings::vwhc, 0, 2},
    {L"vpa", &TarvoSettings::vpa, 0, 1},
    {L"vpt", &TarvoSettings::vpt, 0, INT32_MAX},
    {L"vte", &TarvoSettings::vte, 0, 14},
    {L"vtd", &TarvoSettings::vtd, -1, 7},
    {L"vtt", &TarvoSettings::vtt, 0, INT32_MAX},
    {L"vpl", &TarvoSettings::vpl, 0, 1},
    {L"vbc", &TarvoSettings::vbc, 0, 16777215},
    {L"sec", &TarvoSettings::sec, 0, 2},
    {L"set", &TarvoSettings::set, 0, 255},
    {nullptr, nullptr, 0, 0},
};

// Keywords are ASCII, so folding ASCII letters is the whole case rule.
wchar_t fold(wchar_t c) { return c >= L'A' && c <= L'Z' ? wchar_t(c + (L'a' - L'A')) : c; }

bool equals_nocase(const wchar_t* text, const wchar_t* word) {
    for (; *word; ++text, ++word)
        if (fold(*text) != *word) return false;
    return *text == 0;
}

bool prefix_nocase(const wchar_t* text, const wchar_t* prefix) {
    for (; *prefix; ++text, ++prefix)
        if (fold(*text) != *prefix) return false;
    return true;
}

const wchar_t* after_equals(const wchar_t* text) {
    const wchar_t* eq = std::wcschr(text, L'=');
    return eq ? eq + 1 : text + std::wcslen(text);
}

// wcstol in base 0, narrowed to 32 bits. False when the number does not fit:
// long is 64-bit here, and a value that saturates is not the value given.
bool to_int32(const wchar_t* text, int32_t* out) {
    errno = 0;
    wchar_t* end = nullptr;
    long v = std::wcstol(text, &end, 0);
    bool fits = errno != ERANGE;
    if (v > INT32_MAX) {
        v = INT32_MAX;
        fits = false;
    } else if (v < INT32_MIN) {
        v = INT32_MIN;
        fits = false;
    }
    *out = int32_t(v);
    return fits;
}

// Latin-1 bytes of a password; the whole value is checked, the first 79
// characters kept. A byte that was not UTF-8 on the command line (a Latin-1
// terminal's "\xE9") arrives escaped as U+DC80 + byte and is that byte again.
bool to_password(const wchar_t* value, std::string* out) {
    out->clear();
    for (const wchar_t* p = value; *p; ++p) {
        uint32_t c = uint32_t(*p);
        if (c >= 0xDC80 && c <= 0xDCFF) c -= 0xDC00;
        if (c > 255) return false;
        if (out->size() < TARVO_PASSWORD_BYTES) out->push_back(char(static_cast<unsigned char>(c)));
    }
    return true;
}

// An element beginning with '/' that no option form takes: a path when it
// has a further '/' or names an existing non-directory.
bool is_absolute_path(const wchar_t* element) {
    if (std::wcschr(element + 1, L'/')) return true;
    std::unique_ptr<char, void (*)(void*)> name(plat_wide_to_utf8(element), std::free);
    struct stat st;
    return name && stat(name.get(), &st) == 0 && !S_ISDIR(st.st_mode);
}

enum OptionOutcome { OPTION_TAKEN, OPTION_UNKNOWN, OPTION_END };

// Applies one option. text is the option text as cut, full the same text
// uncut (paths take their value from it). OPTION_END sets *code.
OptionOutcome apply_option(TarvoSettings* s, const wchar_t* text, const wchar_t* full, int* code,
                           std::wstring* detail) {
    if (equals_nocase(text, L"debug")) {
        s->debug = 1;
        return OPTION_TAKEN;
    }
    if (equals_nocase(text, L"verbose")) {
        s->verbose = 1;
        return OPTION_TAKEN;
    }
    if (equals_nocase(text, L"exitversion")) {
        *code = TARVO_EXIT_VERSION;
        return OPTION_END;
    }
    if (prefix_nocase(text, L"outfile=") || prefix_nocase(text, L"o=")) {
        s->outfile = after_equals(full);
        return OPTION_TAKEN;
    }
    struct TextForm {
        const wchar_t* prefix;
        std::wstring TarvoSettings::*target;
    };
    static const TextForm TEXT_FORMS[] = {
        {L"it=", &TarvoSettings::title},    {L"ia=", &TarvoSettings::author},
        {L"is=", &TarvoSettings::subject},  {L"ik=", &TarvoSettings::keywords},
        {L"ic=", &TarvoSettings::creator},
    };
    for (const TextForm& f : TEXT_FORMS) {
        if (prefix_nocase(text, f.prefix)) {
            s->*f.target = after_equals(text);
            return OPTION_TAKEN;
        }
    }
    if (prefix_nocase(text, L"iccfile=") || prefix_nocase(text, L"icc=")) {
        s->iccfile = after_equals(full);
        return OPTION_TAKEN;
    }
    bool owner = prefix_nocase(text, L"sow=");
    if (owner || prefix_nocase(text, L"sus=")) {
        if (!to_password(after_equals(text), owner ? &s->owner_password : &s->user_password)) {
            *detail = std::wstring(L"option '") + (owner ? L"sow=" : L"sus=") +
                      L"' holds a password character above U+00FF";
            *code = TARVO_ERR_PASSWORD;
            return OPTION_END;
        }
        return OPTION_TAKEN;
    }
    for (const TarvoOption* o = OPTIONS; o->keyword; ++o) {
        size_t n = std::wcslen(o->keyword);
        if (std::wcsncmp(text, o->keyword, n) != 0 || text[n] != L'=') continue;
        int32_t v = 0;
        bool fits = to_int32(text + n + 1, &v);
        s->*o->target = v;
        if (!fits || v < o->min || v > o->max) {
            cmd_debug(s, L"DBG: Tarvo.Command: Option '%ls' is out of range!\n", text);
            *detail = std::wstring(L"option '") + text + L"' is out of range (" +
                      std::to_wstring(o->min) + L".." + std::to_wstring(o->max) + L")";
            *code = TARVO_ERR_RANGE;
            return OPTION_END;
        }
        return OPTION_TAKEN;
    }
    return OPTION_UNKNOWN;
}

}  // namespace

int cmd_parse_args(int argc, const wchar_t* const* argv, TarvoSettings* s, std::wstring* detail) {
    std::wstring unused;
    if (!detail) detail = &unused;
    detail->clear();

    int first_file = argc;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* element = argv[i] ? argv[i] : L"";
        std::wstring cut(element, std::min<size_t>(std::wcslen(element), TARVO_OPTION_CHARS));
        cmd_debug(s, L"DBG: Tarvo.Command: arg[%d]='%ls'\n", i, cut.c_str());

        if (std::wcscmp(element, L"--") == 0) {
            first_file = i + 1;
            if (first_file < argc) {
                const wchar_t* next = argv[first_file] ? argv[first_file] : L"";
                std::wstring next_cut(next, std::min<size_t>(std::wcslen(next), TARVO_OPTION_CHARS));
                cmd_debug(s, L"DBG: Tarvo.Command: arg[%d]='%ls'\n", first_file, next_cut.c_str());
            }
            break;
        }
        if (std::wcscmp(element, L"--help") == 0) {
            s->request = TARVO_REQUEST_HELP;
            return TARVO_OK;
        }
        if (std::wcscmp(element, L"--version") == 0) {
            s->request = TARVO_REQUEST_VERSION;
            return TARVO_OK;
        }
        if (element[0] != L'/' && element[0] != L'-') {
            first_file = i;
            break;
        }
        int code = TARVO_OK;
        OptionOutcome outcome = apply_option(s, cut.c_str() + 1, element + 1, &code, detail);
        if (outcome == OPTION_END) return code;
        if (outcome == OPTION_UNKNOWN && element[0] == L'/' && is_absolute_path(element)) {
            first_file = i;
            break;
        }
    }

    if (first_file >= argc) {
        cmd_debug(s, L"DBG: Tarvo.Command: No file argument\n");
        *detail = L"no bitmap file given";
        return TARVO_ERR_NO_FILE;
    }
    for (int i = first_file; i < argc; ++i) {
        s->files.emplace_back(argv[i] ? argv[i] : L"");
        cmd_debug(s, L"DBG: file[ %d] = '%ls'\n", int(s->files.size() - 1), s->files.back().c_str());
    }
    return TARVO_OK;
}

int cmd_check_settings(const TarvoSettings* s, std::wstring* detail) {
    std::wstring unused;
    if (!detail) detail = &unused;
    if (s->lbl < 0 || s->lbt < 0 || s->lbr < 0 || s->lbb < 0) {
        *detail = L"a margin (lbl, lbt, lbr, lbb) is negative";
        return TARVO_ERR_MARGIN;
    }
    if (s->dpi < 0) {
        *detail = L"the resolution (dpi) is negative";
        return TARVO_ERR_RESOLUTION;
    }
    if (s->eco != 0 && s->sec != 0) {
        *detail = L"PDF/A (eco) and encryption (sec) exclude each other";
        return TARVO_ERR_PDFA_SECURITY;
    }
    return TARVO_OK;
}
