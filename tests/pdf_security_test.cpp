// Standard security handler: RC4 known answers, the setup's refusals, the
// object keys, and documents written through the writer API checked by qpdf,
// poppler and a by-hand decryption of one string and one stream. RC4, MD5
// and the object-key derivation are writer internals, tested here on
// purpose through the private header.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pdf/pdfw_private.h"
#include "support/tools.h"
#include "support/writer_fixture.h"

namespace {

std::vector<uint8_t> unhex(const std::string& s) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        out.push_back(uint8_t(std::stoul(s.substr(i, 2), nullptr, 16)));
    return out;
}

// ---- RC4 ------------------------------------------------------------------

struct Rc4Vector {
    std::vector<uint8_t> key;
    size_t offset;
    const char* keystream;
};

class Rc4Known : public WriterTest, public ::testing::WithParamInterface<Rc4Vector> {};

// RFC 6229: keystream bytes at offsets 0 and 16, found by encrypting zeros.
// The stream is produced in two calls to check that the state carries over.
TEST_P(Rc4Known, MatchesPublishedKeystream) {
    const Rc4Vector& v = GetParam();
    std::vector<uint8_t> buf(v.offset + 16, 0);
    Rc4State st;
    rc4_init(&st, v.key.data(), v.key.size());
    rc4_crypt(&st, buf.data(), 7);
    rc4_crypt(&st, buf.data() + 7, buf.size() - 7);
    EXPECT_EQ(hex_text(buf.data() + v.offset, 16), v.keystream);
}

const std::vector<uint8_t> kKey40 = {1, 2, 3, 4, 5};
const std::vector<uint8_t> kKey128 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

INSTANTIATE_TEST_SUITE_P(
    Rfc6229, Rc4Known,
    ::testing::Values(Rc4Vector{kKey40, 0, "b2396305f03dc027ccc3524a0a1118a8"},
                      Rc4Vector{kKey40, 16, "6982944f18fc82d589c403a47a0d0919"},
                      Rc4Vector{kKey128, 0, "9ac7cc9a609d1ef7b2932899cde41b97"},
                      Rc4Vector{kKey128, 16, "5248c4959014126a6e8a84f11d1a9e1c"}),
    [](const ::testing::TestParamInfo<Rc4Vector>& info) {
        return "Key" + std::to_string(info.param.key.size() * 8) + "Offset" +
               std::to_string(info.param.offset);
    });

// ---- Setup on its own ---------------------------------------------------------

using SecuritySetup = WriterTest;
using ObjectKey = WriterTest;

// A silent document, destroyed at the end of the scope.
struct DocGuard {
    PdfDocument* doc = nullptr;
    DocGuard() {
        pdfw_new(&doc);
        pdfw_set_trace(doc, nullptr, nullptr);
    }
    ~DocGuard() { pdfw_destroy(&doc); }
};

// Writes the document with no pages to path and returns the file's bytes.
std::string write_empty(PdfDocument* doc, const std::string& path) {
    EXPECT_TRUE(pdfw_file_create(doc, wide(path).c_str(), nullptr));
    EXPECT_TRUE(pdfw_file_close(doc));
    return read_all(path);
}

TEST_F(SecuritySetup, RefusedInPdfaModeLeavesEncryptionOff) {
    DocGuard g;
    ASSERT_TRUE(g.doc);
    ASSERT_TRUE(pdfw_set_icc_file(g.doc, L"profile.icc"));
    int32_t objects = pdfw_obj_count(g.doc);
    EXPECT_FALSE(pdfw_set_encryption(g.doc, "o", "u", 1, -4));
    EXPECT_EQ(pdfw_last_error(g.doc), PDFW_ERR_PDFA_ENCRYPTION);
    EXPECT_EQ(pdfw_obj_count(g.doc), objects);
    EXPECT_FALSE(g.doc->security.on);
    EXPECT_FALSE(g.doc->security.dict_present);
}

