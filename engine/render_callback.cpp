#include "engine/render_callback.h"

#include "engine/envelope.h"
#include "engine/oscillator.h"
#include "engine/synth_state.h"

#include <cmath>

float fadeInFactor(int32_t c) {
    return c < kFadeInFrames ? std::pow(static_cast<float>(c) / static_cast<float>(kFadeInFrames),
                                        kFadeInExponent)
                             : 1.0f;
}

void renderFrames(SynthState &s, float *out, unsigned long frameCount) {
    for (unsigned long i = 0; i < frameCount; ++i) {
        envelopeStep(s, s.frameClock);
        const int32_t c = s.frameClock; // the envelope may have restarted it
        const float sample = oscillatorSample(s); // sets the velocity's gain first
        double v = sample * s.envelope.level * s.velocityGain;
        if (c < kFadeInFrames) // later frames skip the power entirely
            v *= fadeInFactor(c);
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
