#include "engine/render_callback.h"

#include "engine/engine_math.h"
#include "engine/envelope.h"
#include "engine/oscillator.h"
#include "engine/synth_state.h"

#include <atomic>
#include <cmath>

namespace {

// All Sound Off: the fall starts at the first frame rendered after it.
void takeMuteRequest(SynthState &s) {
    if (s.muteRequested.get() != 0 && s.muteRequested.value.exchange(0, std::memory_order_relaxed))
        s.muteFramesLeft = kMuteFrames;
}

// One frame of the fall: the output's factor, from 239/240 down to 0. At 0
// nothing of what sounded is left to come back: the release and the fade-out
// fade silence, and a note pressed meanwhile arms again from silence.
[[gnu::cold]] double muteFactor(SynthState &s) {
    if (--s.muteFramesLeft == 0) {
        s.releaseLevel = 0.0;
        s.envelope.lastOpenLevel = 0.0;
        s.envelope.lastFrameOpen = false;
        s.envelopeArmed.set(0);
        s.attackStarted.set(0);
    }
    return s.muteFramesLeft / static_cast<double>(kMuteFrames);
}

} // namespace

float fadeInFactor(int32_t c) {
    static_assert(kFadeInExponent == 5.0f);
    return c < kFadeInFrames ? enginePow5(static_cast<float>(c) / static_cast<float>(kFadeInFrames))
                             : 1.0f;
}

namespace {

// One frame's output, before the fall of All Sound Off.
inline double frameOutput(SynthState &s) {
    envelopeStep(s, s.frameClock);
    const int32_t c = s.frameClock; // the envelope may have restarted it
    const float sample = oscillatorSample(s); // sets the velocity's gain first
    double v = sample * s.envelope.level * s.velocityGain;
    if (c < kFadeInFrames) // later frames skip the power entirely
        v *= fadeInFactor(c);
    return v;
}

} // namespace

void renderFrames(SynthState &s, float *out, unsigned long frameCount) {
    takeMuteRequest(s);
    unsigned long i = 0;
    // The frames of a fall first, so that the others do not look for one.
    for (; i < frameCount && s.muteFramesLeft > 0; ++i, ++s.frameClock)
        out[i] = static_cast<float>(frameOutput(s) * muteFactor(s));
    for (; i < frameCount; ++i, ++s.frameClock)
        out[i] = static_cast<float>(frameOutput(s));
}