TEST_F(SecuritySetup, StringsPassUnchangedWhenOff) {
    DocGuard g;
    const uint8_t bytes[] = {'a', 'b', 'c'};
    uint8_t out[3 + 32];
    int64_t n = 0;
    ASSERT_TRUE(pdfw_encrypt_string(g.doc, PdfObjectId{4, 0}, bytes, 3, out, &n));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), size_t(n)), "abc");
}

// Every scheme: its version, key length and self-check line, and an
// identifier of its own per document unless the random source is seeded.
struct SchemeCase {
    int choice;
    int version;
    int key_length;
    int r;
};

TEST_F(SecuritySetup, IdentifierIsFreshAndSelfCheckPasses) {
    const SchemeCase cases[] = {{PDFW_SECURITY_RC4_40, 0x103, 5, 2},
                                {PDFW_SECURITY_RC4_128, 0x104, 16, 3},
                                {PDFW_SECURITY_AES_128, 0x106, 16, 4},
                                {PDFW_SECURITY_AES_256, 0x107, 32, 6}};
    for (const SchemeCase& c : cases) {
        std::string ids[3];
        for (int k = 0; k < 3; ++k) {
            DocGuard g;
            if (k > 0) {
                ASSERT_TRUE(pdfw_set_random_seed(g.doc, "seed", 4));
            }
            std::string out;
            pdfw_set_trace(g.doc, [](void* o, const char* line) { *static_cast<std::string*>(o) += line; },
                           &out);
            bool ok = pdfw_set_encryption(g.doc, "owner", "user", c.choice, -64);
            ASSERT_TRUE(ok) << c.choice;
            EXPECT_EQ(out, "PDF security: Owner password is valid, User password is valid\n");
            ids[k] = hex_text(g.doc->security.file_id, 16);
            EXPECT_EQ(g.doc->required_version, c.version);
            EXPECT_EQ(g.doc->security.key_length, c.key_length);
            EXPECT_EQ(g.doc->security.r, c.r);
            EXPECT_EQ(g.doc->security.dict_id.number, 4);
            EXPECT_FALSE(pdfw_set_random_seed(g.doc, "late", 4));
        }
        EXPECT_NE(ids[0], std::string(32, '0'));
        EXPECT_NE(ids[0], ids[1]) << "an unseeded identifier is the document's own";
        EXPECT_EQ(ids[1], ids[2]) << "a seeded one is reproducible";
    }
}

// Only the first 32 password bytes count; a null password is an empty one.
// With the clock pinned, equal keys give equal files.
TEST_F(SecuritySetup, PasswordsCutAt32BytesAndNullIsEmpty) {
    struct Pair {
        const char* owner_a;
        const char* user_a;
        const char* owner_b;
        const char* user_b;
    } pairs[] = {
        {"0123456789abcdef0123456789ABCDEFxyz", "u", "0123456789abcdef0123456789ABCDEF", "u"},
        {"o", "0123456789abcdef0123456789ABCDEF!", "o", "0123456789abcdef0123456789ABCDEF"},
        {nullptr, nullptr, "", ""},
    };
    PinnedPlatform pin;
    const std::string dir = make_temp_dir();
    auto file_of = [&](const char* owner, const char* user) {
        DocGuard g;
        pdfw_set_random_seed(g.doc, "same", 4);  // the same identifier for both
        EXPECT_TRUE(pdfw_set_encryption(g.doc, owner, user, 1, -4));
        return write_empty(g.doc, dir + "/p.pdf");
    };
    for (const Pair& p : pairs) EXPECT_EQ(file_of(p.owner_a, p.user_a), file_of(p.owner_b, p.user_b));
    EXPECT_NE(file_of("o", "u"), file_of("o", "v"));
    remove_tree(dir);
}

