// A second thread for work that runs beside the caller's.
#include <pthread.h>
#include <unistd.h>

#include <new>
#include <thread>

#ifdef __linux__
#include <sched.h>
#endif

#include "platform/platform.h"

struct PlatThreadState {
    pthread_t thread;
    void (*fn)(void* arg);
    void* arg;
    bool placed;  // started away from its creator's core
};

namespace {

void* run_thread(void* opaque) {
    PlatThreadState* t = static_cast<PlatThreadState*>(opaque);
#ifdef __linux__
    cpu_set_t all;
    if (t->placed && sched_getaffinity(getpid(), sizeof all, &all) == 0)
        pthread_setaffinity_np(pthread_self(), sizeof all, &all);
#endif
    t->fn(t->arg);
    return nullptr;
}

// Linux puts a new thread on its creator's core and moves it only at the
// next balancing, milliseconds later, while the creator keeps that core
// busy: the thread starts on another core, then may go anywhere.
bool place_elsewhere(pthread_attr_t* attr) {
#ifdef __linux__
    cpu_set_t elsewhere;
    const int here = sched_getcpu();
    if (here < 0 || sched_getaffinity(0, sizeof elsewhere, &elsewhere) != 0 ||
        !CPU_ISSET(here, &elsewhere) || CPU_COUNT(&elsewhere) < 2)
        return false;
    CPU_CLR(here, &elsewhere);
    return pthread_attr_setaffinity_np(attr, sizeof elsewhere, &elsewhere) == 0;
#else
    (void)attr;
    return false;
#endif
}

}  // namespace

PlatThread plat_thread_start(void (*fn)(void* arg), void* arg) {
    PlatThreadState* t = new (std::nothrow) PlatThreadState;
    if (!t) return nullptr;
    t->fn = fn;
    t->arg = arg;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete t;
        return nullptr;
    }
    t->placed = place_elsewhere(&attr);
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

int plat_core_count() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : int(cores);
}
