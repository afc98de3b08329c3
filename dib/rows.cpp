// Pixel rows read through a window: a few hundred kilobytes of the file at
// a time, in the order the rows are asked for, into one buffer that is
// used again for every piece. A page then costs the window, not a block of
// its bitmap's size that is mapped, filled, read once and given back.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "dib/ahead.h"
#include "dib/decode.h"

namespace {

constexpr int64_t kWindowBytes = int64_t(256) << 10;

}  // namespace

struct DibRows {
    DibAheadPlan plan{};  // the file, and the locked block of header and table
    uint8_t* window = nullptr;
    int64_t capacity = 0;  // rows the window holds
    int64_t first = 0;     // the top row of those in the window
    int64_t count = 0;
    bool failed = false;
};

namespace {

void let_go(DibAheadPlan* p) {
    if (p->file) std::fclose(p->file);
    p->file = nullptr;
    if (p->handle) {
        plat_mem_unlock(p->handle);
        plat_mem_free(p->handle);
    }
    p->handle = nullptr;
}

// Top rows [first, first + count) from the file: stored rows in file order,
// which for a bottom-up file puts the top row last. Bytes past what the
// file holds read as 0.
bool fill(DibRows* r, int64_t first, int64_t count) {
    const DibAheadPlan& p = r->plan;
    const int64_t stored = p.top_down ? first : p.rows - first - count;
    const int64_t begin = stored * p.stride;
    const int64_t bytes = count * p.stride;
    const int64_t held = std::clamp<int64_t>(int64_t(p.to_read) - begin, 0, bytes);
    if (held > 0 && !plat_read_at(p.file, p.file_offset + uint64_t(begin), r->window, size_t(held)))
        return false;
    if (held < bytes) std::memset(r->window + held, 0, size_t(bytes - held));
    return true;
}

}  // namespace

DibRows* dib_rows_start(const DibAheadPlan& plan) {
    DibRows* r = new (std::nothrow) DibRows;
    DibAheadPlan p = plan;
    if (r) {
        r->plan = p;
        const int64_t stride = std::max<int64_t>(plan.stride, 1);
        r->capacity = std::clamp<int64_t>(kWindowBytes / stride, 1, std::max<int64_t>(plan.rows, 1));
        r->window = static_cast<uint8_t*>(std::malloc(size_t(r->capacity * stride)));
        if (r->window) return r;
        delete r;
    }
    let_go(&p);
    return nullptr;
}

void dib_rows_view(DibRows* rows, DibView* view) {
    std::memset(view, 0, sizeof *view);
    const DibAheadPlan& p = rows->plan;
    DibInfoHeader* hdr = static_cast<DibInfoHeader*>(plat_mem_lock(p.handle));
    plat_mem_unlock(p.handle);  // held locked by the rows since the load
    view->width = hdr->width;
    view->rows = int32_t(p.rows);
    view->row_bytes = int32_t((int64_t(hdr->width) * hdr->bit_count + 7) / 8);
    view->stride = int32_t(p.stride);
    view->padding = view->stride - view->row_bytes;
    view->bit_count = hdr->bit_count;
    view->x_res = hdr->x_ppm;
    view->y_res = hdr->y_ppm;
    view->header = hdr;
    view->colours = reinterpret_cast<uint8_t*>(hdr) + DIB_HEADER_SIZE;
    view->colour_bytes = int32_t(plat_mem_size(p.handle) - DIB_HEADER_SIZE);
    view->pixel_bytes = p.stride * p.rows;
    view->total_size = DIB_HEADER_SIZE + view->colour_bytes + view->pixel_bytes;
    view->held_bytes = int64_t(p.to_read);
}

bool dib_rows_need(DibRows* rows, int64_t n) {
    if (rows->failed) return false;
    const int64_t y = std::min(n, rows->plan.rows) - 1;
    if (y < 0 || (y >= rows->first && y < rows->first + rows->count)) return true;
    // The next piece starts at the row asked for: rows are asked for in
    // order, and a second pass over them starts again from the top.
    const int64_t count = std::min(rows->capacity, rows->plan.rows - y);
    rows->count = 0;
    if (!fill(rows, y, count)) {
        rows->failed = true;
        return false;
    }
    rows->first = y;
    rows->count = count;
    return true;
}

const uint8_t* dib_rows_row(const DibRows* rows, int64_t y) {
    const int64_t slot = rows->plan.top_down ? y - rows->first : rows->first + rows->count - 1 - y;
    return rows->window + slot * rows->plan.stride;
}

int dib_rows_close(DibRows** rows, int* cause) {
    if (cause) *cause = DIB_CAUSE_NONE;
    if (!rows || !*rows) return DIB_OK;
    DibRows* r = *rows;
    *rows = nullptr;
    const bool failed = r->failed;
    let_go(&r->plan);
    std::free(r->window);
    delete r;
    if (!failed) return DIB_OK;
    if (cause) *cause = DIB_CAUSE_READ;
    return DIB_ERR_READ;
}
