// Pages prepared ahead: each bitmap is loaded and its image encoded, two at
// a time on two threads while the run writes the pages before them. The
// pages come out in command-line order and exactly as the sequential run
// makes them; with one thread the work is done when a page is asked for.
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include "cmd/tarvo.h"

namespace {

// Pages being made or waiting for the run.
constexpr size_t kInFlight = 2;
constexpr int kWorkers = 2;
// Memory in bitmap-sized shares: a page holds two while its bitmap is read
// and encoded (the bitmap and what the encoder makes of it). An encoder
// that reads each row once and gives it back holds one: JPEG of 24 and 32
// bits, whose coefficients take no more than the rows they are made from,
// and Flate, whose data is no larger than the rows. JPEG gives its last
// share back when it is done, its data being small; any other page keeps
// one until it is written (its Flate data or, unencoded, its bitmap). With
// three, memory stays under three bitmaps.
constexpr int kShares = 3;
constexpr int kSharesPerPage = 2;

}  // namespace

struct CmdPageSource {
    PdfDocument* doc = nullptr;
    const std::vector<std::wstring>* files = nullptr;
    size_t taken = 0;  // pages handed to the run

    std::thread workers[kWorkers];
    int worker_count = 0;
    std::mutex lock;
    std::condition_variable changed;
    size_t next = 0;  // the next page a worker takes up
    bool done[kInFlight] = {};
    CmdPage made[kInFlight] = {};  // page k waits in made[k % kInFlight]
    int kept[kInFlight] = {};       // shares page k keeps until it is written
    int writing = 0;                // shares of the page handed out last
    bool stop = false;
    int shares = kShares;  // free shares
};

