#include "tests/support/allocation_counter.h"

#include <cstdlib>
#include <new>

namespace {
thread_local bool counting = false;
thread_local long allocations = 0;
} // namespace

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
    if (counting)
        ++allocations;
    return __libc_malloc(size);
}
extern "C" void *calloc(std::size_t count, std::size_t size) {
    if (counting)
        ++allocations;
    return __libc_calloc(count, size);
}
extern "C" void *realloc(void *p, std::size_t size) {
    if (counting)
        ++allocations;
    return __libc_realloc(p, size);
}
#endif

void *operator new(std::size_t size) {
#ifndef ONDRILUX_COUNT_MALLOC
    if (counting)
        ++allocations;
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
