// The argument pass: option table, forms, case rules, the 255-character cut,
// passwords, warnings, file paths, the debug trace, the pre-run checks and
// the packers; the manual page and the completion that list the options.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cmd/tarvo.h"
#include "pdf/pdfw.h"
#include "support/tools.h"

namespace {

using Args = std::vector<std::wstring>;

int parse(const Args& args, TarvoSettings* s, std::wstring* detail = nullptr) {
    std::vector<const wchar_t*> argv{L"tarvo"};
    for (const std::wstring& a : args) argv.push_back(a.c_str());
    return cmd_parse_args(int(argv.size()), argv.data(), s, detail);
}

std::wstring wide(int64_t v) { return std::to_wstring(v); }

// ---------------------------------------------------------------------------
// Option table: every keyword, its target, range and default, written out
// here independently of the code's table.

struct TableRow {
    const wchar_t* keyword;
    int32_t TarvoSettings::*target;
    int32_t min;
    int32_t max;
    int32_t initial;
};

class OptionTable : public ::testing::TestWithParam<TableRow> {};

TEST_P(OptionTable, RangeBoundsAndDefault) {
    const TableRow& r = GetParam();
    const std::wstring kw = std::wstring(L"-") + r.keyword + L"=";

    TarvoSettings defaults;
    EXPECT_EQ(defaults.*r.target, r.initial);

    for (int32_t v : {r.min, r.max}) {
        TarvoSettings s;
        ASSERT_EQ(parse({kw + wide(v), L"a.bmp"}, &s), TARVO_OK) << v;
        EXPECT_EQ(s.*r.target, v);
    }
    // One past each end is out of range; past INT32_MAX the number overflows.
    for (int64_t v : {int64_t(r.min) - 1, int64_t(r.max) + 1}) {
        TarvoSettings s;
        std::wstring detail;
        EXPECT_EQ(parse({kw + wide(v), L"a.bmp"}, &s, &detail), TARVO_ERR_RANGE) << v;
        EXPECT_NE(detail.find(std::wstring(r.keyword) + L"="), std::wstring::npos) << detail;
        EXPECT_TRUE(s.files.empty());
    }
}

const TableRow TABLE[] = {
    {L"dpi", &TarvoSettings::dpi, 1, INT32_MAX, 0},  {L"d", &TarvoSettings::dpi, 1, INT32_MAX, 0},
    {L"eco", &TarvoSettings::eco, 0, 1, 0},          {L"enc", &TarvoSettings::enc, 0, 7, 0},
    {L"encp", &TarvoSettings::encp, 0, 7, 0},        {L"encg", &TarvoSettings::encg, 0, 7, 0},
    {L"ldw", &TarvoSettings::ldw, 1, INT32_MAX, 0},  {L"ldh", &TarvoSettings::ldh, 1, INT32_MAX, 0},
    {L"lbl", &TarvoSettings::lbl, 0, INT32_MAX, 0},  {L"lbt", &TarvoSettings::lbt, 0, INT32_MAX, 0},
    {L"lbr", &TarvoSettings::lbr, 0, INT32_MAX, 0},  {L"lbb", &TarvoSettings::lbb, 0, INT32_MAX, 0},
    {L"lis", &TarvoSettings::lis, -4, 0, 0},         {L"lip", &TarvoSettings::lip, 0, 9, 0},
    {L"vra", &TarvoSettings::vra, 0, 270, 0},        {L"vom", &TarvoSettings::vom, 0, 2, 0},
    {L"vwp", &TarvoSettings::vwp, 0, 4, 0},          {L"vwl", &TarvoSettings::vwl, 0, 6, 0},
    {L"vwz", &TarvoSettings::vwz, 0, 8, 0},          {L"vwzv", &TarvoSettings::vwzv, 1, 32767, 1000},
    {L"vwsp", &TarvoSettings::vwsp, 1, 32767, 1},    {L"vwwf", &TarvoSettings::vwwf, 0, 2, 0},
    {L"vwwc", &TarvoSettings::vwwc, 0, 2, 0},        {L"vwwt", &TarvoSettings::vwwt, 0, 2, 0},
    {L"vwhm", &TarvoSettings::vwhm, 0, 2, 0},        {L"vwht", &TarvoSettings::vwht, 0, 2, 0},
    {L"vwhc", &TarvoSettings::vwhc, 0, 2, 0},        {L"vpa", &TarvoSettings::vpa, 0, 1, 0},
    {L"vpt", &TarvoSettings::vpt, 0, INT32_MAX, 0},  {L"vte", &TarvoSettings::vte, 0, 14, 0},
    {L"vtd", &TarvoSettings::vtd, -1, 7, 0},         {L"vtt", &TarvoSettings::vtt, 0, INT32_MAX, 0},
    {L"vpl", &TarvoSettings::vpl, 0, 1, 0},          {L"vbc", &TarvoSettings::vbc, 0, 16777215, 0},
    {L"sec", &TarvoSettings::sec, 0, 4, 0},          {L"set", &TarvoSettings::set, 0, 255, 0},
};

INSTANTIATE_TEST_SUITE_P(Keywords, OptionTable, ::testing::ValuesIn(TABLE),
                         [](const ::testing::TestParamInfo<TableRow>& i) {
                             std::wstring k = i.param.keyword;
                             return std::string(k.begin(), k.end());
                         });

// ---------------------------------------------------------------------------
// Number forms of wcstol in base 0.

struct NumberCase {
    const wchar_t* value;
    int code;
    int32_t dpi;
};

TEST(OptionNumbers, Base0Forms) {
    const NumberCase cases[] = {
        {L"300", TARVO_OK, 300},         {L"0x12C", TARVO_OK, 300},
        {L"0X1f", TARVO_OK, 31},         {L"010", TARVO_OK, 8},
        {L"300abc", TARVO_OK, 300},      {L" 42", TARVO_OK, 42},
        {L"+7", TARVO_OK, 7},            {L"2147483647", TARVO_OK, INT32_MAX},
        {L"", TARVO_ERR_RANGE, 0},       {L"abc", TARVO_ERR_RANGE, 0},
        {L"09", TARVO_ERR_RANGE, 0},     {L"-5", TARVO_ERR_RANGE, 0},
        {L"2147483648", TARVO_ERR_RANGE, 0},  {L"99999999999", TARVO_ERR_RANGE, 0},
        {L"0x100000000", TARVO_ERR_RANGE, 0},
    };
    for (const NumberCase& c : cases) {
        TarvoSettings s;
        EXPECT_EQ(parse({std::wstring(L"/dpi=") + c.value, L"a.bmp"}, &s), c.code) << c.value;
        if (c.code == TARVO_OK) {
            EXPECT_EQ(s.dpi, c.dpi) << c.value;
        }
    }
    TarvoSettings s;
    EXPECT_EQ(parse({L"/lbl=-99999999999", L"a.bmp"}, &s), TARVO_ERR_RANGE);
}

// ---------------------------------------------------------------------------
// Forms, their order and their case rules.

TEST(OptionForms, FixedFormsIgnoreCaseTableKeywordsDoNot) {
    TarvoSettings s;
    ASSERT_EQ(parse({L"-O=one.pdf", L"-DeBuG", L"/VERBOSE", L"/IT=Title", L"/DPI=300",
                     L"/Dpi=200", L"-ECO=1", L"a.bmp"},
                    &s),
              TARVO_OK);
    EXPECT_EQ(s.outfile, L"one.pdf");
    EXPECT_EQ(s.debug, 1);
    EXPECT_EQ(s.verbose, 1);
    EXPECT_EQ(s.title, L"Title");
    EXPECT_EQ(s.dpi, 0);  // /DPI= and /Dpi= are not options
    EXPECT_EQ(s.eco, 0);

    TarvoSettings t;
    ASSERT_EQ(parse({L"/OUTFILE=two.pdf", L"/ICCFILE=p.icc", L"a.bmp"}, &t), TARVO_OK);
    EXPECT_EQ(t.outfile, L"two.pdf");
    EXPECT_EQ(t.iccfile, L"p.icc");

    TarvoSettings u;
    EXPECT_EQ(parse({L"/ExitVersion", L"a.bmp"}, &u), TARVO_EXIT_VERSION);
    EXPECT_TRUE(u.files.empty());
}

TEST(OptionForms, TextValuesAndOverwrites) {
    TarvoSettings s;
    ASSERT_EQ(parse({L"-o=a=b.pdf", L"-it=First", L"-it=Second", L"-ia=Me", L"-ia=", L"-is=Sub",
                     L"-ik=k1 k2", L"-ic=Maker", L"-icc=x.icc", L"-dpi=100", L"-d=200",
                     L"-debugx", L"-xyz=1", L"-", L"a.bmp"},
                    &s),
              TARVO_OK);
    EXPECT_EQ(s.outfile, L"a=b.pdf");  // after the first '='
    EXPECT_EQ(s.title, L"Second");
    EXPECT_EQ(s.author, L"");
    EXPECT_EQ(s.subject, L"Sub");
    EXPECT_EQ(s.keywords, L"k1 k2");
    EXPECT_EQ(s.creator, L"Maker");  // ic= is not icc=
    EXPECT_EQ(s.iccfile, L"x.icc");
    EXPECT_EQ(s.dpi, 200);            // d= and dpi= share one setting
    EXPECT_EQ(s.debug, 0);            // debug is a whole-text form
    // "-" alone is standard input, the first bitmap.
    EXPECT_EQ(s.files, (std::vector<std::wstring>{L"-", L"a.bmp"}));
}

// Every ignored option gets one warning, with what was probably meant when
// it is a known slip; options that are taken get none.
TEST(OptionForms, IgnoredOptionsAreWarnedAbout) {
    const struct {
        Args args;
        std::vector<std::wstring> warnings;
    } cases[] = {
        {{L"-o", L"x.pdf"}, {L"ignoring unknown option '-o'; did you mean '-o=x.pdf'?"}},
        {{L"--output=x.pdf"}, {L"ignoring unknown option '--output=x.pdf'; did you mean '-o=x.pdf'?"}},
        {{L"--outfile", L"y.pdf"}, {L"ignoring unknown option '--outfile'; did you mean '-o=y.pdf'?"}},
        {{L"-LDW=2100"}, {L"ignoring unknown option '-LDW=2100'; did you mean '-ldw=2100'?"}},
        {{L"/Encp=2"}, {L"ignoring unknown option '/Encp=2'; did you mean '/encp=2'?"}},
        {{L"-dpi", L"300"}, {L"ignoring unknown option '-dpi'; did you mean '-dpi=300'?"}},
        {{L"-dpl=300"}, {L"ignoring unknown option '-dpl=300'; did you mean '-dpi=300'?"}},
        {{L"-qiuet"}, {L"ignoring unknown option '-qiuet'; did you mean '-quiet'?"}},
        {{L"-exitversoin"}, {L"ignoring unknown option '-exitversoin'; did you mean '-exitversion'?"}},
        {{L"-papper=A4"}, {L"ignoring unknown option '-papper=A4'; did you mean '-paper=A4'?"}},
        {{L"-h"}, {L"ignoring unknown option '-h'; did you mean '--help'?"}},
        {{L"-Help"}, {L"ignoring unknown option '-Help'; did you mean '--help'?"}},
        {{L"-xyz=1", L"-"}, {L"ignoring unknown option '-xyz=1'"}},  // "-" is a bitmap
        {{L"-x=1"}, {L"ignoring unknown option '-x=1'"}},  // one letter is too short to guess
        {{L"-dpi=300", L"-DEBUG", L"--quiet", L"-PAPER=a4", L"-IT=t", L"--"}, {}},
    };
    for (const auto& c : cases) {
        TarvoSettings s;
        Args args = c.args;
        args.push_back(L"a.bmp");
        ASSERT_EQ(parse(args, &s), TARVO_OK) << c.args.front();
        EXPECT_EQ(s.warnings, c.warnings) << c.args.front();
    }
}

TEST(OptionForms, OnlyPathsEscapeThe255CharacterCut) {
    const std::wstring long_text(300, L'x');
    TarvoSettings s;
    ASSERT_EQ(parse({L"-it=" + long_text, L"-o=" + long_text, L"-icc=" + long_text, L"a.bmp"}, &s),
              TARVO_OK);
    EXPECT_EQ(s.title, std::wstring(251, L'x'));  // 255 minus "-it="
    EXPECT_EQ(s.outfile, long_text);
    EXPECT_EQ(s.iccfile, long_text);

    // The digits after character 255 are never seen: the value reads as 0.
    TarvoSettings t;
    EXPECT_EQ(parse({L"-dpi=" + std::wstring(250, L'0') + L"12", L"a.bmp"}, &t), TARVO_ERR_RANGE);
    TarvoSettings u;
    EXPECT_EQ(parse({L"-dpi=" + std::wstring(249, L'0') + L"12", L"a.bmp"}, &u), TARVO_OK);
    EXPECT_EQ(u.dpi, 1);
}

TEST(OptionForms, Passwords) {
    TarvoSettings s;
    ASSERT_EQ(parse({L"-sus=" + std::wstring(100, L'\u00E9'), L"-sow=", L"a.bmp"}, &s), TARVO_OK);
    EXPECT_EQ(s.user_password, std::string(79, '\xE9'));
    EXPECT_EQ(s.owner_password, "");

    TarvoSettings t;
    ASSERT_EQ(parse({L"-sow=owner", L"-SOW=Owner2", L"a.bmp"}, &t), TARVO_OK);
    EXPECT_EQ(t.owner_password, "Owner2");

    // A byte that was not UTF-8 on the command line (Latin-1 typed in a
    // Latin-1 terminal) is that byte.
    TarvoSettings l;
    ASSERT_EQ(parse({std::wstring(L"-sus=caf") + wchar_t(0xDCE9), L"a.bmp"}, &l), TARVO_OK);
    EXPECT_EQ(l.user_password, "caf\xE9");

    // Characters PDFDocEncoding lacks, anywhere in the value: past the 79
    // kept characters and past the 255 of an option's cut too. The refusal
    // names the character and where it stands, never the password.
    const struct {
        std::wstring arg;
        const wchar_t* named;
    } bad[] = {
        {L"-sus=secret\u0100", L"'\u0100' (U+0100) at character 7"},
        {L"-sow=secret" + std::wstring(260, L'a') + L"\u015C", L"(U+015C) at character 267"},
        {std::wstring(L"-sus=secret") + wchar_t(0xDC7F), L"U+DC7F at character 7"},
        {L"-sus=\u00A0", L"U+00A0 at character 1"},  // 0xA0 is the euro sign
        {L"-sus=\U0001F511", L"(U+1F511) at character 1"},
    };
    for (const auto& b : bad) {
        TarvoSettings u;
        std::wstring detail;
        EXPECT_EQ(parse({b.arg, L"a.bmp"}, &u, &detail), TARVO_ERR_PASSWORD) << b.arg.size();
        EXPECT_NE(detail.find(b.named), std::wstring::npos) << std::string(detail.begin(), detail.end());
        EXPECT_EQ(detail.find(L"secret"), std::wstring::npos) << "password text leaked";
    }
}

// One decision of the mode: the last -sec= among the options the pass took
// (never one past the first bitmap) makes the passwords PDFDocEncoding
// bytes or, for AES-256, UTF-8 text.
TEST(OptionForms, PasswordModeFollowsTheOptionsTaken) {
    const struct {
        Args args;
        int code;
        std::string user;
    } cases[] = {
        {{L"-sec=4", L"-sus=\u00E9", L"-o=m.pdf", L"/abs/bw.bmp", L"-sec=3"}, TARVO_OK, "\xE9"},
        {{L"-sec=4", L"-sus=\u00E9", L"--", L"-sec=3"}, TARVO_OK, "\xE9"},
        {{L"-sus=\u00E9", L"-sec=3", L"a.bmp"}, TARVO_OK, "\xC3\xA9"},
        {{L"-sec=3", L"-sus=\u00E9", L"-sec=4", L"a.bmp"}, TARVO_OK, "\xE9"},
        {{L"-sus=\u015C", L"-sec=3", L"a.bmp"}, TARVO_OK, "\xC5\x9C"},
        {{L"-sec=3", L"-sus=\u015C", L"-sec=1", L"a.bmp"}, TARVO_ERR_PASSWORD, ""},
        // PDFDocEncoding's own bytes for the characters Latin-1 lacks.
        {{L"-sec=2", L"-sus=\u20AC\u2014\u0153\u02D8\u2122", L"a.bmp"}, TARVO_OK, "\xA0\x84\x9C\x18\x92"},
        // A character past the cut counts: AES-256 keeps the whole text.
        {{L"-sec=3", L"-sus=" + std::wstring(300, L'x') + L"\u00E9", L"a.bmp"}, TARVO_OK,
         std::string(300, 'x') + "\xC3\xA9"},
    };
    for (const auto& c : cases) {
        TarvoSettings s;
        EXPECT_EQ(parse(c.args, &s), c.code) << (&c - cases);
        EXPECT_EQ(s.user_password, c.user) << (&c - cases);
    }
}

// -susfile= and -sowfile= take a file's first line without its line end;
// a file that gives no line fails with its reason, before any file is made.
TEST(OptionForms, PasswordFiles) {
    const std::string dir = make_temp_dir();
    ASSERT_TRUE(write_file(dir + "/crlf", "\xEF\xBB\xBF" "first line\r\nsecond\n"));
    ASSERT_TRUE(write_file(dir + "/bare", "\xC3\xA9t\xC3\xA9"));
    ASSERT_TRUE(write_file(dir + "/empty", ""));
    const std::wstring d = ::wide(dir);
    TarvoSettings s;
    ASSERT_EQ(parse({L"-sec=2", L"-susfile=" + d + L"/crlf", L"-SOWFILE=" + d + L"/bare", L"a.bmp"}, &s),
              TARVO_OK);
    EXPECT_EQ(s.user_password, "first line");
    EXPECT_EQ(s.owner_password, "\xE9t\xE9");
    TarvoSettings later;  // the later option wins, as for -sus=
    ASSERT_EQ(parse({L"-susfile=" + d + L"/crlf", L"-sus=typed", L"a.bmp"}, &later), TARVO_OK);
    EXPECT_EQ(later.user_password, "typed");
#ifdef _WIN32
    const wchar_t* folder = L"Permission denied";  // a folder does not open as a file there
#else
    const wchar_t* folder = L"Is a directory";
#endif
    const struct {
        std::wstring path;
        const wchar_t* reason;
    } bad[] = {{d + L"/missing", L"No such file or directory"},
               {d, folder},
               {d + L"/empty", L"it holds no line"}};
    for (const auto& b : bad) {
        TarvoSettings u;
        std::wstring detail;
        EXPECT_EQ(parse({L"-susfile=" + b.path, L"a.bmp"}, &u, &detail), TARVO_ERR_PASSWORD_FILE);
        EXPECT_NE(detail.find(L"'" + b.path + L"': " + b.reason), std::wstring::npos)
            << std::string(detail.begin(), detail.end());
    }
    remove_tree(dir);
}

// Warnings on the settings as a whole; the exit status stays.
TEST(OptionForms, SecurityWarnings) {
    const struct {
        Args args;
        const wchar_t* warning;  // a part of the one warning, or null for none
    } cases[] = {
        {{L"-sus=a"}, L"passwords are given without -sec=: the document is not encrypted"},
        {{L"-sow=", L"-sec=0"}, L"without -sec="},
        {{L"-sec=1"}, L"-sec=1 with both passwords empty: anyone can open the document and change it"},
        {{L"-sec=3", L"-sus=a", L"-set=1"}, L"-set=1 restricts the document, but without an owner"},
        {{L"-sec=4", L"-sus=a", L"-sow=a", L"-set=13"}, L"the user password lifts the restrictions"},
        {{L"-sec=3", L"-sus=a", L"-set=15"}, nullptr},
        {{L"-sec=3", L"-sow=b", L"-set=0"}, nullptr},
        {{L"-sec=3", L"-sus=a", L"-sow=b"}, nullptr},
        {{}, nullptr},
    };
    for (const auto& c : cases) {
        TarvoSettings s;
        Args args = c.args;
        args.push_back(L"a.bmp");
        ASSERT_EQ(parse(args, &s), TARVO_OK) << (&c - cases);
        const std::vector<std::wstring> lines = cmd_settings_warnings(&s);
        ASSERT_EQ(lines.size(), c.warning ? 1u : 0u) << (&c - cases);
        if (c.warning) {
            EXPECT_NE(lines[0].find(c.warning), std::wstring::npos) << (&c - cases);
        }
    }
}

// ---------------------------------------------------------------------------
// Where the options end and the file paths begin.

struct FilesCase {
    const char* name;
    Args args;
    int code;
    Args files;
};

class FilePaths : public ::testing::TestWithParam<FilesCase> {};

TEST_P(FilePaths, Split) {
    const FilesCase& c = GetParam();
    TarvoSettings s;
    EXPECT_EQ(parse(c.args, &s), c.code);
    EXPECT_EQ(s.files, c.files);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FilePaths,
    ::testing::Values(
        FilesCase{"none", {}, TARVO_ERR_NO_FILE, {}},
        FilesCase{"options_only", {L"-dpi=300", L"-debug"}, TARVO_ERR_NO_FILE, {}},
        FilesCase{"ignored_upper_case", {L"/DPI=300"}, TARVO_ERR_NO_FILE, {}},
        FilesCase{"later_elements_are_files", {L"a.bmp", L"/dpi=300", L"-x"}, TARVO_OK,
                  {L"a.bmp", L"/dpi=300", L"-x"}},
        FilesCase{"absolute_path", {L"-dpi=300", L"/home/me/scan.bmp", L"b.bmp"}, TARVO_OK,
                  {L"/home/me/scan.bmp", L"b.bmp"}},
        FilesCase{"option_with_slash_value", {L"/o=/tmp/out.pdf", L"a.bmp"}, TARVO_OK, {L"a.bmp"}},
        FilesCase{"dash_path_is_an_option", {L"-home/me/scan.bmp"}, TARVO_ERR_NO_FILE, {}},
        FilesCase{"root_alone", {L"/"}, TARVO_ERR_NO_FILE, {}},
        FilesCase{"double_dash", {L"-dpi=300", L"--", L"-x.bmp", L"--"}, TARVO_OK, {L"-x.bmp", L"--"}},
        FilesCase{"double_dash_last", {L"--"}, TARVO_ERR_NO_FILE, {}},
        FilesCase{"exitversion_first", {L"-exitversion", L"a.bmp"}, TARVO_EXIT_VERSION, {}},
        FilesCase{"exitversion_after_file", {L"a.bmp", L"-exitversion"}, TARVO_OK,
                  {L"a.bmp", L"-exitversion"}},
        FilesCase{"help_after_file", {L"a.bmp", L"--help"}, TARVO_OK, {L"a.bmp", L"--help"}}),
    [](const ::testing::TestParamInfo<FilesCase>& i) { return std::string(i.param.name); });

TEST(FilePathsOnDisk, SlashElementNamingAnExistingFileIsAPath) {
    // Needs a regular file directly under the root; containers and most
    // systems have one, but nothing guarantees it.
    std::wstring found;
    if (DIR* d = opendir("/")) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            struct stat st;
            bool plain = std::all_of(name.begin(), name.end(),
                                     [](char c) { return c > ' ' && c < 0x7F && c != '='; });
            if (plain && stat(("/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                found = L"/" + std::wstring(name.begin(), name.end());
                break;
            }
        }
        closedir(d);
    }
    if (found.empty()) GTEST_SKIP() << "no regular file under /";
    TarvoSettings s;
    EXPECT_EQ(parse({found}, &s), TARVO_OK);
    EXPECT_EQ(s.files, Args{found});
    TarvoSettings t;
    EXPECT_EQ(parse({L"/tmp"}, &t), TARVO_ERR_NO_FILE);  // a directory is not a bitmap
}

TEST(Requests, HelpAndVersionEndThePass) {
    TarvoSettings s;
    EXPECT_EQ(parse({L"-dpi=5", L"--help", L"-dpi=0"}, &s), TARVO_OK);
    EXPECT_EQ(s.request, TARVO_REQUEST_HELP);
    EXPECT_EQ(s.dpi, 5);
    TarvoSettings t;
    EXPECT_EQ(parse({L"--version"}, &t), TARVO_OK);
    EXPECT_EQ(t.request, TARVO_REQUEST_VERSION);
    TarvoSettings u;
    EXPECT_EQ(parse({L"--HELP"}, &u), TARVO_ERR_NO_FILE);  // whole element, exact
    // Other programs' short forms, alone only.
    for (const wchar_t* alone : {L"-h", L"-?", L"/?"}) {
        TarvoSettings v;
        EXPECT_EQ(parse({alone}, &v), TARVO_OK);
        EXPECT_EQ(v.request, TARVO_REQUEST_HELP);
        TarvoSettings w;
        EXPECT_EQ(parse({alone, L"a.bmp"}, &w), TARVO_OK);
        EXPECT_EQ(w.request, TARVO_REQUEST_RUN);
    }
}

// ---------------------------------------------------------------------------
// Debug trace.

std::string trace_of(const Args& args, int expected_code) {
    TarvoSettings s;
    testing::internal::CaptureStderr();
    int code = parse(args, &s);
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, expected_code);
    return out;
}

