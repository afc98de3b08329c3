// Reads a loaded bitmap's pixels back as RGB for comparison with an
// independent decoder: the stride, row order and colour lookup are worked
// out here from the header fields, not taken from the library.
#ifndef TARVO_TESTS_DIB_PIXELS_H
#define TARVO_TESTS_DIB_PIXELS_H

#include "dib/dib.h"
#include "support/bmp_fixture.h"

namespace bmptest {

// RGB rows from the top; false when the bitmap cannot be locked or has a
// depth this reader does not know.
bool dib_read_rgb(DibHandle h, RgbImage* out);

// The raw pixel value (index, or BGR bytes packed little-endian) at image
// coordinates x, y (y from the top).
uint32_t dib_pixel_at(DibHandle h, int x, int y);

}  // namespace bmptest

#endif
