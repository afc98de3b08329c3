// Loads the input as a BMP file from memory. A bitmap that loads is read
// end to end through the views the writer uses, so a block shorter than
// its header says shows up as an overrun; a refusal must leave nothing.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "dib/dib.h"
#include "fuzz/declared_size.h"

namespace {

// Declared pixel arrays above this are skipped, so no input makes the
// target allocate gigabytes (the loader's own limit is 2^31 - 1 bytes).
constexpr uint64_t MAX_PIXEL_BYTES = 1u << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (fuzz::declared_pixel_bytes(data, size) > MAX_PIXEL_BYTES) return 0;
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