TEST(DebugTrace, Lines) {
    EXPECT_EQ(trace_of({L"-dpi=5", L"a.bmp"}, TARVO_OK), "");
    EXPECT_EQ(trace_of({L"/debug", L"-dpi=5", L"a.bmp", L"b.bmp"}, TARVO_OK),
              "DBG: Tarvo.Command: arg[2]='-dpi=5'\n"
              "DBG: Tarvo.Command: arg[3]='a.bmp'\n"
              "DBG: file[ 0] = 'a.bmp'\n"
              "DBG: file[ 1] = 'b.bmp'\n");
    EXPECT_EQ(trace_of({L"-dpi=5", L"-debug", L"-vwzv=0x0"}, TARVO_ERR_RANGE),
              "DBG: Tarvo.Command: arg[3]='-vwzv=0x0'\n"
              "DBG: Tarvo.Command: Option 'vwzv=0x0' is out of range!\n");
    EXPECT_EQ(trace_of({L"-debug", L"-t\u00E9"}, TARVO_ERR_NO_FILE),
              "DBG: Tarvo.Command: arg[2]='-t\xC3\xA9'\n"
              "DBG: Tarvo.Command: No file argument\n");

    // The arg line shows the element as cut; the file line the whole path.
    std::wstring long_path = L"-" + std::wstring(299, L'p');
    std::string cut = "-" + std::string(254, 'p');
    EXPECT_EQ(trace_of({L"-debug", L"--", long_path}, TARVO_OK),
              "DBG: Tarvo.Command: arg[2]='--'\n"
              "DBG: Tarvo.Command: arg[3]='" + cut + "'\n"
              "DBG: file[ 0] = '" + std::string(long_path.begin(), long_path.end()) + "'\n");
    EXPECT_EQ(trace_of({L"-debug", long_path}, TARVO_ERR_NO_FILE),
              "DBG: Tarvo.Command: arg[2]='" + cut + "'\n"
              "DBG: Tarvo.Command: No file argument\n");
}

