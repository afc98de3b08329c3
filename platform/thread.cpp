// A second thread for work that runs beside the caller's.
#include <new>
#include <thread>

#include "platform/platform.h"

struct PlatThreadState {
    std::thread thread;
};

PlatThread plat_thread_start(void (*fn)(void* arg), void* arg) {
    PlatThreadState* t = new (std::nothrow) PlatThreadState;
    if (!t) return nullptr;
    try {
        t->thread = std::thread(fn, arg);
    } catch (...) {
        delete t;
        return nullptr;
    }
    return t;
}

void plat_thread_join(PlatThread t) {
    if (!t) return;
    t->thread.join();
    delete t;
}

int plat_core_count() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : int(cores);
}
