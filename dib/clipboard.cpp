// Moving bitmaps through the clipboard: the packed bitmap under the
// standard bitmap format, or under a private format named "Kesti#<n>".
#include "dib/dib.h"

#include <cstdio>
#include <cstring>

namespace {

enum { RES_KEEP = 0, RES_DPI_TO_PPM = 1, RES_PPM_TO_DPI = 2 };

unsigned private_format(int n) {
    char name[32];
    std::snprintf(name, sizeof name, "Kesti#%d", n);
    return plat_clip_register(name);
}

// Anything may sit on the clipboard: a taken block must be a whole
// uncompressed bitmap with at least a 40-byte header. A larger header is
// cut to 40 bytes with the table and pixels moved up behind it, which is
// where the rest of the library looks for them.
int normalise_taken(DibHandle h) {
    const size_t size = plat_mem_size(h);
    uint8_t* base = static_cast<uint8_t*>(plat_mem_lock(h));
    if (!base) return DIB_ERR_LOCK;
    int status = DIB_OK;
    DibInfoHeader hdr{};
    if (size < sizeof hdr) {
        status = DIB_ERR_NO_BITMAP;
    } else {
        std::memcpy(&hdr, base, sizeof hdr);
        if (hdr.compression != DIB_COMPRESSION_NONE) status = DIB_ERR_UNSUPPORTED;
    }
    if (status == DIB_OK) {
        const int64_t rows = dib_rows(hdr.height);
        const int64_t colour_bytes = 4 * static_cast<int64_t>(dib_palette_entries(&hdr));
        const int64_t body = colour_bytes + dib_stride(hdr.width, hdr.bit_count) * rows;
        if (hdr.size < DIB_HEADER_SIZE || hdr.width < 0 ||
            static_cast<int64_t>(hdr.size) + body > static_cast<int64_t>(size)) {
            status = DIB_ERR_NO_BITMAP;
        } else if (hdr.size > DIB_HEADER_SIZE) {
            std::memmove(base + DIB_HEADER_SIZE, base + hdr.size, static_cast<size_t>(body));
            const uint32_t forty = DIB_HEADER_SIZE;
            std::memcpy(base, &forty, sizeof forty);
        }
    }
    plat_mem_unlock(h);
    return status;
}

}  // namespace

int dib_to_clipboard(DibHandle h, int format, int dpi_flag) {
    DibHandle copy = nullptr;
    int status = dib_copy(h, &copy, dpi_flag ? RES_DPI_TO_PPM : RES_KEEP, nullptr);
    if (status != DIB_OK) return status;
    if (!plat_clip_open(nullptr)) {
        plat_mem_free(copy);
        return DIB_ERR_CLIP_OPEN;
    }
    unsigned id = PLAT_CF_DIB;
    if (format == 0)
        plat_clip_empty();
    else
        id = private_format(format);
    if (id == 0 || !plat_clip_set(id, copy)) {
        plat_mem_free(copy);
        plat_clip_close();
        return DIB_ERR_CLIP_SET;
    }
    // From here the copy is the clipboard's, whatever closing says.
    return plat_clip_close() ? DIB_OK : DIB_ERR_CLIP_CLOSE;
}

int dib_from_clipboard(DibHandle* var, int format, int dpi_flag) {
    if (!var) return DIB_ERR_NO_BITMAP;
    *var = nullptr;
    if (!plat_clip_open(nullptr)) return DIB_ERR_CLIP_OPEN;
    int status = DIB_OK;
    PlatMem data = nullptr;
    // Callers rely on this test even when they ask for a private format.
    if (!plat_clip_available(PLAT_CF_DIB)) {
        status = DIB_ERR_CLIP_NO_DIB;
    } else if (format == 0) {
        data = plat_clip_get(PLAT_CF_DIB);
        if (!data) status = DIB_ERR_CLIP_NO_DATA;
    } else {
        const unsigned id = private_format(format);
        if (id == 0) {
            status = DIB_ERR_CLIP_NO_DATA;
        } else {
            data = plat_clip_get(id);
            if (!data) status = DIB_CLIP_NO_PRIVATE_DATA;
        }
    }
    DibHandle copy = nullptr;
    int bits = 0;
    if (status == DIB_OK) status = dib_copy(data, &copy, dpi_flag ? RES_PPM_TO_DPI : RES_KEEP, &bits);
    if (!plat_clip_close() && status == DIB_OK) status = DIB_ERR_CLIP_CLOSE;
    if (status == DIB_OK && bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 &&
        bits != 32)
        status = DIB_ERR_BIT_COUNT;
    if (status == DIB_OK) status = normalise_taken(copy);
    if (status != DIB_OK) {
        plat_mem_free(copy);
        return status;
    }
    *var = copy;
    return DIB_OK;
}
