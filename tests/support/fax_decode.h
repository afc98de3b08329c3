// Decodes CCITT fax data with libtiff, a coder written independently of
// ours, by wrapping it as a one-strip bilevel TIFF in memory. libtiff does
// not read byte-aligned Group 4.
#ifndef TARVO_TESTS_FAX_DECODE_H
#define TARVO_TESTS_FAX_DECODE_H

#include <cstddef>
#include <cstdint>
#include <vector>

enum FaxDecodeMode {
    FAX_DECODE_G4,           // T.6
    FAX_DECODE_MH,           // T.4 Modified Huffman, no EOLs between rows
    FAX_DECODE_MH_ALIGNED,   // the same with byte-aligned rows
};

// True when all rows were decoded; *pixels then holds them packed
// ((columns + 7) / 8 bytes a row, 1 = white, bits past the width zero).
bool fax_decode(const uint8_t* data, size_t size, FaxDecodeMode mode,
                int columns, int rows, std::vector<uint8_t>* pixels);

// False when the tests were built without libtiff.
bool fax_decode_available();

#endif