TEST(DebugTrace, LongLinesAreCutButKeepTheirLineEnd) {
    TarvoSettings s;
    s.debug = 1;
    std::wstring path(5000, L'q');
    testing::internal::CaptureStderr();
    cmd_debug(&s, L"DBG: file[ %d] = '%ls'\n", 0, path.c_str());
    std::string out = testing::internal::GetCapturedStderr();
    ASSERT_EQ(out.size(), 2057u);
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(out.compare(0, 17, "DBG: file[ 0] = '"), 0);
}

// ---------------------------------------------------------------------------
// Checks before the run, in their order.

TEST(Checks, MarginThenResolutionThenPdfaWithEncryption) {
    struct Case {
        int32_t lbl, lbb, dpi, eco, sec;
        int code;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 0, TARVO_OK},
        {0, 0, 0, 1, 0, TARVO_OK},
        {0, 0, 0, 0, 2, TARVO_OK},
        {0, 0, 0, 1, 1, TARVO_ERR_PDFA_SECURITY},
        {0, 0, -1, 1, 1, TARVO_ERR_RESOLUTION},
        {0, -1, -1, 1, 1, TARVO_ERR_MARGIN},
        {-1, 0, 0, 0, 0, TARVO_ERR_MARGIN},
    };
    for (const Case& c : cases) {
        TarvoSettings s;
        s.lbl = c.lbl;
        s.lbb = c.lbb;
        s.dpi = c.dpi;
        s.eco = c.eco;
        s.sec = c.sec;
        std::wstring detail;
        EXPECT_EQ(cmd_check_settings(&s, &detail), c.code) << (&c - cases);
        EXPECT_EQ(detail.empty(), c.code == TARVO_OK);
    }
    TarvoSettings s;
    ASSERT_EQ(parse({L"/eco=1", L"/sec=1", L"x.bmp"}, &s), TARVO_OK);
    EXPECT_EQ(cmd_check_settings(&s, nullptr), TARVO_ERR_PDFA_SECURITY);
}

