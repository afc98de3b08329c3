// Encrypted conversions end to end: the command with -sec, -set, -sow and
// -sus on generated bitmaps, opened by qpdf with either password, decrypted,
// and its images compared by poppler with those of the same bitmaps
// converted without encryption.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "cmd/tarvo.h"
#include "support/bmp_writer.h"
#include "support/tools.h"

namespace fs = std::filesystem;

namespace {

// Every file pdfimages wrote under dir with the given root, by name suffix.
std::map<std::string, std::string> extracted(const fs::path& dir, const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        if (name.rfind(root + "-", 0) == 0) files[name.substr(root.size())] = read_all(entry.path());
    }
    return files;
}

class ConvertSecurity : public ::testing::Test {
protected:
    void SetUp() override {
        bin_ = tarvo_bin();
        ASSERT_FALSE(bin_.empty()) << "TARVO_BIN not set";
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());

        // One bitmap per image class: black-and-white (CCITT), colour
        // table (indexed), grey and true colour (DCT unless -enc says).
        // Smooth blobs: edges that move a little from row to row, where
        // Group 4 beats Flate.
        std::vector<uint8_t> ink;
        for (int y = 0; y < 128; ++y)
            for (int x = 0; x < 256; ++x)
                ink.push_back(std::sin(x / 7.3) * std::cos(y / 5.1) + std::sin((x + y) / 11.7) > 0.3);
        TestBitmap bw = bmp_bilevel(256, 128, ink);
        TestBitmap pal = bmp_pattern(33, 20, 8);
        TestBitmap grey = bmp_pattern(24, 17, 8);
        grey.palette = grey_ramp(256);
        TestBitmap rgb = bmp_pattern(40, 30, 24);
        const std::pair<const char*, TestBitmap*> all[] = {
            {"bw.bmp", &bw}, {"pal.bmp", &pal}, {"grey.bmp", &grey}, {"rgb.bmp", &rgb}};
        for (const auto& b : all) {
            ASSERT_TRUE(bmp_write((dir_ / b.first).string(), *b.second));
            bitmaps_.push_back((dir_ / b.first).string());
        }
    }
    void TearDown() override {
        if (!HasFailure()) remove_tree(dir_.string());
    }

    int convert(const std::string& out, std::vector<std::string> options, std::string* log) {
        std::vector<std::string> argv = {bin_, "-o=" + (dir_ / out).string()};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), bitmaps_.begin(), bitmaps_.end());
        return run_output(argv, log);
    }
    std::string qpdf(const std::string& password, std::vector<std::string> args, int* status) {
        std::vector<std::string> argv = {"qpdf", "--password-mode=bytes", "--password=" + password};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        *status = run_output(argv, &out);
        return out;
    }

    std::string bin_;
    fs::path dir_;
    std::vector<std::string> bitmaps_;
};

struct EncryptedRun {
    const char* name;
    std::vector<std::string> options;  // -sec, -set, -sow, -sus, -enc
    std::string owner;                 // password bytes as qpdf gets them
    std::string user;
    int revision;
    int32_t p;
};

