#pragma once

// Pitch and smoothness of a recorded note, for the checks of bend and glide.
#include <cstddef>
#include <vector>

inline constexpr double kMeasureRate = 48000.0;

// The equal-tempered frequency of MIDI note `note`, A4 (69) = 440 Hz.
double noteHz(double note);
// How far `hz` lies above `reference`, in cents.
double centsFrom(double hz, double reference);

// The pitch of x[0, n) at `rate`, from its rises through the mean (with
// hysteresis, for the waveshaper's steps), first to last, each rise's time
// interpolated between frames. 0 when it rises fewer than twice.
double pitchHz(const float *x, size_t n, double rate = kMeasureRate);

// The same, period by period: the frame of each period's middle and its pitch
// in semitones (A4 = 69).
struct PeriodPitch {
    double frame;
    double semitones;
};
std::vector<PeriodPitch> periodPitches(const float *x, size_t n, double rate = kMeasureRate);

// A glide's course in x[0, n) from note `from` up to note `to`, which x ends
// on: whether its periods rise and pass every semitone between (none lower
// than the one before by more than a few cents, none skipping a semitone),
// and the frame where it comes within 5 cents of where it ends, to stay.
struct GlideCourse {
    bool rising;
    int semitonesPassed; // semitones from..to met by some period
    double arrivalFrame;
};
GlideCourse glideCourse(const float *x, size_t n, int from, int to);

// The largest step from one sample to the next in x[0, n).
float largestStep(const float *x, size_t n);
