// Document context and object model: settings and their refusals, the
// object table, key order, replacement and removal, template and text
// strings, key paths, the serialiser, and stream objects decoded with zlib.
// The object model, the object table and the stream writer are writer
// internals, tested here on purpose through the private header; settings
// are checked through the written file.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "pdf/pdfw_private.h"
#include "support/pdf_channel.h"
#include "support/writer_fixture.h"

namespace {

using Document = WriterTest;
using Dictionary = WriterTest;
using TextString = WriterTest;
using KeyPath = WriterTest;
using Serialiser = WriterTest;
using StreamObject = WriterTest;
using Allocator = WriterTest;

std::string serialise(PdfDocument* doc, PdfObject* node) {
    MemoryChannel ch;
    EXPECT_TRUE(pdfw_object_sub(ch.doc, node));
    (void)doc;
    return ch.text();
}

std::string bytes_of(const PdfObject* node) { return std::string(node->text, size_t(node->length)); }

// The defaults (PDF 1.3, A4 portrait, no rotation, objects 1 to 3 for
// catalog, information and page tree) show in FileFrame.CompleteDocument.
TEST_F(Document, ProducerAndDestroy) {
    EXPECT_EQ(std::wstring(pdfw_producer()), L"Dunmarrow Tarvo Library v0.91");
    PdfDocument* doc = nullptr;
    ASSERT_TRUE(pdfw_new(&doc));
    EXPECT_EQ(pdfw_destroy(&doc), 0);
    EXPECT_EQ(doc, nullptr);
    EXPECT_EQ(pdfw_destroy(&doc), PDFW_ERR_NULL_DOCUMENT);
    EXPECT_EQ(pdfw_destroy(nullptr), PDFW_ERR_NULL_DOCUMENT);
}

// Refused settings change nothing; accepted ones show in the written file.
TEST_F(Document, SettingsRefuseBadValues) {
    const std::string dir = make_temp_dir(), path = dir + "/settings.pdf";
    PdfDocument* doc = nullptr;
    ASSERT_TRUE(pdfw_new(&doc));
    pdfw_set_trace(doc, nullptr, nullptr);
    // Without PDF/A mode the close reads no profile and writes no metadata.
    EXPECT_FALSE(pdfw_set_icc_file(doc, L""));
    EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_ICC_PATH);
    pdfw_require_version(doc, 0x105);
    pdfw_require_version(doc, 0x104);  // never lowered
    ASSERT_TRUE(pdfw_file_create(doc, wide(path).c_str(), nullptr));
    EXPECT_TRUE(pdfw_set_rotation(doc, 270));
    EXPECT_FALSE(pdfw_set_rotation(doc, 45));
    EXPECT_TRUE(pdfw_set_page_size(doc, 2, 0, 0, 0, 0));
    EXPECT_FALSE(pdfw_set_page_size(doc, 0, 0, 0, 0, 100));
    EXPECT_FALSE(pdfw_set_page_size(doc, 0, 1, 0, 100, 100));
    EXPECT_FALSE(pdfw_set_page_size(doc, 3, 0, 0, 100, 100));
    ASSERT_TRUE(add_page(doc));  // the image fills the page: A4 landscape
    EXPECT_TRUE(pdfw_set_page_size(doc, 0, 0, 0, 1234, 5678));
    ASSERT_TRUE(pdfw_file_close(doc));
    EXPECT_EQ(pdfw_destroy(&doc), PDFW_ERR_ARGUMENT);
    const std::string pdf = read_all(path);
    EXPECT_EQ(pdf.substr(0, 9), "%PDF-1.5\n");
    EXPECT_NE(pdf.find("\n842 0 0 595 0 0 cm\n"), std::string::npos);
    EXPECT_NE(pdf.find("\n/MediaBox [0 0 12.34 56.78]\n/Rotate 270\n"), std::string::npos);
    EXPECT_EQ(pdf.find("/Metadata"), std::string::npos);
    remove_tree(dir);

