// Writes BMP files for the tests without the project's bitmap library, so
// loader and writer are checked against an independent encoder. BmpFile sets
// every field by hand, for unusual and malformed files; TestBitmap describes
// a picture and is laid out through BmpFile.
#ifndef TARVO_TESTS_BMP_WRITER_H
#define TARVO_TESTS_BMP_WRITER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What goes into a BMP file, field by field. The body is written as given
// (uncompressed rows or run-length data), right behind the colour table and
// any gap.
struct BmpFile {
    int32_t width = 0;
    int32_t height = 0;
    uint16_t bit_count = 8;
    uint32_t compression = 0;
    uint32_t header_size = 40;       // 108 / 124 for V4 / V5; extra bytes are 0x5A
    uint32_t colours_used = 0;
    int32_t x_ppm = 2835;
    int32_t y_ppm = 2835;
    std::vector<uint8_t> colours;    // 4-byte entries, blue green red reserved
    std::vector<uint8_t> body;
    uint32_t gap = 0;                // bytes between table and body, 0xEE each
    uint32_t file_size = 0;          // 0: the true size
};

std::vector<uint8_t> bmp_encode(const BmpFile& f);
bool bmp_write(const std::string& path, const BmpFile& f);

// Row stride for width and bit count, written out independently.
size_t bmp_stride(int32_t width, int bit_count);

// Uncompressed rows from value(x, y) (y from the top of the image), stored
// bottom-up or top-down as the height's sign says. Up to 8 bits value is a
// colour index, at 16 the pixel word; at 24 and 32 bits 0xRRGGBB, and at 32
// its top byte goes into the unused fourth byte.
std::vector<uint8_t> bmp_rows(int32_t width, int32_t height, int bit_count,
                              const std::function<uint32_t(int x, int y)>& value);

// Table entries from 0xRRGGBB colours; a colour's top byte is the reserved byte.
std::vector<uint8_t> bmp_colour_table(const std::vector<uint32_t>& palette);

struct TestBitmap {
    int width = 0;
    int height = 0;        // rows; the row order is chosen by top_down
    int bit_count = 24;    // 1, 4, 8, 24 or 32
    bool top_down = false;
    int compression = 0;   // 0 none, 1 RLE8, 2 RLE4 (always stored bottom-up)
    int32_t x_ppm = 3780;
    int32_t y_ppm = 3780;
    uint32_t colours_used = 0;       // 0: the table holds palette.size() entries
    std::vector<uint32_t> palette;   // 0xRRGGBB per entry
    std::vector<uint32_t> pixels;    // top row first; index, or 0xRRGGBB above 8 bits
};

// A 40-byte header, the whole palette, then the rows or the run-length data
// (encoded runs, and absolute runs where 8-bit pixels change at each step).
BmpFile bmp_file(const TestBitmap& bmp);
std::vector<uint8_t> bmp_encode(const TestBitmap& bmp);
bool bmp_write(const std::string& path, const TestBitmap& bmp);

// The colour each pixel shows, 0xRRGGBB, top row first.
std::vector<uint32_t> bmp_expected_rgb(const TestBitmap& bmp);

// Deterministic pictures that use every colour or index and the row and
// column ends. Up to 8 bits the table is colour_palette(entries), all the
// depth allows when entries is 0.
TestBitmap bmp_pattern(int width, int height, int bit_count, bool top_down = false, int entries = 0);
std::vector<uint32_t> grey_ramp(int entries);  // (i, i, i)
std::vector<uint32_t> colour_palette(int entries);

// 1 bit, black and white (white first when white_first): black where ink
// is non-zero. ink holds one byte per pixel, top row first.
TestBitmap bmp_bilevel(int width, int height, const std::vector<uint8_t>& ink, bool white_first = false);
// A page of text-like glyphs (rings, stems, bars in lines of words): 1 where
// ink is, top row first. Consecutive rows are alike, as in scanned text.
std::vector<uint8_t> text_ink(int width, int height, uint32_t seed);
// Ink on about half the pixels at random: what no fax code compresses.
std::vector<uint8_t> noise_ink(int width, int height, uint32_t seed);

#endif
