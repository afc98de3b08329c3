// Page geometry: units, image extents, scaling and placement in the area.
#include <cstdint>
#include <cwchar>
#include <limits>

#include "cmd/tarvo.h"
#include "platform/platform.h"

namespace {

// Document units per metre, truncated: 7200 / 0.0254 = 283464.57.
constexpr int64_t UNITS_PER_METRE = 283464;
constexpr int64_t UNITS_PER_INCH = 7200;
constexpr int32_t DEFAULT_DPI = 96;

int32_t extent(int32_t pixels, int32_t res, bool is_dpi) {
    int64_t r = res > 0 ? res : is_dpi ? DEFAULT_DPI : DIB_DEFAULT_PPM;
    int64_t per = is_dpi ? UNITS_PER_INCH : UNITS_PER_METRE;
    return cmd_clamp32((static_cast<int64_t>(pixels) * per + r / 2) / r);
}

}  // namespace

int32_t cmd_clamp32(int64_t v) {
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

int32_t units_from_tenth_mm(int32_t tenth_mm) {
    return cmd_clamp32((static_cast<int64_t>(tenth_mm) * 7200 + 127) / 254);
}

ImageExtent image_extent(int32_t width, int32_t height, int32_t xres, int32_t yres,
                         bool is_dpi) {
    return ImageExtent{extent(width, xres, is_dpi), extent(height, yres, is_dpi)};
}

bool fit_image(int32_t w, int32_t h, int32_t scale, int32_t align, const PageRect& area,
               PageRect* out) {
    const int64_t iw = w < 1 ? 1 : w;
    const int64_t ih = h < 1 ? 1 : h;
    const int64_t aw = area.w;
    const int64_t ah = area.h;
    const bool fits = iw <= aw && ih <= ah;
    int64_t nw = iw;
    int64_t nh = ih;
    auto proportional = [&] {
        if (ih * aw <= iw * ah) {
            nw = aw;
            nh = ih * aw / iw;
        } else {
            nh = ah;
            nw = iw * ah / ih;
        }
    };
    switch (scale) {
    case -1: proportional(); break;
    case -2: if (!fits) proportional(); break;
    case -3: nw = aw; nh = ah; break;
    case -4: if (!fits) { nw = aw; nh = ah; } break;
    default: break;
    }

    // Columns: 0 left, 1 centre, 2 right; rows: 0 top, 1 middle, 2 bottom.
    int column = 1;
    int row = 1;
    if (align >= 1 && align <= 9) {
        column = (align - 1) % 3;
        row = (align - 1) / 3;
    }
    const int64_t dx = column == 0 ? 0 : column == 1 ? (aw - nw) / 2 : aw - nw;
    const int64_t dy = row == 0 ? 0 : row == 1 ? (ah - nh) / 2 : ah - nh;
    *out = PageRect{cmd_clamp32(area.x + dx), cmd_clamp32(area.y + dy), cmd_clamp32(nw), cmd_clamp32(nh)};
    return nw >= 1 && nh >= 1;
}

std::wstring cmd_default_output(const std::wstring& first_file) {
    size_t name = first_file.size();
    while (name > 0 && !plat_is_separator(first_file[name - 1])) --name;
    const size_t dot = first_file.rfind(L'.');
    if (dot != std::wstring::npos && dot > name) return first_file.substr(0, dot) + L".pdf";
    return first_file + L".pdf";
}

namespace {

struct Paper {
    const wchar_t* name;  // lower case
    int32_t width;        // portrait, tenths of a millimetre
    int32_t height;
};

// ISO 216 A and B sizes; the US sizes are whole hundredths of an inch, here
// rounded to the nearest tenth of a millimetre (8.5 in is 215.9 mm).
const Paper PAPERS[] = {
    {L"a3", 2970, 4200},     {L"a4", 2100, 2970},     {L"a5", 1480, 2100},
    {L"b5", 1760, 2500},     {L"letter", 2159, 2794}, {L"legal", 2159, 3556},
    {L"tabloid", 2794, 4318},
};

bool same_name(const wchar_t* text, size_t n, const wchar_t* lower) {
    size_t k = 0;
    for (; k < n && lower[k]; ++k) {
        wchar_t c = text[k];
        if (c >= L'A' && c <= L'Z') c = wchar_t(c + (L'a' - L'A'));
        if (c != lower[k]) return false;
    }
    return k == n && lower[k] == 0;
}

}  // namespace

const wchar_t TARVO_PAPER_NAMES[] = L"A3, A4, A5, B5, Letter, Legal, Tabloid";

bool cmd_paper_size(const wchar_t* name, int32_t* width, int32_t* height) {
    if (!name) return false;
    const size_t n = std::wcslen(name);
    for (const Paper& p : PAPERS) {
        // "legal" ends in l itself, so the whole name is tried first.
        bool portrait = same_name(name, n, p.name);
        bool landscape = !portrait && n > 1 && (name[n - 1] == L'L' || name[n - 1] == L'l') &&
                         same_name(name, n - 1, p.name);
        if (!portrait && !landscape) continue;
        *width = landscape ? p.height : p.width;
        *height = landscape ? p.width : p.height;
        return true;
    }
    return false;
}
