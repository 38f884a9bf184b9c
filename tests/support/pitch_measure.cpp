#include "tests/support/pitch_measure.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace {

// The times (in frames, between frames) at which x rises through its mean.
std::vector<double> rises(const float *x, size_t n) {
    double sum = 0.0, squares = 0.0;
    for (size_t i = 0; i < n; ++i) {
        sum += x[i];
        squares += static_cast<double>(x[i]) * x[i];
    }
    std::vector<double> times;
    if (n == 0)
        return times;
    const double mean = sum / static_cast<double>(n);
    const double spread = std::sqrt(std::max(0.0, squares / static_cast<double>(n) - mean * mean)) / 2;
    const double low = mean - spread, high = mean + spread;
    bool above = true;
    for (size_t i = 1; i < n; ++i)
        if (above && x[i] < low) {
            above = false;
        } else if (!above && x[i] > high) {
            above = true;
            times.push_back(static_cast<double>(i - 1) + (high - x[i - 1]) / (x[i] - x[i - 1]));
        }
    return times;
}

} // namespace

double noteHz(double note) {
    return 440.0 * std::exp2((note - 69.0) / 12.0);
}

double centsFrom(double hz, double reference) {
    return 1200.0 * std::log2(hz / reference);
}

double pitchHz(const float *x, size_t n, double rate) {
    const std::vector<double> t = rises(x, n);
    return t.size() < 2 ? 0.0 : static_cast<double>(t.size() - 1) * rate / (t.back() - t.front());
}

std::vector<PeriodPitch> periodPitches(const float *x, size_t n, double rate) {
    const std::vector<double> t = rises(x, n);
    std::vector<PeriodPitch> pitches;
    for (size_t i = 1; i < t.size(); ++i)
        pitches.push_back({(t[i - 1] + t[i]) / 2, 69.0 + 12.0 * std::log2(rate / (t[i] - t[i - 1]) / 440.0)});
    return pitches;
}

GlideCourse glideCourse(const float *x, size_t n, int from, int to) {
    const std::vector<PeriodPitch> p = periodPitches(x, n);
    GlideCourse course{!p.empty(), 0, -1.0};
    if (p.empty())
        return course;
    constexpr double kSlack = 0.1, kNear = 0.05; // semitones
    std::set<long> met;
    for (size_t i = 0; i < p.size(); ++i) {
        met.insert(std::lround(p[i].semitones));
        if (i > 0 && (p[i].semitones < p[i - 1].semitones - kSlack ||
                      p[i].semitones > p[i - 1].semitones + 0.5))
            course.rising = false;
    }
    for (int k = from; k <= to; ++k)
        course.semitonesPassed += met.count(k) ? 1 : 0;
    const double end = p.back().semitones;
    for (size_t i = p.size(); i-- > 0 && std::fabs(p[i].semitones - end) <= kNear;)
        course.arrivalFrame = p[i].frame;
    return course;
}

float largestStep(const float *x, size_t n) {
    float largest = 0.0f;
    for (size_t i = 1; i < n; ++i)
        largest = std::max(largest, std::fabs(x[i] - x[i - 1]));
    return largest;
}
