#include "tests/support/allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
thread_local bool counting = false;
thread_local long allocations = 0;

// The watched thread is set before `watching` goes up, and read only after
// it was seen up.
std::atomic<bool> watching{false};
pthread_t watched;
std::atomic<long> watchedAllocations{0};

void noteAllocation() {
    if (counting)
        ++allocations;
    if (watching.load() && pthread_equal(pthread_self(), watched))
        watchedAllocations.fetch_add(1);
}
} // namespace

void watchAllocations(pthread_t thread) {
    watched = thread;
    watchedAllocations.store(0);
    watching.store(true);
}

long stopWatchingAllocations() {
    watching.store(false);
    return watchedAllocations.load();
}

void countAllocations(bool on) {
    counting = on;
}

long countedAllocations() {
    return allocations;
}

#ifdef ONDRILUX_COUNT_MALLOC
// glibc's own entry points, which its malloc calls too.
extern "C" void *__libc_malloc(std::size_t size);
extern "C" void *__libc_calloc(std::size_t count, std::size_t size);
extern "C" void *__libc_realloc(void *p, std::size_t size);

extern "C" void *malloc(std::size_t size) {
    noteAllocation();
    return __libc_malloc(size);
}
extern "C" void *calloc(std::size_t count, std::size_t size) {
    noteAllocation();
    return __libc_calloc(count, size);
}
extern "C" void *realloc(void *p, std::size_t size) {
    noteAllocation();
    return __libc_realloc(p, size);
}
#endif

void *operator new(std::size_t size) {
#ifndef ONDRILUX_COUNT_MALLOC
    noteAllocation();
#endif
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}
// The nothrow form too: it is freed by the operator delete above, so under the
// sanitizers (whose own new is no malloc) it must come from malloc as well.
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
#ifndef ONDRILUX_COUNT_MALLOC
    noteAllocation();
#endif
    return std::malloc(size ? size : 1);
}
void operator delete(void *p, const std::nothrow_t &) noexcept {
    std::free(p);
}
