#pragma once

#include <atomic>

// A value shared between threads, read and written whole with relaxed order:
// lock-free, never waiting, and on x86 the same code as a plain aligned store,
// but without the undefined behaviour of a data race.
template <typename T> struct Relaxed {
    static_assert(std::atomic<T>::is_always_lock_free);
    std::atomic<T> value{};

    T get() const noexcept { return value.load(std::memory_order_relaxed); }
    void set(T v) noexcept { value.store(v, std::memory_order_relaxed); }
};
