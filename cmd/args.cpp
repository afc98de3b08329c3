// The argument pass: options into the settings record, then the file paths.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

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
    {L"encp", &TarvoSettings::encp, 0, 7},
    {L"encg", &TarvoSettings::encg, 0, 7},
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
    {L"sec", &TarvoSettings::sec, 0, 4},
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

// Optimal string alignment distance: insertions, deletions, substitutions
// and swaps of two neighbours each count one.
size_t edit_distance(const std::wstring& a, const std::wstring& b) {
    const size_t n = a.size(), m = b.size();
    std::vector<size_t> d((n + 1) * (m + 1));
    auto at = [&](size_t i, size_t j) -> size_t& { return d[i * (m + 1) + j]; };
    for (size_t i = 0; i <= n; ++i) at(i, 0) = i;
    for (size_t j = 0; j <= m; ++j) at(0, j) = j;
    for (size_t i = 1; i <= n; ++i) {
        for (size_t j = 1; j <= m; ++j) {
            size_t v = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1,
                                 at(i - 1, j - 1) + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                v = std::min(v, at(i - 2, j - 2) + 1);
            at(i, j) = v;
        }
    }
    return at(n, m);
}

// ---- Passwords ----------------------------------------------------------------

// Passwords are zeroed in place before their memory goes back.
void wipe(std::wstring* text) {
    plat_wipe(&(*text)[0], text->size() * sizeof(wchar_t));
    text->clear();
}

void wipe(std::string* bytes) {
    plat_wipe(&(*bytes)[0], bytes->size());
    bytes->clear();
}

// The passwords as given, converted once the last sec= is known: the check
// and the conversion see the options the pass took, nothing past them.
struct GivenPasswords {
    std::wstring owner;
    std::wstring user;
    // The element after a bare -sus or -sow is most likely the password.
    bool hide_next = false;
    ~GivenPasswords() {
        wipe(&owner);
        wipe(&user);
    }
};

// Replaces a password, zeroing the old one first.
void set_password(std::wstring* to, const wchar_t* from) {
    wipe(to);
    to->assign(from);
}

// The code point at text[*i], a UTF-16 pair taken whole where wchar_t has
// 16 bits; *i moves past it.
uint32_t next_code_point(const std::wstring& text, size_t* i) {
    uint32_t c = uint32_t(text[(*i)++]);
    if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && *i < text.size()) {
        const uint32_t low = uint32_t(text[*i]);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            ++*i;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        }
    }
    return c;
}

