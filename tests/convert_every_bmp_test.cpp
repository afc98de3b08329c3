// The bitmaps people have: files written at test time by ImageMagick,
// GraphicsMagick, Pillow and netpbm, BMP files wrapped around JPEG and PNG
// data, and the BMP suite's good and unusual files. Each converts; its
// page shows what an independent decoder reads in the file (exactly in the
// lossless modes, within JPEG's error otherwise), the files pass qpdf and
// MuPDF, and PDF/A output holds no soft mask.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/tools.h"

namespace {

// Who decodes the bitmap for comparison (see support/page_pixels.py):
// Pillow or ImageMagick where they read the file right; the format, from
// the file's own fields, where neither does (both scale bit fields their
// own way rather than round(v * 255 / max), and neither reads OS/2 RLE24
// or 2-bit files); the data inside a JPEG or PNG bitmap; or a twin file
// holding the same picture.
struct Kind {
    const char* name;
    const char* make;       // shell command writing NAME.bmp; "" for suite files
    const char* reference;  // pil, im, format, embedded, twin:FILE
    bool alpha;             // the page has a soft mask
    const char* jpeg_db = "25";  // least PSNR of the JPEG page
};


// SRC is an opaque 37 x 23 gradient, RGBA the same with an alpha ramp, PPM
// the opaque one for netpbm. Some writers pick a depth from the colours
// they find; the names say what the file holds.
const Kind kMade[] = {
    {"im-rgb24", "convert SRC BMP3:OUT", "pil", false},
    {"im-pal4-short-table", "convert SRC -colors 12 BMP3:OUT", "pil", false},
    {"im-pal8-rle8", "convert SRC -colors 200 -compress RLE BMP3:OUT", "pil", false},
    {"im-mono", "convert SRC -monochrome BMP3:OUT", "pil", false},
    {"im-os2-pal4", "convert SRC -colors 5 BMP2:OUT", "pil", false},
    {"im-os2-rgb24", "convert SRC BMP2:OUT", "pil", false},
    {"im-v5-rgb24", "convert SRC BMP:OUT", "pil", false},
    {"im-v5-alpha", "convert RGBA BMP:OUT", "pil", true},
    {"im-rgb565", "convert SRC -define bmp:subtype=RGB565 BMP:OUT", "format", false},
    {"im-rgb555", "convert SRC -define bmp:subtype=RGB555 BMP:OUT", "format", false},
    {"im-argb4444", "convert RGBA -define bmp:subtype=ARGB4444 BMP:OUT", "format", true},
    {"im-argb1555", "convert RGBA -define bmp:subtype=ARGB1555 BMP:OUT", "format", true},
    {"gm-rgb24", "gm convert SRC BMP3:OUT", "pil", false},
    {"gm-os2-rgb24", "gm convert SRC BMP2:OUT", "pil", false},
    {"gm-os2-pal4", "gm convert SRC -colors 12 BMP2:OUT", "pil", false},
    {"gm-v4-rgb24", "gm convert SRC BMP:OUT", "pil", false},
    {"gm-v4-alpha", "gm convert RGBA BMP:OUT", "pil", true},
    {"gm-pal4", "gm convert SRC -colors 12 BMP3:OUT", "pil", false},
    {"gm-rle8", "gm convert SRC -colors 200 -compress RLE BMP3:OUT", "pil", false},
    {"gm-mono", "gm convert SRC -monochrome BMP3:OUT", "pil", false},
    {"pil-rgb", "PIL \"im.convert('RGB').save(out)\"", "pil", false},
    {"pil-grey", "PIL \"im.convert('L').save(out)\"", "pil", false},
    {"pil-mono", "PIL \"im.convert('1').save(out)\"", "pil", false},
    {"pil-pal12", "PIL \"im.convert('RGB').quantize(12).save(out)\"", "pil", false},
    // Alpha in a plain 32-bit file is the unused byte, as Windows has it.
    {"pil-rgba-plain32", "PIL \"Image.open('RGBA').save(out)\"", "format", false},
    {"nb-rgb24", "ppmtobmp -bpp=24 PPM > OUT", "pil", false},
    {"nb-os2-rgb24", "ppmtobmp -os2 -bpp=24 PPM > OUT", "pil", false},
    {"nb-pal8", "pnmquant 200 PPM | ppmtobmp > OUT", "pil", false},
    {"nb-pal4", "pnmquant 12 PPM | ppmtobmp > OUT", "pil", false},
    {"nb-os2-pal4", "pnmquant 12 PPM | ppmtobmp -os2 > OUT", "pil", false},
    {"nb-grey", "ppmtopgm PPM | ppmtobmp > OUT", "pil", false},
    {"nb-mono", "ppmtopgm PPM | pgmtopbm | ppmtobmp > OUT", "pil", false},
    // JPEG and PNG data wrapped in a BMP header: carried as they are, or
    // (PNG with alpha, 16 bits or interlacing) decoded.
    {"jpeg-colour", "convert SRC jpg:- | WRAP 4 > OUT", "embedded", false},
    {"jpeg-grey", "convert SRC -colorspace Gray jpg:- | WRAP 4 > OUT", "embedded", false},
    {"jpeg-progressive", "convert SRC -interlace JPEG jpg:- | WRAP 4 > OUT", "embedded", false},
    {"png-rgb", "convert SRC png24:- | WRAP 5 > OUT", "embedded", false},
    {"png-grey", "convert SRC -colorspace Gray -depth 8 png:- | WRAP 5 > OUT", "embedded", false},
    {"png-palette", "convert SRC -colors 12 png8:- | WRAP 5 > OUT", "embedded", false},
    {"png-rgba", "convert RGBA png32:- | WRAP 5 > OUT", "embedded", true},
        // Pillow cuts 16-bit samples to their high byte, ImageMagick too here.
    {"png-rgb48", "convert SRC -depth 16 png48:- | WRAP 5 > OUT", "embedded:png", false},
    {"png-interlaced", "convert SRC -interlace PNG png24:- | WRAP 5 > OUT", "embedded", false},
};

// The BMP suite's files but the 64-bit one, which is refused.
const Kind kSuite[] = {
    {"g/pal1.bmp", "", "pil", false}, {"g/pal1bg.bmp", "", "pil", false},
    {"g/pal1wb.bmp", "", "pil", false}, {"g/pal4.bmp", "", "pil", false},
    {"g/pal4gs.bmp", "", "pil", false},
    // Pillow garbles RLE4 runs and deltas; ImageMagick reads them right.
    {"g/pal4rle.bmp", "", "im", false}, {"g/pal8-0.bmp", "", "pil", false},
    {"g/pal8.bmp", "", "pil", false}, {"g/pal8gs.bmp", "", "pil", false},
    {"g/pal8nonsquare.bmp", "", "pil", false}, {"g/pal8os2.bmp", "", "pil", false},
    {"g/pal8rle.bmp", "", "pil", false}, {"g/pal8topdown.bmp", "", "pil", false},
    {"g/pal8v4.bmp", "", "pil", false}, {"g/pal8v5.bmp", "", "pil", false},
    {"g/pal8w124.bmp", "", "pil", false}, {"g/pal8w125.bmp", "", "pil", false},
    {"g/pal8w126.bmp", "", "pil", false}, {"g/rgb16-565.bmp", "", "format", false},
    {"g/rgb16-565pal.bmp", "", "format", false}, {"g/rgb16.bmp", "", "format", false},
    {"g/rgb16bfdef.bmp", "", "format", false}, {"g/rgb24.bmp", "", "pil", false},
    {"g/rgb24pal.bmp", "", "pil", false}, {"g/rgb32.bmp", "", "pil", false},
    {"g/rgb32bf.bmp", "", "im", false}, {"g/rgb32bfdef.bmp", "", "pil", false},
    // The Huffman rows hold the picture of pal1.bmp.
    {"q/pal1huffmsb.bmp", "", "twin:g/pal1.bmp", false}, {"q/pal1p1.bmp", "", "pil", false},
    {"q/pal2.bmp", "", "format", false}, {"q/pal2color.bmp", "", "format", false},
    // Run-length files with skipped pixels: those are index 0.
    {"q/pal4rlecut.bmp", "", "format", false}, {"q/pal4rletrns.bmp", "", "im", false},
    {"q/pal8offs.bmp", "", "pil", false}, {"q/pal8os2-hs.bmp", "", "pil", false},
    {"q/pal8os2-sz.bmp", "", "pil", false}, {"q/pal8os2sp.bmp", "", "pil", false},
    {"q/pal8os2v2-16.bmp", "", "im", false}, {"q/pal8os2v2-40sz.bmp", "", "pil", false},
    {"q/pal8os2v2-sz.bmp", "", "pil", false}, {"q/pal8os2v2.bmp", "", "pil", false},
    // 300 entries: the first 256 count.
    {"q/pal8oversizepal.bmp", "", "format", false}, {"q/pal8rlecut.bmp", "", "format", false},
    {"q/pal8rletrns.bmp", "", "im", false}, // Channels of one to three bits, dithered: JPEG's halved chroma
    // smears them even at quality 100.
    {"q/rgb16-231.bmp", "", "format", false, "12"},
    {"q/rgb16-3103.bmp", "", "format", false}, {"q/rgb16faketrns.bmp", "", "format", false},
    {"q/rgb24jpeg.bmp", "", "embedded", false}, {"q/rgb24largepal.bmp", "", "pil", false},
    {"q/rgb24lprof.bmp", "", "pil", false}, {"q/rgb24png.bmp", "", "embedded", false},
    {"q/rgb24prof.bmp", "", "pil", false}, {"q/rgb24prof2.bmp", "", "pil", false},
    {"q/rgb24rle24.bmp", "", "format", false}, {"q/rgb32-111110.bmp", "", "format", false},
    {"q/rgb32-7187.bmp", "", "format", false}, {"q/rgb32-xbgr.bmp", "", "pil", false},
    {"q/rgb32fakealpha.bmp", "", "pil", false}, {"q/rgb32h52.bmp", "", "im", false},
    {"q/rgba16-1924.bmp", "", "format", true, "12"}, {"q/rgba16-4444.bmp", "", "format", true},
    {"q/rgba16-5551.bmp", "", "format", true}, {"q/rgba32-1.bmp", "", "pil", true},
    {"q/rgba32-1010102.bmp", "", "format", true}, {"q/rgba32-2.bmp", "", "im", true},
    {"q/rgba32-61754.bmp", "", "format", true}, {"q/rgba32-81284.bmp", "", "format", true},
    {"q/rgba32abf.bmp", "", "format", true}, {"q/rgba32h56.bmp", "", "im", true},
};

// The shell helpers the commands above use: PIL runs Python with Pillow on
// the RGBA source (im) and the output name (out); WRAP puts a 124-byte
// header with the given compression around standard input, taking the
// size from the image data.
const char kHelpers[] = R"sh(
PIL() { /usr/bin/python3 -c "import sys; from PIL import Image; im = Image.open('$RGBA'); out = sys.argv[1]; $1" "$OUT"; }
WRAP() { /usr/bin/python3 -c "
import io, struct, sys
from PIL import Image
data = sys.stdin.buffer.read()
w, h = Image.open(io.BytesIO(data)).size
info = struct.pack('<IiiHHIIiiII', 124, w, h, 1, 0, int(sys.argv[1]), len(data), 2835, 2835, 0, 0) + bytes(84)
sys.stdout.buffer.write(struct.pack('<2sIHHI', b'BM', 138 + len(data), 0, 0, 138) + info + data)" "$1"; }
)sh";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

class EveryBmp : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = make_temp_dir();
        const std::string make = "cd '" + dir_ + "' && " +
                                 "convert -size 37x23 gradient:red-blue src.png && "
                                 "convert -size 37x23 gradient:red-blue \\( -size 37x23 "
                                 "gradient:white-black \\) -alpha off -compose copy_opacity "
                                 "-composite rgba.png && convert src.png src.ppm";
        sources_ok_ = run_command({"sh", "-c", make}).status == 0;
    }
    static void TearDownTestSuite() { remove_tree(dir_); }
    void SetUp() override {
        if (tarvo_bin().empty()) GTEST_SKIP() << "TARVO_BIN is not set";
        for (const char* tool : {"convert", "gm", "ppmtobmp", "qpdf", "mutool", "pdftoppm"})
            if (!tool_available(tool)) GTEST_SKIP() << tool << " is not installed";
        ASSERT_TRUE(sources_ok_);
    }

    // Runs the command on the bitmap into NAME-MODE.pdf; the path, empty on
    // a failure (which the test reports).
    std::string convert(const std::string& bitmap, const std::string& name, const char* mode,
                        const std::vector<std::string>& options, bool alpha) {
        const std::string pdf = dir_ + "/" + name + "-" + mode + ".pdf";
        std::vector<std::string> args{"-quiet", "-o=" + pdf};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(bitmap);
        CommandResult r = run_tarvo(args);
        EXPECT_EQ(r.status, 0) << name << " " << mode << ": " << r.err;
        const bool pdfa = std::string(mode) == "pdfa";
        // Composited onto white in PDF/A, with word of it; nothing else warns.
        EXPECT_EQ(r.err.find("composited onto white") != std::string::npos, pdfa && alpha)
            << name << " " << mode << ": " << r.err;
        std::string bytes;
        read_file(pdf, &bytes);
        EXPECT_EQ(bytes.find("/SMask") != std::string::npos, alpha && !pdfa) << name << " " << mode;
        // Soft masks came with PDF 1.4; the header said 1.3 before any page.
        if (alpha && !pdfa) {
            EXPECT_NE(bytes.find("/Version /1.4"), std::string::npos) << name;
        }
        return r.status == 0 ? pdf : std::string();
    }

    // Every case: lossless, JPEG at quality 100 for colour and grey (so
    // that a wrong channel or row shows however busy the picture), and
    // PDF/A for those with alpha.
    void check(const std::vector<std::pair<std::string, Kind>>& files) {
        const std::string profile = system_rgb_profile();
        std::string cases, pdfs;
        for (const auto& [bitmap, kind] : files) {
            const std::string ref = kind.reference;
            const std::string reference =
                ref.rfind("twin:", 0) == 0 ? "twin:" + bmpsuite_dir() + "/" + ref.substr(5) : ref;
            std::string name = replaced(kind.name, "/", "-");
            struct Mode {
                const char* name;
                std::vector<std::string> options;
                const char* tolerance;
            } modes[] = {{"lossless", {"-enc=2", "-encp=2", "-encg=2"}, "0"},
                         {"jpeg", {"-enc=3", "-encg=3"}, kind.jpeg_db},
                         {"pdfa", {"-eco=1", "-icc=" + profile, "-enc=2", "-encp=2", "-encg=2"}, "0"}};
            for (const Mode& m : modes) {
                if (m.name == std::string("pdfa") && (!kind.alpha || profile.empty())) continue;
                const std::string pdf = convert(bitmap, name, m.name, m.options, kind.alpha);
                if (pdf.empty()) continue;
                cases += pdf + " 1 " + bitmap + " " + reference + " " + m.tolerance + "\n";
                pdfs += " '" + pdf + "'";
            }
        }
        ASSERT_TRUE(write_file(dir_ + "/cases.txt", cases));
        CommandResult compared = run_command(
            {"/usr/bin/python3", std::string(std::getenv("TARVO_SOURCE_DIR")) +
                                     "/tests/support/page_pixels.py", dir_ + "/cases.txt"});
        EXPECT_EQ(compared.status, 0) << compared.out << compared.err;
        // qpdf finds no damage and MuPDF draws every page without a word
        // (but that of a MuPDF built without colour management).
        const std::string checks = "for f in" + pdfs +
                                   "; do qpdf --check \"$f\" >/dev/null || echo \"qpdf: $f\"; "
                                   "mutool draw -q -o /dev/null \"$f\" 2>&1 | grep -v 'ICC support is not available' | "
                                   "sed \"s|^|$f: |\"; done";
        CommandResult checked = run_command({"sh", "-c", checks});
        EXPECT_EQ(checked.out + checked.err, "");
    }

    static std::string dir_;
    static bool sources_ok_;
};

