// The BMP suite: one row per file with its expected status; the pixels of
// every good file that loads match Pillow's reading of the same file, and
// the run-length files decode to the pixels of their uncompressed twins.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "dib/dib.h"
#include "support/dib_pixels.h"
#include "support/tools.h"

namespace {

struct SuiteFile {
    const char* path;
    int status;
    const char* reference = nullptr;  // file whose Pillow pixels to expect
};

// Every good and unusual file loads but the 64-bit one (-8); the bad ones
// load or are refused with their status, none crashes.
const SuiteFile kSuite[] = {
    {"g/pal1.bmp", DIB_OK},
    {"g/pal1bg.bmp", DIB_OK},
    {"g/pal1wb.bmp", DIB_OK},
    {"g/pal4.bmp", DIB_OK},
    {"g/pal4gs.bmp", DIB_OK},
    // Pillow 9.4 reads RLE4 runs wrongly: expect its pixels of the twin.
    {"g/pal4rle.bmp", DIB_OK, "g/pal4.bmp"},
    {"g/pal8-0.bmp", DIB_OK},
    {"g/pal8.bmp", DIB_OK},
    {"g/pal8gs.bmp", DIB_OK},
    {"g/pal8nonsquare.bmp", DIB_OK},
    {"g/pal8os2.bmp", DIB_OK},
    {"g/pal8rle.bmp", DIB_OK},
    {"g/pal8topdown.bmp", DIB_OK},
    {"g/pal8v4.bmp", DIB_OK},
    {"g/pal8v5.bmp", DIB_OK},
    {"g/pal8w124.bmp", DIB_OK},
    {"g/pal8w125.bmp", DIB_OK},
    {"g/pal8w126.bmp", DIB_OK},
    {"g/rgb16-565.bmp", DIB_OK},
    {"g/rgb16-565pal.bmp", DIB_OK},
    {"g/rgb16.bmp", DIB_OK},
    {"g/rgb16bfdef.bmp", DIB_OK},
    {"g/rgb24.bmp", DIB_OK},
    {"g/rgb24pal.bmp", DIB_OK},
    {"g/rgb32.bmp", DIB_OK},
    {"g/rgb32bf.bmp", DIB_OK},
    {"g/rgb32bfdef.bmp", DIB_OK},
    {"b/badbitcount.bmp", DIB_ERR_BIT_COUNT},
    {"b/badbitssize.bmp", DIB_OK},  // image size field unused
    {"b/baddens1.bmp", DIB_OK},  // resolutions are not checked
    {"b/baddens2.bmp", DIB_OK},  // resolutions are not checked
    {"b/badfilesize.bmp", DIB_OK},  // size field only has to exceed 13
    {"b/badheadersize.bmp", DIB_OK},  // 66-byte header, normalised to 40
    {"b/badpalettesize.bmp", DIB_ERR_READ},  // table longer than the file
    {"b/badplanes.bmp", DIB_OK},  // planes unused
    {"b/badrle.bmp", DIB_OK},  // runs outside the bitmap are clipped
    {"b/badrle4.bmp", DIB_OK},
    {"b/badrle4bis.bmp", DIB_OK},
    {"b/badrle4ter.bmp", DIB_OK},
    {"b/badrlebis.bmp", DIB_OK},
    {"b/badrleter.bmp", DIB_OK},
    {"b/badwidth.bmp", DIB_ERR_UNSUPPORTED},
    {"b/pal8badindex.bmp", DIB_OK},  // indices are the reader's concern
    {"b/reallybig.bmp", DIB_ERR_NO_MEMORY},  // pixel array beyond 2^31 - 1 bytes
    {"b/rgb16-880.bmp", DIB_OK},  // no blue bits: blue is 0
    {"b/rletopdown.bmp", DIB_ERR_UNSUPPORTED},  // run-length data is bottom-up only
    {"b/shortfile.bmp", DIB_OK},  // missing pixel bytes read as 0
    {"q/pal1huffmsb.bmp", DIB_OK},
    {"q/pal1p1.bmp", DIB_OK},
    {"q/pal2.bmp", DIB_OK},
    {"q/pal2color.bmp", DIB_OK},
    {"q/pal4rlecut.bmp", DIB_OK},
    {"q/pal4rletrns.bmp", DIB_OK},
    {"q/pal8offs.bmp", DIB_OK, "q/pal8offs.bmp"},  // the gap before the pixels is skipped
    {"q/pal8os2-hs.bmp", DIB_OK},
    {"q/pal8os2-sz.bmp", DIB_OK},
    {"q/pal8os2sp.bmp", DIB_OK},
    {"q/pal8os2v2-16.bmp", DIB_OK},
    {"q/pal8os2v2-40sz.bmp", DIB_OK},
    {"q/pal8os2v2-sz.bmp", DIB_OK},
    {"q/pal8os2v2.bmp", DIB_OK},
    {"q/pal8oversizepal.bmp", DIB_OK},
    {"q/pal8rlecut.bmp", DIB_OK},
    {"q/pal8rletrns.bmp", DIB_OK},
    {"q/rgb16-231.bmp", DIB_OK},
    {"q/rgb16-3103.bmp", DIB_OK},
    {"q/rgb16faketrns.bmp", DIB_OK},
    {"q/rgb24jpeg.bmp", DIB_OK},
    {"q/rgb24largepal.bmp", DIB_OK},
    {"q/rgb24lprof.bmp", DIB_OK},
    {"q/rgb24png.bmp", DIB_OK},
    {"q/rgb24prof.bmp", DIB_OK},
    {"q/rgb24prof2.bmp", DIB_OK},
    {"q/rgb24rle24.bmp", DIB_OK},
    {"q/rgb32-111110.bmp", DIB_OK},
    {"q/rgb32-7187.bmp", DIB_OK},
    {"q/rgb32-xbgr.bmp", DIB_OK},
    {"q/rgb32fakealpha.bmp", DIB_OK},
    {"q/rgb32h52.bmp", DIB_OK},
    {"q/rgba16-1924.bmp", DIB_OK},
    {"q/rgba16-4444.bmp", DIB_OK},
    {"q/rgba16-5551.bmp", DIB_OK},
    {"q/rgba32-1.bmp", DIB_OK},
    {"q/rgba32-1010102.bmp", DIB_OK},
    {"q/rgba32-2.bmp", DIB_OK},
    {"q/rgba32-61754.bmp", DIB_OK},
    {"q/rgba32-81284.bmp", DIB_OK},
    {"q/rgba32abf.bmp", DIB_OK},
    {"q/rgba32h56.bmp", DIB_OK},
    {"q/rgba64.bmp", DIB_ERR_BIT_COUNT},
    {"x/ba-bm.bmp", DIB_ERR_NO_BITMAP},  // "BA" bitmap array
};

int load(const std::string& rel, DibHandle* h) {
    return dib_load_bmp(h, wide(bmpsuite_dir() + "/" + rel).c_str(), 0);
}

class BmpSuite : public ::testing::TestWithParam<SuiteFile> {
protected:
    void SetUp() override {
        if (bmpsuite_dir().empty()) GTEST_SKIP() << "BMP suite not found (TARVO_BMPSUITE_DIR)";
    }
};

TEST_P(BmpSuite, LoadsWithExpectedStatus) {
    const SuiteFile& f = GetParam();
    const size_t blocks = plat_mem_blocks_in_use();
    DibHandle h = reinterpret_cast<DibHandle>(1);  // must be overwritten
    const int status = load(f.path, &h);
    ASSERT_EQ(status, f.status) << f.path;
    if (status != DIB_OK) {
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(plat_mem_blocks_in_use(), blocks);
        return;
    }
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(plat_mem_lock_count(h), 0u);
    DibInfoHeader hdr;
    ASSERT_EQ(dib_command(DIB_OP_GET_HEADER, h, &hdr), DIB_OK);
    EXPECT_EQ(hdr.size, 40u);
    // Run-length and Huffman data are decoded; bit fields and JPEG or PNG
    // data stay as the file has them.
    EXPECT_TRUE(hdr.compression == DIB_COMPRESSION_NONE ||
                (hdr.compression >= DIB_COMPRESSION_BITFIELDS &&
                 hdr.compression <= DIB_COMPRESSION_ALPHA_BITFIELDS)) << hdr.compression;

    // Good files of plain pixels, and others given a reference, must show
    // what an independent decoder shows; the conversion tests compare the
    // others' pages.
    if ((f.path[0] == 'g' && hdr.compression == DIB_COMPRESSION_NONE && hdr.bit_count != 16) ||
        f.reference) {
        Raster ours, theirs;
        ASSERT_TRUE(dib_read_rgb(h, &ours));
        const std::string ref = bmpsuite_dir() + "/" + (f.reference ? f.reference : f.path);
        ASSERT_TRUE(read_with_pillow(ref, &theirs)) << "Pillow cannot read " << ref;
        ASSERT_EQ(ours.width, theirs.width);
        ASSERT_EQ(ours.height, theirs.height);
        const size_t width = static_cast<size_t>(ours.width);
        for (size_t i = 0; i < ours.rgb.size(); ++i)
            ASSERT_EQ(ours.rgb[i], theirs.rgb[i]) << f.path << " differs at " << i % width << "," << i / width;
    }
    dib_command(DIB_OP_FREE, &h, nullptr);
    EXPECT_EQ(plat_mem_blocks_in_use(), blocks);
}

std::string param_name(const ::testing::TestParamInfo<SuiteFile>& info) {
    std::string n;
    for (const char* p = info.param.path; *p; ++p)
        n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Files, BmpSuite, ::testing::ValuesIn(kSuite), param_name);

// Run-length files decode to the same indices and table as their
// uncompressed twins.
TEST(BmpSuiteRle, DecodesToUncompressedTwin) {
    if (bmpsuite_dir().empty()) GTEST_SKIP() << "BMP suite not found (TARVO_BMPSUITE_DIR)";
    const char* pairs[][2] = {{"g/pal8rle.bmp", "g/pal8.bmp"}, {"g/pal4rle.bmp", "g/pal4.bmp"}};
    for (const auto& p : pairs) {
        DibHandle rle = nullptr, plain = nullptr;
        ASSERT_EQ(load(p[0], &rle), DIB_OK);
        ASSERT_EQ(load(p[1], &plain), DIB_OK);
        Raster a, b;
        ASSERT_TRUE(dib_read_rgb(rle, &a));
        ASSERT_TRUE(dib_read_rgb(plain, &b));
        EXPECT_EQ(a.rgb, b.rgb) << p[0];
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 127; ++x)
                ASSERT_EQ(dib_pixel_at(rle, x, y), dib_pixel_at(plain, x, y))
                    << p[0] << " at " << x << "," << y;
        dib_command(DIB_OP_FREE, &rle, nullptr);
        dib_command(DIB_OP_FREE, &plain, nullptr);
    }
}

