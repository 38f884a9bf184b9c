#pragma once

// Clicks, measured: a click is a step between neighbouring samples far larger
// than the sound's own.
#include <algorithm>
#include <cmath>
#include <cstddef>

// The largest |x[i] - x[i - 1]| for i in [from, to).
inline double largestStep(const float *x, size_t from, size_t to) {
    double largest = 0.0;
    for (size_t i = std::max<size_t>(from, 1); i < to; ++i)
        largest = std::max(largest, std::fabs(static_cast<double>(x[i]) - x[i - 1]));
    return largest;
}

// How a hand-over at frame `at` (the first frame rendered after it) compares
// with the sound before it: the largest step over the millisecond from `at`,
// as a multiple of the largest over the 100 ms before.
inline double stepAtHandOver(const float *x, size_t at) {
    const double own = largestStep(x, at - 4800, at);
    return own > 0.0 ? largestStep(x, at, at + 48) / own : INFINITY;
}