std::string EveryBmp::dir_;
bool EveryBmp::sources_ok_ = false;

TEST_F(EveryBmp, FilesOtherProgramsWrite) {
    std::vector<std::pair<std::string, Kind>> files;
    for (const Kind& k : kMade) {
        const std::string out = dir_ + "/" + k.name + ".bmp";
        std::string command = replaced(k.make, "SRC", dir_ + "/src.png");
        command = replaced(command, "RGBA", dir_ + "/rgba.png");
        command = replaced(command, "PPM", dir_ + "/src.ppm");
        command = replaced(command, "OUT", out);
        const std::string script = std::string(kHelpers) + "RGBA='" + dir_ + "/rgba.png'; OUT='" +
                                   out + "'\n" + command;
        CommandResult made = run_command({"bash", "-c", script});
        ASSERT_EQ(made.status, 0) << k.name << ": " << made.err;
        files.push_back({out, k});
    }
    check(files);
}

TEST_F(EveryBmp, TheBmpSuite) {
    if (bmpsuite_dir().empty()) GTEST_SKIP() << "BMP suite not found (TARVO_BMPSUITE_DIR)";
    std::vector<std::pair<std::string, Kind>> files;
    for (const Kind& k : kSuite) files.push_back({bmpsuite_dir() + "/" + k.name, k});
    check(files);
}

// What is still refused says why, with the loader's code.
TEST_F(EveryBmp, SixtyFourBitsAreRefusedWithTheReason) {
    if (bmpsuite_dir().empty()) GTEST_SKIP() << "BMP suite not found (TARVO_BMPSUITE_DIR)";
    CommandResult r = run_tarvo({"-quiet", "-o=" + dir_ + "/deep.pdf", bmpsuite_dir() + "/q/rgba64.bmp"});
    EXPECT_EQ(r.status, exit_status(-502));
    EXPECT_NE(r.err.find("convert others, 64-bit files say, to 32 bits first"), std::string::npos)
        << r.err;
    EXPECT_FALSE(file_exists(dir_ + "/deep.pdf"));
}

}  // namespace