// Each string starts a fresh RC4 state: the same bytes in the same object
// encrypt alike, in another object differently.
TEST_F(SecuritySetup, EachStringStartsAFreshState) {
    DocGuard g;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(pdfw_set_encryption(g.doc, "", "", 0, -4));
    testing::internal::GetCapturedStdout();
    uint8_t a[8 + 32], b[8 + 32], c[8 + 32];
    const uint8_t* m = reinterpret_cast<const uint8_t*>("message");
    int64_t n = 0;
    ASSERT_TRUE(pdfw_encrypt_string(g.doc, PdfObjectId{7, 0}, m, 7, a, &n));
    ASSERT_TRUE(pdfw_encrypt_string(g.doc, PdfObjectId{7, 0}, m, 7, b, &n));
    ASSERT_TRUE(pdfw_encrypt_string(g.doc, PdfObjectId{8, 0}, m, 7, c, &n));
    EXPECT_EQ(n, 7);
    EXPECT_EQ(hex_text(a, 7), hex_text(b, 7));
    EXPECT_NE(hex_text(a, 7), hex_text("message", 7));
    EXPECT_NE(hex_text(a, 7), hex_text(c, 7));
}

// Once the file exists, setup would leave its first objects in clear text
// under an encryption dictionary; it is refused, as is a second setup.
TEST_F(SecuritySetup, RefusedOnceTheFileExistsOrTwice) {
    const std::string dir = make_temp_dir();
    {
        DocGuard g;
        ASSERT_TRUE(pdfw_file_create(g.doc, wide(dir + "/late.pdf").c_str(), nullptr));
        EXPECT_FALSE(pdfw_set_encryption(g.doc, "o", "u", 1, -4));
        EXPECT_EQ(pdfw_last_error(g.doc), PDFW_ERR_FILE_STATE);
        ASSERT_TRUE(pdfw_file_close(g.doc));
        const std::string pdf = read_all(dir + "/late.pdf");
        EXPECT_EQ(pdf.substr(0, 9), "%PDF-1.3\n");
        EXPECT_EQ(pdf.find("/Encrypt"), std::string::npos);
    }
    {
        DocGuard g;
        ASSERT_TRUE(pdfw_set_encryption(g.doc, "o", "u", 0, -4));
        int32_t objects = pdfw_obj_count(g.doc);
        EXPECT_FALSE(pdfw_set_encryption(g.doc, "o", "u", 1, -4));
        EXPECT_EQ(pdfw_last_error(g.doc), PDFW_ERR_FILE_STATE);
        EXPECT_EQ(pdfw_obj_count(g.doc), objects);
        // Still the first setup's 40-bit revision 2.
        const std::string pdf = write_empty(g.doc, dir + "/twice.pdf");
        EXPECT_EQ(pdf.substr(0, 9), "%PDF-1.3\n");
        EXPECT_NE(pdf.find("\n/V 1\n/R 2\n/O <"), std::string::npos);
    }
    remove_tree(dir);
}

// Both /ID elements equal, and not the digest of nothing that every
// document once shared.
bool has_own_identifier(const std::string& pdf) {
    const size_t at = pdf.rfind("/ID [<");
    if (at == std::string::npos || pdf.size() < at + 6 + 32 + 2 + 32 + 2) return false;
    const std::string a = pdf.substr(at + 6, 32), b = pdf.substr(at + 6 + 32 + 2, 32);
    return a == b && a != "D41D8CD98F00B204E9800998ECF8427E" && a != std::string(32, '0');
}

// ---- Documents through the writer API ----------------------------------------------

struct Security {
    int choice;  // PDFW_SECURITY_*
    std::string owner;
    std::string user;
    int32_t p;
};

const char kTitle[] = "Keys (and) \\ back\nslash\r";

