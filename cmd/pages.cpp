// Pages made ahead, through one ordered queue: each bitmap is loaded and its
// image encoded, two at a time on two threads while the run writes the
// pages before them, and handed out in command-line order exactly as the
// sequential run makes them. A page is taken up only when the memory its
// encoder will hold fits a budget beside what the pages being made, made
// and being written hold; a page alone always may. With no threads the run
// makes each page through the same steps when it asks for it.
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include "cmd/tarvo.h"

namespace {

// Pages taken up and not yet handed out.
constexpr size_t kInFlight = 2;
constexpr int kWorkers = 2;
// The budget, in half bitmaps of the run's largest page so far: two and a
// half, the last half left for what no page claims (the program, its
// threads' coders, the last huge page of an encoder's room, the rooms kept
// for the next pages).
constexpr int64_t kBudgetHalves = 5;

// A page between its load and its image.
struct Loaded {
    CmdPage page;
    DibHandle dib;
    DibRows* rows;
    int64_t pixel_bytes;  // of the bitmap, held in a block or not
    int64_t working;      // what making its image holds, about, besides Flate
    int64_t flate;        // samples Flate may code whole (their data comes on top)
};

struct Slot {
    bool done;
    CmdPage page;
    int64_t held;  // bytes the made page holds until it is written
};

}  // namespace

struct CmdPageSource {
    PdfDocument* doc = nullptr;
    const std::vector<std::wstring>* files = nullptr;
    std::thread workers[kWorkers];
    int worker_count = 0;

    std::mutex lock;
    std::condition_variable changed;
    size_t next = 0;       // the next page to be taken up
    size_t admitted = 0;   // pages that have claimed their memory, in order
    size_t taken = 0;      // pages handed out
    Slot slots[kInFlight] = {};  // page k waits in slots[k % kInFlight]
    int64_t in_use = 0;    // bytes claimed by pages made, being made or written
    int64_t largest = 0;   // the largest bitmap of the pages taken up so far
    int64_t writing = 0;   // bytes of the page handed out, until it is written
    bool stop = false;
};

namespace {

int64_t product(int64_t a, int64_t b) { return a > 0 && b > 0 ? a * b : 0; }

// What an image's encoder holds while it codes a page of this header:
// samples made whole, JPEG's data twice (coded with the standard tables,
// then again with its own), G4's data; for a depth that several classes
// share, the costliest. A block holding the whole bitmap comes on top.
// Flate's samples go to *flate, since its data, which the samples' content
// decides, comes on top of them.
int64_t working_bytes(PdfDocument* doc, const DibInfoHeader& h, bool block, int64_t pixels,
                      int64_t* flate) {
    PdfEncodingChoices enc;
    const int64_t width = h.width > 0 ? h.width : 0;
    const int64_t rows = dib_rows(h.height);
    const int64_t bits = h.bit_count;
    const bool truecolour = bits >= 16;
    const int64_t samples = truecolour ? product(3 * width, rows) : product((width * bits + 7) / 8, rows);
    int64_t cost = block ? 0 : samples;  // unencoded from a window
    *flate = 0;
    if (pdfw_get_encodings(doc, &enc) && enc.compression_on) {
        const auto coder = [&](int filter, bool grey) -> int64_t {
            switch (filter) {
            // Two rooms of a quarter of the samples each.
            case PDFW_FILTER_DCT: return (grey ? 1 : 3) * product(width, rows) / 2;
            case PDFW_FILTER_CCITT: return 3 * samples;  // and the Flate trial's data
            case PDFW_FILTER_NONE: return block ? 0 : samples;
            default:
                *flate = samples;
                return 0;
            }
        };
        if (truecolour) {
            cost = coder(enc.truecolour, false);
        } else {
            cost = std::max(coder(enc.palette, false), coder(enc.grey, bits == 8));
            if (bits == 1) cost = std::max(cost, coder(enc.bilevel, false));
        }
    }
    return cost + (block ? pixels : 0);
}

// Loads bitmap k: a plain file's header and table with its rows left in
// the file, anything else whole.
Loaded load(PdfDocument* doc, const std::wstring& path) {
    Loaded l{};
    CmdPage& page = l.page;
    page.load_status =
        cmd_load_bitmap(path, &l.dib, &l.rows, &page.load_cause, &page.input_bytes);
    if (page.load_status != DIB_OK) return l;
    page.rows_missing = dib_load_rows_missing();
    if (l.rows) {
        DibView view;
        dib_rows_view(l.rows, &view);
        page.header = *view.header;
        l.pixel_bytes = view.pixel_bytes;
    } else {
        dib_command(DIB_OP_GET_HEADER, l.dib, &page.header);
        l.pixel_bytes = int64_t(plat_mem_size(l.dib));
    }
    l.working = working_bytes(doc, page.header, l.dib != nullptr, l.pixel_bytes, &l.flate);
    return l;
}

// Encodes a loaded page's image; a window read that fails fails the page
// as the load would have.
CmdPage make(PdfDocument* doc, Loaded* l) {
    CmdPage page = l->page;
    if (page.load_status != DIB_OK) return page;
    if (l->rows)
        pdfw_image_prepare_rows(doc, l->rows, 0, nullptr, nullptr, &page.image);
    else
        pdfw_image_prepare(doc, &l->dib, 0, nullptr, nullptr, &page.image);
    page.prepared = true;
    int cause = DIB_CAUSE_NONE;
    const int read = dib_rows_close(&l->rows, &cause);
    if (read != DIB_OK) {
        pdfw_image_discard(doc, page.image);
        page = CmdPage{};
        page.load_status = read;
        page.load_cause = cause;
    }
    return page;
}

// What a page will hold while it is made: Flate's data is reckoned at all
// of its samples, as much as noise keeps (an estimate from the pages before
// let a noisy page after clean ones go past the budget). A large image's
// two parts are held once: the second is written from its own block.
int64_t claim(const Loaded& l) { return l.working + 2 * l.flate; }

bool fits(const CmdPageSource* src, const Loaded& l) {
    const int64_t budget = kBudgetHalves * std::max(src->largest, l.pixel_bytes) / 2;
    return src->in_use + claim(l) <= budget;
}

// Takes up page k once it is its turn and its memory fits; a page alone, or
// with nothing else in flight, always may. False when the run stops first.
// Called with the lock held; *claimed gets what it holds.
bool admit(CmdPageSource* src, std::unique_lock<std::mutex>& held, size_t k, const Loaded& l,
           bool alone, int64_t* claimed) {
    src->changed.wait(held, [&] {
        return src->stop ||
               (src->admitted == k && (alone || src->in_use == 0 || fits(src, l)));
    });
    if (src->stop) return false;
    *claimed = claim(l);
    ++src->admitted;
    src->in_use += *claimed;
    src->largest = std::max(src->largest, l.pixel_bytes);
    src->changed.notify_all();
    return true;
}

// The page is made: it holds what it keeps until written.
void made(CmdPageSource* src, size_t k, const CmdPage& page, int64_t claimed) {
    const int64_t kept = pdfw_image_held_bytes(page.image);
    src->in_use += kept - claimed;
    src->slots[k % kInFlight] = Slot{true, page, kept};
    src->changed.notify_all();
}

// Loads page k, takes it up (with workers, once it is its turn and its
// memory fits; alone, at once) and makes it into its slot; false when the
// run stops first. Called with the lock held, which it lets go meanwhile.
bool make_page(CmdPageSource* src, std::unique_lock<std::mutex>& held, size_t k, bool alone) {
    held.unlock();
    Loaded l = load(src->doc, (*src->files)[k]);
    held.lock();
    int64_t claimed = 0;
    if (!admit(src, held, k, l, alone, &claimed)) {
        dib_rows_close(&l.rows, nullptr);
        dib_command(DIB_OP_FREE, &l.dib, nullptr);
        return false;
    }
    held.unlock();
    const CmdPage page = make(src->doc, &l);
    held.lock();
    made(src, k, page, claimed);
    return true;
}

void work(CmdPageSource* src) {
    std::unique_lock<std::mutex> held(src->lock);
    for (;;) {
        src->changed.wait(held, [&] {
            return src->stop || src->next >= src->files->size() ||
                   src->next < src->taken + kInFlight;
        });
        if (src->stop || src->next >= src->files->size()) return;
        // A page made after the stop is freed by it, from its slot.
        if (!make_page(src, held, src->next++, false) || src->stop) return;
    }
}

}  // namespace

