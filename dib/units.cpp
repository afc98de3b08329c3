// Resolution and size units of the bitmap header, each conversion written
// once: 64-bit arithmetic, results clamped to 32 bits.
#include <climits>

#include "dib/dib.h"

namespace {

int32_t clamp_i32(int64_t v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

int64_t ppm_or_default(int32_t ppm) { return ppm == 0 ? DIB_DEFAULT_PPM : ppm; }

}  // namespace

// 1 inch is 0.0254 m: 39.37 pixels per metre make a dot per inch.
int32_t dib_dpi_from_ppm(int32_t ppm) {
    return clamp_i32((static_cast<int64_t>(ppm) * 100 + 1968) / 3937);
}

int32_t dib_ppm_from_dpi(int32_t dpi) {
    return clamp_i32((static_cast<int64_t>(dpi) * 3937 + 50) / 100);
}

int32_t dib_cdpi_from_ppm(int32_t ppm) {
    return clamp_i32((ppm_or_default(ppm) * 10000 + 1968) / 3937);
}

int32_t dib_tenth_mm(int64_t pixels, int32_t ppm) {
    return clamp_i32(pixels * 10000 / ppm_or_default(ppm));
}

int64_t dib_rows(int32_t height) { return height < 0 ? -static_cast<int64_t>(height) : height; }