// One page showing a 16 x 8 bitmap with a colour table of four colours in
// 256 entries: an indexed image whose table is a hex string in its
// dictionary and whose samples are Flate-coded, then encrypted. Standard
// output of the writer in *output.
bool write_document(const std::string& path, const Security* sec, std::string* output) {
    static const uint8_t kTable[16] = {0x00, 0x00, 0x00, 0, 0x10, 0x20, 0xFF, 0,
                                       0x30, 0xC0, 0x10, 0, 0xE0, 0xF0, 0xF0, 0};
    uint8_t table[1024] = {};
    std::memcpy(table, kTable, sizeof kTable);
    DibHandle dib = make_dib(16, 8, 8, 3780, table);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x) set_pixel(dib, x, y, uint32_t(y + x / 3) % 4);
    PinnedPlatform pin;
    PdfDocument* doc = nullptr;
    PdfEncodingChoices e{};
    testing::internal::CaptureStdout();
    bool ok = pdfw_new(&doc) && pdfw_get_encodings(doc, &e);
    e.palette = PDFW_FILTER_FLATE;
    ok = ok && pdfw_set_encodings(doc, &e) &&
         (!sec || pdfw_set_encryption(doc, sec->owner.c_str(), sec->user.c_str(), sec->choice,
                                      sec->p)) &&
         pdfw_file_create(doc, wide(path).c_str(), "%Tarvo-0.7") &&
         pdfw_impage(doc, dib, nullptr, nullptr) &&
         pdfw_set_info(doc, "/Title", wide(kTitle).c_str()) &&
         pdfw_set_info(doc, "/Subject", L"S\u00e9rie \u263a") && pdfw_file_close(doc);
    *output = testing::internal::GetCapturedStdout();
    pdfw_destroy(&doc);
    dib_command(DIB_OP_FREE, &dib, nullptr);
    return ok;
}

// ---- Reading the written file back by hand -----------------------------------------

// Text of "N 0 obj" up to its "endobj".
std::string object_body(const std::string& pdf, int32_t number) {
    std::string head = "\n" + std::to_string(number) + " 0 obj\n";
    size_t at = pdf.find(head);
    if (at == std::string::npos) return std::string();
    at += head.size();
    return pdf.substr(at, pdf.find("\nendobj", at) - at);
}

std::string stream_bytes(const std::string& body) {
    size_t length_at = body.find("/Length ");
    size_t data_at = body.find("stream\n");
    if (length_at == std::string::npos || data_at == std::string::npos) return std::string();
    return body.substr(data_at + 7, std::stoul(body.substr(length_at + 8)));
}

// The literal string after key, with the writer's five escapes undone.
std::string literal_after(const std::string& body, const std::string& key) {
    size_t at = body.find(key + " (");
    if (at == std::string::npos) return std::string();
    std::string out;
    for (at += key.size() + 2; at < body.size() && body[at] != ')'; ++at) {
        char c = body[at];
        if (c == '\\') {
            c = body[++at];
            if (c == 'n') c = '\n';
            if (c == 'r') c = '\r';
        }
        out += c;
    }
    return out;
}

std::string hex_after(const std::string& text, const std::string& key) {
    size_t at = text.find(key + "<");
    if (at == std::string::npos) return std::string();
    at += key.size() + 1;
    return text.substr(at, text.find('>', at) - at);
}

void rc4_bytes(const uint8_t* key, size_t n, std::string* data) {
    Rc4State st;
    rc4_init(&st, key, n);
    rc4_crypt(&st, reinterpret_cast<uint8_t*>(&(*data)[0]), data->size());
}

std::vector<uint8_t> md5_of(const std::vector<uint8_t>& bytes) {
    Md5Context ctx;
    md5_init(&ctx);
    md5_update(&ctx, bytes.data(), bytes.size());
    std::vector<uint8_t> d(16);
    md5_final(&ctx, d.data());
    return d;
}

