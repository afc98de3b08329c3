// File frame and close sequence: info dates with a pinned clock, a complete
// document checked by qpdf and poppler, the cross-reference layout, state
// errors, write failures on /dev/full and at the offset limit, and
// allocation failure at every request of a whole document. Objects built by
// hand, numbers taken before the file exists, the offset limit and the
// allocation-failure sweep are writer internals, tested here on purpose
// through the private header.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pdf/pdfw_private.h"
#include "support/tools.h"
#include "support/writer_fixture.h"

namespace {

using FileFrame = WriterTest;
using FileFailure = WriterTest;

struct DateCase {
    int offset_minutes;
    const char* expected;
};

class InfoDate : public WriterTest, public testing::WithParamInterface<DateCase> {};

TEST_P(InfoDate, OffsetForms) {
    PinnedPlatform pin(GetParam().offset_minutes);
    char date[24];
    ASSERT_TRUE(pdfw_info_date(date, sizeof date));
    EXPECT_STREQ(date, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Zones, InfoDate,
                         testing::Values(DateCase{120, "D:20240305122030+02'00'"},
                                         DateCase{0, "D:20240305102030Z00'00'"},
                                         DateCase{-330, "D:20240305045030-05'30'"}));

// Offsets and lengths of the parts of a written file.
struct Layout {
    std::string bytes;
    size_t xref = 0;
    long startxref = -1;
    std::vector<std::string> xref_lines;
};

Layout read_layout(const std::string& path) {
    Layout l;
    EXPECT_TRUE(read_file(path, &l.bytes));
    l.xref = l.bytes.rfind("\nxref\n") + 1;
    size_t sx = l.bytes.rfind("startxref\n");
    if (sx != std::string::npos) l.startxref = std::stol(l.bytes.substr(sx + 10));
    size_t end = l.bytes.find("trailer\n", l.xref);
    size_t p = l.xref + 5;
    while (p < end) {
        size_t nl = l.bytes.find('\n', p);
        l.xref_lines.push_back(l.bytes.substr(p, nl + 1 - p));
        p = nl + 1;
    }
    return l;
}

void expect_in_order(const std::string& text, const std::vector<std::string>& parts) {
    size_t at = 0;
    for (const std::string& part : parts) {
        size_t found = text.find(part, at);
        EXPECT_NE(found, std::string::npos) << "missing or out of order: " << part;
        if (found != std::string::npos) at = found + part.size();
    }
}

// Nothing is set, so the defaults show: PDF 1.3, A4 portrait, no rotation,
// objects 1 to 3 for catalog, information and page tree, new numbers from 4,
// the login name as /Author.
TEST_F(FileFrame, CompleteDocument) {
    PinnedPlatform pin;
    std::string dir = make_temp_dir();
    std::string path = dir + "/complete.pdf";
    PdfDocument* doc = nullptr;
    ASSERT_TRUE(pdfw_new(&doc));
    ASSERT_TRUE(pdfw_file_create(doc, wide(path).c_str(), "%Tarvo-0.7"));

    std::string content;
    for (int i = 0; i < 20; ++i) content += "0 0 0 rg\n10 10 100 100 re f\n";
    std::vector<uint8_t> data(content.begin(), content.end());
    PdfObjectId stream;
    ASSERT_TRUE(pdfw_obj_stream(doc, data.data(), int32_t(data.size()), &stream));

    PdfObjectId extra;
    ASSERT_TRUE(pdfw_obj_new(doc, &extra, 0));
    PdfObject* d = pdfw_dict_new(doc);
    const uint16_t caption[] = {'N', 0x00E4, 'h', 'e'};
    const uint8_t hex_bytes[] = {0xAB, 0x01};
    ASSERT_TRUE(pdfw_dict_set_string(doc, d, "Plain", "par(en)s\\"));
    ASSERT_TRUE(pdfw_dict_set_text(doc, d, "Caption", caption, 4));
    PdfObject* list = pdfw_dict_set_array(doc, d, "List");
    ASSERT_TRUE(pdfw_array_add_bytes(doc, list, hex_bytes, 2));
    ASSERT_TRUE(pdfw_array_add_hundredths(doc, list, -150));
    ASSERT_TRUE(pdfw_object(doc, extra, d));
    pdfw_object_free(doc, d);

    ASSERT_TRUE(add_page(doc));  // objects 6 to 9

    ASSERT_TRUE(pdfw_set_info(doc, "/Title", L"T\u00e9st \U0001F600"));
    ASSERT_TRUE(pdfw_set_info(doc, "/Subject", L"plain"));
    ASSERT_TRUE(pdfw_set_info(doc, "Keywords", L"gone"));
    ASSERT_TRUE(pdfw_set_info(doc, "/Keywords", L""));  // removed
    testing::internal::CaptureStdout();
    ASSERT_TRUE(pdfw_file_close(doc));
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log,
              "PDF: pdfw_file_close: pdfw_obj_pages()\n"
              "PDF: pdfw_file_close: pdfw_obj_info()\n"
              "PDF: pdfw_obj_info: pdfw_object\n"
              "PDF: pdfw_file_close: pdfw_obj_root()\n"
              "PDF: pdfw_file_close: pdfw_xref()\n"
              "PDF: pdfw_file_close: pdfw_trailer()\n"
              "PDF: pdfw_file_close: pdfw_footer()\n"
              "PDF: closed\n");
    EXPECT_EQ(pdfw_destroy(&doc), 0);

    Layout l = read_layout(path);
    EXPECT_EQ(l.bytes.substr(0, 26), "%PDF-1.3\n%Tarvo-0.7\n%\xC7\xEC\x8F\xA2\n");
    EXPECT_EQ(l.startxref, long(l.xref));
    ASSERT_EQ(l.xref_lines.size(), 1u + 10u);
    EXPECT_EQ(l.xref_lines[0], "0 10\n");
    EXPECT_EQ(l.xref_lines[1], "0000000000 65535 f \n");
    for (size_t i = 1; i < l.xref_lines.size(); ++i) {
        EXPECT_EQ(l.xref_lines[i].size(), 20u) << l.xref_lines[i];
        if (i > 1) {
            size_t offset = std::stoul(l.xref_lines[i]);
            std::string head = std::to_string(i - 1) + " 0 obj\n";
            EXPECT_EQ(l.bytes.compare(offset, head.size(), head), 0) << "entry " << i - 1;
        }
    }
    expect_in_order(l.bytes, {"3 0 obj\n<<\n/Type /Pages\n/Kids\n[\n9 0 R\n]\n/Count 1\n"
                              "/MediaBox [0 0 595 842]\n/Rotate 0\n>>\nendobj\n",
                              "2 0 obj\n<<\n/Author (tester)\n/Title (\xFE\xFF\x00T\x00\xE9",
                              "/Subject (plain)\n/Producer (Dunmarrow Tarvo Library v0.91)\n"
                              "/CreationDate (D:20240305122030+02'00')\n"
                              "/ModDate (D:20240305122030+02'00')\n>>\nendobj\n",
                              "1 0 obj\n<<\n/Type /Catalog /Pages 3 0 R >>\nendobj\nxref\n",
                              "trailer\n<<\n/Size 10\n/Root 1 0 R\n/Info 2 0 R\n/ID [<"
                                  + std::string(32, '0') + "><" + std::string(32, '0')
                                  + ">]\n>>\nstartxref\n"});
    EXPECT_EQ(l.bytes.find("/CropBox"), std::string::npos);
    EXPECT_EQ(l.bytes.find("/Keywords"), std::string::npos);
    EXPECT_EQ(l.bytes.substr(l.bytes.size() - 6), "%%EOF\n");

    if (tool_available("qpdf")) {
        CommandResult r = run_command({"qpdf", "--check", path});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    } else {
        std::printf("note: qpdf missing, structure check skipped\n");
    }
    if (tool_available("pdfinfo")) {
        CommandResult r = run_command({"pdfinfo", path});
        EXPECT_NE(r.out.find("T\xC3\xA9st \xF0\x9F\x98\x80"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Pages:           1"), std::string::npos) << r.out;
    }
    remove_tree(dir);
}

// An object numbered before the file existed and never written is left out,
// which splits the table into subsections.
TEST_F(FileFrame, UnwrittenNumbersSplitTheTable) {
    PinnedPlatform pin(120, false);
    std::string dir = make_temp_dir();
    std::string path = dir + "/gap.pdf";
    PdfDocument* doc = nullptr;
    ASSERT_TRUE(pdfw_new(&doc));
    PdfObjectId unused, later;
    ASSERT_TRUE(pdfw_obj_new(doc, &unused, 0));
    ASSERT_TRUE(pdfw_file_create(doc, wide(path).c_str(), nullptr));
    ASSERT_TRUE(pdfw_obj_new(doc, &later, 0));
    PdfObject* d = pdfw_dict_new(doc);
    ASSERT_TRUE(pdfw_object(doc, later, d));
    pdfw_object_free(doc, d);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(pdfw_file_close(doc));
    testing::internal::GetCapturedStdout();
    pdfw_destroy(&doc);

    Layout l = read_layout(path);
    ASSERT_EQ(l.xref_lines.size(), 7u);
    EXPECT_EQ(l.xref_lines[0], "0 4\n");
    EXPECT_EQ(l.xref_lines[5], "5 1\n");
    EXPECT_EQ(l.startxref, long(l.xref));
    EXPECT_NE(l.bytes.find("/Size 6\n"), std::string::npos);
    EXPECT_EQ(l.bytes.find("/Author"), std::string::npos);  // no user name, no Author
    if (tool_available("qpdf")) {
        CommandResult r = run_command({"qpdf", "--check", path});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }
    remove_tree(dir);
}

TEST_F(FileFrame, HeaderAndStateRules) {
    PinnedPlatform pin;
    std::string dir = make_temp_dir();
    PdfDocument* doc = nullptr;
    ASSERT_TRUE(pdfw_new(&doc));
    EXPECT_FALSE(pdfw_set_info(doc, "/Title", L"early"));
    ASSERT_TRUE(pdfw_set_icc_file(doc, L"profile.icc"));
    ASSERT_TRUE(pdfw_file_create(doc, wide(dir + "/a.pdf").c_str(), "%Tarvo-0.7"));
    EXPECT_FALSE(pdfw_file_create(doc, wide(dir + "/b.pdf").c_str(), nullptr));
    EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_FILE_STATE);
    std::fflush(nullptr);
    EXPECT_EQ(read_all(dir + "/a.pdf"), "%PDF-1.4\n%\xC7\xEC\x8F\xA2\n%Tarvo-0.7\n%\xC7\xEC\x8F\xA2\n");
    EXPECT_EQ(pdfw_destroy(&doc), PDFW_ERR_FILE_STATE);

    ASSERT_TRUE(pdfw_new(&doc));
    pdfw_require_version(doc, 0x108);  // beyond the versions the header knows
    EXPECT_FALSE(pdfw_file_create(doc, wide(dir + "/c.pdf").c_str(), nullptr));
    EXPECT_EQ(pdfw_destroy(&doc), PDFW_ERR_VERSION);

    ASSERT_TRUE(pdfw_new(&doc));
    EXPECT_FALSE(pdfw_file_close(doc));
    EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_FILE_STATE);
    EXPECT_FALSE(pdfw_file_create(doc, wide(dir + "/no/such/dir.pdf").c_str(), nullptr));
    EXPECT_EQ(pdfw_destroy(&doc), PDFW_ERR_FILE_OPEN);

    // A file opened by the caller gets the header; no file, or a second
    // one, is refused (and the second closed).
    ASSERT_TRUE(pdfw_new(&doc));
    EXPECT_FALSE(pdfw_file_attach(doc, nullptr, nullptr));
    EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_FILE_OPEN);
    ASSERT_TRUE(pdfw_file_attach(doc, std::fopen((dir + "/d.pdf").c_str(), "w+b"), "%Tarvo-0.7"));
    EXPECT_FALSE(pdfw_file_attach(doc, std::fopen((dir + "/e.pdf").c_str(), "w+b"), nullptr));
    EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_FILE_STATE);
    std::fflush(nullptr);
    EXPECT_EQ(read_all(dir + "/d.pdf"), "%PDF-1.3\n%Tarvo-0.7\n%\xC7\xEC\x8F\xA2\n");
    EXPECT_EQ(read_all(dir + "/e.pdf"), "");
    EXPECT_EQ(pdfw_destroy(&doc), PDFW_ERR_FILE_STATE);
    remove_tree(dir);
}

