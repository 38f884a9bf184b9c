#include "tests/support/pitch_measure.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

namespace {

// The times (in frames, between frames) at which x rises through its mean.
std::vector<double> rises(const float *x, size_t n) {
    double sum = 0.0, squares = 0.0;
    for (size_t i = 0; i < n; ++i) {
        sum += x[i];
        squares += static_cast<double>(x[i]) * x[i];
    }
    const double mean = sum / static_cast<double>(n);
    const double spread = std::sqrt(std::max(0.0, squares / static_cast<double>(n) - mean * mean));
    const double low = mean - spread / 2, high = mean + spread / 2;
    std::vector<double> times;
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

double pitchHz(const float *x, size_t n) {
    const std::vector<double> t = rises(x, n);
    return t.size() < 2 ? 0.0
                        : static_cast<double>(t.size() - 1) * 48000.0 / (t.back() - t.front());
}

double steadyPitchHz(const float *x, size_t n) {
    const std::vector<double> t = rises(x, n);
    const double count = static_cast<double>(t.size()), middle = (count - 1) / 2;
    double mean = 0.0, slope = 0.0, spread = 0.0;
    for (double time : t)
        mean += time / count;
    for (size_t i = 0; i < t.size(); ++i) {
        slope += (static_cast<double>(i) - middle) * (t[i] - mean);
        spread += (static_cast<double>(i) - middle) * (static_cast<double>(i) - middle);
    }
    return t.size() < 2 ? 0.0 : 48000.0 * spread / slope;
}

GlideCourse glideCourse(const float *x, size_t n, int from, int to) {
    const std::vector<double> t = rises(x, n);
    std::vector<double> note; // each period's, in semitones
    for (size_t i = 1; i < t.size(); ++i)
        note.push_back(69.0 + 12.0 * std::log2(48000.0 / (t[i] - t[i - 1]) / 440.0));
    GlideCourse course;
    std::set<long> met;
    for (size_t i = 0; i < note.size(); ++i) {
        met.insert(std::lround(note[i]));
        if (i > 0 && (note[i] < note[i - 1] - 0.1 || note[i] > note[i - 1] + 0.5))
            course.rising = false;
    }
    for (int k = from; k <= to; ++k)
        course.semitonesPassed += static_cast<int>(met.count(k));
    for (size_t i = note.size(); i-- > 0 && std::fabs(note[i] - note.back()) <= 0.05;)
        course.arrivalFrame = (t[i] + t[i + 1]) / 2;
    return course;
}

float largestStep(const float *x, size_t n) {
    float largest = 0.0f;
    for (size_t i = 1; i < n; ++i)
        largest = std::max(largest, std::fabs(x[i] - x[i - 1]));
    return largest;
}