// File key from the user password and the values in the file (PDF 1.4
// reference, algorithm 3.2).
std::vector<uint8_t> file_key_from(const std::string& pdf, const std::string& user, int r) {
    static const uint8_t kPad[32] = {0x28, 0xBF, 0x4E, 0x5E, 0x4E, 0x75, 0x8A, 0x41,
                                     0x64, 0x00, 0x4E, 0x56, 0xFF, 0xFA, 0x01, 0x08,
                                     0x2E, 0x2E, 0x00, 0xB6, 0xD0, 0x68, 0x3E, 0x80,
                                     0x2F, 0x0C, 0xA9, 0xFE, 0x64, 0x53, 0x69, 0x7A};
    std::vector<uint8_t> in(user.begin(), user.begin() + long(std::min<size_t>(user.size(), 32)));
    in.insert(in.end(), kPad, kPad + (32 - in.size()));
    std::vector<uint8_t> o = unhex(hex_after(pdf, "/O "));
    in.insert(in.end(), o.begin(), o.end());
    size_t p_at = pdf.find("\n/P ");
    uint32_t p = p_at == std::string::npos ? 0 : uint32_t(std::stol(pdf.substr(p_at + 4)));
    for (int i = 0; i < 4; ++i) in.push_back(uint8_t(p >> (8 * i)));
    std::vector<uint8_t> id = unhex(hex_after(pdf, "/ID ["));
    in.insert(in.end(), id.begin(), id.end());
    size_t n = r == 3 ? 16 : 5;
    std::vector<uint8_t> key = md5_of(in);
    for (int i = 0; r == 3 && i < 50; ++i) key = md5_of(std::vector<uint8_t>(key.begin(), key.begin() + long(n)));
    key.resize(n);
    return key;
}

// Decrypts with the object key of (number, generation) derived from the
// file key (algorithm 3.1).
std::string decrypt_object_bytes(std::vector<uint8_t> key, int32_t number, std::string data,
                                 uint16_t generation = 0) {
    size_t n = key.size();
    key.push_back(uint8_t(number));
    key.push_back(uint8_t(number >> 8));
    key.push_back(uint8_t(number >> 16));
    key.push_back(uint8_t(generation));
    key.push_back(uint8_t(generation >> 8));
    std::vector<uint8_t> object_key = md5_of(key);
    rc4_bytes(object_key.data(), std::min<size_t>(n + 5, 16), &data);
    return data;
}

// The object key takes three bytes of the number and two of the
// generation; 5 + 5 bytes give a 10-byte key, 16 + 5 are cut to 16.
TEST_F(ObjectKey, MatchesTheAlgorithmForEveryNumberAndGeneration) {
    const PdfObjectId ids[] = {{7, 0}, {0x123456, 0}, {7, 0x0102}, {0x7F00FF, 0xFFFF}};
    const std::string dir = make_temp_dir();
    for (int choice : {0, 1}) {
        DocGuard g;
        ASSERT_TRUE(pdfw_set_encryption(g.doc, "o", "u", choice, -4));
        const std::vector<uint8_t> key =
            file_key_from(write_empty(g.doc, dir + "/key.pdf"), "u", choice == 1 ? 3 : 2);
        const std::string plain = "The quick brown fox";
        for (const PdfObjectId& id : ids) {
            std::string data(plain.size(), '\0');
            int64_t n = 0;
            ASSERT_TRUE(pdfw_encrypt_string(g.doc, id,
                                            reinterpret_cast<const uint8_t*>(plain.data()),
                                            int64_t(plain.size()),
                                            reinterpret_cast<uint8_t*>(&data[0]), &n));
            EXPECT_EQ(decrypt_object_bytes(key, id.number, data, id.generation), plain)
                << choice << " " << id.number << " " << id.generation;
        }
    }
    remove_tree(dir);
}

// ---- Encrypted documents against qpdf and poppler ---------------------------------

// Number of the image XObject.
int32_t image_object(const std::string& pdf) {
    const size_t at = pdf.find(" 0 obj\n<<\n/Subtype /Image\n");
    return at == std::string::npos ? 0 : std::atoi(pdf.c_str() + pdf.rfind('\n', at) + 1);
}

struct DocCase {
    const char* name;
    Security sec;
};

void PrintTo(const DocCase& c, std::ostream* os) { *os << c.name; }