// /dev/full takes bytes into the stdio buffer and fails on flush or close;
// larger writes fail at once. Either way the close reports -4.
TEST_F(FileFailure, DeviceFull) {
    PinnedPlatform pin;
    for (bool big : {false, true}) {
        PdfDocument* doc = nullptr;
        ASSERT_TRUE(pdfw_new(&doc));
        testing::internal::CaptureStdout();
        bool created = pdfw_file_create(doc, L"/dev/full", "%Tarvo-0.7");
        if (created && big) {
            std::vector<uint8_t> noise = noise_bytes(100000, 12345);
            PdfObjectId id;
            EXPECT_FALSE(pdfw_obj_stream(doc, noise.data(), int32_t(noise.size()), &id));
        }
        EXPECT_FALSE(created && pdfw_file_close(doc));
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("PDF: Error: pdfw_io_"), std::string::npos) << out;
        EXPECT_EQ(out.find("PDF: closed"), std::string::npos);
        EXPECT_EQ(pdfw_destroy(&doc), PDFW_ERR_WRITE) << (big ? "large" : "header only");
    }
}

TEST_F(FileFailure, OffsetLimitAtClose) {
    PinnedPlatform pin;
    std::string dir = make_temp_dir();
    PdfDocument* doc = nullptr;
    ASSERT_TRUE(pdfw_new(&doc));
    ASSERT_TRUE(pdfw_file_create(doc, wide(dir + "/big.pdf").c_str(), nullptr));
    doc->position = PDFW_MAX_FILE_OFFSET - 100;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(pdfw_file_close(doc));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("PDF: Error: pdfw_io_data("), std::string::npos) << out;
    EXPECT_EQ(out.find("pdfw_xref"), std::string::npos);  // stopped before the table
    EXPECT_EQ(pdfw_destroy(&doc), PDFW_ERR_WRITE);
    remove_tree(dir);
}