// ---------------------------------------------------------------------------
// Packers.

TEST(Packing, ViewerFlags) {
    struct Case {
        Args args;
        uint32_t flags;
    };
    // Untouched preferences still set their value bits (0x5550).
    const Case cases[] = {
        {{}, 0x5550},
        {{L"-vwwc=1"}, 0x5510 | 0x0080},
        {{L"-vwwc=0"}, 0x5550},
        {{L"-vwwc=2"}, 0x5550 | 0x0080},
        {{L"-vwp=1", L"-vwl=6", L"-vwz=8"}, 0x5557},
        {{L"-vwwf=1", L"-vwwc=1", L"-vwwt=1", L"-vwhm=1", L"-vwht=1", L"-vwhc=1"}, 0xAAA0},
        {{L"-vwwf=2", L"-vwwc=2", L"-vwwt=2", L"-vwhm=2", L"-vwht=2", L"-vwhc=2"}, 0xFFF0},
        {{L"-vwhc=1"}, 0x1550 | 0x8000},
        {{L"-vwwf=1"}, 0x5540 | 0x0020},
    };
    for (const Case& c : cases) {
        TarvoSettings s;
        Args args = c.args;
        args.push_back(L"a.bmp");
        ASSERT_EQ(parse(args, &s), TARVO_OK);
        EXPECT_EQ(cmd_pack_viewer_flags(&s), c.flags) << std::hex << c.flags;
    }
}

