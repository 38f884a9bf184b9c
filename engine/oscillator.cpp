#include "engine/oscillator.h"

#include "engine/envelope.h"
#include "engine/smooth_pitch.h"
#include "engine/synth_state.h"
#include "engine/waveshaper.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

// The previous pitch plays on under the envelope's fade-out, and only there.
constexpr int32_t kPitchSwitch = kFadeOutFrames;

int32_t periodOf(OscillatorCache &c, double frequency) {
    if (frequency != c.frequency) {
        c.frequency = frequency;
        c.period = static_cast<int32_t>(std::lrint(kSampleRate / frequency));
    }
    return c.period;
}

double phaseSine(OscillatorCache &c, int32_t index, int32_t period) {
    const auto phaseOf = [&] { return static_cast<float>(static_cast<double>(index) / period); };
    if (index < 0 || index >= kSineCacheSize)
        return sineOfPhase(phaseOf());
    if (period != c.sinePeriod) {
        c.sinePeriod = period;
        if (++c.stamp == 0) { // after 2^32 pitch changes: forget every entry
            std::fill(std::begin(c.sineStamp), std::end(c.sineStamp), 0u);
            c.stamp = 1;
        }
    }
    if (c.sineStamp[index] != c.stamp) {
        c.sine[index] = sineOfPhase(phaseOf());
        c.sineStamp[index] = c.stamp;
    }
    return c.sine[index];
}

// The sine of the next phase of the whole-frame period: phase = phaseIndex /
// periodSamples, its sine from the cache.
double wholeFrameSine(SynthState &s, double frequency) {
    s.periodSamples = periodOf(s.oscillatorCache, frequency);
    // A legato note to a shorter period can find the index already past it.
    // Counting on would play the same pitch at first, but the single-precision
    // phase index / period loses its fraction as the index grows and a held
    // note decays into noise; wrapping into the period keeps the waveform. For
    // an index below the period this is the plain wrap at the period's end.
    ++s.phaseIndex;
    if (s.phaseIndex >= s.periodSamples) // a period of 0 (no MIDI note is that high) stays at 0
        s.phaseIndex = s.periodSamples > 0 ? s.phaseIndex % s.periodSamples : 0;

    return phaseSine(s.oscillatorCache, s.phaseIndex, s.periodSamples);
}

// Beside the synth or under a tuning: the velocity's gain follows the pitch
// (the previous note's under the fade-out; 1 unless expressive), and a bent,
// gliding or tuned note takes its sine from the phase accumulator.
bool expressiveSine(SynthState &s, double frequency, bool fading, double &sine) {
    s.velocityGain = fading ? s.heldGain.get() : s.noteGain.get();
    return smoothPitchSine(s, frequency, fading, sine);
}

} // namespace

float oscillatorSample(SynthState &s) {
    const double note = s.noteFrequency.get();
    if (!(note > 0.0))
        return 0.0f;

    const bool fading = s.noteOnCounter <= kPitchSwitch;
    const double frequency = fading ? s.heldFrequency.get() : note;
    // Only a note-off or a device close before the first note-on leaves the
    // previous pitch at 0: that stretch is faded to silence anyway, so keep
    // the phase still.
    if (!(frequency > 0.0))
        return 0.0f;

    // One call of the waveshaper, so that it stays inlined into the render loop.
    double sine;
    if ((s.expressive.get() | s.tuned.get()) == 0 || !expressiveSine(s, frequency, fading, sine))
        sine = wholeFrameSine(s, frequency);
    return shapeSine(s, sine);
}
