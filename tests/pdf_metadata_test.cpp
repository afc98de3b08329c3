// PDF/A-1b objects: XMP date and text conversion, the packet read back by an
// XML parser, the ICC profile checks, and written documents read by qpdf.
// The XMP helpers, the profile check and the allocation-failure sweep of the
// PDF/A objects are writer internals, tested here on purpose through the
// private header.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "pdf/pdfw_private.h"
#include "support/pdf_json.h"
#include "support/tools.h"
#include "support/writer_fixture.h"

namespace {

// ---- Dates -----------------------------------------------------------------------

struct DateCase {
    const char* info;
    const char* xmp;  // "" when refused
};

class XmpDate : public WriterTest, public ::testing::WithParamInterface<DateCase> {};

TEST_P(XmpDate, Converts) {
    char out[PDFW_XMP_DATE_LENGTH + 1];
    int n = pdfw_xmp_date(GetParam().info, out);
    EXPECT_STREQ(out, GetParam().xmp);
    EXPECT_EQ(n, int(std::string(GetParam().xmp).size()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, XmpDate,
    ::testing::Values(DateCase{"D:20121231235959+01'00'", "2012-12-31T23:59:59+01:00"},
                      DateCase{"D:20240229000000-05'30'", "2024-02-29T00:00:00-05:30"},
                      // UTC: XMP has no "Z" followed by an offset.
                      DateCase{"D:19991231120000Z00'00'", "1999-12-31T12:00:00+00:00"},
                      DateCase{"D:2012", ""}, DateCase{"", ""},
                      DateCase{"X:20121231235959+01'00'", ""},
                      DateCase{"D:2012123123595a+01'00'", ""},
                      DateCase{"D:20121231235959*01'00'", ""},
                      DateCase{"D:20121231235959+01:00'", ""}));

// ---- Text --------------------------------------------------------------------------

struct TextCase {
    std::vector<uint16_t> units;
    std::string utf8;
};

class XmpText : public WriterTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(XmpText, EncodesAndEscapes) {
    const TextCase& c = GetParam();
    int32_t count = int32_t(c.units.size());
    size_t counted = pdfw_xmp_text(c.units.data(), count, nullptr);
    std::string out(counted + 8, '#');
    size_t written = pdfw_xmp_text(c.units.data(), count, &out[0]);
    EXPECT_EQ(counted, written);
    EXPECT_EQ(out.substr(0, written), c.utf8);
    EXPECT_EQ(out.substr(written), std::string(8, '#'));  // nothing past the count
}

INSTANTIATE_TEST_SUITE_P(
    Table, XmpText,
    ::testing::Values(
        TextCase{{'a', 'b', 'c'}, "abc"}, TextCase{{}, ""},
        TextCase{{0xE9}, "\xC3\xA9"},
        // Above U+07FF: three bytes.
        TextCase{{0x6771, 0x4EAC}, "\xE6\x9D\xB1\xE4\xBA\xAC"},
        TextCase{{0xFFFD}, "\xEF\xBF\xBD"},
        // A surrogate pair is one four-byte sequence.
        TextCase{{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
        TextCase{{0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF"},
        // Unpaired halves are replaced.
        TextCase{{0xD83D, 'x'}, "\xEF\xBF\xBDx"}, TextCase{{0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
        TextCase{{'Q', '&', 'A', ' ', '<', 'd', '>'}, "Q&amp;A &lt;d&gt;"},
        TextCase{{'"', '\''}, "&quot;&apos;"},
        // XML 1.0 forbids most controls and the two non-characters.
        TextCase{{0x01, 'a', 0x1F, 0x09, 0x0A, 0x0B, 0xFFFE, 0xFFFF, 'b'}, "a\t\nb"}));

// ---- Packet ------------------------------------------------------------------------

const char* const kSystemPython = "/usr/bin/python3";

std::vector<uint16_t> utf16(const std::u16string& s) { return std::vector<uint16_t>(s.begin(), s.end()); }

class Packet : public WriterTest {
protected:
    void SetUp() override {
        if (!file_exists(kSystemPython)) GTEST_SKIP() << "system Python missing";
        dir = make_temp_dir();
        ASSERT_TRUE(pdfw_new(&doc));
        info = pdfw_dict_new(doc);
        ASSERT_NE(info, nullptr);
    }
    void TearDown() override {
        pdfw_object_free(doc, info);
        pdfw_destroy(&doc);
        WriterTest::TearDown();
        if (!dir.empty()) remove_tree(dir);
    }
    void set_text(const char* key, const std::u16string& value) {
        std::vector<uint16_t> u = utf16(value);
        ASSERT_TRUE(pdfw_dict_set_text(doc, info, key, u.data(), int32_t(u.size())));
    }
    std::string packet() {
        int32_t length = -1;
        char* p = pdfw_xmp_packet(doc, info, &length);
        EXPECT_NE(p, nullptr);
        if (!p) return "";
        std::string s(p, size_t(length));
        pdfw_free(doc, p);
        return s;
    }

    std::string dir;
    PdfDocument* doc = nullptr;
    PdfObject* info = nullptr;
};

TEST_F(Packet, EmptyDictionaryLeavesEmptyElements) {
    std::string p = packet();
    // The template without its eight placeholders (76 bytes of names).
    EXPECT_EQ(p.size(), 1242u - 76u);
    EXPECT_EQ(std::count(p.begin(), p.end(), '\n'), 34);
    EXPECT_EQ(p.find('{'), std::string::npos);
    XmpFields f = xmp_fields(dir, p);
    EXPECT_EQ(f["pi"], "xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d',xpacket end='w'");
    EXPECT_EQ(f["part"], "1");
    EXPECT_EQ(f["conformance"], "B");
    EXPECT_EQ(f["pdfaid"], "http://www.aiim.org/pdfa/ns/id/");
    EXPECT_EQ(f["dc:format"], "application/pdf");
    EXPECT_EQ(f["dc:title@lang"], "x-default");
    for (const char* tag : {"xmp:CreateDate", "xmp:ModifyDate", "xmp:CreatorTool", "pdf:Producer",
                            "pdf:Keywords", "dc:title", "dc:description", "dc:creator"})
        EXPECT_EQ(f[tag], "") << tag;
}

TEST_F(Packet, ProducerAndDatesOnly) {
    set_text("Producer", u"Dunmarrow Tarvo Library v0.91");
    const char* date = "D:20121231235959+01'00'";
    ASSERT_TRUE(pdfw_dict_set_bytes(doc, info, "CreationDate", date, 23));
    ASSERT_TRUE(pdfw_dict_set_bytes(doc, info, "ModDate", "D:20130101000000Z00'00'", 23));
    XmpFields f = xmp_fields(dir, packet());
    EXPECT_EQ(f["pdf:Producer"], "Dunmarrow Tarvo Library v0.91");
    EXPECT_EQ(f["xmp:CreateDate"], "2012-12-31T23:59:59+01:00");
    EXPECT_EQ(f["xmp:ModifyDate"], "2013-01-01T00:00:00+00:00");
    EXPECT_EQ(f["dc:title"], "");
    EXPECT_EQ(f["dc:creator"], "");
}

TEST_F(Packet, ValuesNeedingEscapesOrWideCharacters) {
    set_text("Title", u"Q&A <draft> \"v2\" it's");
    set_text("Author", u"Zo\u00EB \u6771\u4EAC");
    set_text("Subject", u"smile \U0001F600 half \xD800 end");
    set_text("Keywords", u"a\u0001b\tc");
    set_text("Creator", u"x]]>y");
    XmpFields f = xmp_fields(dir, packet());
    EXPECT_EQ(f["dc:title"], "Q&A <draft> \"v2\" it's");
    EXPECT_EQ(f["dc:creator"], "Zo\xC3\xAB \xE6\x9D\xB1\xE4\xBA\xAC");
    EXPECT_EQ(f["dc:description"], "smile \xF0\x9F\x98\x80 half \xEF\xBF\xBD end");
    EXPECT_EQ(f["pdf:Keywords"], "ab\tc");
    EXPECT_EQ(f["xmp:CreatorTool"], "x]]>y");
}

// ---- ICC profile checks ------------------------------------------------------------

// A profile header: declared size, colour space and signature; the rest of
// the file is filler.
std::string make_profile(size_t file_size, uint32_t declared, const char* space = "RGB ",
                         const char* signature = "acsp") {
    std::string p(file_size, '\0');
    for (size_t i = 0; i < file_size; ++i) p[i] = char(i * 7 + 3);
    if (file_size >= 4) {
        p[0] = char(declared >> 24);
        p[1] = char(declared >> 16);
        p[2] = char(declared >> 8);
        p[3] = char(declared);
    }
    if (file_size >= 20) p.replace(16, 4, space, 4);
    if (file_size >= 40) p.replace(36, 4, signature, 4);
    return p;
}

struct IccCase {
    const char* label;
    std::string bytes;  // "" with missing: no file at all
    bool missing;
    int error;  // 0 for accepted
};

class IccCheck : public WriterTest, public ::testing::WithParamInterface<IccCase> {};

TEST_P(IccCheck, Classifies) {
    const IccCase& c = GetParam();
    std::string dir = make_temp_dir();
    std::string path = dir + "/profile.icc";
    if (!c.missing) {
        ASSERT_TRUE(write_file(path, c.bytes));
    }
    PdfDocument* doc = nullptr;
    ASSERT_TRUE(pdfw_new(&doc));
    ASSERT_TRUE(pdfw_set_icc_file(doc, wide(path).c_str()));
    EXPECT_EQ(pdfw_icc_check(doc), c.error == 0);
    EXPECT_EQ(pdfw_last_error(doc), c.error);
    pdfw_destroy(&doc);
    remove_tree(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IccCheck,
    ::testing::Values(IccCase{"exact128", make_profile(128, 128), false, 0},
                      IccCase{"longer", make_profile(300, 128), false, 0},
                      IccCase{"declared0", make_profile(128, 0), false, 0},
                      IccCase{"truncated", make_profile(128, 129), false, PDFW_ERR_ICC_READ},
                      IccCase{"short", make_profile(127, 127), false, PDFW_ERR_ICC_READ},
                      IccCase{"empty", "", false, PDFW_ERR_ICC_READ},
                      IccCase{"cmyk", make_profile(200, 200, "CMYK"), false, PDFW_ERR_ICC_READ},
                      IccCase{"grey", make_profile(200, 200, "GRAY"), false, PDFW_ERR_ICC_READ},
                      IccCase{"lowercase", make_profile(200, 200, "rgb "), false, PDFW_ERR_ICC_READ},
                      IccCase{"nosig", make_profile(200, 200, "RGB ", "acsq"), false,
                              PDFW_ERR_ICC_READ},
                      IccCase{"missing", "", true, PDFW_ERR_ICC_OPEN}),
    [](const ::testing::TestParamInfo<IccCase>& i) { return std::string(i.param.label); });

using IccCheckPath = WriterTest;

TEST_F(IccCheckPath, NoPathDirectoryAndLongPath) {
    std::string dir = make_temp_dir();
    PdfDocument* doc = nullptr;
    ASSERT_TRUE(pdfw_new(&doc));
    EXPECT_FALSE(pdfw_icc_check(doc));
    EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_ICC_PATH);
    ASSERT_TRUE(pdfw_set_icc_file(doc, wide(dir).c_str()));
    EXPECT_FALSE(pdfw_icc_check(doc));
    EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_ICC_READ);
    // A path longer than any fixed buffer is kept whole, never cut to
    // another file's name.
    std::string path = dir;
    for (char c : {'a', 'b', 'c'}) {
        path += "/" + std::string(120, c);
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    }
    path += "/profile.icc";
    ASSERT_TRUE(write_file(path, make_profile(128, 128)));
    ASSERT_TRUE(pdfw_set_icc_file(doc, wide(path).c_str()));
    EXPECT_TRUE(pdfw_icc_check(doc)) << pdfw_last_error(doc);
    pdfw_destroy(&doc);
    remove_tree(dir);
}

// ---- Written documents ---------------------------------------------------------------

struct WriteResult {
    bool closed = false;
    int last_error = 1;
};

// One-page document; icc empty: no PDF/A mode.
WriteResult write_document(const std::string& pdf, const std::string& icc,
                           const std::wstring& title = L"") {
    WriteResult result;
    PdfDocument* doc = nullptr;
    if (!pdfw_new(&doc)) return result;
    if (!icc.empty()) {
        EXPECT_TRUE(pdfw_set_icc_file(doc, wide(icc).c_str()));
    }
    EXPECT_TRUE(pdfw_file_create(doc, wide(pdf).c_str(), "%Tarvo-0.7"));
    EXPECT_TRUE(add_page(doc));
    if (!title.empty()) {
        EXPECT_TRUE(pdfw_set_info(doc, "/Title", title.c_str()));
    }
    result.closed = pdfw_file_close(doc);
    result.last_error = pdfw_destroy(&doc);
    return result;
}

int object_number(const std::string& ref) { return std::atoi(ref.c_str()); }

class PdfA : public WriterTest {
protected:
    void SetUp() override {
        if (!tool_available("qpdf")) GTEST_SKIP() << "qpdf not installed";
        dir = make_temp_dir();
        pdf = dir + "/out.pdf";
    }
    void TearDown() override {
        WriterTest::TearDown();
        if (!dir.empty()) remove_tree(dir);
    }
    std::string dir, pdf;
};

TEST_F(PdfA, RealProfileGivesMetadataAndIntent) {
    std::string icc = system_rgb_profile();
    if (icc.empty()) GTEST_SKIP() << "no RGB profile installed";
    WriteResult w = write_document(pdf, icc, L"Caf\u00E9 Q&A <draft> \u6771\u4EAC \U0001F600");
    ASSERT_TRUE(w.closed);
    EXPECT_EQ(w.last_error, 0);

    std::string bytes;
    ASSERT_TRUE(read_file(pdf, &bytes));
    EXPECT_EQ(bytes.substr(0, 32),
              "%PDF-1.4\n%\xC7\xEC\x8F\xA2\n%Tarvo-0.7\n%\xC7\xEC\x8F\xA2\n");
    EXPECT_EQ(run_command({"qpdf", "--check", pdf}).status, 0);

    PdfTree t = pdf_tree(pdf);
    EXPECT_EQ(t["/Root/Metadata/Type"], "/Metadata");
    EXPECT_EQ(t["/Root/Metadata/Subtype"], "/XML");
    EXPECT_EQ(t.count("/Root/Metadata/Filter"), 0u);
    ASSERT_EQ(pdf_tree_count(t, "/Root/OutputIntents"), 1);
    const std::string intent = "/Root/OutputIntents/0";
    EXPECT_EQ(t[intent + "/Type"], "/OutputIntent");
    EXPECT_EQ(t[intent + "/S"], "/GTS_PDFA1");
    EXPECT_EQ(t[intent + "/OutputCondition"], "sRGB IEC61966-2.1");
    EXPECT_EQ(t[intent + "/OutputConditionIdentifier"], "Custom");
    EXPECT_EQ(t[intent + "/Info"], "sRGB");
    EXPECT_EQ(t[intent + "/DestOutputProfile/N"], "3");
    EXPECT_EQ(t[intent + "/DestOutputProfile/Filter"], "/FlateDecode");
    EXPECT_EQ(t[intent + "/DestOutputProfile/Range/5"], "1");

    // Written in order: metadata, profile, intent.
    int metadata = object_number(t["/Root/Metadata"]);
    int profile = object_number(t[intent + "/DestOutputProfile"]);
    EXPECT_LT(metadata, profile);
    EXPECT_LT(profile, object_number(t[intent]));

    std::string icc_bytes;
    ASSERT_TRUE(read_file(icc, &icc_bytes));
    EXPECT_EQ(stream_data(pdf, profile), icc_bytes);

    XmpFields f = xmp_fields(dir, stream_data(pdf, metadata));
    EXPECT_EQ(f["dc:title"], "Caf\xC3\xA9 Q&A <draft> \xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x98\x80");
    EXPECT_EQ(f["dc:title"], t["/Info/Title"]);
}

TEST_F(PdfA, IncompressibleProfileIsStoredRaw) {
    // Header of a valid RGB profile, then bytes deflate cannot shrink.
    std::string icc = make_profile(4096, 4096);
    const std::vector<uint8_t> noise = noise_bytes(icc.size() - 128, 12345);
    std::copy(noise.begin(), noise.end(), icc.begin() + 128);
    std::string path = dir + "/noise.icc";
    ASSERT_TRUE(write_file(path, icc));
    WriteResult w = write_document(pdf, path);
    ASSERT_TRUE(w.closed);
    PdfTree t = pdf_tree(pdf);
    const std::string profile = "/Root/OutputIntents/0/DestOutputProfile";
    EXPECT_EQ(t.count(profile + "/Filter"), 0u);
    EXPECT_EQ(t[profile + "/Length"], "4096");
    EXPECT_EQ(stream_data(pdf, object_number(t[profile])), icc);
}

TEST_F(PdfA, NoProfileNoPdfAObjects) {
    WriteResult w = write_document(pdf, "");
    ASSERT_TRUE(w.closed);
    std::string bytes;
    ASSERT_TRUE(read_file(pdf, &bytes));
    EXPECT_EQ(bytes.substr(0, 15), "%PDF-1.3\n%Tarvo");
    EXPECT_EQ(bytes.find("/Metadata"), std::string::npos);
    EXPECT_EQ(bytes.find("/OutputIntent"), std::string::npos);
    EXPECT_EQ(bytes.find("/XML"), std::string::npos);
}

TEST_F(PdfA, AllocationFailuresAreClean) {
    std::string icc = system_rgb_profile();
    if (icc.empty()) GTEST_SKIP() << "no RGB profile installed";
    // Fail each allocation of the PDF/A objects in turn.
    for (unsigned n = 1; n < 200; ++n) {
        PdfDocument* doc = nullptr;
        ASSERT_TRUE(pdfw_new(&doc));
        ASSERT_TRUE(pdfw_set_icc_file(doc, wide(icc).c_str()));
        ASSERT_TRUE(pdfw_file_create(doc, wide(pdf).c_str(), nullptr));
        PdfObjectId metadata, intent;
        pdfw_alloc_fail_after(n);
        bool ok = pdfw_obj_metadata(doc, &metadata) && pdfw_obj_output_intent(doc, &intent);
        pdfw_alloc_fail_after(0);
        if (!ok) {
            EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_NO_MEMORY) << n;
        }
        pdfw_destroy(&doc);
        ASSERT_EQ(pdfw_mem_all_in_use(), 0) << n;
        if (ok) return;
    }
    FAIL() << "never succeeded";
}

}  // namespace
