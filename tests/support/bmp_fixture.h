// Test helpers for the bitmap library: a BMP file writer kept apart from
// the code under test, temporary folders, and pixels as Pillow reads them.
#ifndef TARVO_TESTS_BMP_FIXTURE_H
#define TARVO_TESTS_BMP_FIXTURE_H

#include <cstdint>
#include <string>
#include <vector>

namespace bmptest {

// What goes into a BMP file, field by field. The body is written as given
// (uncompressed rows or run-length data), right behind the colour table and
// any gap.
struct BmpFile {
    int32_t width = 0;
    int32_t height = 0;
    uint16_t bit_count = 8;
    uint32_t compression = 0;
    uint32_t header_size = 40;       // 108 / 124 for V4 / V5; extra bytes are 0
    uint32_t colours_used = 0;
    int32_t x_ppm = 2835;
    int32_t y_ppm = 2835;
    std::vector<uint8_t> colours;    // 4-byte entries, blue green red reserved
    std::vector<uint8_t> body;
    uint32_t gap = 0;                // bytes between table and body
    uint32_t file_size = 0;          // 0: the true size
};

std::vector<uint8_t> bmp_encode(const BmpFile& f);

// Row stride for width and bit count, written out independently.
size_t bmp_stride(int32_t width, int bit_count);

// Uncompressed rows from a pixel function value(x, y) (y from the top of the
// image), stored bottom-up or top-down as the height's sign says. For 24 and
// 32 bits value is 0xRRGGBB, otherwise a colour index.
std::vector<uint8_t> bmp_rows(int32_t width, int32_t height, int bit_count,
                              uint32_t (*value)(int x, int y));

// A fresh folder under the system's temporary folder; removed with all
// its files by bmp_remove_dir.
std::string bmp_temp_dir();
void bmp_remove_dir(const std::string& dir);

bool bmp_write_file(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> bmp_read_file(const std::string& path);

// Pixels of an image file as Pillow decodes them: width, height and RGB
// bytes row by row from the top. False (with a message in error) when
// Pillow is unavailable or refuses the file.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};
bool pillow_read_rgb(const std::string& path, RgbImage* out, std::string* error);

}  // namespace bmptest

#endif