namespace {

// A page's hold on memory while a worker makes it.
struct Hold {
    CmdPageSource* src;
    int shares;
    int keep;  // -1: one unless the encoder gave a share back
};

void give_back(CmdPageSource* src, Hold* hold, int shares) {
    if (!src) return;
    std::lock_guard<std::mutex> held(src->lock);
    src->shares += shares;
    hold->shares -= shares;
    src->changed.notify_all();
}

// The bitmap has been read whole into the encoder's own copy.
void read_done(void* opaque) {
    Hold* hold = static_cast<Hold*>(opaque);
    std::lock_guard<std::mutex> held(hold->src->lock);
    if (hold->shares < 2) return;
    hold->src->shares += 1;
    hold->shares -= 1;
    hold->src->changed.notify_all();
}

// How a loaded bitmap's encoder holds memory: reading the rows once and
// giving each back as it goes, into JPEG coefficients no larger than the
// rows (24 and 32 bits) or into Flate data no larger than the rows (which
// the page keeps until written); or anything else.
enum class Reads { kWhole, kToCoefficients, kToFlate };

Reads reads_of(PdfDocument* doc, const DibInfoHeader& h) {
    PdfEncodingChoices enc;
    if (!pdfw_get_encodings(doc, &enc) || !enc.compression_on) return Reads::kWhole;
    const bool stored_rows = h.compression == DIB_COMPRESSION_NONE ||
                             h.compression == DIB_COMPRESSION_BITFIELDS ||
                             h.compression == DIB_COMPRESSION_ALPHA_BITFIELDS;
    if (!stored_rows) return Reads::kWhole;
    // Samples no larger than the rows: 16 and 2 bits are widened.
    if (h.bit_count == 24 || h.bit_count == 32) {
        if (enc.truecolour == PDFW_FILTER_FLATE) return Reads::kToFlate;
        return enc.truecolour == PDFW_FILTER_DCT ? Reads::kToCoefficients : Reads::kWhole;
    }
    // Whatever class the colour table makes of it.
    const bool flate = (h.bit_count == 1 || h.bit_count == 4 || h.bit_count == 8) &&
                       enc.palette == PDFW_FILTER_FLATE && enc.grey == PDFW_FILTER_FLATE &&
                       (h.bit_count != 1 || enc.bilevel == PDFW_FILTER_FLATE);
    return flate ? Reads::kToFlate : Reads::kWhole;
}

// Loads bitmap k and prepares its image. A plain file's rows come through
// a window while the image is encoded; a read that fails then fails the
// page as the load would have.
CmdPage make_page(PdfDocument* doc, const std::wstring& path, Hold* hold) {
    CmdPage page{};
    DibHandle dib = nullptr;
    DibRows* rows = nullptr;
    page.load_status = cmd_load_bitmap(path, &dib, &rows, &page.load_cause, &page.input_bytes);
    if (page.load_status != DIB_OK) return page;
    page.rows_missing = dib_load_rows_missing();
    if (rows) {
        DibView view;
        dib_rows_view(rows, &view);
        page.header = *view.header;
    } else {
        dib_command(DIB_OP_GET_HEADER, dib, &page.header);
    }
    if (hold) {
        const Reads reads = reads_of(doc, page.header);
        if (reads != Reads::kWhole) {
            give_back(hold->src, hold, 1);
            hold->keep = reads == Reads::kToFlate ? 1 : 0;
        }
    }
    if (rows)
        pdfw_image_prepare_rows(doc, rows, 0, hold ? read_done : nullptr, hold, &page.image);
    else
        pdfw_image_prepare(doc, &dib, 0, hold ? read_done : nullptr, hold, &page.image);
    page.prepared = true;
    int cause = DIB_CAUSE_NONE;
    const int read = dib_rows_close(&rows, &cause);
    if (read != DIB_OK) {
        pdfw_image_discard(doc, page.image);
        page = CmdPage{};
        page.load_status = read;
        page.load_cause = cause;
    }
    return page;
}

void work(CmdPageSource* src) {
    std::unique_lock<std::mutex> held(src->lock);
    for (;;) {
        src->changed.wait(held, [&] {
            return src->stop || src->next >= src->files->size() ||
                   (src->next < src->taken + kInFlight && src->shares >= kSharesPerPage);
        });
        if (src->stop || src->next >= src->files->size()) return;
        const size_t k = src->next++;
        src->shares -= kSharesPerPage;
        Hold hold{src, kSharesPerPage, -1};
        held.unlock();
        CmdPage page = make_page(src->doc, (*src->files)[k], &hold);
        held.lock();
        // A page whose encoder gave nothing back keeps one share for what
        // it holds until it is written.
        const int keep = hold.keep >= 0 ? std::min(hold.keep, hold.shares)
                                        : hold.shares == kSharesPerPage ? 1 : 0;
        src->shares += hold.shares - keep;
        if (src->stop) {
            src->shares += keep;
            pdfw_image_discard(src->doc, page.image);
            return;
        }
        src->made[k % kInFlight] = page;
        src->kept[k % kInFlight] = keep;
        src->done[k % kInFlight] = true;
        src->changed.notify_all();
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
    const size_t wanted = threads > 1 && files->size() > 1 ? kWorkers : 0;
    for (size_t w = 0; w < wanted; ++w) {
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
    if (src->worker_count == 0) {
        *page = make_page(src->doc, (*src->files)[src->taken++], nullptr);
        return true;
    }
    std::unique_lock<std::mutex> held(src->lock);
    // The page handed out before has been written by now.
    src->shares += src->writing;
    src->writing = 0;
    src->changed.notify_all();
    const size_t slot = src->taken % kInFlight;
    src->changed.wait(held, [&] { return src->done[slot]; });
    *page = src->made[slot];
    src->writing = src->kept[slot];
    src->made[slot] = CmdPage{};
    src->kept[slot] = 0;
    src->done[slot] = false;
    ++src->taken;
    src->changed.notify_all();
    return true;
}

void cmd_pages_stop(CmdPageSource* src) {
    if (!src) return;
    {
        std::lock_guard<std::mutex> held(src->lock);
        src->stop = true;
        src->changed.notify_all();
    }
    for (int w = 0; w < src->worker_count; ++w) src->workers[w].join();
    for (size_t slot = 0; slot < kInFlight; ++slot)
        if (src->done[slot]) pdfw_image_discard(src->doc, src->made[slot].image);
    delete src;
}
