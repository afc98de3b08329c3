// Standard security handler: RC4 known answers, the setup's refusals, and
// documents written through the writer API checked by qpdf, poppler and a
// by-hand decryption of one string and one stream.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pdf/pdfw_private.h"
#include "platform/platform.h"
#include "support/tools.h"

namespace {

std::string hex(const uint8_t* p, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += kDigits[p[i] >> 4];
        s += kDigits[p[i] & 15];
    }
    return s;
}

std::vector<uint8_t> unhex(const std::string& s) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        out.push_back(uint8_t(std::stoul(s.substr(i, 2), nullptr, 16)));
    return out;
}

std::string read_all(const std::string& path) {
    std::string bytes;
    read_file(path, &bytes);
    return bytes;
}

// Standard output and error together: qpdf reports on both.
int run(const std::vector<std::string>& argv, std::string* output) {
    CommandResult r = run_command(argv);
    if (output) *output = r.out + r.err;
    return r.status;
}


// ---- RC4 ------------------------------------------------------------------

struct Rc4Vector {
    std::vector<uint8_t> key;
    size_t offset;
    const char* keystream;
};

class Rc4Known : public ::testing::TestWithParam<Rc4Vector> {};

// RFC 6229: keystream bytes at offsets 0 and 16, found by encrypting zeros.
// The stream is produced in two calls to check that the state carries over.
TEST_P(Rc4Known, MatchesPublishedKeystream) {
    const Rc4Vector& v = GetParam();
    std::vector<uint8_t> buf(v.offset + 16, 0);
    Rc4State st;
    rc4_init(&st, v.key.data(), v.key.size());
    rc4_crypt(&st, buf.data(), 7);
    rc4_crypt(&st, buf.data() + 7, buf.size() - 7);
    EXPECT_EQ(hex(buf.data() + v.offset, 16), v.keystream);
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

struct DocGuard {
    PdfDocument* doc = nullptr;
    DocGuard() { pdfw_new(&doc); }
    ~DocGuard() {
        if (doc) pdfw_destroy(&doc);
        EXPECT_EQ(pdfw_mem_all_in_use(), 0);
    }
};

TEST(SecuritySetup, RefusedInPdfaModeWithNothingChanged) {
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

TEST(SecuritySetup, StringsPassUnchangedWhenOff) {
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

TEST(SecuritySetup, IdentifierIsFreshAndSelfCheckPasses) {
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
            testing::internal::CaptureStdout();
            bool ok = pdfw_set_encryption(g.doc, "owner", "user", c.choice, -64);
            std::string out = testing::internal::GetCapturedStdout();
            ASSERT_TRUE(ok) << c.choice;
            EXPECT_EQ(out, "PDF security: Owner password is valid, User password is valid\n");
            ids[k] = hex(g.doc->security.file_id, 16);
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
TEST(SecuritySetup, PasswordsCutAt32BytesAndNullIsEmpty) {
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
    auto o_and_u = [](const char* owner, const char* user) {
        DocGuard g;
        pdfw_set_random_seed(g.doc, "same", 4);  // the same identifier for both
        testing::internal::CaptureStdout();
        EXPECT_TRUE(pdfw_set_encryption(g.doc, owner, user, 1, -4));
        testing::internal::GetCapturedStdout();
        return hex(g.doc->security.o, 32) + hex(g.doc->security.u, 32);
    };
    for (const Pair& p : pairs)
        EXPECT_EQ(o_and_u(p.owner_a, p.user_a), o_and_u(p.owner_b, p.user_b));
}

// Each string starts a fresh RC4 state: the same bytes in the same object
// encrypt alike, in another object differently.
TEST(SecuritySetup, EachStringStartsAFreshState) {
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
    EXPECT_EQ(hex(a, 7), hex(b, 7));
    EXPECT_NE(hex(a, 7), hex(reinterpret_cast<const uint8_t*>("message"), 7));
    EXPECT_NE(hex(a, 7), hex(c, 7));
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

void fixed_clock(PlatTime* utc, PlatTime* local) {
    *utc = PlatTime{2024, 5, 3, 17, 10, 20, 30, 0};
    *local = *utc;
}

bool fixed_user(wchar_t* buf, size_t cap) {
    if (cap < 7) return false;
    std::wcscpy(buf, L"tester");
    return true;
}

struct Security {
    int choice;  // PDFW_SECURITY_*
    std::string owner;
    std::string user;
    int32_t p;
};

struct Written {
    PdfObjectId content{};
    PdfObjectId image{};
    std::string output;  // standard output of the writer
};

// Palette for the indexed image; it travels as a hex string.
const uint8_t kPalette[12] = {0x00, 0x00, 0x00, 0xFF, 0x20, 0x10,
                              0x10, 0xC0, 0x30, 0xF0, 0xF0, 0xE0};
const char kTitle[] = "Keys (and) \\ back\nslash\r";

// One page with a Flate content stream, an indexed image XObject (hex
// colour table, raw data through the stream writer) and info strings.
bool write_document(const std::string& path, const Security* sec, Written* w) {
    plat_set_time_hook(fixed_clock);
    plat_set_user_hook(fixed_user);
    PdfDocument* doc = nullptr;
    if (!pdfw_new(&doc)) return false;
    testing::internal::CaptureStdout();
    bool ok = !sec || pdfw_set_encryption(doc, sec->owner.c_str(), sec->user.c_str(),
                                          sec->choice, sec->p);
    wchar_t* wpath = plat_utf8_to_wide(path.c_str());
    ok = ok && wpath && pdfw_file_create(doc, wpath, "%Tarvo-0.7");
    std::free(wpath);

    PdfObjectId page{};
    uint8_t pixels[128];
    for (int i = 0; i < 128; ++i) pixels[i] = uint8_t((i / 16 + i % 16 / 3) % 4);
    ok = ok && pdfw_obj_new(doc, &w->image, 0);
    if (ok) {
        PdfStream s;
        pdfw_stream_begin(doc, &s, w->image, 0, 0);
        pdfw_stream_entry(&s, "/Type /XObject");
        pdfw_stream_entry(&s, "/Subtype /Image");
        pdfw_stream_entry(&s, "/Width 16");
        pdfw_stream_entry(&s, "/Height 8");
        pdfw_stream_entry(&s, "/BitsPerComponent 8");
        pdfw_stream_entry_hex(&s, "/ColorSpace [/Indexed /DeviceRGB 3 ", kPalette,
                              sizeof kPalette, "]");
        pdfw_stream_write(&s, pixels, sizeof pixels);
        ok = pdfw_stream_end(&s);
    }

    std::string content;
    for (int i = 0; i < 20; ++i) content += "0 0 1 rg 10 10 m 200 " + std::to_string(i) + " l S\n";
    content += "q 160 0 0 80 20 20 cm /Im1 Do Q\n";
    ok = ok && pdfw_obj_stream(doc, reinterpret_cast<uint8_t*>(&content[0]),
                               int32_t(content.size()), &w->content);

    PdfObject* dict = ok ? pdfw_dict_new(doc) : nullptr;
    ok = ok && dict && pdfw_obj_new(doc, &page, 1) && pdfw_dict_set_name(doc, dict, "Type", "Page") &&
         pdfw_dict_set_ref(doc, dict, "Parent", doc->pages_id);
    PdfObject* resources = ok ? pdfw_dict_set_dict(doc, dict, "Resources") : nullptr;
    PdfObject* xobjects = resources ? pdfw_dict_set_dict(doc, resources, "XObject") : nullptr;
    ok = ok && xobjects && pdfw_dict_set_ref(doc, xobjects, "Im1", w->image) &&
         pdfw_dict_set_ref(doc, dict, "Contents", w->content) && pdfw_object(doc, page, dict);
    pdfw_object_free(doc, dict);
    doc->page_count = 1;

    ok = ok && pdfw_set_info_bytes(doc, "/Title", kTitle) &&
         pdfw_set_info(doc, "/Subject", L"S\u00e9rie \u263a") && pdfw_file_close(doc);
    w->output = testing::internal::GetCapturedStdout();
    pdfw_destroy(&doc);
    plat_set_time_hook(nullptr);
    plat_set_user_hook(nullptr);
    return ok && pdfw_mem_all_in_use() == 0;
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
TEST(ObjectKey, MatchesTheAlgorithmForEveryNumberAndGeneration) {
    const PdfObjectId ids[] = {{7, 0}, {0x123456, 0}, {7, 0x0102}, {0x7F00FF, 0xFFFF}};
    for (int choice : {0, 1}) {
        DocGuard g;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(pdfw_set_encryption(g.doc, "o", "u", choice, -4));
        testing::internal::GetCapturedStdout();
        std::vector<uint8_t> key(g.doc->security.file_key,
                                 g.doc->security.file_key + g.doc->security.key_length);
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
}

// ---- Encrypted documents against qpdf and poppler ---------------------------------

struct DocCase {
    const char* name;
    Security sec;
};

void PrintTo(const DocCase& c, std::ostream* os) { *os << c.name; }

class EncryptedFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override {
        if (!HasFailure()) remove_tree(dir_);
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string qpdf(const std::string& password, std::vector<std::string> args, int* status) {
        std::vector<std::string> argv = {"qpdf", "--password-mode=bytes", "--password=" + password};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        *status = run(argv, &out);
        return out;
    }
    std::string dir_;
};

class EncryptedDocument : public EncryptedFiles, public ::testing::WithParamInterface<DocCase> {};

TEST_P(EncryptedDocument, OpensWithEitherPasswordAndDecryptsToThePlainDocument) {
    const Security& sec = GetParam().sec;
    const bool wide = sec.choice == 1;
    Written plain_ids, ids;
    ASSERT_TRUE(write_document(path("plain.pdf"), nullptr, &plain_ids));
    ASSERT_TRUE(write_document(path("enc.pdf"), &sec, &ids)) << ids.output;
    EXPECT_NE(ids.output.find("PDF security: Owner password is valid, User password is valid\n"),
              std::string::npos);
    const std::string pdf = read_all(path("enc.pdf"));
    const std::string plain = read_all(path("plain.pdf"));

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

    // Decrypted, the strings, the content and the image equal the plain ones.
    out = qpdf(sec.user, {"--decrypt", path("enc.pdf"), path("dec.pdf")}, &status);
    ASSERT_EQ(status, 0) << out;
    // qpdf renumbers what it rewrites, so objects are read from the encrypted
    // file itself, which qpdf decrypts as it reads.
    std::string dec_info, plain_info, dec_content, plain_content;
    dec_info = qpdf(sec.user, {"--show-object=2", path("enc.pdf")}, &status);
    run({"qpdf", "--show-object=2", path("plain.pdf")}, &plain_info);
    EXPECT_EQ(dec_info, plain_info);
    EXPECT_NE(plain_info.find("/Title (Keys \\(and\\) \\\\ back\\nslash\\r)"), std::string::npos)
        << plain_info;
    dec_content = qpdf(sec.owner.empty() ? sec.user : sec.owner,
                       {"--show-object=" + std::to_string(ids.content.number),
                        "--filtered-stream-data", path("enc.pdf")},
                       &status);
    run({"qpdf", "--show-object=" + std::to_string(plain_ids.content.number),
         "--filtered-stream-data", path("plain.pdf")},
        &plain_content);
    EXPECT_EQ(dec_content, plain_content);
    EXPECT_NE(plain_content.find("/Im1 Do"), std::string::npos);

    ASSERT_EQ(run({"pdfimages", path("dec.pdf"), path("d")}, &out), 0) << out;
    ASSERT_EQ(run({"pdfimages", path("plain.pdf"), path("p")}, &out), 0) << out;
    std::string dec_image = read_all(path("d-000.ppm"));
    EXPECT_EQ(dec_image.size(), 12u + 16 * 8 * 3);  // "P6\n16 8\n255\n"
    EXPECT_EQ(dec_image, read_all(path("p-000.ppm")));
    EXPECT_EQ(dec_image.substr(12 + 9, 3), "\xFF\x20\x10");  // fourth pixel, index 1

    // By hand: the file key from the published algorithm matches qpdf's, and
    // the object keys decrypt one stream and one string to the plain bytes.
    std::vector<uint8_t> key = file_key_from(pdf, sec.user, wide ? 3 : 2);
    EXPECT_EQ(hex(key.data(), key.size()), key_hex);
    std::string content = stream_bytes(object_body(pdf, ids.content.number));
    ASSERT_FALSE(content.empty());
    EXPECT_NE(content, stream_bytes(object_body(plain, plain_ids.content.number)));
    EXPECT_EQ(decrypt_object_bytes(key, ids.content.number, content),
              stream_bytes(object_body(plain, plain_ids.content.number)));
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
    Written plain_ids, ids;
    ASSERT_TRUE(write_document(path("plain.pdf"), nullptr, &plain_ids));
    ASSERT_TRUE(write_document(path("enc.pdf"), &sec, &ids)) << ids.output;
    const std::string pdf = read_all(path("enc.pdf"));
    EXPECT_TRUE(has_own_identifier(pdf));
    EXPECT_EQ(pdf.find("Keys"), std::string::npos) << "the title in clear text";
    uint8_t row[16];
    for (int i = 0; i < 16; ++i) row[i] = uint8_t((i % 16 / 3) % 4);
    EXPECT_EQ(pdf.find(std::string(reinterpret_cast<char*>(row), 16)), std::string::npos);

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

    std::string dec_info, plain_info, dec_content, plain_content;
    dec_info = qpdf(sec.user, {"--show-object=2", path("enc.pdf")}, &status);
    run({"qpdf", "--show-object=2", path("plain.pdf")}, &plain_info);
    EXPECT_EQ(dec_info, plain_info);
    dec_content = qpdf(sec.user, {"--show-object=" + std::to_string(ids.content.number),
                                  "--filtered-stream-data", path("enc.pdf")}, &status);
    run({"qpdf", "--show-object=" + std::to_string(plain_ids.content.number),
         "--filtered-stream-data", path("plain.pdf")}, &plain_content);
    EXPECT_EQ(dec_content, plain_content);
    out = qpdf(sec.user, {"--decrypt", path("enc.pdf"), path("dec.pdf")}, &status);
    ASSERT_EQ(status, 0) << out;
    ASSERT_EQ(run({"pdfimages", path("dec.pdf"), path("d")}, &out), 0) << out;
    ASSERT_EQ(run({"pdfimages", path("plain.pdf"), path("p")}, &out), 0) << out;
    EXPECT_EQ(read_all(path("d-000.ppm")), read_all(path("p-000.ppm")));
    ASSERT_EQ(run({"pdfinfo", "-upw", sec.user, path("enc.pdf")}, &out), 0) << out;
    EXPECT_NE(out.find(std::string("algorithm:") + (c.sec.choice == PDFW_SECURITY_AES_256
                                                        ? "AES-256"
                                                        : "AES")),
              std::string::npos)
        << out;
    if (tool_available("mutool")) {
        EXPECT_EQ(run({"mutool", "info", "-p", sec.user, path("enc.pdf")}, &out), 0) << out;
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

// Once the file exists, setup would leave its first objects in clear text
// under an encryption dictionary; it is refused, as is a second setup.
TEST(SecuritySetup, RefusedOnceTheFileExistsOrTwice) {
    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    wchar_t* wpath = plat_utf8_to_wide((dir + "/late.pdf").c_str());
    {
        DocGuard g;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(pdfw_file_create(g.doc, wpath, nullptr));
        EXPECT_FALSE(pdfw_set_encryption(g.doc, "o", "u", 1, -4));
        EXPECT_EQ(pdfw_last_error(g.doc), PDFW_ERR_FILE_STATE);
        EXPECT_FALSE(g.doc->security.on);
        EXPECT_EQ(g.doc->required_version, 0x103);
        testing::internal::GetCapturedStdout();
    }
    {
        DocGuard g;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(pdfw_set_encryption(g.doc, "o", "u", 0, -4));
        int32_t objects = pdfw_obj_count(g.doc);
        EXPECT_FALSE(pdfw_set_encryption(g.doc, "o", "u", 1, -4));
        EXPECT_EQ(pdfw_last_error(g.doc), PDFW_ERR_FILE_STATE);
        EXPECT_EQ(pdfw_obj_count(g.doc), objects);
        EXPECT_EQ(g.doc->security.key_length, 5);
        testing::internal::GetCapturedStdout();
    }
    std::free(wpath);
    remove_tree(dir);
}

}  // namespace