    ASSERT_TRUE(pdfw_new(&doc));
    EXPECT_TRUE(pdfw_set_encoding(doc, 1, -1, 0, -1, -1, 4, -1, -1, 0, 0, 1));
    PdfEncodingChoices e{};
    ASSERT_TRUE(pdfw_get_encodings(doc, &e));
    EXPECT_EQ(e.truecolour, 8);
    EXPECT_EQ(e.truecolour_quality, 0);
    EXPECT_EQ(e.grey, 4);
    // PDF/A mode refuses LZW; a long profile path is checked in IccCheckPath.
    EXPECT_TRUE(pdfw_set_icc_file(doc, L"/x/sRGB.icc"));
    EXPECT_FALSE(pdfw_set_encoding(doc, 1, 3, 75, -1, -1, 8, 75, 6, 0, 0, 1));
    EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_PDFA_LZW);
    e.grey = PDFW_FILTER_LZW;
    EXPECT_FALSE(pdfw_set_encodings(doc, &e));
    ASSERT_TRUE(pdfw_get_encodings(doc, &e));
    EXPECT_EQ(e.grey, 4);  // nothing stored
    EXPECT_EQ(pdfw_destroy(&doc), PDFW_ERR_PDFA_LZW);
}

// Every refusal of a public call leaves a cause, and every cause has a text.
struct Refusal {
    const char* name;
    bool (*call)(PdfDocument* doc);
    int error;
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

class Refusals : public WriterTest, public testing::WithParamInterface<Refusal> {};

TEST_P(Refusals, NameTheirCause) {
    PdfDocument* doc = nullptr;
    ASSERT_TRUE(pdfw_new(&doc));
    pdfw_set_trace(doc, nullptr, nullptr);
    EXPECT_FALSE(GetParam().call(doc));
    EXPECT_EQ(pdfw_last_error(doc), GetParam().error);
    EXPECT_STRNE(pdfw_strerror(GetParam().error), pdfw_strerror(12345));
    pdfw_destroy(&doc);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, Refusals,
    testing::Values(
        Refusal{"rotation", [](PdfDocument* d) { return pdfw_set_rotation(d, 45); }, PDFW_ERR_ARGUMENT},
        Refusal{"page_size", [](PdfDocument* d) { return pdfw_set_page_size(d, 0, 0, 0, 0, 9); },
                PDFW_ERR_ARGUMENT},
        Refusal{"next_page_size",
                [](PdfDocument* d) { return pdfw_set_next_page_size(d, 4, 0, 0, 9, 9); },
                PDFW_ERR_ARGUMENT},
        Refusal{"page_rotation", [](PdfDocument* d) { return pdf_page_set_rotate(d, 45); },
                PDFW_ERR_ARGUMENT},
        Refusal{"viewing", [](PdfDocument* d) { return pdfw_set_viewing(d, nullptr); },
                PDFW_ERR_ARGUMENT},
        Refusal{"encodings", [](PdfDocument* d) { return pdfw_set_encodings(d, nullptr); },
                PDFW_ERR_ARGUMENT},
        Refusal{"info_before_file", [](PdfDocument* d) { return pdfw_set_info(d, "/Title", L"t"); },
                PDFW_ERR_FILE_STATE},
        Refusal{"page_before_file",
                [](PdfDocument* d) { return pdfw_impage(d, nullptr, nullptr, nullptr); },
                PDFW_ERR_FILE_STATE},
        Refusal{"close_before_file", [](PdfDocument* d) { return pdfw_file_close(d); },
                PDFW_ERR_FILE_STATE},
        Refusal{"no_path", [](PdfDocument* d) { return pdfw_file_create(d, L"", nullptr); },
                PDFW_ERR_FILE_OPEN},
        Refusal{"icc_path", [](PdfDocument* d) { return pdfw_set_icc_file(d, nullptr); },
                PDFW_ERR_ICC_PATH},
        Refusal{"long_line",
                [](PdfDocument* d) { return pdfw_io_printf(d, "%0300d", 1); },
                PDFW_ERR_LINE_LENGTH}),
    [](const testing::TestParamInfo<Refusal>& i) { return std::string(i.param.name); });

TEST_F(Document, ObjectTable) {
    PdfDocument* doc = nullptr;
    ASSERT_TRUE(pdfw_new(&doc));
    PdfObjectId ids[200];
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(pdfw_obj_new(doc, &ids[i], i % 50 == 0 ? i / 50 + 1 : 0));
    EXPECT_EQ(ids[199].number, 203);
    PdfObjectId found;
    ASSERT_TRUE(pdfw_page_ref(doc, 3, &found));
    EXPECT_EQ(found.number, 104);
    EXPECT_FALSE(pdfw_page_ref(doc, 9, &found));
    EXPECT_FALSE(pdfw_obj_set_page(doc, PdfObjectId{204, 0}, 1));
    EXPECT_FALSE(pdfw_obj_set_offset(doc, PdfObjectId{204, 0}, 1));
    pdfw_destroy(&doc);
}

TEST_F(Dictionary, KeyOrderReplacementAndRemoval) {
    MemoryChannel ch;
    PdfDocument* doc = ch.doc;
    PdfObject* d = pdfw_dict_new(doc);
    ASSERT_TRUE(pdfw_dict_set_name(doc, d, "Type", "Pages"));
    ASSERT_TRUE(pdfw_dict_set_int(doc, d, "Count", 3));
    ASSERT_TRUE(pdfw_dict_set_name(doc, d, "Type", "Page"));
    ASSERT_TRUE(pdfw_dict_set_bool(doc, d, "Flag", 1));
    PdfObject* arr = pdfw_dict_set_array(doc, d, "Box");
    ASSERT_NE(arr, nullptr);
    EXPECT_TRUE(pdfw_array_add_hundredths(doc, arr, 0));
    EXPECT_TRUE(pdfw_array_add_fixed(doc, arr, 1250, 3));
    EXPECT_TRUE(pdfw_array_add_null(doc, arr));
    EXPECT_TRUE(pdfw_array_add_ref(doc, arr, PdfObjectId{3, 0}));
    EXPECT_TRUE(pdfw_array_add_name(doc, arr, "XYZ"));
    EXPECT_FALSE(pdfw_array_add_bytes(doc, arr, nullptr, 0));
    ASSERT_NE(pdfw_dict_set_dict(doc, d, "Empty"), nullptr);
    ASSERT_NE(pdfw_dict_set_array(doc, d, "None"), nullptr);
    ASSERT_TRUE(pdfw_dict_set_string(doc, d, "S", "a(b)"));
    EXPECT_EQ(serialise(doc, d),
              "<<\n/Type /Page /Count 3 /Flag true /Box [ 0 1.250 null 3 0 R /XYZ ]\n"
              "/Empty <<\n>>\n/None [ ]\n/S (a\\(b\\))\n>>\n");

    // Replacing a container frees its children; removing takes key and value.
    ASSERT_TRUE(pdfw_dict_set_int(doc, d, "Box", 5));
    ASSERT_TRUE(pdfw_dict_set_name(doc, d, "Absent", nullptr));
    ASSERT_TRUE(pdfw_dict_set_name(doc, d, "Count", ""));
    ASSERT_TRUE(pdfw_dict_set_string(doc, d, "S", nullptr));
    ASSERT_TRUE(pdfw_dict_set_bytes(doc, d, "Flag", "x", 0));
    ASSERT_TRUE(pdfw_dict_set_text(doc, d, "Empty", nullptr, 0));
    ASSERT_TRUE(pdfw_dict_set_format(doc, d, "None", "", nullptr, 0));
    EXPECT_EQ(serialise(doc, d), "<<\n/Type /Page /Box 5 >>\n");
    ASSERT_TRUE(pdfw_dict_set_name(doc, d, "Type", nullptr));
    ASSERT_TRUE(pdfw_dict_set_name(doc, d, "Box", nullptr));
    EXPECT_EQ(serialise(doc, d), "<<\n>>\n");
    pdfw_object_free(doc, d);
}

TEST_F(Dictionary, TemplateStrings) {
    MemoryChannel ch;
    PdfDocument* doc = ch.doc;
    PdfObject* d = pdfw_dict_new(doc);
    const char* args[] = {"true", "[\"RGB\",1.000000]"};
    ASSERT_TRUE(pdfw_dict_set_format(doc, d, "JS", "loop = %s; c = %s; n = %d; 100%", args, 2));
    PdfObject* js = pdfw_dict_get(doc, d, "/JS");
    ASSERT_NE(js, nullptr);
    EXPECT_EQ(bytes_of(js), "loop = true; c = [\"RGB\",1.000000]; n = %d; 100%");
    // A placeholder without an argument is refused, and the old value stays.
    EXPECT_FALSE(pdfw_dict_set_format(doc, d, "JS", "%s %s %s", args, 2));
    EXPECT_EQ(bytes_of(pdfw_dict_get(doc, d, "/JS")).substr(0, 4), "loop");
    pdfw_object_free(doc, d);
}

TEST_F(TextString, EncodingAndLimits) {
    MemoryChannel ch;
    PdfDocument* doc = ch.doc;
    const uint16_t e_acute[] = {0x00E9};
    PdfObject* s = pdfw_text_string(doc, e_acute, 1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(bytes_of(s), std::string("\xFE\xFF\x00\xE9", 4));
    pdfw_object_free(doc, s);
    const uint16_t abc[] = {'a', 'b', 'c'};
    s = pdfw_text_string(doc, abc, 3);
    EXPECT_EQ(bytes_of(s), "abc");
    pdfw_object_free(doc, s);

    struct Case {
        uint16_t unit;
        int32_t count;
        bool accepted;
    };
    const Case cases[] = {{0x4E2D, 1023, true}, {0x4E2D, 1024, false}, {'x', 2048, true},
                          {'x', 2049, false},   {'x', 0, true}};
    for (const Case& c : cases) {
        std::vector<uint16_t> units(size_t(c.count) + 1, c.unit);
        s = pdfw_text_string(doc, units.data(), c.count);
        EXPECT_EQ(s != nullptr, c.accepted) << c.unit << " x " << c.count;
        if (!c.accepted) {
            EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_STRING_LENGTH);
        }
        pdfw_object_free(doc, s);
    }
    EXPECT_EQ(pdfw_text_string(doc, abc, -1), nullptr);
}

TEST_F(TextString, ReadBack) {
    MemoryChannel ch;
    PdfDocument* doc = ch.doc;
    PdfObject* d = pdfw_dict_new(doc);
    const uint16_t title[] = {'T', 0x00E9, 0xD83D, 0xDE00};
    ASSERT_TRUE(pdfw_dict_set_text(doc, d, "Title", title, 4));
    ASSERT_TRUE(pdfw_dict_set_bytes(doc, d, "Bom", "\xFE\xFF", 2));
    ASSERT_TRUE(pdfw_dict_set_string(doc, d, "Plain", "hello"));

    uint16_t units[8];
    int32_t n = 8;
    EXPECT_EQ(pdfw_dict_get_text(doc, d, "/Title", units, &n), 4);
    EXPECT_EQ(0, std::memcmp(units, title, sizeof title));
    n = 3;  // cut to capacity - 1, terminated
    EXPECT_EQ(pdfw_dict_get_text(doc, d, "/Title", units, &n), 2);
    EXPECT_EQ(units[2], 0);
    n = 8;
    EXPECT_EQ(pdfw_dict_get_text(doc, d, "/Bom", units, &n), 0);
    n = 8;
    EXPECT_EQ(pdfw_dict_get_text(doc, d, "/Plain", units, &n), 5);
    EXPECT_EQ(units[4], 'o');

    char buffer[4];
    n = 4;
    EXPECT_EQ(pdfw_dict_get_bytes(doc, d, "/Plain", buffer, &n), 3);
    EXPECT_STREQ(buffer, "hel");
    n = 0;  // no room even for the terminator
    EXPECT_EQ(pdfw_dict_get_bytes(doc, d, "/Plain", buffer, &n), 0);
    pdfw_object_free(doc, d);
}

TEST_F(KeyPath, Lookups) {
    MemoryChannel ch;
    PdfDocument* doc = ch.doc;
    PdfObject* root = pdfw_dict_new(doc);
    PdfObject* inner = pdfw_dict_set_dict(doc, root, "Inner");
    ASSERT_TRUE(pdfw_dict_set_int(doc, inner, "N", 7));
    ASSERT_TRUE(pdfw_dict_set_ref(doc, root, "Ref", PdfObjectId{5, 0}));
    PdfObject* nul = pdfw_dict_set_array(doc, root, "Arr");
    ASSERT_NE(nul, nullptr);
    std::string long_key(127, 'k');
    ASSERT_TRUE(pdfw_dict_set_int(doc, inner, long_key.c_str(), 1));

    PdfObject* n = pdfw_dict_get(doc, root, "/Inner/N");
    ASSERT_NE(n, nullptr);
    EXPECT_STREQ(n->text, "7");
    EXPECT_NE(pdfw_dict_get(doc, root, ("/Inner/" + long_key + "extra").c_str()), nullptr);
    const char* misses[] = {"Inner/N", "/Ref", "/Ref/X", "/Arr/X", "/Inner/M", "/Inner/N/X", "",
                            "/"};
    for (const char* path : misses) EXPECT_EQ(pdfw_dict_get(doc, root, path), nullptr) << path;
    pdfw_object_free(doc, root);
}

// FileFrame.CompleteDocument checks the offsets kept against a written file.
TEST_F(Serialiser, ObjectFramingAndUnknownKind) {
    MemoryChannel ch;
    PdfDocument* doc = ch.doc;
    PdfObjectId id;
    ASSERT_TRUE(pdfw_obj_new(doc, &id, 0));
    PdfObject* d = pdfw_dict_new(doc);
    ASSERT_TRUE(pdfw_dict_set_bytes(doc, d, "B", "\n", 1));
    ASSERT_TRUE(pdfw_object(doc, id, d));
    EXPECT_EQ(ch.text(), "4 0 obj\n<<\n/B (\\n)\n>>\nendobj\n");

    // A node of a kind the serialiser does not know stops the object.
    PdfObject* bad = pdfw_dict_new(doc);
    bad->kind = PDF_TOKEN_STREAM;
    ASSERT_TRUE(pdfw_dict_set(doc, d, "X", bad));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(pdfw_object(doc, id, d));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "PDF: Error: pdfw_object_sub can't handle PDF_TOKEN_STREAM\n");
    std::string out = ch.text();
    EXPECT_EQ(out.substr(out.size() - 3), "/X ");  // no endobj after the failure
    pdfw_object_free(doc, d);
}