// A write that failed is the file's failure from then on: a later write
// that the system would take is refused with the first cause, so that no
// bytes land after the lost ones.
TEST_F(FileFailure, AFailedWriteIsFinal) {
    PinnedPlatform pin;
    std::string dir = make_temp_dir();
    PdfDocument* doc = nullptr;
    ASSERT_TRUE(pdfw_new(&doc));
    ASSERT_TRUE(pdfw_file_create(doc, wide(dir + "/lost.pdf").c_str(), nullptr));
    const int64_t before = doc->position;
    doc->position = PDFW_MAX_FILE_OFFSET - 100;
    const char block[200] = {};
    testing::internal::CaptureStdout();
    EXPECT_FALSE(pdfw_io_data(doc, block, sizeof block));
    doc->position = before;
    pdfw_fail(doc, PDFW_ERR_ARGUMENT);  // another failure meanwhile
    EXPECT_FALSE(pdfw_io_line(doc, "%small"));
    EXPECT_EQ(doc->last_error, PDFW_ERR_WRITE);
    EXPECT_NE(std::string(pdfw_last_error_text(doc)).find("would pass"), std::string::npos);
    EXPECT_EQ(doc->position, before);
    EXPECT_FALSE(pdfw_file_close(doc));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(pdfw_destroy(&doc), PDFW_ERR_WRITE);
    remove_tree(dir);
}

