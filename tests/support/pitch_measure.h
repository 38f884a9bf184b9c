#pragma once

// Pitch and smoothness of a recorded note, for the checks of bend and glide.
#include <cstddef>

// The equal-tempered frequency of MIDI note `note` (A4, 69, is 440 Hz), and
// how far `hz` lies above `reference` in cents.
double noteHz(double note);
double centsFrom(double hz, double reference);

// The pitch of x[0, n) at 48000 frames/s, from its rises through the mean
// (with hysteresis, for the waveshaper's steps), first to last, each rise's
// time interpolated between frames. 0 when it rises fewer than twice.
double pitchHz(const float *x, size_t n);

// The same from every rise (the period a straight line through their times
// gives), for a steady pitch to a hundredth of a cent.
double steadyPitchHz(const float *x, size_t n);

// A glide in x[0, n) from note `from` up to note `to`, which x ends on,
// measured period by period: whether it rises (no period more than 10 cents
// below the one before, none more than half a semitone above), how many of
// the semitones from..to some period sounds, and the frame where it comes
// within 5 cents of where it ends, to stay.
struct GlideCourse {
    bool rising = true;
    int semitonesPassed = 0;
    double arrivalFrame = -1.0;
};
GlideCourse glideCourse(const float *x, size_t n, int from, int to);

// The largest step from one sample to the next in x[0, n).
float largestStep(const float *x, size_t n);
