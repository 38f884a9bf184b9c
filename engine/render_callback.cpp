#include "engine/render_callback.h"

#include "engine/engine_math.h"
#include "engine/envelope.h"
#include "engine/oscillator.h"
#include "engine/synth_state.h"

float fadeInFactor(int32_t c) {
    static_assert(kFadeInExponent == 5.0f);
    return c < kFadeInFrames ? enginePow5(static_cast<float>(c) / static_cast<float>(kFadeInFrames))
                             : 1.0f;
}

void renderFrames(SynthState &s, float *out, unsigned long frameCount) {
    for (unsigned long i = 0; i < frameCount; ++i) {
        envelopeStep(s, s.frameClock);
        const int32_t c = s.frameClock; // the envelope may have restarted it
        double v = oscillatorSample(s) * s.envelope.level;
        if (c < kFadeInFrames) // later frames skip the power entirely
            v *= fadeInFactor(c);
        out[i] = static_cast<float>(v);
        ++s.frameClock;
    }
}