int cmd_thread_count() {
    const char* asked = std::getenv("TARVO_THREADS");
    if (asked && *asked) {
        char* end = nullptr;
        const long n = std::strtol(asked, &end, 10);
        if (*end == 0 && n >= 1) return n > 64 ? 64 : int(n);
    }
    const int cores = plat_core_count();
    return cores > 64 ? 64 : cores;
}

CmdPageSource* cmd_pages_start(PdfDocument* doc, const std::vector<std::wstring>* files,
                               int threads) {
    CmdPageSource* src = new (std::nothrow) CmdPageSource;
    if (!src) return nullptr;
    src->doc = doc;
    src->files = files;
    // Threads pay only when pages can be made while others are written.
    const int wanted = threads > 1 && files->size() > 1 ? kWorkers : 0;
    for (int w = 0; w < wanted; ++w) {
        try {
            src->workers[src->worker_count] = std::thread(work, src);
            ++src->worker_count;
        } catch (...) {
            break;  // the pages are made with the threads there are, or on demand
        }
    }
    return src;
}

bool cmd_pages_next(CmdPageSource* src, CmdPage* page) {
    if (!src || src->taken >= src->files->size()) return false;
    std::unique_lock<std::mutex> held(src->lock);
    const size_t k = src->taken;
    if (src->worker_count == 0) {
        // Made here, one page at a time: the queue with a single entry,
        // which fits as a page alone does.
        ++src->next;
        make_page(src, held, k, true);
    }
    Slot& slot = src->slots[k % kInFlight];
    src->changed.wait(held, [&] { return slot.done; });
    *page = slot.page;
    src->writing += slot.held;
    slot = Slot{};
    ++src->taken;
    src->changed.notify_all();
    return true;
}

void cmd_pages_written(CmdPageSource* src) {
    if (!src) return;
    std::lock_guard<std::mutex> held(src->lock);
    src->in_use -= src->writing;
    src->writing = 0;
    src->changed.notify_all();
}

void cmd_pages_stop(CmdPageSource* src) {
    if (!src) return;
    {
        std::lock_guard<std::mutex> held(src->lock);
        src->stop = true;
        src->changed.notify_all();
    }
    for (int w = 0; w < src->worker_count; ++w) src->workers[w].join();
    for (Slot& slot : src->slots)
        if (slot.done) pdfw_image_discard(src->doc, slot.page.image);
    delete src;
}
