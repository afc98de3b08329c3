// Writes BMP files for the tests from a plain pixel description, without the
// project's bitmap library, so loader and writer are checked against an
// independent encoder.
#ifndef TARVO_TESTS_BMP_WRITER_H
#define TARVO_TESTS_BMP_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

struct TestBitmap {
    int width = 0;
    int height = 0;        // rows; the row order is chosen by top_down
    int bit_count = 24;    // 1, 4, 8, 24 or 32
    bool top_down = false;
    int compression = 0;   // 0 none, 1 RLE8, 2 RLE4
    int32_t x_ppm = 3780;
    int32_t y_ppm = 3780;
    uint32_t colours_used = 0;       // 0: the table holds palette.size() entries
    std::vector<uint32_t> palette;   // 0xRRGGBB per entry
    std::vector<uint32_t> pixels;    // top row first; index, or 0xRRGGBB above 8 bits
};

std::vector<uint8_t> bmp_encode(const TestBitmap& bmp);
bool bmp_write(const std::string& path, const TestBitmap& bmp);

// The colour each pixel shows, 0xRRGGBB, top row first.
std::vector<uint32_t> bmp_expected_rgb(const TestBitmap& bmp);

// Pattern generators: deterministic pictures that exercise every colour or
// index and the row and column ends.
TestBitmap bmp_pattern(int width, int height, int bit_count);
std::vector<uint32_t> grey_ramp(int entries);
// A page of text-like glyphs (rings, stems, bars in lines of words): 1 where
// ink is, top row first. Consecutive rows are alike, as in scanned text.
std::vector<uint8_t> text_ink(int width, int height, uint32_t seed);  // (i, i, i)
std::vector<uint32_t> colour_palette(int entries);

#endif