// zlib infcover style over a whole document: the Nth allocator request
// fails; every run fails cleanly with -1 until N passes the last request.
TEST_F(FileFailure, EveryAllocationCanFail) {
    PinnedPlatform pin;
    std::string dir = make_temp_dir();
    const std::wstring path = wide(dir + "/alloc.pdf");
    std::string content;
    for (int i = 0; i < 10; ++i) content += "q\n100 0 0 100 0 0 cm\n/R4 Do\nQ\n";
    int completed_at = 0;
    for (unsigned n = 1; n < 500 && !completed_at; ++n) {
        PdfDocument* doc = nullptr;
        testing::internal::CaptureStdout();
        pdfw_alloc_fail_after(n);
        bool ok = pdfw_new(&doc);
        bool made = ok;
        if (ok) {
            std::vector<uint8_t> data(content.begin(), content.end());
            PdfObjectId stream;
            ok = pdfw_file_create(doc, path.c_str(), "%Tarvo-0.7") &&
                 pdfw_obj_stream(doc, data.data(), int32_t(data.size()), &stream) &&
                 add_page(doc) && pdfw_set_info(doc, "/Title", L"\u00c5 title") && pdfw_file_close(doc);
        }
        pdfw_alloc_fail_after(0);
        testing::internal::GetCapturedStdout();
        if (ok) {
            completed_at = int(n);
        } else if (made) {
            EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_NO_MEMORY) << "request " << n;
        }
        pdfw_destroy(&doc);
        EXPECT_EQ(pdfw_mem_all_in_use(), 0) << "request " << n;
    }
    ASSERT_GT(completed_at, 10);
    if (tool_available("qpdf")) {
        CommandResult r = run_command({"qpdf", "--check", dir + "/alloc.pdf"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }
    remove_tree(dir);
}

}  // namespace
