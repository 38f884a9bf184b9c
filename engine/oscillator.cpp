#include "engine/oscillator.h"

#include "engine/envelope.h"
#include "engine/synth_state.h"
#include "engine/waveshaper.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

// The previous pitch plays on under the envelope's fade-out, and only there.
constexpr int32_t kPitchSwitch = kFadeOutFrames;

// Audio-thread caches that leave every output bit as computing afresh would:
// the period of the last frequency, and the sine of each phase index of the
// current period (the sine costs more than the rest of a frame together).
double cachedFrequency = 0.0;
int32_t cachedPeriod = 0;

constexpr int32_t kSineCacheSize = 8192; // longer than the lowest note's 5871 frames
double sineCache[kSineCacheSize];
uint32_t sineStamp[kSineCacheSize]; // entry valid while equal to `stamp`
uint32_t stamp = 1;
int32_t sinePeriod = 0;

int32_t periodOf(double frequency) {
    if (frequency != cachedFrequency) {
        cachedFrequency = frequency;
        cachedPeriod = static_cast<int32_t>(std::lrint(kSampleRate / frequency));
    }
    return cachedPeriod;
}

double phaseSine(int32_t index, int32_t period) {
    const auto phaseOf = [&] { return static_cast<float>(static_cast<double>(index) / period); };
    if (index < 0 || index >= kSineCacheSize)
        return sineOfPhase(phaseOf());
    if (period != sinePeriod) {
        sinePeriod = period;
        if (++stamp == 0) { // after 2^32 pitch changes: forget every entry
            std::fill(std::begin(sineStamp), std::end(sineStamp), 0u);
            stamp = 1;
        }
    }
    if (sineStamp[index] != stamp) {
        sineCache[index] = sineOfPhase(phaseOf());
        sineStamp[index] = stamp;
    }
    return sineCache[index];
}

} // namespace

float oscillatorSample() {
    SynthState &s = synthState;
    const double note = s.noteFrequency.get();
    if (!(note > 0.0))
        return 0.0f;

    const double frequency = s.noteOnCounter <= kPitchSwitch ? s.heldFrequency.get() : note;
    // Only a note-off or a device close before the first note-on leaves the
    // previous pitch at 0: that stretch is faded to silence anyway, so keep
    // the phase still.
    if (!(frequency > 0.0))
        return 0.0f;

    s.periodSamples = periodOf(frequency);
    // A legato note to a shorter period can find the index already past it.
    // Counting on would play the same pitch at first, but the single-precision
    // phase index / period loses its fraction as the index grows and a held
    // note decays into noise; wrapping into the period keeps the waveform. For
    // an index below the period this is the plain wrap at the period's end.
    ++s.phaseIndex;
    if (s.phaseIndex >= s.periodSamples) // a period of 0 (no MIDI note is that high) stays at 0
        s.phaseIndex = s.periodSamples > 0 ? s.phaseIndex % s.periodSamples : 0;

    // phase = phaseIndex / periodSamples; its sine comes from the cache.
    return shapeSine(phaseSine(s.phaseIndex, s.periodSamples));
}
