// Bitmaps whose pixel rows are read on a second thread while the caller
// already works on the rows that have come in: the file is read in large
// pieces in the order the rows are used (top row first, so a bottom-up file
// is read from its end), a bounded distance ahead so that rows are still
// in the cache when they are used.
#include "dib/ahead.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>

namespace {

// Pieces of about 1 MiB, at most 4 of them ahead of the rows asked for.
constexpr int64_t kPieceBytes = int64_t(1) << 20;
constexpr int64_t kLeadPieces = 4;
constexpr int kMaxActive = 8;

}  // namespace

struct DibAhead {
    DibAheadPlan plan{};
    PlatThread thread = nullptr;
    bool attached = false;  // in the table of bitmaps being read

    std::mutex lock;
    std::condition_variable arrived;  // for readers of the rows
    std::condition_variable wanted_more;  // for the reading thread
    int64_t ready = 0;   // top rows in place
    int64_t wanted = 0;  // top rows a reader has asked for
    int64_t paused_at = -1;  // the row the reading thread waits to read
    int64_t piece = 1;       // rows read at a time
    int64_t lead = 1;        // rows read ahead of those asked for
    bool failed = false;
    bool finished = false;  // the thread has left its loop
    bool stop = false;      // the bitmap is being freed: read no more
    bool unbounded = false;  // read to the end without waiting for readers
};

namespace {

// Bitmaps being read ahead, found by handle. Few at a time: one per page
// in flight.
std::mutex g_table_lock;
DibAhead* g_table[kMaxActive] = {};
std::atomic<int> g_active{0};

bool attach(DibAhead* a) {
    std::lock_guard<std::mutex> held(g_table_lock);
    for (DibAhead*& slot : g_table)
        if (!slot) {
            slot = a;
            a->attached = true;
            g_active.fetch_add(1, std::memory_order_release);
            return true;
        }
    return false;
}

DibAhead* find(DibHandle h) {
    if (!h || g_active.load(std::memory_order_acquire) == 0) return nullptr;
    std::lock_guard<std::mutex> held(g_table_lock);
    for (DibAhead* a : g_table)
        if (a && a->plan.handle == h) return a;
    return nullptr;
}

void detach(DibAhead* a) {
    std::lock_guard<std::mutex> held(g_table_lock);
    for (DibAhead*& slot : g_table)
        if (slot == a) {
            slot = nullptr;
            a->attached = false;
            g_active.fetch_sub(1, std::memory_order_release);
        }
}

// Reads the stored bytes of top rows [first, last) that the file holds;
// bytes past its pixel data stay as allocated (zero).
bool read_rows(const DibAheadPlan& p, int64_t first, int64_t last) {
    const int64_t from_row = p.top_down ? first : p.rows - last;
    int64_t begin = from_row * p.stride;
    int64_t end = std::min<int64_t>(begin + (last - first) * p.stride, int64_t(p.to_read));
    if (begin >= end) return true;
    const int64_t at = int64_t(p.file_offset) + begin;
    if (at > LONG_MAX || std::fseek(p.file, static_cast<long>(at), SEEK_SET) != 0) return false;
    return std::fread(p.pixels + begin, 1, size_t(end - begin), p.file) == size_t(end - begin);
}

void read_all(void* arg) {
    DibAhead* a = static_cast<DibAhead*>(arg);
    const DibAheadPlan& p = a->plan;
    const int64_t piece = a->piece;
    const int64_t lead = a->lead;
    for (int64_t first = 0; first < p.rows;) {
        {
            std::unique_lock<std::mutex> held(a->lock);
            a->paused_at = first;
            a->wanted_more.wait(held, [&] {
                return a->stop || a->unbounded || first < a->wanted + lead;
            });
            a->paused_at = -1;
            if (a->stop) break;
        }
        const int64_t last = std::min(p.rows, first + piece);
        const bool ok = read_rows(p, first, last);
        std::lock_guard<std::mutex> held(a->lock);
        if (!ok) {
            a->failed = true;
            break;
        }
        a->ready = first = last;
        a->arrived.notify_all();
    }
    std::lock_guard<std::mutex> held(a->lock);
    a->finished = true;
    a->arrived.notify_all();
}

// Ends the reading (to its end unless stopping) and lets go of the file
// and of the bitmap's lock.
void end_reading(DibAhead* a, bool stopping) {
    {
        std::lock_guard<std::mutex> held(a->lock);
        if (stopping) a->stop = true;
        a->unbounded = true;
        a->wanted_more.notify_all();
    }
    if (a->thread) plat_thread_join(a->thread);
    a->thread = nullptr;
    if (a->attached) detach(a);
    if (a->plan.file) std::fclose(a->plan.file);
    a->plan.file = nullptr;
    if (a->plan.handle) plat_mem_unlock(a->plan.handle);
    a->plan.handle = nullptr;
}

void set_plan(DibAhead* a, const DibAheadPlan& plan) {
    a->plan = plan;
    a->piece = std::max<int64_t>(1, kPieceBytes / std::max<int64_t>(1, plan.stride));
    a->lead = a->piece * kLeadPieces;
}

}  // namespace

int dib_ahead_start(const DibAheadPlan& plan, DibAhead** out) {
    *out = nullptr;
    DibAhead* a = new (std::nothrow) DibAhead;
    if (a) {
        set_plan(a, plan);
        if (attach(a)) {
            a->thread = plat_thread_start(read_all, a);
            if (a->thread) {
                *out = a;
                return DIB_OK;
            }
            detach(a);
        }
    }
    // No thread to be had: the rows are read here and now.
    DibAhead local;
    DibAhead* b = a ? a : &local;
    set_plan(b, plan);
    b->unbounded = true;
    read_all(b);
    const bool failed = b->failed;
    b->thread = nullptr;
    end_reading(b, false);
    delete a;
    return failed ? DIB_ERR_READ : DIB_OK;
}

void dib_ahead_stop(DibHandle h) {
    if (DibAhead* a = find(h)) end_reading(a, true);
}

bool dib_rows_wait(DibHandle h, int64_t rows) {
    DibAhead* a = find(h);
    if (!a) return true;
    std::unique_lock<std::mutex> held(a->lock);
    if (rows > a->wanted) {
        a->wanted = rows;
        // Woken only when it may read on, not at every row.
        if (a->paused_at >= 0 && a->paused_at < rows + a->lead) a->wanted_more.notify_one();
    }
    if (a->ready >= rows) return true;
    a->arrived.wait(held, [&] { return a->ready >= rows || a->finished; });
    return a->ready >= rows;
}

int dib_ahead_finish(DibAhead** ahead, int* cause) {
    if (cause) *cause = DIB_CAUSE_NONE;
    if (!ahead || !*ahead) return DIB_OK;
    DibAhead* a = *ahead;
    *ahead = nullptr;
    end_reading(a, false);
    const bool failed = a->failed;
    delete a;
    if (!failed) return DIB_OK;
    if (cause) *cause = DIB_CAUSE_READ;
    return DIB_ERR_READ;
}