// ImageMagick writes the padding pixels of odd-width rows as pixels of the
// run; such rows must keep their place.
TEST(BmpSuiteRle, ImageMagickRunLengthFilesKeepTheirRows) {
    if (bmpsuite_dir().empty()) GTEST_SKIP() << "BMP suite not found (TARVO_BMPSUITE_DIR)";
    if (std::system("command -v convert >/dev/null 2>&1") != 0) GTEST_SKIP() << "ImageMagick not installed";
    const std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    for (const char* name : {"g/pal8.bmp", "g/pal8w124.bmp", "g/pal8w125.bmp", "g/pal8w126.bmp", "g/pal4.bmp"}) {
        const std::string src = bmpsuite_dir() + "/" + name, out = dir + "/rle.bmp";
        ASSERT_EQ(std::system(("convert '" + src + "' -compress RLE '" + out + "'").c_str()), 0) << name;
        std::string file;
        ASSERT_TRUE(read_file(out, &file));
        ASSERT_GT(file.size(), 34u);
        ASSERT_TRUE(file[30] == 1 || file[30] == 2) << name << " was not written run-length encoded";
        DibHandle rle = nullptr, plain = nullptr;
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(file.data());
        ASSERT_EQ(dib_load_bmp_memory(&rle, bytes, file.size(), 0), DIB_OK) << name;
        ASSERT_EQ(load(name, &plain), DIB_OK);
        Raster a, b;
        ASSERT_TRUE(dib_read_rgb(rle, &a));
        ASSERT_TRUE(dib_read_rgb(plain, &b));
        EXPECT_EQ(a.rgb, b.rgb) << name;
        dib_command(DIB_OP_FREE, &rle, nullptr);
        dib_command(DIB_OP_FREE, &plain, nullptr);
    }
    remove_tree(dir);
}

}  // namespace
