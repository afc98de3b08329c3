// Decodes the input as run-length data. The last five bytes choose the
// bitmap: width and height (16 bits each, capped so the target stays
// small), then a byte whose low bit picks RLE4 over RLE8 and whose upper
// bits give the colours-used field.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "dib/dib.h"

namespace {

constexpr uint32_t MAX_SIDE = 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const uint8_t* tail = data + size - 5;
    const size_t rle_size = size - 5;
    const int32_t width = static_cast<int32_t>((tail[0] | tail[1] << 8) % MAX_SIDE);
    const int32_t height = static_cast<int32_t>((tail[2] | tail[3] << 8) % MAX_SIDE);
    const bool rle4 = tail[4] & 1;
    const uint32_t colours_used = tail[4] >> 1;
    const uint32_t entries = colours_used ? colours_used : (rle4 ? 16 : 256);

    DibInfoHeader hdr{};
    hdr.size = DIB_HEADER_SIZE;
    hdr.width = width;
    hdr.height = height;
    hdr.planes = 1;
    hdr.bit_count = rle4 ? 4 : 8;
    hdr.compression = rle4 ? DIB_COMPRESSION_RLE4 : DIB_COMPRESSION_RLE8;
    hdr.colours_used = colours_used;

    const size_t blocks = plat_mem_blocks_in_use();
    const size_t table = 4 * entries;
    DibHandle h = plat_mem_alloc(PLAT_MEM_MOVEABLE | PLAT_MEM_ZEROINIT, sizeof hdr + table + rle_size);
    if (!h) return 0;
    uint8_t* base = static_cast<uint8_t*>(plat_mem_lock(h));
    std::memcpy(base, &hdr, sizeof hdr);
    for (size_t i = 0; i < table; ++i) base[sizeof hdr + i] = static_cast<uint8_t>(i);
    if (rle_size) std::memcpy(base + sizeof hdr + table, data, rle_size);
    plat_mem_unlock(h);

    if (dib_decode_rle(&h) != DIB_OK) std::abort();
    DibView v;
    if (dib_view_open(&v, h) != DIB_OK) std::abort();
    if (v.width != width || v.rows != height || v.header->compression != 0) std::abort();
    unsigned sum = 0;
    for (int64_t i = 0; i < v.pixel_bytes; ++i) sum += v.pixels[i];
    dib_view_close(&v);
    dib_command(DIB_OP_FREE, &h, nullptr);
    if (plat_mem_blocks_in_use() != blocks) std::abort();
    return static_cast<int>(sum & 0);
}