std::string inflate_all(const std::string& z, size_t expected) {
    std::string out(expected + 1, '\0');
    uLongf n = out.size();
    if (uncompress(reinterpret_cast<Bytef*>(&out[0]), &n,
                   reinterpret_cast<const Bytef*>(z.data()), z.size()) != Z_OK)
        return "<inflate failed>";
    out.resize(n);
    return out;
}

TEST_F(StreamObject, CompressesOnlyWhenItPays) {
    std::string content;
    for (int i = 0; i < 40; ++i) content += "q\n0 0 0 rg\n538.58 0 0 403.93 28.35 218.98 cm\nQ\n";
    std::vector<uint8_t> data(content.begin(), content.end());
    MemoryChannel ch;
    PdfObjectId id;
    ASSERT_TRUE(pdfw_obj_stream(ch.doc, data.data(), int32_t(data.size()), &id));
    EXPECT_EQ(id.number, 4);
    EXPECT_EQ(std::string(data.begin(), data.end()), content);  // caller's bytes intact
    std::string out = ch.text();
    const std::string head = "4 0 obj\n<<\n/Length ";
    ASSERT_EQ(out.compare(0, head.size(), head), 0) << out;
    size_t length = std::stoul(out.substr(head.size()));
    size_t start = out.find("stream\n") + 7;
    EXPECT_NE(out.find("/Filter /FlateDecode\n>>\nstream\n"), std::string::npos);
    EXPECT_EQ(out.substr(start + length), "\nendstream\nendobj\n");
    EXPECT_EQ(inflate_all(out.substr(start, length), content.size()), content);

    // Short or incompressible data goes out as it is.
    const char* raw[] = {"", "q\n", "0123456789abcdefghijklmnopqrstuvwxyz"};
    for (const char* r : raw) {
        MemoryChannel plain;
        std::vector<uint8_t> bytes(r, r + std::strlen(r));
        ASSERT_TRUE(pdfw_obj_stream(plain.doc, bytes.data(), int32_t(bytes.size()), &id));
        EXPECT_EQ(plain.text(), "4 0 obj\n<<\n/Length " + std::to_string(bytes.size()) +
                                    "\n>>\nstream\n" + r + "\nendstream\nendobj\n");
    }
}

