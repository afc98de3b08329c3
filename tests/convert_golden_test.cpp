// Byte identity of whole conversions: each row runs the converter in this
// process with the clock, tick count and user name pinned, and compares the
// MD5 of the PDF and of standard output with the recorded values. A change
// to any byte of a file or a trace line shows up here; the comment of each
// row names the path through the writer it covers.
//
// The command encrypts with the system's random bytes; encrypted rows pin
// them through its test hook with the seed they were recorded with, made
// from SOURCE_DATE_EPOCH, the options and the bitmaps' names and sizes.
//
// To re-record after a deliberate change of output, run with
// TARVO_GOLDEN_PRINT=1 and paste the printed rows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cmd/tarvo.h"
#include "pdf/security/security.h"
#include "platform/platform.h"
#include "support/bmp_writer.h"
#include "support/tools.h"

namespace {

// That seed: the epoch, each option element and each bitmap's name (as
// given, relative to the inputs' folder) and size, one a line.
std::string former_seed(const std::vector<std::string>& args) {
    std::string seed = "SOURCE_DATE_EPOCH=1700000000\n";
    size_t i = 1;
    for (; i < args.size() && (args[i][0] == '-' || args[i][0] == '/'); ++i) seed += args[i] + "\n";
    for (; i < args.size(); ++i) {
        std::string bytes;
        read_file(args[i], &bytes);
        seed += args[i] + "\n" + std::to_string(bytes.size()) + "\n";
    }
    return seed;
}

void pinned_clock(PlatTime* utc, PlatTime* local) {
    *utc = PlatTime{2024, 3, 2, 5, 14, 7, 9, 0};
    *local = PlatTime{2024, 3, 2, 5, 16, 7, 9, 0};  // two hours east
}
uint32_t pinned_tick() { return 1000; }
bool pinned_user(wchar_t* buf, size_t cap) {
    const wchar_t name[] = L"golden";
    if (cap < sizeof name / sizeof name[0]) return false;
    std::wmemcpy(buf, name, sizeof name / sizeof name[0]);
    return true;
}

std::string md5_hex(const std::string& bytes) {
    Md5Context ctx;
    md5_init(&ctx);
    md5_update(&ctx, bytes.data(), bytes.size());
    uint8_t d[16];
    md5_final(&ctx, d);
    char text[33];
    for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02x", d[i]);
    return text;
}

// The inputs every row may name, written once into a scratch folder.
struct Inputs {
    std::string dir;
    Inputs() {
        dir = make_temp_dir();
        auto put = [&](const char* name, TestBitmap b) { bmp_write(dir + "/" + name, b); };
        for (bool white_first : {false, true}) {
            TestBitmap text = bmp_bilevel(200, 120, text_ink(200, 120, 7), white_first);
            text.x_ppm = text.y_ppm = 11811;
            put(white_first ? "wb-text.bmp" : "bw-text.bmp", text);
        }
        put("bw-noise.bmp", bmp_bilevel(64, 64, noise_ink(64, 64, 99)));
        TestBitmap pair = bmp_pattern(33, 17, 1);
        pair.palette = {0xFF0000, 0x0000FF};
        put("pal1.bmp", pair);
        put("pal4.bmp", bmp_pattern(37, 23, 4));
        TestBitmap grey4 = bmp_pattern(37, 23, 4);
        grey4.palette = grey_ramp(16);
        put("grey4.bmp", grey4);
        put("pal8.bmp", bmp_pattern(41, 29, 8));
        TestBitmap grey8 = bmp_pattern(64, 48, 8);
        grey8.palette = grey_ramp(256);
        put("grey8.bmp", grey8);
        TestBitmap rle8 = bmp_pattern(41, 29, 8);
        rle8.compression = 1;
        put("pal8-rle.bmp", rle8);
        TestBitmap rle4 = bmp_pattern(37, 23, 4);
        rle4.compression = 2;
        put("pal4-rle.bmp", rle4);
        put("rgb24.bmp", bmp_pattern(96, 64, 24));
        TestBitmap top = bmp_pattern(96, 64, 24);
        top.top_down = true;
        put("rgb24-topdown.bmp", top);
        put("rgb32.bmp", bmp_pattern(50, 30, 32));
        // Header fields only: the writer checks the header, not the curves.
        std::string icc(256, '\0');
        icc[2] = 1;  // declared size 256
        std::memcpy(&icc[16], "RGB ", 4);
        std::memcpy(&icc[36], "acsp", 4);
        write_file(dir + "/rgb.icc", icc);
    }
    ~Inputs() { remove_tree(dir); }
};

struct GoldenCase {
    const char* name;
    std::vector<std::string> args;  // "@" before a name: a path in the inputs
    const char* pdf_md5;
    const char* stdout_md5;
};

void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }

