// A second thread for work that runs beside the caller's.
#include <new>
#include <thread>

#include "platform/platform.h"

#ifdef __linux__
#include <pthread.h>
#include <sched.h>

// Linux puts a new thread on its creator's core and moves it only at the
// next balancing, milliseconds later, while the creator keeps that core
// busy: the thread starts on another core, then may go anywhere.
struct PlatThreadState {
    pthread_t thread;
    void (*fn)(void* arg);
    void* arg;
    cpu_set_t allowed;
    bool placed;
};

namespace {

void* run_thread(void* opaque) {
    PlatThreadState* t = static_cast<PlatThreadState*>(opaque);
    if (t->placed) pthread_setaffinity_np(pthread_self(), sizeof t->allowed, &t->allowed);
    t->fn(t->arg);
    return nullptr;
}

}  // namespace

PlatThread plat_thread_start(void (*fn)(void* arg), void* arg) {
    PlatThreadState* t = new (std::nothrow) PlatThreadState;
    if (!t) return nullptr;
    t->fn = fn;
    t->arg = arg;
    t->placed = false;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete t;
        return nullptr;
    }
    const int here = sched_getcpu();
    if (here >= 0 && sched_getaffinity(0, sizeof t->allowed, &t->allowed) == 0 &&
        CPU_ISSET(here, &t->allowed) && CPU_COUNT(&t->allowed) > 1) {
        cpu_set_t elsewhere = t->allowed;
        CPU_CLR(here, &elsewhere);
        t->placed = pthread_attr_setaffinity_np(&attr, sizeof elsewhere, &elsewhere) == 0;
    }
    const bool started = pthread_create(&t->thread, &attr, run_thread, t) == 0;
    pthread_attr_destroy(&attr);
    if (!started) {
        delete t;
        return nullptr;
    }
    return t;
}

void plat_thread_join(PlatThread t) {
    if (!t) return;
    pthread_join(t->thread, nullptr);
    delete t;
}

#else

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

#endif

int plat_core_count() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : int(cores);
}
