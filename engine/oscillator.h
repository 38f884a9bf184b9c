#pragma once

#include "engine/module_inline.h"

#include <cstdint>

struct SynthState;

inline constexpr int32_t kSineCacheSize = 8192; // longer than the lowest note's 5871 frames

// Audio-thread caches that leave every output bit as computing afresh would:
// the period of the last frequency, and the sine of each phase index of the
// current period (the sine costs more than the rest of a frame together).
// One per state record, so engines on different threads never share it.
struct OscillatorCache {
    double frequency = 0.0;
    int32_t period = 0;
    double sine[kSineCacheSize];
    uint32_t sineStamp[kSineCacheSize]{}; // entry valid while equal to `stamp`
    uint32_t stamp = 1;
    int32_t sinePeriod = 0;
};

// Audio thread: advances the oscillator one frame and returns the shaped
// sample at its phase; 0.0 before the first note.
ONDRILUX_INLINE_IN_MODULE float oscillatorSample(SynthState &s);
