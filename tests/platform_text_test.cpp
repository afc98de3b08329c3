// UTF-8 conversion at the OS boundary: stray bytes must survive as
// U+DC80 + byte, and file names must reach the file system byte-exactly.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/tools.h"

namespace {

std::wstring to_wide(const std::string& bytes) {
    wchar_t* w = plat_utf8_to_wide(bytes.c_str());
    EXPECT_NE(w, nullptr);
    std::wstring out = w ? w : L"";
    std::free(w);
    return out;
}

std::string to_bytes(const std::wstring& text) {
    char* b = plat_wide_to_utf8(text.c_str());
    EXPECT_NE(b, nullptr);
    std::string out = b ? b : "";
    std::free(b);
    return out;
}

struct DecodeCase {
    const char* name;
    std::string bytes;
    std::wstring wide;
};

class Utf8Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Utf8Decode, DecodesAndRoundTrips) {
    const DecodeCase& c = GetParam();
    EXPECT_EQ(to_wide(c.bytes), c.wide);
    EXPECT_EQ(to_bytes(c.wide), c.bytes);
}

std::wstring esc(std::initializer_list<int> bytes) {
    std::wstring s;
    for (int b : bytes) s += wchar_t(0xDC00 + b);
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8Decode,
    ::testing::Values(
        DecodeCase{"ascii", "scan-01.bmp", L"scan-01.bmp"},
        DecodeCase{"two_byte", "\xC3\xA9", L"\u00E9"},
        DecodeCase{"three_byte", "\xE2\x82\xAC", L"\u20AC"},
        DecodeCase{"last_before_surrogates", "\xED\x9F\xBF", L"\uD7FF"},
        DecodeCase{"four_byte", "\xF0\x9F\x98\x80", L"\U0001F600"},
        DecodeCase{"max_code_point", "\xF4\x8F\xBF\xBF", L"\U0010FFFF"},
        DecodeCase{"overlong_two", "\xC0\xAF", esc({0xC0, 0xAF})},
        DecodeCase{"overlong_three", "\xE0\x80\xAF", esc({0xE0, 0x80, 0xAF})},
        DecodeCase{"overlong_four", "\xF0\x80\x80\xAF", esc({0xF0, 0x80, 0x80, 0xAF})},
        DecodeCase{"encoded_surrogate", "\xED\xA0\x80", esc({0xED, 0xA0, 0x80})},
        DecodeCase{"encoded_escape", "\xED\xB2\x80", esc({0xED, 0xB2, 0x80})},
        DecodeCase{"above_max", "\xF4\x90\x80\x80", esc({0xF4, 0x90, 0x80, 0x80})},
        DecodeCase{"lead_f5", "\xF5\x80", esc({0xF5, 0x80})},
        DecodeCase{"truncated_at_end", "a\xE2\x82", L"a" + esc({0xE2, 0x82})},
        DecodeCase{"truncated_before_ascii", "\xE2\x82" "A\xC3", esc({0xE2, 0x82}) + L"A" + esc({0xC3})},
        DecodeCase{"lone_continuation", "\x80x", esc({0x80}) + L"x"},
        DecodeCase{"latin1_name", "\xFF\xFEscan.bmp", esc({0xFF, 0xFE}) + L"scan.bmp"}),
    [](const ::testing::TestParamInfo<DecodeCase>& i) { return std::string(i.param.name); });

TEST(Utf8Encode, TextWithoutUtf8FormBecomesReplacement) {
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(to_bytes(std::wstring(1, wchar_t(0xD800))), fffd);  // lone high surrogate
    EXPECT_EQ(to_bytes(std::wstring(1, wchar_t(0xDC7F))), fffd);  // no byte below 0x80 is escaped
    EXPECT_EQ(to_bytes(std::wstring(1, wchar_t(0x110000))), fffd);
    EXPECT_EQ(plat_utf8_to_wide(nullptr), nullptr);
    EXPECT_EQ(plat_wide_to_utf8(nullptr), nullptr);
}

TEST(Utf8RoundTrip, EveryTwoByteString) {
    for (int a = 1; a < 256; ++a) {
        for (int b = 1; b < 256; ++b) {
            std::string s{char(a), char(b)};
            ASSERT_EQ(to_bytes(to_wide(s)), s) << a << " " << b;
        }
    }
}

// Python's surrogateescape error handler is the same mapping, so it serves
// as an independent decoder for random byte strings.
TEST(Utf8RoundTrip, AgreesWithPythonSurrogateEscape) {
    const char* python = "/usr/bin/python3";
    if (access(python, X_OK) != 0) GTEST_SKIP() << "no system python3";

    std::mt19937 rng(1234);
    const unsigned char pool[] = {0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2,
                                  0xDF, 0xE0, 0xE1, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF};
    std::vector<std::string> inputs;
    for (int n = 0; n < 4000; ++n) {
        std::string s(1 + rng() % 10, 'x');
        for (char& c : s) c = char(pool[rng() % sizeof pool]);
        inputs.push_back(s);
    }

    char dir_template[] = "/tmp/tarvo-utf8-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    std::string dir = dir_template;
    {
        std::ofstream in(dir + "/in.txt");
        for (const std::string& s : inputs) {
            for (unsigned char c : s) in << std::hex << int(c) / 16 << int(c) % 16;
            in << "\n";
        }
    }
    std::string cmd = std::string(python) +
                      " -c \"import sys\nfor l in open(sys.argv[1]):\n"
                      " print(' '.join('%x' % ord(c) for c in bytes.fromhex(l.strip())"
                      ".decode('utf-8', 'surrogateescape')))\" " +
                      dir + "/in.txt > " + dir + "/out.txt";
    ASSERT_EQ(std::system(cmd.c_str()), 0);

    std::ifstream out(dir + "/out.txt");
    std::string line;
    for (const std::string& s : inputs) {
        ASSERT_TRUE(std::getline(out, line));
        std::istringstream fields(line);
        std::wstring expected;
        unsigned long cp;
        while (fields >> std::hex >> cp) expected += wchar_t(cp);
        std::wstring got = to_wide(s);
        ASSERT_EQ(got, expected) << "input line " << (&s - inputs.data());
        ASSERT_EQ(to_bytes(got), s);
    }
    std::remove((dir + "/in.txt").c_str());
    std::remove((dir + "/out.txt").c_str());
    rmdir(dir.c_str());
}

TEST(WideFopen, NamesReachTheFileSystemByteExactly) {
    char dir_template[] = "/tmp/tarvo-wfopen-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    std::string dir = dir_template;
    std::wstring wdir = to_wide(dir);

    const std::string names[] = {"\xFF\xFEscan.bmp", "\xC3\xA9t\xC3\xA9.bmp", "\xED\xA0\x80.bmp"};
    for (const std::string& name : names) {
        std::wstring path = wdir + L"/" + to_wide(name);
        FILE* f = plat_wfopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("x", f);
        std::fclose(f);
    }
    const std::vector<std::string> found = file_names(dir);
    for (const std::string& name : names) {
        EXPECT_NE(std::find(found.begin(), found.end(), name), found.end());
        std::remove((dir + "/" + name).c_str());
    }
    EXPECT_EQ(found.size(), 3u);

    EXPECT_EQ(plat_wfopen((wdir + L"/missing.bmp").c_str(), "rb"), nullptr);
    rmdir(dir.c_str());
}

}  // namespace