const GoldenCase kCases[] = {
    // The bundled samples: G4 stencil, JPEG grey and colour, indexed chart.
    {"examples", {"%examples"}, "bf19111c1ffb59758040804bbe47ca8a", "b7239c03ef9e9587f750f1b18f9cefe3"},
    // Bilevel: G4 wins, Flate wins over G4, a white-first table inverted.
    {"bw-text", {"@bw-text.bmp"}, "a16f7c79c55db5a81ceac3b8b9de1b3a", "49a48b5e619f923cc091879103905efc"},
    {"bw-noise", {"@bw-noise.bmp"}, "29a822cc50f418652bf0667f2663f5d0", "c9d8213477ef3ce2f2d51d62841cb091"},
    {"wb-text", {"@wb-text.bmp"}, "a16f7c79c55db5a81ceac3b8b9de1b3a", "49a48b5e619f923cc091879103905efc"},
    // Indexed tables: 1-bit colour pair, 4-bit palette, 4-bit grey ramp,
    // 8-bit palette, and both run-length decoders.
    {"pal1", {"@pal1.bmp"}, "677594effa31169766cf01c34a610c9d", "6b86940de96baccbbe31470995abf450"},
    {"pal4", {"@pal4.bmp"}, "d21a2df4d8c7c75d96ecec57d29d0fa7", "c20c0a6080a30352c41f491edfddc022"},
    {"grey4", {"@grey4.bmp"}, "ee1e7c54124988a8d4945c72a66d4853", "c20c0a6080a30352c41f491edfddc022"},
    {"pal8", {"@pal8.bmp"}, "97eb2f14634675d91cbb2fcef0416584", "8c4499303906b12a5033f9eb7e69e95a"},
    {"pal8-rle", {"@pal8-rle.bmp"}, "97eb2f14634675d91cbb2fcef0416584", "8c4499303906b12a5033f9eb7e69e95a"},
    {"pal4-rle", {"@pal4-rle.bmp"}, "d21a2df4d8c7c75d96ecec57d29d0fa7", "c20c0a6080a30352c41f491edfddc022"},
    // JPEG: grey ramp, 24-bit both row orders, 32-bit.
    {"grey8", {"@grey8.bmp"}, "a0d646195836632df217be573508e1ea", "8193c5949195ec3aac7c2bce9806d6ee"},
    {"rgb24", {"@rgb24.bmp"}, "d838e93567f03cb509efb7c18ff0b690", "f9168d0280c73d568be3860df224a98f"},
    {"rgb24-topdown", {"@rgb24-topdown.bmp"}, "d838e93567f03cb509efb7c18ff0b690", "f9168d0280c73d568be3860df224a98f"},
    {"rgb32", {"@rgb32.bmp"}, "c54a39c49f1e9f377e63625378a96056", "43bd45521a45c6655b22584d91aa38b7"},
    // Every colour encoding choice.
    {"enc1-none", {"-enc=1", "@rgb24.bmp"}, "368de654229ffdbe1f95abfd40a62a54", "5aa2ff31f3fcc56c00cc6fd75529b450"},
    {"enc2-flate", {"-enc=2", "@rgb24.bmp", "@rgb32.bmp"}, "c258e64c4c35f624783920d217414d8d", "861431260b3a2dbdce8b95e71a26a5f1"},
    {"enc3-q100", {"-enc=3", "@rgb24.bmp"}, "086da1597fd9bcb1c91ab6b086db2ffa", "b1fb1477f68f53a5f0212001892b4fdd"},
    {"enc4-q75", {"-enc=4", "@rgb24.bmp"}, "d838e93567f03cb509efb7c18ff0b690", "f9168d0280c73d568be3860df224a98f"},
    {"enc5-q50", {"-enc=5", "@rgb24.bmp"}, "5edafa64ce68c2ea062ea525359818b3", "430f52dbf99568d5cbbf38024d92772e"},
    {"enc6-q25", {"-enc=6", "@rgb24.bmp"}, "2da9ca9b0534395064f75819591a7e3e", "c6392db96c70faa0842c5a1ee0f857b8"},
    {"enc7-q1", {"-enc=7", "@rgb24.bmp"}, "3674da356bca1080a4b6b2ae986a0136", "6a0037b4872ac9b09511e491348cf9b0"},
    // Encryption of strings, content, images and the indexed table.
    {"rc4-40", {"-sec=1", "-sus=user", "-sow=owner", "-set=3", "-it=Secret title",
                "@bw-text.bmp", "@pal8.bmp", "@rgb24.bmp"}, "beed7d13b4d19a91a7b8d0aa0749d799", "c9217b1bd2b510a25c8a630b9c9ff7ae"},
    {"rc4-128", {"-sec=2", "-sus=user", "-sow=owner", "-set=15", "-it=Secret title",
                 "@bw-text.bmp", "@pal8.bmp", "@rgb24.bmp"}, "43fc47510f3e320e7edec25b5d6e4784", "c9217b1bd2b510a25c8a630b9c9ff7ae"},
    {"rc4-128-no-user", {"-sec=2", "-sow=owner", "@grey8.bmp"}, "df9b76e759b7f08db8302aea2b3de77f", "00412f9903b1f2d0fde0d26ff3cb15cd"},
    {"aes256", {"-sec=3", "-sus=user", "-sow=owner", "-set=5", "-it=Secret title",
                "@bw-text.bmp", "@pal8.bmp", "@rgb24.bmp"}, "aed7296060be066fd9eb24cc29573364", "c9217b1bd2b510a25c8a630b9c9ff7ae"},
    {"aes128", {"-sec=4", "-sus=user", "-sow=owner", "-set=10", "-it=Secret title",
                "@bw-text.bmp", "@pal8.bmp", "@rgb24.bmp"}, "dceb762b0c0bb149f8bfe3489a8cfbd4", "c9217b1bd2b510a25c8a630b9c9ff7ae"},
    // PDF/A: XMP packet, compressed profile, output intent.
    {"pdfa", {"-eco=1", "-icc=@rgb.icc", "-it=Title \xc3\xa9", "-ia=Author", "-is=Subject",
              "-ik=a, b", "-ic=Creator", "@rgb24.bmp", "@bw-text.bmp"}, "48bcedabbc1b69b6022d75ebc6801854", "593269c0c884260387cc7c415764c911"},
    // Presentation with transitions and durations.
    {"present", {"-vom=2", "-vpa=1", "-vpt=2500", "-vte=3", "-vtd=2", "-vtt=1500", "-vpl=1",
                 "-vbc=0x102030", "@pal4.bmp", "@grey8.bmp"}, "17a2a89230019f438bbbfe43959adfbf", "5ecf46ba5894807593b409b5747d1c44"},
    {"full-screen", {"-vom=1", "@pal4.bmp"}, "95088001d5fc4b04b9b3b73a2d1ccf3b", "c20c0a6080a30352c41f491edfddc022"},
    // Viewer preferences, page mode and layout, open action with zoom.
    {"viewer", {"-vwp=3", "-vwl=2", "-vwz=8", "-vwzv=1500", "-vwsp=2", "-vwwf=2", "-vwwc=1",
                "-vwwt=2", "-vwhm=1", "-vwht=2", "-vwhc=1", "@pal1.bmp", "@pal4.bmp"}, "81c9242e96f5ebb5ff170050602ce22f", "56ba18e7a277c33dcdb83f354629e5fe"},
    // Page geometry: fixed page with margins, fitting and placement,
    // rotation, caller resolution, bitmap-sized pages with margins.
    {"page-fit", {"-ldw=2100", "-ldh=2970", "-lbl=100", "-lbt=150", "-lbr=200", "-lbb=250",
                  "-lis=-1", "-lip=3", "-vra=90", "@rgb24.bmp", "@bw-text.bmp"}, "90fcad7b93e503bbbd544eb74a951ada", "e0c23a0416cb606ca1009bb7d2aa6197"},
    {"page-stretch", {"-ldw=1000", "-ldh=500", "-lis=-3", "-vra=270", "@pal8.bmp"}, "762d282a7cea1c38b08367e9ca7d20a7", "c93580425a411af0f4d862ec27c9a7ba"},
    {"page-margins", {"-lbl=50", "-lbt=60", "-lbr=70", "-lbb=80", "-dpi=150", "@pal1.bmp"}, "7773cae707e8e398276985ae899500f9", "292fe9f76426792f612c75c9f154014a"},
};

