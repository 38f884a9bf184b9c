#include "engine/oscillator.h"

#include "engine/synth_state.h"
#include "engine/waveshaper.h"

#include <cmath>

namespace {
// For this many frames after arming the previous pitch plays on, under the fade-out.
constexpr int32_t kPitchSwitch = 1000;
} // namespace

float oscillatorSample()
{
    SynthState& s = synthState;
    const double note = s.noteFrequency.get();
    if (!(note > 0.0))
        return 0.0f;

    const double frequency = s.noteOnCounter <= kPitchSwitch ? s.heldFrequency.get() : note;
    // Only a note-off before the first note-on leaves the previous pitch at 0:
    // that stretch is faded to silence anyway, so keep the phase still.
    if (!(frequency > 0.0))
        return 0.0f;

    s.periodSamples = static_cast<int32_t>(std::lrint(kSampleRate / frequency));
    // Wraps modulo 2^32; only equality resets, so an index already past a
    // shorter legato period keeps counting (the sine repeats anyway).
    s.phaseIndex = static_cast<int32_t>(static_cast<uint32_t>(s.phaseIndex) + 1u);
    if (s.phaseIndex == s.periodSamples)
        s.phaseIndex = 0;

    const float phase = static_cast<float>(static_cast<double>(s.phaseIndex) / s.periodSamples);
    return shapeSample(phase);
}
