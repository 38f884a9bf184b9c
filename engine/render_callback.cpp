#include "engine/render_callback.h"

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
    return c < kFadeInFrames ? std::pow(static_cast<float>(c) / static_cast<float>(kFadeInFrames),
                                        kFadeInExponent)
                             : 1.0f;
}

void renderFrames(SynthState &s, float *out, unsigned long frameCount) {
    takeMuteRequest(s);
    for (unsigned long i = 0; i < frameCount; ++i) {
        envelopeStep(s, s.frameClock);
        const int32_t c = s.frameClock; // the envelope may have restarted it
        double v = oscillatorSample(s) * s.envelope.level;
        if (c < kFadeInFrames) // later frames skip the power entirely
            v *= fadeInFactor(c);
        if (s.muteFramesLeft > 0)
            v *= muteFactor(s);
        out[i] = static_cast<float>(v);
        ++s.frameClock;
    }
}

int renderCallback(const void * /*input*/, void *output, unsigned long frameCount,
                   const PaStreamCallbackTimeInfo * /*timeInfo*/,
                   PaStreamCallbackFlags /*statusFlags*/, void *userData) {
    renderFrames(*static_cast<SynthState *>(userData), static_cast<float *>(output), frameCount);
    return paContinue;
}
