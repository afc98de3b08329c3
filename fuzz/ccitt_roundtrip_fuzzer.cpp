// CCITT round trip: the input's last three bytes choose the width and the
// mode, the rest are packed rows. Every encoding must decode back (through
// libtiff, when present) to the same pixels, and the capacity rule must hold
// one byte either side of the produced length.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/codec.h"
#include "support/fax_decode.h"

namespace {

int32_t encode(const std::vector<uint8_t>& rows_data, int k, int align, int columns, int rows,
               uint32_t capacity, std::vector<uint8_t>* out, uint32_t* space) {
    // A guard zone past the capacity that must survive every call.
    out->assign(size_t(capacity) + 16, 0xA5);
    *space = capacity;
    int32_t r = ccitt_encode(out->data(), space, rows_data.data(), int32_t(rows_data.size()), k,
                             align, columns, rows, 0);
    for (size_t i = capacity; i < out->size(); ++i)
        if ((*out)[i] != 0xA5) std::abort();
    return r;
}

}  // namespace

// libFuzzer calls this; the corpus replay under CTest does not, so its
// report stays on standard output while fuzzing runs stay quiet.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint8_t* tail = data + size - 3;
    int columns = 1 + ((tail[0] | tail[1] << 8) % 3000);
    const bool one_d = tail[2] & 1;
    const int align = (tail[2] >> 1) & 1;
    // libtiff's 1-D decoder keeps the width rounded up to 32 runs a row,
    // one short of single-pixel runs after a leading white 0.
    if (one_d && columns % 32 == 0) ++columns;
    const size_t row_bytes = (size_t(columns) + 7) / 8;
    const int rows = int(std::min<size_t>((size - 3) / row_bytes, 512));
    if (rows == 0) return 0;
    std::vector<uint8_t> pixels(data, data + row_bytes * size_t(rows));
    const int k = one_d ? 0 : -1;
    const int32_t full = one_d ? CODEC_CCITT_FULL_1D : CODEC_CCITT_FULL_2D;

    // 1-D single-pixel runs take 4.5 bits a pixel; nothing takes more.
    const uint32_t ample = uint32_t(pixels.size() * 6 + 64);
    std::vector<uint8_t> out;
    uint32_t length;
    if (encode(pixels, k, align, columns, rows, ample, &out, &length) != CODEC_OK) std::abort();
    if (length == 0 || length > ample) std::abort();
    out.resize(length);

    // One byte more always fits; one byte less never does.
    std::vector<uint8_t> again;
    uint32_t n;
    if (encode(pixels, k, align, columns, rows, length + 1, &again, &n) != CODEC_OK || n != length ||
        !std::equal(out.begin(), out.end(), again.begin()))
        std::abort();
    int32_t r = encode(pixels, k, align, columns, rows, length - 1, &again, &n);
    if ((r != full && r != CODEC_CCITT_FULL_EOFB) || n != length - 1) std::abort();

    // libtiff does not read byte-aligned Group 4.
    if (!fax_decode_available() || (!one_d && align)) return 0;
    const FaxDecodeMode mode = !one_d ? FAX_DECODE_G4 : align ? FAX_DECODE_MH_ALIGNED : FAX_DECODE_MH;
    std::vector<uint8_t> decoded;
    if (!fax_decode(out.data(), out.size(), mode, columns, rows, &decoded)) std::abort();
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < columns; ++x) {
            size_t i = size_t(y) * row_bytes + size_t(x) / 8;
            int shift = 7 - (x & 7);
            if (((pixels[i] >> shift) & 1) != ((decoded[i] >> shift) & 1)) std::abort();
        }
    return 0;
}
