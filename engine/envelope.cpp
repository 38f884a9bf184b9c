#include "engine/envelope.h"

#include "engine/engine_math.h"
#include "engine/synth_state.h"

#include <atomic>

namespace {

// Seven below INT32_MAX: the render callback increments the clock after each step.
constexpr int32_t kFrameClockWrap = 2147483640;

EnvelopeSliders readSliders(const EnvelopeSliderSource &source) {
    return source.read ? source.read(source.context) : kDefaultEnvelopeSliders;
}

// The audio thread sets envelopeArmed and attackStarted after reading them as
// 0, while the MIDI thread clears both when the last key goes up. A release
// that lands between the read and the set would be undone by the set, and the
// next note would skip its fade-out and attack. So the flag is set and the gate
// looked at again in sequentially consistent order, as the MIDI thread closes
// the gate and clears the flags (see noteOff): either this look sees the gate
// closed and takes the flag back, or that clear comes after this set.
[[gnu::cold]] void setUnlessReleased(SynthState &s, Relaxed<int32_t> &flag) {
    flag.value.store(1, std::memory_order_seq_cst);
    if (s.gate.value.load(std::memory_order_seq_cst) == 0)
        flag.set(0);
}

// Arming, at the first open-gate frame of a note: reads the sliders and turns
// them into seconds and frames (the attack's through attackMilliseconds). Once
// a note, so kept out of line: the per-frame step stays small enough to be
// inlined into the render loop.
[[gnu::cold]] void arm(SynthState &s) {
    setUnlessReleased(s, s.envelopeArmed);
    EnvelopeState &e = s.envelope;
    // Touching notes: a note-off and this note-on came between the same two
    // frames, so no closed-gate frame ran and releaseLevel is a stale level
    // (0.0 after a note from silence). The fade-out starts from what sounded.
    if (e.lastFrameOpen)
        s.releaseLevel = e.lastOpenLevel;
    e.lastFrameOpen = true; // every frame from here to the next closed one
    // Counted up before use, so the arming frame is 0 and the fade-out runs to
    // kFadeOutFrames. With quick start and nothing sounding that fade-out would
    // only fade silence into silence: starting the count where the fade-out
    // ends makes this very frame the attack start, with the state the fade-out
    // would have left (the oscillator then plays the new pitch, too).
    s.noteOnCounter = (s.quickStart.get() != 0 && s.releaseLevel == 0.0) ? kFadeOutFrames : -1;

    const EnvelopeSliders sliders = readSliders(s.sliderSource);
    e.attackSeconds = attackMilliseconds(sliders.attack) / kMillisecondsPerSecond;
    e.decaySeconds = sliders.decay / kMillisecondsPerSecond;
    e.sustainLevel = sliders.sustain / kPercent;
    e.releaseSeconds = sliders.release / kMillisecondsPerSecond;
    e.attackLength = e.attackSeconds * kSampleRate;
    e.decayLength = e.decaySeconds * kSampleRate;
    e.sustainTarget = e.sustainLevel;
    e.releaseLength = e.releaseSeconds * kSampleRate;
}

int32_t nearest(double x) {
    return engineLrint(x);
}

} // namespace

EnvelopeSliderSource slidersFrom(const EnvelopeSliders &values) {
    return {[](const void *context) { return *static_cast<const EnvelopeSliders *>(context); },
            &values};
}

void envelopeStep(SynthState &s, int32_t t) {
    EnvelopeState &e = s.envelope;

    if (t > kFrameClockWrap) {
        s.frameClock = 0;
        e.lastOpenLevel = 0.0;
    }

    if (s.gate.get() == 0) {
        // Release: a straight line from lastOpenLevel at releaseFrame to 0.
        const double x = e.releaseLength + s.releaseFrame - t;
        e.level = (x < 0.0 || e.releaseLength == 0.0) ? 0.0 : e.lastOpenLevel * x / e.releaseLength;
        s.releaseLevel = e.level;
        e.lastFrameOpen = false;
        return;
    }

    if (s.envelopeArmed.get() == 0)
        arm(s);

    // The counter only has to tell "at most 1000" from "past 1000", so it stops
    // at 1001 instead of overflowing during a note held for half a day.
    if (s.noteOnCounter <= kFadeOutFrames)
        ++s.noteOnCounter;
    const int32_t n = s.noteOnCounter;

    if (n <= kFadeOutFrames) {
        // Fade the previous note out before the new one restarts the phase.
        e.level = (1.0 - n / static_cast<double>(kFadeOutFrames)) * s.releaseLevel;
    } else {
        if (s.attackStarted.get() == 0) {
            s.phaseIndex = -1; // the oscillator increments first: this frame plays phase 0
            setUnlessReleased(s, s.attackStarted);
            s.frameClock = 0;
            t = 0;
        }
        if (t <= nearest(e.attackLength))
            e.level = t / e.attackLength;
        else if (t <= nearest(e.attackLength + e.decayLength))
            e.level = e.sustainTarget + (e.attackLength + e.decayLength - t) *
                                            (1.0 - e.sustainTarget) / e.decayLength;
        else
            e.level = e.sustainTarget;
    }

    e.lastOpenLevel = e.level;
    s.releaseFrame = t;
}