// "'Ŝ' (U+015C)", or the number alone for a character that does not print.
std::wstring describe_character(uint32_t c) {
    wchar_t number[16];
    std::swprintf(number, sizeof number / sizeof number[0], L"U+%04lX", static_cast<unsigned long>(c));
    const bool prints = c >= 0x20 && !(c >= 0x7F && c <= 0xA0) && !(c >= 0xD800 && c <= 0xDFFF) &&
                        c <= 0x10FFFF;
    if (!prints) return number;
    std::wstring shown = L"'";
    if (sizeof(wchar_t) == 2 && c >= 0x10000) {
        shown += wchar_t(0xD800 + ((c - 0x10000) >> 10));
        shown += wchar_t(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
        shown += wchar_t(c);
    }
    return shown + L"' (" + number + L")";
}

// PDFDocEncoding bytes of a password for RC4 and AES-128; the whole value is
// checked, the first 79 bytes kept. A byte that was not UTF-8 on the command
// line (a Latin-1 terminal's "\xE9") arrives escaped as U+DC80 + byte and is
// that byte again. False with *detail naming the first character that has
// no byte.
bool to_pdfdoc_password(const std::wstring& given, const wchar_t* which, std::string* out,
                        std::wstring* detail) {
    wipe(out);
    out->reserve(TARVO_PASSWORD_BYTES);
    size_t i = 0;
    for (size_t position = 1; i < given.size(); ++position) {
        const uint32_t c = next_code_point(given, &i);
        const int byte = c >= 0xDC80 && c <= 0xDCFF ? int(c - 0xDC00) : pdfw_pdfdoc_byte(c);
        if (byte < 0) {
            wipe(out);
            *detail = std::wstring(which) + L" holds " + describe_character(c) + L" at character " +
                      std::to_wstring(position) +
                      L", which RC4 and AES-128 passwords cannot hold (PDFDocEncoding); -sec=3 "
                      L"takes any Unicode text";
            return false;
        }
        if (out->size() < TARVO_PASSWORD_BYTES) out->push_back(char(static_cast<unsigned char>(byte)));
    }
    return true;
}

// UTF-8 of a password for AES-256, whole: the writer prepares and cuts it,
// and names what SASLprep refuses.
bool to_text_password(const std::wstring& given, std::string* out) {
    wipe(out);
    char* bytes = plat_wide_to_utf8(given.c_str());
    if (!bytes) return false;
    out->assign(bytes);
    plat_wipe(bytes, out->size());
    std::free(bytes);
    return true;
}

// Both passwords in the form the final sec= asks for; the given text is
// wiped either way.
int convert_passwords(TarvoSettings* s, GivenPasswords* given, std::wstring* detail) {
    s->password_text = s->sec == 3;
    int code = TARVO_OK;
    const struct {
        std::wstring* from;
        std::string* to;
        const wchar_t* which;
    } both[] = {{&given->owner, &s->owner_password, L"the owner password"},
                {&given->user, &s->user_password, L"the user password"}};
    for (const auto& p : both) {
        if (code != TARVO_OK) break;
        if (s->password_text ? !to_text_password(*p.from, p.to)
                             : !to_pdfdoc_password(*p.from, p.which, p.to, detail))
            code = s->password_text ? TARVO_ERR_WRITER + PDFW_ERR_NO_MEMORY : TARVO_ERR_PASSWORD;
    }
    if (code == TARVO_ERR_WRITER + PDFW_ERR_NO_MEMORY) *detail = L"out of memory";
    wipe(&given->owner);
    wipe(&given->user);
    return code;
}

// The first line of a password file, its line end dropped; "-" is the next
// line of standard input. The bytes are UTF-8 as on the command line (a
// leading byte-order mark is dropped, stray bytes are kept as they are).
int read_password_file(const std::wstring& path, std::wstring* out, std::wstring* detail) {
    const bool from_stdin = path == L"-";
    const std::wstring name = from_stdin ? L"standard input" : L"'" + path + L"'";
    errno = 0;
    FILE* f = from_stdin ? stdin : plat_wfopen(path.c_str(), "rb");
    int error = errno;
    std::string line;
    line.reserve(TARVO_PASSWORD_LINE_MAX + 1);
    bool ended = false, nul = false;
    if (f) {
        for (int c; !ended && line.size() <= TARVO_PASSWORD_LINE_MAX && (c = std::getc(f)) != EOF;) {
            ended = c == '\n';
            nul = nul || c == 0;
            if (!ended) line.push_back(char(c));
        }
        error = std::ferror(f) ? errno : 0;
        if (!from_stdin) std::fclose(f);
    }
    std::wstring why;
    if (!f || error != 0) {
        PlatReason reason;
        plat_errno_reason(error, &reason);
        why = reason.text[0] ? cmd_widen(reason.text) : L"it cannot be read";
    } else if (!ended && line.size() > TARVO_PASSWORD_LINE_MAX) {
        why = L"no line end in its first " + std::to_wstring(TARVO_PASSWORD_LINE_MAX) + L" bytes";
    } else if (!ended && line.empty()) {
        why = L"it holds no line";
    } else if (nul) {
        why = L"the line holds a zero byte";
    }
    if (!why.empty()) {
        wipe(&line);
        *detail = L"cannot read a password from " + name + L": " + why;
        return TARVO_ERR_PASSWORD_FILE;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t bom = line.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    wchar_t* text = plat_utf8_to_wide(line.c_str() + bom);
    wipe(&line);
    if (!text) {
        *detail = L"out of memory";
        return TARVO_ERR_WRITER + PDFW_ERR_NO_MEMORY;
    }
    set_password(out, text);
    plat_wipe(text, out->size() * sizeof(wchar_t));
    std::free(text);
    return TARVO_OK;
}

// An element beginning with '/' that no option form takes: a path when it
// has a further '/' or names an existing non-directory.
bool is_absolute_path(const wchar_t* element) {
    if (std::wcschr(element + 1, L'/')) return true;
    const int kind = plat_file_kind(element, nullptr);
    return kind != PLAT_FILE_NONE && kind != PLAT_FILE_FOLDER;
}

// ---- What an ignored option was probably meant to be ----------------------

// How an option is written: a flag alone, keyword=value, or --name.
enum NameForm { FORM_FLAG, FORM_VALUE, FORM_REQUEST };

struct KnownName {
    const wchar_t* name;  // lower case
    NameForm form;
};

// The forms other than the table keywords, as apply_option and the pass
// take them.
const KnownName FIXED_NAMES[] = {
    {L"debug", FORM_FLAG},     {L"verbose", FORM_FLAG},   {L"quiet", FORM_FLAG},
    {L"exitversion", FORM_FLAG}, {L"outfile", FORM_VALUE}, {L"o", FORM_VALUE},
    {L"it", FORM_VALUE},       {L"ia", FORM_VALUE},       {L"is", FORM_VALUE},
    {L"ik", FORM_VALUE},       {L"ic", FORM_VALUE},       {L"iccfile", FORM_VALUE},
    {L"icc", FORM_VALUE},      {L"sow", FORM_VALUE},      {L"sus", FORM_VALUE},
    {L"sowfile", FORM_VALUE},  {L"susfile", FORM_VALUE},  {L"paper", FORM_VALUE},
    {L"help", FORM_REQUEST},   {L"version", FORM_REQUEST},
};

// Names other programs give their output option.
bool is_output_alias(const std::wstring& name) {
    return name == L"o" || name == L"outfile" || name == L"output" || name == L"out";
}

// An option element taken apart: the introducing character, the name
// (lower case, extra leading dashes dropped) and the value after '='.
struct ElementParts {
    wchar_t prefix = L'-';
    std::wstring body;  // after the introducing character and extra dashes
    std::wstring name;
    bool has_value = false;
    std::wstring value;
};

ElementParts split_element(const wchar_t* element) {
    ElementParts e;
    e.prefix = element[0];
    const wchar_t* p = element[0] ? element + 1 : element;
    while (*p == L'-') ++p;
    e.body = p;
    const wchar_t* eq = std::wcschr(p, L'=');
    for (const wchar_t* q = p; *q && q != eq; ++q) e.name.push_back(fold(*q));
    if (eq) {
        e.has_value = true;
        e.value = eq + 1;
    }
    return e;
}

const KnownName* find_known(const std::wstring& name) {
    static std::vector<KnownName> all;
    if (all.empty()) {
        all.assign(std::begin(FIXED_NAMES), std::end(FIXED_NAMES));
        for (const TarvoOption* o = OPTIONS; o->keyword; ++o) all.push_back({o->keyword, FORM_VALUE});
    }
    // Exact first, then the nearest by edit distance; ties go to the first.
    for (const KnownName& k : all)
        if (name == k.name) return &k;
    const KnownName* best = nullptr;
    size_t best_distance = 3;
    for (const KnownName& k : all) {
        const size_t len = std::wcslen(k.name);
        // One slip in a name of three letters or more; two from six on.
        const size_t allowed = len >= 6 ? 2 : std::max(len, name.size()) >= 3 ? 1 : 0;
        size_t d = edit_distance(name, k.name);
        if (d <= allowed && d < best_distance) {
            best = &k;
            best_distance = d;
        }
    }
    return best;
}

// A name that carries a password, or a slip of one: its value is never shown.
bool names_password(const std::wstring& name) {
    const KnownName* k = name.empty() ? nullptr : find_known(name);
    return k && (std::wcscmp(k->name, L"sus") == 0 || std::wcscmp(k->name, L"sow") == 0);
}

// An element as the trace and the warnings show it: a password as "***".
std::wstring shown_element(const wchar_t* element) {
    const wchar_t* eq = std::wcschr(element, L'=');
    if (!eq || !names_password(split_element(element).name)) return element;
    return std::wstring(element, eq + 1) + L"***";
}

// The warning for an option that matched no form. next is the element after
// it (null at the end): "-o out.pdf" means "-o=out.pdf". A password's
// value, given or in next, is not repeated.
std::wstring ignored_option_warning(const wchar_t* element, const wchar_t* next) {
    const std::wstring line = L"ignoring unknown option '" + shown_element(element) + L"'";
    const ElementParts e = split_element(element);
    const std::wstring value = names_password(e.name) ? L"PASSWORD"
                               : e.has_value         ? e.value
                               : next                ? next
                                                     : L"";
    std::wstring meant;
    if (is_output_alias(e.name)) {
        meant = std::wstring(1, e.prefix) + L"o=" + (value.empty() ? L"FILE" : value);
    } else if (e.name == L"h" || e.name == L"?") {
        meant = L"--help";
    } else if (const KnownName* k = e.name.empty() ? nullptr : find_known(e.name)) {
        switch (k->form) {
        case FORM_FLAG: meant = std::wstring(1, e.prefix) + k->name; break;
        case FORM_REQUEST: meant = std::wstring(L"--") + k->name; break;
        case FORM_VALUE:
            meant = std::wstring(1, e.prefix) + k->name + L"=" + (value.empty() ? L"VALUE" : value);
            break;
        }
    }
    if (!meant.empty()) return line + L"; did you mean '" + meant + L"'?";
    if (element[0] == L'-' && plat_file_kind(element, nullptr) == PLAT_FILE_REGULAR)
        return line + L"; a bitmap whose name begins with '-' goes after '--'";
    return line;
}

enum OptionOutcome { OPTION_TAKEN, OPTION_UNKNOWN, OPTION_END };

// Applies one option. text is the option text as cut, full the same text
// uncut (paths take their value from it). OPTION_END sets *code.
OptionOutcome apply_option(TarvoSettings* s, GivenPasswords* given, const wchar_t* text,
                           const wchar_t* full, int* code, std::wstring* detail) {
    if (equals_nocase(text, L"debug")) {
        s->debug = 1;
        return OPTION_TAKEN;
    }
    if (equals_nocase(text, L"verbose")) {
        s->verbose = 1;
        return OPTION_TAKEN;
    }
    if (equals_nocase(text, L"quiet") || equals_nocase(text, L"-quiet")) {
        s->quiet = 1;
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
    if (prefix_nocase(text, L"paper=")) {
        // Stands for ldw= and ldh= given at this point.
        if (!cmd_paper_size(after_equals(text), &s->ldw, &s->ldh)) {
            cmd_debug(s, L"DBG: Tarvo.Command: Option '%ls' is out of range!\n", text);
            *detail = std::wstring(L"option '") + text + L"' names no known paper size (" +
                      TARVO_PAPER_NAMES + L"; a trailing L for landscape, as in A4L)";
            *code = TARVO_ERR_RANGE;
            return OPTION_END;
        }
        return OPTION_TAKEN;
    }
    // Passwords are taken whole, past the cut, and converted at the end of
    // the options.
    bool owner = prefix_nocase(text, L"sow=");
    if (owner || prefix_nocase(text, L"sus=")) {
        set_password(owner ? &given->owner : &given->user, after_equals(full));
        s->passwords_given = true;
        return OPTION_TAKEN;
    }
    owner = prefix_nocase(text, L"sowfile=");
    if (owner || prefix_nocase(text, L"susfile=")) {
        s->passwords_given = true;
        *code = read_password_file(after_equals(full), owner ? &given->owner : &given->user, detail);
        return *code == TARVO_OK ? OPTION_TAKEN : OPTION_END;
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

    // The short forms other programs take for help count only alone: "/?"
    // could also be a path, "-h" a slip among other options.
    if (argc == 2 && argv[1] &&
        (std::wcscmp(argv[1], L"-h") == 0 || std::wcscmp(argv[1], L"-?") == 0 ||
         std::wcscmp(argv[1], L"/?") == 0)) {
        s->request = TARVO_REQUEST_HELP;
        return TARVO_OK;
    }
    GivenPasswords given;
    int first_file = argc;
    int hidden = -1;  // the element after a bare -sus or -sow
    for (int i = 1; i < argc; ++i) {
        const wchar_t* element = argv[i] ? argv[i] : L"";
        std::wstring cut(element, std::min<size_t>(std::wcslen(element), TARVO_OPTION_CHARS));
        if (given.hide_next) hidden = i;
        given.hide_next = false;
        cmd_debug(s, L"DBG: Tarvo.Command: arg[%d]='%ls'\n", i,
                  i == hidden ? L"***" : shown_element(cut.c_str()).c_str());

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
        // "-" alone is standard input, a bitmap.
        if ((element[0] != L'/' && element[0] != L'-') ||
            std::wcscmp(element, TARVO_STANDARD_STREAM) == 0) {
            first_file = i;
            break;
        }
        int code = TARVO_OK;
        OptionOutcome outcome = apply_option(s, &given, cut.c_str() + 1, element + 1, &code, detail);
        if (outcome == OPTION_END) return code;
        if (outcome == OPTION_UNKNOWN && element[0] == L'/' && is_absolute_path(element)) {
            first_file = i;
            break;
        }
        if (outcome != OPTION_UNKNOWN) continue;
        if (i == hidden) {
            s->warnings.push_back(L"ignoring unknown option '***'");
            continue;
        }
        s->warnings.push_back(ignored_option_warning(element, i + 1 < argc ? argv[i + 1] : nullptr));
        const ElementParts e = split_element(element);
        given.hide_next = !e.has_value && names_password(e.name);
    }

    const int converted = convert_passwords(s, &given, detail);
    if (converted != TARVO_OK) return converted;
    if (first_file >= argc) {
        cmd_debug(s, L"DBG: Tarvo.Command: No file argument\n");
        *detail = L"no bitmap file given";
        return TARVO_ERR_NO_FILE;
    }
    for (int i = first_file; i < argc; ++i) {
        s->files.emplace_back(argv[i] ? argv[i] : L"");
        if (i == hidden) s->hidden_file = int(s->files.size() - 1);
        cmd_debug(s, L"DBG: file[ %d] = '%ls'\n", int(s->files.size() - 1),
                  i == hidden ? L"***" : s->files.back().c_str());
    }
    return TARVO_OK;
}

std::vector<std::wstring> cmd_settings_warnings(const TarvoSettings* s) {
    std::vector<std::wstring> lines;
    if (s->sec == 0) {
        if (s->passwords_given)
            lines.push_back(L"passwords are given without -sec=: the document is not encrypted");
        return lines;
    }
    const std::wstring sec = L"-sec=" + std::to_wstring(s->sec);
    if (s->owner_password.empty() && s->user_password.empty()) {
        lines.push_back(sec + L" with both passwords empty: anyone can open the document and change it");
    } else if ((s->set & 15) != 15 &&
               (s->owner_password.empty() || s->owner_password == s->user_password)) {
        // An empty owner password stands for the user password.
        lines.push_back(L"-set=" + std::to_wstring(s->set) +
                        L" restricts the document, but without an owner password of its own "
                        L"(-sow=) the user password lifts the restrictions");
    }
    return lines;
}

void cmd_forget_passwords(TarvoSettings* s) {
    wipe(&s->owner_password);
    wipe(&s->user_password);
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

int cmd_read_source_date(TarvoSettings* s, const char* value, std::wstring* detail) {
    if (!value) return TARVO_OK;
    int64_t seconds = 0;
    bool ok = *value != 0;
    for (const char* p = value; ok && *p; ++p) {
        ok = *p >= '0' && *p <= '9' && seconds <= (TARVO_SOURCE_DATE_MAX - (*p - '0')) / 10;
        seconds = seconds * 10 + (*p - '0');
    }
    if (!ok) {
        if (detail) {
            wchar_t* text = plat_utf8_to_wide(value);
            *detail = std::wstring(L"SOURCE_DATE_EPOCH='") + (text ? text : L"") +
                      L"' is not a whole number of seconds from 0 to " +
                      std::to_wstring(TARVO_SOURCE_DATE_MAX);
            std::free(text);
        }
        return TARVO_ERR_RANGE;
    }
    s->source_date = seconds;
    return TARVO_OK;
}

bool cmd_looks_like_option(const std::wstring& path) {
    if (path.empty() || (path[0] != L'-' && path[0] != L'/')) return false;
    const ElementParts e = split_element(path.c_str());
    // "/tmp/x.bmp" is a path whatever its first name.
    if (path[0] == L'/' && e.body.find(L'/') != std::wstring::npos) return false;
    if (is_output_alias(e.name)) return true;
    for (const KnownName& k : FIXED_NAMES)
        if (e.name == k.name) return true;
    for (const TarvoOption* o = OPTIONS; o->keyword; ++o)
        if (e.name == o->keyword) return true;
    return false;
}

std::vector<std::wstring> cmd_option_names() {
    std::vector<std::wstring> names;
    for (const TarvoOption* o = OPTIONS; o->keyword; ++o) names.emplace_back(o->keyword);
    for (const KnownName& k : FIXED_NAMES) names.emplace_back(k.name);
    return names;
}
