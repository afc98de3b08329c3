// Decodes CCITT fax data with coders written independently of ours: libtiff
// (the data wrapped as a one-strip bilevel TIFF in memory), and for
// byte-aligned Group 4, which libtiff does not read, poppler's pdfimages on
// a one-image PDF.
#ifndef TARVO_TESTS_FAX_DECODE_H
#define TARVO_TESTS_FAX_DECODE_H

#include <cstddef>
#include <cstdint>
#include <vector>

enum FaxDecodeMode {
    FAX_DECODE_G4,           // T.6
    FAX_DECODE_G4_ALIGNED,   // T.6, every row starting on a byte boundary (poppler)
    FAX_DECODE_MH,           // T.4 Modified Huffman, no EOLs between rows
    FAX_DECODE_MH_ALIGNED,   // the same with byte-aligned rows
};

// True when all rows were decoded; *pixels then holds them packed
// ((columns + 7) / 8 bytes a row, 1 = white, bits past the width zero).
bool fax_decode(const uint8_t* data, size_t size, FaxDecodeMode mode,
                int columns, int rows, std::vector<uint8_t>* pixels);

// Whether the decoder for this mode is present (libtiff built in, or
// pdfimages on PATH).
bool fax_decode_available(FaxDecodeMode mode);

#endif