// TARVO_THREADS for the runs in this process; empty removes it.
void set_threads(const char* value) {
#ifdef _WIN32
    _putenv_s("TARVO_THREADS", value);
#else
    if (*value)
        setenv("TARVO_THREADS", value, 1);
    else
        unsetenv("TARVO_THREADS");
#endif
}

class Golden : public ::testing::TestWithParam<GoldenCase> {
protected:
    static Inputs* inputs;
    static void SetUpTestSuite() {
        inputs = new Inputs;
        char* cwd = getcwd(nullptr, 0);
        if (cwd) previous_dir = cwd;
        std::free(cwd);
        EXPECT_EQ(chdir(inputs->dir.c_str()), 0);
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(chdir(previous_dir.c_str()), 0);
        delete inputs;
        inputs = nullptr;
    }
    static std::string previous_dir;
};
Inputs* Golden::inputs = nullptr;
std::string Golden::previous_dir;

TEST_P(Golden, SameBytes) {
    const GoldenCase& c = GetParam();
    const std::string source = std::getenv("TARVO_SOURCE_DIR");
    const std::string out = std::string(c.name) + ".pdf";
    std::vector<std::string> args = {"tarvo", "-o=" + out};
    bool encrypted = false;
    for (const std::string& a : c.args) {
        std::string arg = a;
        size_t at = arg.find('@');
        if (at != std::string::npos) arg.erase(at, 1);
        encrypted = encrypted || arg.compare(0, 5, "-sec=") == 0;
        if (arg == "%examples") {
            for (const char* name : {"chart-8bit-topdown.bmp", "grey-8bit.bmp",
                                     "photo-24bit.bmp", "text-1bit.bmp"})
                args.push_back(source + "/examples/" + name);
            continue;
        }
        args.push_back(arg);
    }
    std::vector<std::wstring> wide;
    for (const std::string& a : args) {
        wchar_t* w = plat_utf8_to_wide(a.c_str());
        wide.emplace_back(w);
        std::free(w);
    }
    std::vector<const wchar_t*> argv;
    for (const std::wstring& w : wide) argv.push_back(w.c_str());

    // The same bytes whatever the number of threads that make the pages.
    for (const char* threads : {"1", "2", "4"}) {
        SCOPED_TRACE(std::string("TARVO_THREADS=") + threads);
        set_threads(threads);
        plat_set_time_hook(pinned_clock);
        plat_set_tick_hook(pinned_tick);
        plat_set_user_hook(pinned_user);
        TarvoSettings settings;
        std::wstring detail;
        ::testing::internal::CaptureStdout();
        int code = cmd_parse_args(static_cast<int>(argv.size()), argv.data(), &settings, &detail);
        if (code == TARVO_OK && encrypted) code = cmd_read_source_date(&settings, "1700000000", &detail);
        if (code == TARVO_OK) code = cmd_check_settings(&settings, &detail);
        if (encrypted) cmd_set_test_seed(former_seed(args));
        if (code == TARVO_OK) code = cmd_run(&settings, &detail);
        cmd_set_test_seed("");
        std::fflush(stdout);
        const std::string said = ::testing::internal::GetCapturedStdout();
        plat_set_time_hook(nullptr);
        plat_set_tick_hook(nullptr);
        plat_set_user_hook(nullptr);
        ASSERT_EQ(code, TARVO_OK) << std::string(detail.begin(), detail.end());

        std::string pdf;
        ASSERT_TRUE(read_file(out, &pdf));
        const std::string pdf_md5 = md5_hex(pdf);
        const std::string stdout_md5 = md5_hex(said);
        if (std::getenv("TARVO_GOLDEN_PRINT"))
            std::printf("GOLDEN %s \"%s\", \"%s\"\n", c.name, pdf_md5.c_str(), stdout_md5.c_str());
        EXPECT_EQ(pdf_md5, c.pdf_md5) << "file of " << c.name;
        EXPECT_EQ(stdout_md5, c.stdout_md5) << "standard output of " << c.name << ":\n" << said;
    }
    set_threads("");
}

INSTANTIATE_TEST_SUITE_P(Runs, Golden, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<GoldenCase>& info) {
                             std::string n = info.param.name;
                             for (char& ch : n)
                                 if (ch == '-') ch = '_';
                             return n;
                         });

}  // namespace
