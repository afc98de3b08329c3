// Loads the input as a BMP file from memory. A bitmap that loads is read
// end to end through the views the writer uses, so a block shorter than
// its header says shows up as an overrun; a refusal must leave nothing.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "dib/dib.h"

namespace {

// Declared pixel arrays above this are skipped, so no input makes the
// target allocate gigabytes (the loader's own limit is 2^31 - 1 bytes).
constexpr uint64_t MAX_PIXEL_BYTES = 1u << 20;

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24;
}

bool too_big(const uint8_t* data, size_t size) {
    if (size < 30) return false;
    const int64_t w = static_cast<int32_t>(le32(data + 18));
    const int64_t h = static_cast<int32_t>(le32(data + 22));
    const uint64_t bits = static_cast<uint64_t>(data[28] | data[29] << 8);
    const uint64_t aw = static_cast<uint64_t>(w < 0 ? -w : w), ah = static_cast<uint64_t>(h < 0 ? -h : h);
    return (aw * bits / 8 + 4) * ah > MAX_PIXEL_BYTES;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (too_big(data, size)) return 0;
    const size_t blocks = plat_mem_blocks_in_use();
    DibHandle h = reinterpret_cast<DibHandle>(1);
    const int status = dib_load_bmp_memory(&h, data, size, size & 1);
    if (status != DIB_OK) {
        if (h != nullptr || plat_mem_blocks_in_use() != blocks) std::abort();
        return 0;
    }
    if (!h) std::abort();
    DibView v;
    if (dib_view_open(&v, h) != DIB_OK) std::abort();
    unsigned sum = 0;
    for (int32_t i = 0; i < v.colour_bytes; ++i) sum += v.colours[i];
    for (int64_t i = 0; i < v.pixel_bytes; ++i) sum += v.pixels[i];
    dib_view_close(&v);
    int32_t out[2];
    for (int code = DIB_OP_WIDTH; code <= DIB_OP_RES_CDPI; ++code) dib_command(code, h, out);
    char text[64];
    dib_describe(h, 2, text, sizeof text);
    if (plat_mem_lock_count(h) != 0) std::abort();
    dib_command(DIB_OP_FREE, &h, nullptr);
    if (plat_mem_blocks_in_use() != blocks) std::abort();
    return static_cast<int>(sum & 0);
}