TEST_F(ConvertSecurity, DecryptedImagesEqualThoseOfThePlainConversion) {
    const EncryptedRun runs[] = {
        {"40-bit, no passwords, no rights", {"-sec=1", "-set=0"}, "", "", 2, -64},
        {"128-bit, all rights, Flate", {"-sec=2", "-set=15", "-sow=owner", "-sus=user", "-enc=2"},
         "owner", "user", 3, -4},
        // Characters up to 255 become one byte each: UTF-8 on our command
        // line, Latin-1 bytes for qpdf.
        {"128-bit, Latin-1, print and modify", {"-sec=2", "-set=5", "-sow=\xC3\xA9t\xC3\xA9",
          "-sus=gr\xC3\xBC\xC3\x9F"}, "\xE9t\xE9", "gr\xFC\xDF", 3, -52},
        {"40-bit, 32 and 40 bytes, copy and annotate",
         {"-sec=1", "-set=10", "-sow=0123456789abcdef0123456789ABCDEF",
          "-sus=0123456789abcdef0123456789ABCDEF-tail-"},
         "0123456789abcdef0123456789ABCDEF", "0123456789abcdef0123456789ABCDEF-tail-", 2, -16},
    };
    for (const EncryptedRun& r : runs) {
        SCOPED_TRACE(r.name);
        bool flate = false;
        for (const std::string& o : r.options) flate = flate || o == "-enc=2";
        std::string log;
        ASSERT_EQ(convert("plain.pdf", flate ? std::vector<std::string>{"-enc=2"}
                                              : std::vector<std::string>{},
                          &log),
                  0)
            << log;
        ASSERT_EQ(convert("enc.pdf", r.options, &log), 0) << log;
        EXPECT_NE(log.find("PDF security: Owner password is valid, User password is valid\n"),
                  std::string::npos)
            << log;
        std::string pdf = read_all(dir_ / "enc.pdf");
        const size_t id = pdf.rfind("/ID [<");
        ASSERT_NE(id, std::string::npos);
        EXPECT_EQ(pdf.substr(id + 6, 32), pdf.substr(id + 40, 32));
        EXPECT_NE(pdf.substr(id + 6, 32), "D41D8CD98F00B204E9800998ECF8427E");

        int status = 0;
        std::string out = qpdf(r.user, {"--check", (dir_ / "enc.pdf").string()}, &status);
        EXPECT_EQ(status, 0) << out;
        for (const std::string* password : {&r.user, &r.owner}) {
            out = qpdf(*password, {"--show-encryption", "--show-encryption-key",
                                   (dir_ / "enc.pdf").string()},
                       &status);
            EXPECT_EQ(status, 0) << out;
            EXPECT_NE(out.find("R = " + std::to_string(r.revision) + "\n"), std::string::npos) << out;
            EXPECT_NE(out.find("P = " + std::to_string(r.p) + "\n"), std::string::npos) << out;
            size_t at = out.find("Encryption key = ");
            ASSERT_NE(at, std::string::npos) << out;
            EXPECT_EQ(out.find('\n', at) - at - 17, r.revision == 3 ? 32u : 10u) << out;
        }
        if (!r.user.empty()) {
            qpdf("not" + r.user, {"--decrypt", (dir_ / "enc.pdf").string(),
                                  (dir_ / "wrong.pdf").string()},
                 &status);
            EXPECT_NE(status, 0);
        }

        out = qpdf(r.owner, {"--decrypt", (dir_ / "enc.pdf").string(), (dir_ / "dec.pdf").string()},
                   &status);
        ASSERT_EQ(status, 0) << out;
        for (const char* root : {"p", "d"})
            for (const auto& old : extracted(dir_, root)) fs::remove(dir_ / (root + old.first));
        for (const char* root : {"p", "d"}) {
            const fs::path pdf = dir_ / (root[0] == 'p' ? "plain.pdf" : "dec.pdf");
            ASSERT_EQ(run_output({"pdfimages", "-all", pdf.string(), (dir_ / root).string()}, &out), 0)
                << out;
        }
        std::map<std::string, std::string> plain_images = extracted(dir_, "p");
        // Group 4 data comes out raw with a .params file beside it.
        EXPECT_EQ(plain_images.size(), bitmaps_.size() + 1);
        EXPECT_EQ(plain_images.count("-000.ccitt"), 1u);
        EXPECT_EQ(plain_images.count("-003.jpg"), flate ? 0u : 1u);
        EXPECT_EQ(extracted(dir_, "d"), plain_images);
    }
}