TEST(Packing, ColourWordSwapsRedAndBlue) {
    EXPECT_EQ(cmd_pack_colour(0xFF0000), 0x0000FFu);
    EXPECT_EQ(cmd_pack_colour(0x0000FF), 0xFF0000u);
    EXPECT_EQ(cmd_pack_colour(0x123456), 0x563412u);
    EXPECT_EQ(cmd_pack_colour(0xFFFFFF), 0xFFFFFFu);
}

TEST(Packing, PermissionsAndKeySize) {
    const struct {
        int32_t set;
        uint32_t p;
    } cases[] = {
        {0, 0xFFFFFFC0}, {15, 0xFFFFFFFC}, {1, 0xFFFFFFC4}, {2, 0xFFFFFFD0},
        {4, 0xFFFFFFC8}, {8, 0xFFFFFFE0},  {0xF0, 0xFFFFFFC0}, {255, 0xFFFFFFFC},
    };
    for (const auto& c : cases) EXPECT_EQ(uint32_t(cmd_pack_permissions(c.set)), c.p) << c.set;
    EXPECT_EQ(cmd_pack_permissions(0), -64);
    EXPECT_EQ(cmd_pack_permissions(15), -4);

    EXPECT_EQ(cmd_key_size_choice(1), PDFW_SECURITY_RC4_40);
    EXPECT_EQ(cmd_key_size_choice(2), PDFW_SECURITY_RC4_128);
    EXPECT_EQ(cmd_key_size_choice(3), PDFW_SECURITY_AES_256);
    EXPECT_EQ(cmd_key_size_choice(4), PDFW_SECURITY_AES_128);
    EXPECT_EQ(cmd_key_size_choice(0), -1);
    EXPECT_EQ(cmd_key_size_choice(5), -1);
}

