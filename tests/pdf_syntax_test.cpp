// Output channel and primitive syntax: fixed-point reals (also under a
// comma-decimal locale), strings, names, tokens, format lines, and what a
// failed or oversized write leaves behind. The channel and the syntax are
// writer internals, tested here on purpose through the private header: the
// channel's position and digest are read, and set near the offset limit.
#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pdf/pdfw_private.h"
#include "support/pdf_channel.h"
#include "support/tools.h"

namespace {

using Channel = MemoryChannel;
using FixedPoint = WriterTest;
using LiteralString = WriterTest;
using Tokens = WriterTest;
using Lines = WriterTest;
using OutputChannel = WriterTest;

struct FixedCase {
    long value;
    int decimals;
    const char* expected;
};

const FixedCase kFixedCases[] = {
    {100, 2, "1"},          {150, 2, "1.50"},      {5, 2, "0.05"},
    {0, 2, "0"},            {-150, 2, "-1.50"},    {-5, 2, "-0.05"},
    {-200, 2, "-2"},        {59500, 2, "595"},     {84189, 2, "841.89"},
    {1000, 3, "1"},         {1500, 3, "1.500"},    {1, 3, "0.001"},
    {1250, 3, "1.250"},     {42, 0, "42"},         {-7, -1, "-7"},
    // long has 64 bits on Linux, 32 on Windows.
    {LONG_MIN, 2, sizeof(long) == 8 ? "-92233720368547758.08" : "-21474836.48"},
    {LONG_MAX, 0, sizeof(long) == 8 ? "9223372036854775807" : "2147483647"},
};

void expect_fixed_table() {
    for (const FixedCase& c : kFixedCases) {
        char buffer[32];
        EXPECT_STREQ(pdfw_format_fixed(c.value, c.decimals, buffer), c.expected)
            << c.value << " with " << c.decimals << " decimals";
    }
}

TEST_F(FixedPoint, KnownForms) { expect_fixed_table(); }

// A locale whose decimal separator is a comma must not leak into the file.
TEST_F(FixedPoint, CommaDecimalLocale) {
    std::string saved = std::setlocale(LC_ALL, nullptr);
    const char* names[] = {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE.utf8", "fr_FR.utf8"};
    const char* chosen = nullptr;
    for (const char* name : names)
        if (std::setlocale(LC_ALL, name)) {
            chosen = name;
            break;
        }
    std::string dir;
    if (!chosen && tool_available("localedef")) {
        // Build the locale privately when the system has none installed.
        dir = make_temp_dir();
        CommandResult r = run_command({"localedef", "-i", "de_DE", "-f", "UTF-8", dir + "/de_DE.UTF-8"});
        if (r.status == 0 || r.status == 1) {
            setenv("LOCPATH", dir.c_str(), 1);
            if (std::setlocale(LC_ALL, "de_DE.UTF-8")) chosen = "de_DE.UTF-8 (built)";
        }
    }
    if (!chosen) {
        std::setlocale(LC_ALL, "C.UTF-8");
        std::printf("note: no comma-decimal locale available; checked under C.UTF-8\n");
    } else {
        EXPECT_STREQ(std::localeconv()->decimal_point, ",") << chosen;
    }
    expect_fixed_table();
    {
        Channel ch;
        PdfObject* dict = pdfw_dict_new(ch.doc);
        ASSERT_TRUE(pdfw_dict_set_hundredths(ch.doc, dict, "Dur", 250));
        ASSERT_TRUE(pdfw_object_sub(ch.doc, dict));
        pdfw_object_free(ch.doc, dict);
        EXPECT_EQ(ch.text(), "<<\n/Dur 2.50 >>\n");
    }
    std::setlocale(LC_ALL, saved.c_str());
    if (!dir.empty()) {
        unsetenv("LOCPATH");
        remove_tree(dir);
    }
}

struct LitCase {
    std::string input;
    std::string expected;
};

TEST_F(LiteralString, Escapes) {
    const LitCase cases[] = {
        {"", "()"},
        {"abc", "(abc)"},
        {"a\rb", "(a\\rb)"},
        {"a\nb", "(a\\nb)"},
        {"a\tb", "(a\tb)"},
        {"(x)", "(\\(x\\))"},
        {"back\\slash", "(back\\\\slash)"},
        {std::string("n\0l\xff", 4), std::string("(n\0l\xff)", 6)},
    };
    for (const LitCase& c : cases) {
        Channel ch;
        ASSERT_TRUE(pdfw_io_litstring(ch.doc, c.input.data(), int32_t(c.input.size())));
        EXPECT_EQ(ch.text(), c.expected);
        EXPECT_EQ(pdfw_io_position(ch.doc), int64_t(c.expected.size()));
    }
}

TEST_F(LiteralString, LengthLimit) {
    std::string full(2048, 'x');
    Channel ok;
    EXPECT_TRUE(pdfw_io_litstring(ok.doc, full.data(), 2048));
    EXPECT_EQ(ok.text().size(), 2050u);

    Channel over;
    std::string longer(2049, 'x');
    EXPECT_FALSE(pdfw_io_litstring(over.doc, longer.data(), 2049));
    EXPECT_EQ(pdfw_last_error(over.doc), PDFW_ERR_STRING_LENGTH);
    EXPECT_EQ(over.text(), "");
}

TEST_F(Tokens, NamesHexAndReferences) {
    Channel ch;
    const uint8_t hex[] = {0xAB, 0x01};
    PdfObjectId ref{12, 0};
    EXPECT_TRUE(pdfw_io_token(ch.doc, PDF_TOKEN_NAME, ' ', "A B", 0));
    EXPECT_TRUE(pdfw_io_token(ch.doc, PDF_TOKEN_NAME, ' ', "Caf\xc3\xa9", 0));
    EXPECT_TRUE(pdfw_io_token(ch.doc, PDF_TOKEN_HEXSTRING, ' ', hex, 2));
    EXPECT_TRUE(pdfw_io_token(ch.doc, PDF_TOKEN_HEXSTRING, ' ', hex, 0));
    EXPECT_TRUE(pdfw_io_token(ch.doc, PDF_TOKEN_INDIRECT, ' ', &ref, 0));
    EXPECT_TRUE(pdfw_io_token(ch.doc, PDF_TOKEN_NUMBER, 0, "-1.50", 0));
    EXPECT_EQ(ch.text(), "/A#20B /Caf#C3#A9 <ab01> <> 12 0 R -1.50");
}

TEST_F(Lines, FormatLimit) {
    Channel ch;
    std::string s255(255, 'y');
    EXPECT_TRUE(pdfw_io_printf(ch.doc, "%s", s255.c_str()));
    EXPECT_EQ(pdfw_io_position(ch.doc), 256);
    std::string s256(256, 'z');
    EXPECT_FALSE(pdfw_io_printf(ch.doc, "%s", s256.c_str()));
    EXPECT_EQ(pdfw_last_error(ch.doc), PDFW_ERR_LINE_LENGTH);
    EXPECT_EQ(pdfw_io_position(ch.doc), 256);
}

TEST_F(OutputChannel, ShortWriteReportsAndKeepsState) {
    std::string dir = make_temp_dir();
    std::string path = dir + "/ro";
    ASSERT_TRUE(write_file(path, ""));
    PdfDocument* doc = nullptr;
    ASSERT_TRUE(pdfw_new(&doc));
    doc->out = std::fopen(path.c_str(), "rb");  // every write is refused
    ASSERT_NE(doc->out, nullptr);
    doc->position = 17;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(pdfw_io_data(doc, "abc", 3));
    EXPECT_FALSE(pdfw_io_line(doc, "endobj"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("PDF: Error: pdfw_io_data( 3 bytes at 0x11) 0 errno="), std::string::npos)
        << out;
    // The second write is not tried: the first failure stands for it.
    EXPECT_EQ(out.find("pdfw_io_cstring"), std::string::npos) << out;
    EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_WRITE);
    EXPECT_EQ(pdfw_io_position(doc), 17);
    EXPECT_EQ(pdfw_destroy(&doc), PDFW_ERR_WRITE);
    remove_tree(dir);
}

TEST_F(OutputChannel, OffsetLimitRefusesInsteadOfOverflowing) {
    Channel ch;
    ch.doc->position = PDFW_MAX_FILE_OFFSET - 3;
    EXPECT_TRUE(pdfw_io_data(ch.doc, "abc", 3));
    EXPECT_EQ(pdfw_io_position(ch.doc), PDFW_MAX_FILE_OFFSET);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(pdfw_io_data(ch.doc, "d", 1));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("PDF: Error: pdfw_io_data( 1 bytes at 0x2540BE3FF)"), std::string::npos)
        << out;
    EXPECT_EQ(pdfw_last_error(ch.doc), PDFW_ERR_WRITE);
    EXPECT_EQ(pdfw_io_position(ch.doc), PDFW_MAX_FILE_OFFSET);
    EXPECT_EQ(ch.text(), "abc");
}

}  // namespace
