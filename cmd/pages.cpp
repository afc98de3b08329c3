// Pages prepared ahead: each bitmap is loaded and its image encoded, in
// command-line order, on a second thread while the run writes the page
// before it. The pages come out in order and exactly as the sequential run
// makes them; with one thread the work is done when a page is asked for.
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include "cmd/tarvo.h"

struct CmdPageSource {
    PdfDocument* doc = nullptr;
    const std::vector<std::wstring>* files = nullptr;
    size_t taken = 0;  // pages handed out

    // With a second thread: at most one page waits, done, for the run, so
    // two pages are in flight at the most.
    std::thread worker;
    std::mutex lock;
    std::condition_variable changed;
    bool ready = false;  // `page` holds the next page
    bool stop = false;
    CmdPage page{};
};

namespace {

// Loads bitmap k and prepares its image; the bitmap is freed once encoded.
CmdPage make_page(PdfDocument* doc, const std::wstring& path) {
    CmdPage page{};
    DibHandle dib = nullptr;
    page.load_status = dib_command(DIB_OP_LOAD, &dib, const_cast<wchar_t*>(path.c_str()));
    if (page.load_status != DIB_OK) {
        page.load_cause = dib_load_cause();
        return page;
    }
    dib_command(DIB_OP_GET_HEADER, dib, &page.header);
    pdfw_image_prepare(doc, dib, 0, &page.image);
    page.prepared = true;
    dib_command(DIB_OP_FREE, &dib, nullptr);
    return page;
}

void work(CmdPageSource* src) {
    for (size_t k = 0; k < src->files->size(); ++k) {
        {
            std::unique_lock<std::mutex> held(src->lock);
            src->changed.wait(held, [&] { return src->stop || !src->ready; });
            if (src->stop) return;
        }
        CmdPage page = make_page(src->doc, (*src->files)[k]);
        std::unique_lock<std::mutex> held(src->lock);
        if (src->stop) {
            pdfw_image_discard(src->doc, page.image);
            return;
        }
        src->page = page;
        src->ready = true;
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
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : int(cores > 64 ? 64 : cores);
}

CmdPageSource* cmd_pages_start(PdfDocument* doc, const std::vector<std::wstring>* files,
                               int threads) {
    CmdPageSource* src = new (std::nothrow) CmdPageSource;
    if (!src) return nullptr;
    src->doc = doc;
    src->files = files;
    // A second thread pays only when a page can be prepared while another
    // is written.
    if (threads > 1 && files->size() > 1) {
        try {
            src->worker = std::thread(work, src);
        } catch (...) {
            // Without a thread the pages are made on demand.
        }
    }
    return src;
}

bool cmd_pages_next(CmdPageSource* src, CmdPage* page) {
    if (!src || src->taken >= src->files->size()) return false;
    if (!src->worker.joinable()) {
        *page = make_page(src->doc, (*src->files)[src->taken++]);
        return true;
    }
    std::unique_lock<std::mutex> held(src->lock);
    src->changed.wait(held, [&] { return src->ready; });
    *page = src->page;
    src->page = CmdPage{};
    src->ready = false;
    ++src->taken;
    src->changed.notify_all();
    return true;
}

void cmd_pages_stop(CmdPageSource* src) {
    if (!src) return;
    if (src->worker.joinable()) {
        {
            std::lock_guard<std::mutex> held(src->lock);
            src->stop = true;
            src->changed.notify_all();
        }
        src->worker.join();
    }
    if (src->ready) pdfw_image_discard(src->doc, src->page.image);
    delete src;
}