// RC4 and AES-128 passwords are PDFDocEncoding: the bytes are exactly those
// of the characters there, and readers given the text (qpdf, MuPDF) open
// the document with either password.
TEST_F(ConvertSecurity, PdfDocEncodingPasswordsOpenInReaders) {
    if (!tool_available("mutool")) GTEST_SKIP() << "mutool (MuPDF) is not installed";
    const struct {
        std::string text;   // UTF-8, as typed
        std::string bytes;  // PDFDocEncoding
        const char* role;
    } passwords[] = {
        {"\xE2\x82\xAC\xE2\x80\x94\xC5\x93", "\xA0\x84\x9C", "user"},          // euro, em dash, oe
        {"\xC5\xB8\xE2\x80\xA2\xC3\xA9\xE2\x84\xA2", "\x98\x80\xE9\x92", "owner"},  // Y diaeresis, bullet, e acute, TM
    };
    for (const char* sec : {"-sec=1", "-sec=2", "-sec=4"}) {
        SCOPED_TRACE(sec);
        std::string log;
        ASSERT_EQ(convert("doc.pdf", {sec, "-sus=" + passwords[0].text, "-sow=" + passwords[1].text},
                          &log),
                  0)
            << log;
        const std::string pdf = (dir_ / "doc.pdf").string();
        for (const auto& p : passwords) {
            CommandResult exact = run_command({"qpdf", "--suppress-password-recovery", "--password-mode=bytes",
                                               "--password=" + p.bytes, "--show-encryption", pdf});
            EXPECT_NE(exact.out.find(std::string("Supplied password is ") + p.role + " password"),
                      std::string::npos)
                << exact.out;
            EXPECT_EQ(run_command({"qpdf", "--password=" + p.text, "--check", pdf}).status, 0) << p.role;
            EXPECT_EQ(run_command({"mutool", "info", "-p", p.text, pdf}).status, 0) << p.role;
        }
        EXPECT_NE(run_command({"mutool", "info", "-p", "wrong", pdf}).status, 0);
    }
}

// The first bytes of every stream: with AES, its initialisation vector.
std::vector<std::string> stream_heads(const std::string& pdf) {
    std::vector<std::string> heads;
    for (size_t at = pdf.find("stream\n"); at != std::string::npos; at = pdf.find("stream\n", at + 1))
        if (at == 0 || pdf[at - 1] != 'd') heads.push_back(pdf.substr(at + 7, 16));
    return heads;
}

// SOURCE_DATE_EPOCH fixes dates, never secrets: two runs at the same epoch
// on bitmaps of the same name and size but other pixels share no file key,
// no identifier and, with AES, no initialisation vector.
TEST_F(ConvertSecurity, FixedEpochRunsShareNoSecret) {
    setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    for (const char* sec : {"-sec=1", "-sec=2", "-sec=3", "-sec=4"}) {
        SCOPED_TRACE(sec);
        std::string key[2], id[2];
        std::vector<std::string> heads[2];
        for (int k = 0; k < 2; ++k) {
            TestBitmap rgb = bmp_pattern(40, 30, 24);
            for (uint32_t& p : rgb.pixels) p ^= uint32_t(k) * 0x010203;
            ASSERT_TRUE(bmp_write(bitmaps_.back(), rgb));
            std::string log;
            ASSERT_EQ(convert("run.pdf", {sec, "-sus=user", "-sow=owner", "-enc=2"}, &log), 0) << log;
            const std::string pdf = read_all(dir_ / "run.pdf");
            id[k] = pdf.substr(pdf.rfind("/ID [<") + 6, 32);
            heads[k] = stream_heads(pdf);
            int status = 0;
            const std::string shown = qpdf("owner", {"--show-encryption", "--show-encryption-key",
                                                     (dir_ / "run.pdf").string()},
                                           &status);
            const size_t at = shown.find("Encryption key = ");
            ASSERT_NE(at, std::string::npos) << shown;
            key[k] = shown.substr(at, shown.find('\n', at) - at);
        }
        EXPECT_NE(key[0], key[1]);
        EXPECT_NE(id[0], id[1]);
        const bool aes = sec[5] == '3' || sec[5] == '4';
        if (aes) {
            ASSERT_EQ(heads[0].size(), bitmaps_.size() * 2);  // an image and a content stream a page
            for (const std::string& h : heads[0])
                EXPECT_EQ(std::count(heads[1].begin(), heads[1].end(), h), 0) << "an IV repeats";
        }
    }
    unsetenv("SOURCE_DATE_EPOCH");
}

// PDF/A and encryption exclude each other; the command stops before any file.
TEST_F(ConvertSecurity, PdfaWithEncryptionIsRefusedBeforeAnyFile) {
    std::string log;
    EXPECT_EQ(convert("never.pdf", {"-eco=1", "-icc=profile.icc", "-sec=1"}, &log),
              exit_status(TARVO_ERR_PDFA_SECURITY))
        << log;
    EXPECT_FALSE(fs::exists(dir_ / "never.pdf"));
}

}  // namespace
