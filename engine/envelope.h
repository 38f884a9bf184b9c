#pragma once

#include "engine/control_ranges.h"
#include "engine/engine_math.h"
#include "engine/module_inline.h"

#include <cstdint>

// The four envelope slider values as the envelope reads them when it arms
// (ranges in engine/control_ranges.h).
struct EnvelopeSliders {
    int32_t attack;
    int32_t decay;
    int32_t sustain;
    int32_t release;
};

inline constexpr EnvelopeSliders kDefaultEnvelopeSliders{
    kAttackControl.initial, kDecayControl.initial, kSustainControl.initial,
    kReleaseControl.initial};

// The previous note fades out over envelope counter values 0 to this; the
// oscillator plays the previous pitch over exactly the same frames.
inline constexpr int32_t kFadeOutFrames = 1000;

// Decay and release sliders are milliseconds; sustain is percent.
inline constexpr double kMillisecondsPerSecond = 1000.0;
inline constexpr double kPercent = 100.0;

// The attack's time grows exponentially with its slider, by this ratio a
// step from position 0's time: 1 gives 0.1 ms, 1000 about 17 ms, 2000 3 s.
inline constexpr double kAttackStepRatio = 1.00517037535, kAttackZeroMilliseconds = 0.0994856;
inline double attackMilliseconds(int32_t slider) {
    return enginePowInt(kAttackStepRatio, slider) * kAttackZeroMilliseconds;
}

// Where the envelope reads its sliders: `read(context)`, called on the audio
// thread at arming, must not wait, lock or allocate. No `read`: the defaults.
struct EnvelopeSliderSource {
    EnvelopeSliders (*read)(const void *context) = nullptr;
    const void *context = nullptr;
};

// A source that reads `values`, which must outlive it; their owner writes them
// only on the thread that renders (or before rendering starts).
EnvelopeSliderSource slidersFrom(const EnvelopeSliders &values);

struct SynthState;

// Audio thread: one frame of the ADSR envelope for frame clock t. Writes
// s.envelope.level; may restart s.frameClock at 0.
ONDRILUX_INLINE_IN_MODULE void envelopeStep(SynthState &s, int32_t t);
