// The progress line: one line on a terminal's standard error, redrawn in
// place as pages are written and erased before any other line is written
// there, so that the two never run into each other.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "cmd/tarvo.h"
#include "platform/platform.h"

namespace {

// A lone page shows the line only once the run has lasted this long.
const uint32_t LONE_PAGE_MS = 1000;

struct Progress {
    std::mutex lock;
    bool on = false;
    bool shares_terminal = false;  // standard output is a terminal too
    size_t pages = 0;
    size_t total = 0;
    int64_t bytes = 0;
    uint32_t start = 0;
    size_t shown = 0;  // characters of the line on the screen
};

Progress g_progress;

// Carriage return, spaces over what is shown, carriage return.
void erase(Progress& p) {
    if (p.shown == 0) return;
    const std::string blank = "\r" + std::string(p.shown, ' ') + "\r";
    std::fputs(blank.c_str(), stderr);
    std::fflush(stderr);
    p.shown = 0;
}

void trace_after_clearing(void*, const char* line) {
    {
        std::lock_guard<std::mutex> held(g_progress.lock);
        if (g_progress.shares_terminal) erase(g_progress);
    }
    std::fputs(line, stdout);
}

}  // namespace

void cmd_progress_start(const TarvoSettings* s) {
    std::lock_guard<std::mutex> held(g_progress.lock);
    Progress& p = g_progress;
    erase(p);
    p.on = !s->quiet && plat_is_terminal(stderr);
    p.shares_terminal = p.on && plat_is_terminal(stdout);
    p.pages = 0;
    p.total = s->files.size();
    p.bytes = 0;
    p.start = plat_tick_count();
}

void cmd_progress_page(int64_t bytes) {
    std::lock_guard<std::mutex> held(g_progress.lock);
    Progress& p = g_progress;
    if (!p.on) return;
    ++p.pages;
    p.bytes += bytes;
    if (p.total < 2 && uint32_t(plat_tick_count() - p.start) < LONE_PAGE_MS) return;
    char text[96];
    std::snprintf(text, sizeof text, "tarvo: page %zu of %zu, %lld MB read", p.pages, p.total,
                  static_cast<long long>(p.bytes / 1000000));
    // Spaces cover the end of a longer line drawn before.
    std::string line = std::string("\r") + text;
    const size_t length = line.size() - 1;
    if (length < p.shown) line.append(p.shown - length, ' ');
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    p.shown = length > p.shown ? length : p.shown;
}

void cmd_progress_clear() {
    std::lock_guard<std::mutex> held(g_progress.lock);
    erase(g_progress);
}

void cmd_progress_end() {
    std::lock_guard<std::mutex> held(g_progress.lock);
    erase(g_progress);
    g_progress.on = false;
}

PdfTraceFn cmd_progress_trace() {
    std::lock_guard<std::mutex> held(g_progress.lock);
    return g_progress.on ? trace_after_clearing : nullptr;
}
