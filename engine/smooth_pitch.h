#pragma once

#include <cstdint>

struct SynthState;

// The oscillator's phase accumulator, for a note that is bent or glides: the
// phase runs on continuously in fractions of a period, advanced each frame by
// the pitch of that frame, so the pitch moves without steps and the phase
// without jumps; a note under a tuning plays so too, at its exact pitch. A
// note that is none of these keeps the whole-frame period. Audio thread only.
struct SmoothPitch {
    bool active = false;   // the accumulator plays the current note
    double phase = 0.0;    // of the last frame: 0 up to below 1; -1 before a note's first
    double step = 0.0;     // phase advance per frame
    double pitch = 0.0;    // the last frame's pitch without the bend, in semitones (A4 = 69)
    double sounding = 0.0; // the pitch `step` was computed for, bend included
    // The frequency in use, bend and range that `base` and `bendSemitones` follow.
    double frequency = 0.0;
    bool fading = false;
    int32_t tuned = 0; // SynthState::tuned when `base` was worked out
    int32_t bend = 0;
    int32_t range = 0;
    double base = 0.0; // the note's pitch before the bend and the glide
    double bendSemitones = 0.0;
    uint32_t serial = 0;      // the last note-on seen
    double glideFrom = 0.0;   // semitones from the note's pitch where the glide began
    double glideOffset = 0.0; // semitones the pitch still lies from the note's
    int32_t glideFrames = 0;
    int32_t glideLeft = 0;
    bool glides = false;    // the current note glides: under the fade-out too
    int32_t noteTuning = 0; // SynthState::noteTuning when `sounding` was worked out
};

// Audio thread, beside the synth or under a tuning: when a bend, glide,
// tuning or a host's note tuning plays this frame, of
// the frequency in use (`fading`: the previous note's, under the envelope's
// fade-out), advances the accumulator, stores the sine of its phase in
// `sine` and returns true; false leaves the frame to the whole-frame period.
bool smoothPitchSine(SynthState &s, double frequency, bool fading, double &sine);