TEST(Packing, EncodingChoice) {
    const struct {
        int32_t enc;
        bool call;
        int filter, quality;
    } cases[] = {
        {0, false, 0, 0},
        {1, true, PDFW_FILTER_NONE, -1},
        {2, true, PDFW_FILTER_FLATE, -1},
        {3, true, PDFW_FILTER_DCT, 100},
        {4, true, PDFW_FILTER_DCT, 75},
        {5, true, PDFW_FILTER_DCT, 50},
        {6, true, PDFW_FILTER_DCT, 25},
        {7, true, PDFW_FILTER_DCT, 1},
        {8, false, 0, 0},
    };
    for (const auto& c : cases) {
        int filter = -9, quality = -9;
        ASSERT_EQ(cmd_encoding_choice(c.enc, &filter, &quality), c.call) << c.enc;
        if (c.call) {
            EXPECT_EQ(filter, c.filter) << c.enc;
            EXPECT_EQ(quality, c.quality) << c.enc;
        }
    }
}

// ---------------------------------------------------------------------------
// The manual page lints clean; it and the completion name every option.

std::string source_file(const std::string& name) {
    std::string text;
    EXPECT_TRUE(read_file(std::string(std::getenv("TARVO_SOURCE_DIR")) + "/" + name, &text)) << name;
    return text;
}

