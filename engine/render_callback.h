#pragma once

#include <cstdint>

// A fifth-power fade-in over the first frames after every restart of the frame clock.
inline constexpr int kFadeInFrames = 100;
inline constexpr float kFadeInExponent = 5.0f;
// All Sound Off scales the output down to 0 in a straight line over this many
// frames (5 ms), fast as a mute and without a click; silence follows.
inline constexpr int32_t kMuteFrames = 240;

// The fade-in factor for frame clock c: (c / 100)^5 below 100 frames, else 1.
// Computed in single precision: 0 at c = 0, 0.95099008 at c = 99.
float fadeInFactor(int32_t c);

struct SynthState;

// Audio thread: renders frameCount mono float frames of the engine whose
// record is `s` into out. No allocation, locks, waits or I/O.
void renderFrames(SynthState &s, float *out, unsigned long frameCount);