// The stream writer: where /Length and the Flate filter go, bodies given
// in pieces or handed over whole, dictionary lines that are refused, and
// an abandoned stream that leaves no trace in the file.
struct StreamCase {
    const char* name;
    unsigned flags;
    int32_t margin;
    std::vector<std::string> entries;  // "HEX" adds the two-colour table line
    std::vector<std::string> pieces;   // body pieces; one piece is adopted
    bool end;                          // false: abandoned
    int error;                         // 0 when the end succeeds
    const char* head;                  // up to "stream\n"; # for the length
    bool flate;                        // the body decodes with zlib
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

class StreamWriter : public WriterTest, public testing::WithParamInterface<StreamCase> {};

const std::string kText(600, 'q');

TEST_P(StreamWriter, WritesTheWholeObjectAtTheEnd) {
    const StreamCase& c = GetParam();
    MemoryChannel ch;
    PdfObjectId id{};
    ASSERT_TRUE(pdfw_obj_new(ch.doc, &id, 0));
    PdfStream s;
    pdfw_stream_begin(ch.doc, &s, id, c.flags, c.margin);
    for (const std::string& e : c.entries) {
        static const uint8_t kRgb[6] = {0xFF, 0, 0, 0, 0, 0xFF};
        if (e == "HEX")
            pdfw_stream_entry_hex(&s, "/ColorSpace [/Indexed /DeviceRGB 1 ", kRgb, 6, "]");
        else
            pdfw_stream_entry(&s, "%s", e.c_str());
    }
    std::string body;
    for (const std::string& piece : c.pieces) body += piece;
    if (c.pieces.size() == 1) {
        auto* block = static_cast<uint8_t*>(pdfw_alloc(ch.doc, body.size()));
        std::memcpy(block, body.data(), body.size());
        pdfw_stream_adopt(&s, block, int64_t(body.size()));
    } else {
        for (const std::string& piece : c.pieces) pdfw_stream_write(&s, piece.data(), int64_t(piece.size()));
    }
    if (!c.end) {
        pdfw_stream_abandon(&s);
        EXPECT_EQ(ch.text(), "");
        return;
    }
    EXPECT_EQ(pdfw_stream_end(&s), c.error == 0);
    EXPECT_EQ(pdfw_last_error(ch.doc), c.error);
    const std::string out = ch.text();
    if (c.error) {
        EXPECT_EQ(out, "") << "a failed stream writes nothing";
        return;
    }
    const size_t stream = out.find("stream\n");
    ASSERT_NE(stream, std::string::npos) << out;
    std::string head = out.substr(0, stream + 7);
    const size_t at = head.find("/Length ") + 8;
    const size_t length = std::stoul(head.substr(at));
    head.replace(at, std::to_string(length).size(), "#");
    EXPECT_EQ(head, c.head);
    const std::string data = out.substr(stream + 7, length);
    EXPECT_EQ(out.substr(stream + 7 + length), "\nendstream\nendobj\n");
    EXPECT_EQ(c.flate ? inflate_all(data, body.size()) : data, body);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamWriter,
    testing::Values(
        StreamCase{"entries_then_length", 0, 0, {"/Type /Metadata", "/Subtype /XML"},
                   {"abc", "def", ""}, true, 0,
                   "4 0 obj\n<<\n/Type /Metadata\n/Subtype /XML\n/Length #\n>>\nstream\n", false},
        StreamCase{"adopted_body", 0, 0, {"HEX"}, {"xyz"}, true, 0,
                   "4 0 obj\n<<\n/ColorSpace [/Indexed /DeviceRGB 1 <ff00000000ff>]\n/Length #\n"
                   ">>\nstream\n", false},
        StreamCase{"filter_then_length", PDFW_STREAM_FLATE, 0, {"/N 3"}, {kText}, true, 0,
                   "4 0 obj\n<<\n/N 3\n/Filter /FlateDecode\n/Length #\n>>\nstream\n", true},
        StreamCase{"length_then_filter", PDFW_STREAM_FLATE | PDFW_STREAM_LENGTH_FIRST, 21, {},
                   {kText.substr(0, 300), kText.substr(300)}, true, 0,
                   "4 0 obj\n<<\n/Length #\n/Filter /FlateDecode\n>>\nstream\n", true},
        StreamCase{"too_small_to_pay", PDFW_STREAM_FLATE | PDFW_STREAM_LENGTH_FIRST, 21, {},
                   {"q\nQ\n"}, true, 0, "4 0 obj\n<<\n/Length #\n>>\nstream\n", false},
        StreamCase{"entry_too_long", 0, 0, {std::string(256, 'k')}, {"a", "b"}, true,
                   PDFW_ERR_LINE_LENGTH, "", false},
        StreamCase{"abandoned", PDFW_STREAM_FLATE, 0, {"/N 3"}, {kText, "more"}, false, 0, "",
                   false}),
    [](const testing::TestParamInfo<StreamCase>& i) { return std::string(i.param.name); });

// zlib infcover style: every allocation of a small object tree can fail; each
// failure is clean and leaves nothing allocated.
TEST_F(Allocator, EveryRequestCanFail) {
    int succeeded_at = 0;
    for (unsigned n = 1; n < 200 && !succeeded_at; ++n) {
        PdfDocument* doc = nullptr;
        pdfw_alloc_fail_after(n);
        if (!pdfw_new(&doc)) {
            EXPECT_EQ(doc, nullptr);
            continue;
        }
        PdfObject* d = pdfw_dict_new(doc);
        const uint16_t text[] = {0x00E9, 'x'};
        PdfObject* arr = nullptr;
        bool ok = d && pdfw_dict_set_name(doc, d, "Type", "Page") &&
                  pdfw_dict_set_text(doc, d, "T", text, 2) &&
                  (arr = pdfw_dict_set_array(doc, d, "A")) != nullptr &&
                  pdfw_array_add_hundredths(doc, arr, 150) &&
                  pdfw_dict_set_name(doc, d, "Type", "Pages");
        pdfw_alloc_fail_after(0);
        if (ok) {
            succeeded_at = int(n);
        } else {
            EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_NO_MEMORY) << "request " << n;
            // A failed set leaves the previous value.
            PdfObject* type = d ? pdfw_dict_get(doc, d, "/Type") : nullptr;
            if (type) {
                EXPECT_STREQ(type->text, "Page");
            }
        }
        pdfw_object_free(doc, d);
        pdfw_destroy(&doc);
        EXPECT_EQ(pdfw_mem_all_in_use(), 0) << "request " << n;
    }
    EXPECT_GT(succeeded_at, 5);
}

}  // namespace