// text holds lead + name not followed by a letter or digit.
bool names(const std::string& text, const std::string& lead, const std::string& name) {
    const std::string word = lead + name;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        const size_t end = at + word.size();
        if (end == text.size() || !std::isalnum(static_cast<unsigned char>(text[end]))) return true;
    }
    return false;
}

// Both formatters, groff as man shows the page on an 80-column terminal
// (where a table too wide is only a warning).
TEST(Manual, LintsClean) {
    const std::string page = std::string(std::getenv("TARVO_SOURCE_DIR")) + "/doc/tarvo.1";
    const std::vector<std::string> linters[] = {
        {"mandoc", "-T", "lint", "-W", "style", page},
        {"groff", "-man", "-t", "-ww", "-Tutf8", "-z", page},
    };
    int ran = 0;
    for (const auto& argv : linters) {
        if (!tool_available(argv[0])) continue;
        ++ran;
        const CommandResult r = run_command(argv);
        EXPECT_EQ(r.status, 0) << argv[0] << ": " << r.err;
        EXPECT_EQ(r.out + r.err, "") << argv[0];
    }
    if (ran == 0) GTEST_SKIP() << "neither mandoc nor groff is installed";
}

TEST(Manual, EveryOptionIsDocumentedAndCompleted) {
    const std::string page = source_file("doc/tarvo.1");
    const std::string completion = source_file("doc/tarvo-completion.bash");
    for (const std::wstring& wide : cmd_option_names()) {
        const std::string name(wide.begin(), wide.end());
        EXPECT_TRUE(names(page, "\\-", name)) << name << " is not in the manual page";
        EXPECT_TRUE(names(completion, "-", name)) << name << " is not completed";
        // The name is one the argument pass takes, in one of its forms.
        bool taken = false;
        for (const std::wstring& element : {L"-" + wide, L"--" + wide, L"-" + wide + L"=1"}) {
            TarvoSettings s;
            const wchar_t* argv[] = {L"tarvo", element.c_str(), L"a.bmp"};
            testing::internal::CaptureStderr();  // -debug traces the rest
            cmd_parse_args(3, argv, &s, nullptr);
            testing::internal::GetCapturedStderr();
            taken = taken || s.warnings.empty();
        }
        EXPECT_TRUE(taken) << name << " is not an option";
    }
}

}  // namespace
