// Inside the bitmap library: file bodies the loader turns into bitmaps
// beyond plain pixels and RLE4/RLE8 data. Each takes the loaded block in
// *var, locked, with the body the file holds at data. On success *var is
// the unlocked result (the old block freed when a new one replaced it); on
// failure the old block is still locked, and the load's cause is set.
#ifndef TARVO_DIB_DECODE_H
#define TARVO_DIB_DECODE_H

#include "dib/dib.h"

// Records what a load found and returns its status.
int dib_load_refuse(int status, int cause);

// OS/2 Huffman 1D rows into a 1-bit bitmap with the block's table.
int dib_decode_huffman(DibHandle* var, const DibInfoHeader& hdr, const uint8_t* table,
                       const uint8_t* data, size_t n);
// JPEG and PNG data: checked against the header and kept, or (PNG that PDF
// cannot carry) decoded.
int dib_check_embedded(DibHandle* var, const DibInfoHeader& hdr, const uint8_t* data, size_t n);

// A block loaded from a file that holds fewer pixel bytes than its header
// claims says how many it holds in a note behind its pixels, so that an
// encoder can keep its memory in proportion to the file rather than the
// claim. The note: these 8 bytes, then the count as 8 little-endian bytes.
constexpr uint8_t DIB_HELD_MAGIC[8] = {'t', 'a', 'r', 'v', 'o', 'h', 'l', 'd'};
constexpr size_t DIB_HELD_NOTE_SIZE = 16;
void dib_note_held(uint8_t* at, uint64_t held);

#endif