class EncryptedFiles : public WriterTest {
protected:
    void SetUp() override {
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override {
        WriterTest::TearDown();
        if (!HasFailure()) remove_tree(dir_);
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string qpdf(const std::string& password, std::vector<std::string> args, int* status) {
        std::vector<std::string> argv = {"qpdf", "--password-mode=bytes", "--password=" + password};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        *status = run_output(argv, &out);
        return out;
    }
    std::string dir_;
};

class EncryptedDocument : public EncryptedFiles, public ::testing::WithParamInterface<DocCase> {};

TEST_P(EncryptedDocument, OpensWithEitherPasswordAndDecryptsToThePlainDocument) {
    const Security& sec = GetParam().sec;
    const bool wide = sec.choice == 1;
    std::string said;
    ASSERT_TRUE(write_document(path("plain.pdf"), nullptr, &said));
    ASSERT_TRUE(write_document(path("enc.pdf"), &sec, &said)) << said;
    EXPECT_NE(said.find("PDF security: Owner password is valid, User password is valid\n"),
              std::string::npos);
    const std::string pdf = read_all(path("enc.pdf"));
    const std::string plain = read_all(path("plain.pdf"));
    // The encryption dictionary takes number 4, which the plain image has.
    const int32_t image = image_object(pdf), plain_image = image_object(plain);
    ASSERT_EQ(image, 5);
    ASSERT_EQ(plain_image, 4);

    // The frame: header version, dictionary entries, /Encrypt and /ID.
    EXPECT_EQ(pdf.compare(0, 8, wide ? "%PDF-1.4" : "%PDF-1.3"), 0);
    EXPECT_NE(pdf.find(wide ? "\n4 0 obj\n<<\n/Filter /Standard\n/V 2\n/R 3\n/Length 128\n/O <"
                            : "\n4 0 obj\n<<\n/Filter /Standard\n/V 1\n/R 2\n/O <"),
              std::string::npos);
    EXPECT_NE(pdf.find("\n/P " + std::to_string(sec.p) + "\n>>\nendobj\n"), std::string::npos);
    EXPECT_NE(pdf.find("/Encrypt 4 0 R\n"), std::string::npos);
    EXPECT_TRUE(has_own_identifier(pdf)) << pdf.substr(pdf.rfind("trailer"));

    int status = 0;
    std::string out = qpdf(sec.user, {"--check", path("enc.pdf")}, &status);
    EXPECT_EQ(status, 0) << out;

    // Either password opens it with the right revision, /P and key length.
    std::string key_hex;
    for (int as_owner : {0, 1}) {
        const std::string& password = as_owner ? sec.owner : sec.user;
        if (as_owner && sec.owner.empty()) continue;
        out = qpdf(password, {"--show-encryption", "--show-encryption-key", path("enc.pdf")}, &status);
        EXPECT_EQ(status, 0) << out;
        EXPECT_NE(out.find(wide ? "R = 3\n" : "R = 2\n"), std::string::npos) << out;
        EXPECT_NE(out.find("P = " + std::to_string(sec.p) + "\n"), std::string::npos) << out;
        // An empty owner password makes the user password the owner's too.
        bool owner_too = as_owner || sec.owner.empty() ||
                         sec.owner.substr(0, 32) == sec.user.substr(0, 32);
        bool user_too = !as_owner || sec.owner.substr(0, 32) == sec.user.substr(0, 32);
        EXPECT_EQ(out.find("Supplied password is owner password") != std::string::npos, owner_too)
            << out;
        EXPECT_EQ(out.find("Supplied password is user password") != std::string::npos, user_too)
            << out;
        size_t at = out.find("Encryption key = ");
        ASSERT_NE(at, std::string::npos) << out;
        key_hex = out.substr(at + 17, out.find('\n', at) - at - 17);
        EXPECT_EQ(key_hex.size(), wide ? 32u : 10u);
    }
    if (!sec.user.empty()) {
        qpdf("x" + sec.user, {"--decrypt", path("enc.pdf"), path("wrong.pdf")}, &status);
        EXPECT_NE(status, 0);
    }

    // Decrypted, the strings and the image equal the plain ones.
    out = qpdf(sec.user, {"--decrypt", path("enc.pdf"), path("dec.pdf")}, &status);
    ASSERT_EQ(status, 0) << out;
    // qpdf renumbers what it rewrites, so objects are read from the encrypted
    // file itself, which qpdf decrypts as it reads.
    std::string dec_info, plain_info, dec_samples, plain_samples;
    dec_info = qpdf(sec.user, {"--show-object=2", path("enc.pdf")}, &status);
    run_output({"qpdf", "--show-object=2", path("plain.pdf")}, &plain_info);
    EXPECT_EQ(dec_info, plain_info);
    EXPECT_NE(plain_info.find("/Title (Keys \\(and\\) \\\\ back\\nslash\\r)"), std::string::npos)
        << plain_info;
    dec_samples = qpdf(sec.owner.empty() ? sec.user : sec.owner,
                       {"--show-object=" + std::to_string(image), "--filtered-stream-data",
                        path("enc.pdf")},
                       &status);
    run_output({"qpdf", "--show-object=" + std::to_string(plain_image), "--filtered-stream-data",
                path("plain.pdf")},
               &plain_samples);
    EXPECT_EQ(plain_samples.size(), 16u * 8u);
    EXPECT_EQ(dec_samples, plain_samples);

    ASSERT_EQ(run_output({"pdfimages", path("dec.pdf"), path("d")}, &out), 0) << out;
    ASSERT_EQ(run_output({"pdfimages", path("plain.pdf"), path("p")}, &out), 0) << out;
    std::string dec_image = read_all(path("d-000.ppm"));
    EXPECT_EQ(dec_image.size(), 12u + 16 * 8 * 3);  // "P6\n16 8\n255\n"
    EXPECT_EQ(dec_image, read_all(path("p-000.ppm")));
    EXPECT_EQ(dec_image.substr(12 + 9, 3), "\xFF\x20\x10");  // fourth pixel, index 1

    // By hand: the file key from the published algorithm matches qpdf's, and
    // the object keys decrypt one stream (Flate-coded before it was
    // encrypted) and one string to the plain bytes. /Title follows /Author in
    // its object, so it shows that each string starts a fresh RC4 state.
    std::vector<uint8_t> key = file_key_from(pdf, sec.user, wide ? 3 : 2);
    EXPECT_EQ(hex_text(key.data(), key.size()), key_hex);
    const std::string coded = stream_bytes(object_body(plain, plain_image));
    std::string samples = stream_bytes(object_body(pdf, image));
    ASSERT_FALSE(samples.empty());
    EXPECT_NE(samples, coded);
    EXPECT_EQ(decrypt_object_bytes(key, image, samples), coded);
    std::string title = literal_after(object_body(pdf, 2), "/Title");
    EXPECT_EQ(title.size(), std::strlen(kTitle));
    EXPECT_EQ(decrypt_object_bytes(key, 2, title), kTitle);
}

INSTANTIATE_TEST_SUITE_P(
    Passwords, EncryptedDocument,
    ::testing::Values(
        DocCase{"Rc4_40_BothEmpty", {0, "", "", -64}},
        DocCase{"Rc4_40_OwnerAndUser", {0, "owner", "user", -4}},
        DocCase{"Rc4_40_Latin1", {0, "\xE9t\xE9", "gr\xFC\xDF", -60}},
        DocCase{"Rc4_40_OnlyUser", {0, "", "secret", -64}},
        DocCase{"Rc4_128_BothEmpty", {1, "", "", -64}},
        DocCase{"Rc4_128_OwnerAndUser", {1, "owner", "user", -4}},
        DocCase{"Rc4_128_Exactly32AndLonger",
                {1, "0123456789abcdef0123456789ABCDEF",
                 "user-password-longer-than-32-bytes-0123456789", -44}},
        DocCase{"Rc4_128_Latin1OwnerOnly", {1, "\xC5ngstr\xF6m", "", -4}}),
    [](const ::testing::TestParamInfo<DocCase>& info) { return std::string(info.param.name); });

// AES documents: qpdf opens them with either password, names the revision
// and crypt filter, refuses a wrong password, and decrypts them to the plain
// document; no plain string or image byte shows in the file.
struct AesCase {
    const char* name;
    Security sec;
    const char* revision;  // qpdf's "R = n" line
    const char* method;    // qpdf's stream and string method
};

void PrintTo(const AesCase& c, std::ostream* os) { *os << c.name; }

class AesCases : public EncryptedFiles, public ::testing::WithParamInterface<AesCase> {};

TEST_P(AesCases, OpenWithEitherPasswordAndDecryptToThePlainDocument) {
    const AesCase& c = GetParam();
    const Security& sec = c.sec;
    std::string said;
    ASSERT_TRUE(write_document(path("plain.pdf"), nullptr, &said));
    ASSERT_TRUE(write_document(path("enc.pdf"), &sec, &said)) << said;
    const std::string pdf = read_all(path("enc.pdf"));
    const std::string plain = read_all(path("plain.pdf"));
    EXPECT_TRUE(has_own_identifier(pdf));
    EXPECT_EQ(pdf.find("Keys"), std::string::npos) << "the title in clear text";
    const std::string plain_stream = stream_bytes(object_body(plain, image_object(plain)));
    ASSERT_GT(plain_stream.size(), 8u);
    EXPECT_EQ(pdf.find(plain_stream.substr(0, 8)), std::string::npos) << "image bytes in clear";

    int status = 0;
    std::string out = qpdf(sec.user, {"--check", path("enc.pdf")}, &status);
    EXPECT_EQ(status, 0) << out;
    for (const std::string& password : {sec.user, sec.owner}) {
        if (password.empty() && &password == &sec.owner) continue;
        out = qpdf(password, {"--show-encryption", path("enc.pdf")}, &status);
        EXPECT_EQ(status, 0) << out;
        EXPECT_NE(out.find(c.revision), std::string::npos) << out;
        EXPECT_NE(out.find(std::string("stream encryption method: ") + c.method), std::string::npos)
            << out;
        EXPECT_NE(out.find(std::string("string encryption method: ") + c.method), std::string::npos)
            << out;
        EXPECT_NE(out.find("P = " + std::to_string(sec.p) + "\n"), std::string::npos) << out;
    }
    qpdf("x" + sec.user, {"--check", path("enc.pdf")}, &status);
    EXPECT_NE(status, 0) << "a wrong password opens it";

    std::string dec_info, plain_info, dec_samples, plain_samples;
    dec_info = qpdf(sec.user, {"--show-object=2", path("enc.pdf")}, &status);
    run_output({"qpdf", "--show-object=2", path("plain.pdf")}, &plain_info);
    EXPECT_EQ(dec_info, plain_info);
    dec_samples = qpdf(sec.user, {"--show-object=" + std::to_string(image_object(pdf)),
                                  "--filtered-stream-data", path("enc.pdf")}, &status);
    run_output({"qpdf", "--show-object=" + std::to_string(image_object(plain)),
                "--filtered-stream-data", path("plain.pdf")}, &plain_samples);
    EXPECT_EQ(dec_samples, plain_samples);
    ASSERT_EQ(run_output({"pdfinfo", "-upw", sec.user, path("enc.pdf")}, &out), 0) << out;
    EXPECT_NE(out.find(std::string("algorithm:") + (c.sec.choice == PDFW_SECURITY_AES_256
                                                        ? "AES-256"
                                                        : "AES")),
              std::string::npos)
        << out;
    if (tool_available("mutool")) {
        EXPECT_EQ(run_output({"mutool", "info", "-p", sec.user, path("enc.pdf")}, &out), 0) << out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Passwords, AesCases,
    ::testing::Values(
        AesCase{"Aes128_OwnerAndUser", {PDFW_SECURITY_AES_128, "owner", "user", -3904}, "R = 4",
                "AESv2"},
        AesCase{"Aes256_OwnerAndUser", {PDFW_SECURITY_AES_256, "owner", "user", -3904}, "R = 6",
                "AESv3"},
        AesCase{"Aes256_Utf8", {PDFW_SECURITY_AES_256, "\xC3\xA9t\xC3\xA9", "gr\xC3\xBC\xC3\x9F",
                                -1028}, "R = 6", "AESv3"},
        AesCase{"Aes256_OnlyUser", {PDFW_SECURITY_AES_256, "", "secret", -3904}, "R = 6", "AESv3"}),
    [](const ::testing::TestParamInfo<AesCase>& info) { return std::string(info.param.name); });

}  // namespace
