// Loads test files into bitmaps and reads their header and pixels back for
// comparison with an independent decoder: the stride, row order and colour
// lookup are worked out here from the header fields, not taken from the
// library.
#ifndef TARVO_TESTS_DIB_PIXELS_H
#define TARVO_TESTS_DIB_PIXELS_H

#include <vector>

#include "dib/dib.h"
#include "support/tools.h"

// The bitmap loaded from a whole BMP file in memory (a test failure and null
// when the loader refuses it).
DibHandle dib_from_file_bytes(const std::vector<uint8_t>& file);

// The header as the dispatcher reports it (a test failure when it cannot).
DibInfoHeader header_of(DibHandle h);

// 0xRRGGBB per pixel, top row first; false when the bitmap cannot be locked
// or has a depth this reader does not know.
bool dib_read_rgb(DibHandle h, Raster* out);

// The raw pixel value (index, or BGR bytes packed little-endian) at image
// coordinates x, y (y from the top).
uint32_t dib_pixel_at(DibHandle h, int x, int y);

#endif
