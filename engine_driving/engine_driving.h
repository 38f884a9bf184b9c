#pragma once

#include "engine/envelope.h"
#include "engine/render_callback.h"
#include "engine/synth_state.h"
#include "command_line/sound_options.h"

#include <algorithm>
#include <cstdint>

// Driving the sound engine from a program beside the synth, which plays the
// window's part (settings, sliders) and the stream's (render calls) itself.

// One engine as such a program owns it: its state record and the envelope
// sliders it arms from. The sliders belong to the thread that renders: set
// them there (or before rendering starts).
struct DrivenEngine {
    SynthState state;
    EnvelopeSliders sliders = kDefaultEnvelopeSliders;
};

// Starts the engine afresh, as at program start, with the given settings,
// envelope sliders, quick start, expression and tuning; the next frame
// rendered is the stream's first frame.
void prepareEngine(DrivenEngine &engine, const SoundOptions &options);

// Audio thread: renders `frameCount` frames into `out`. No allocation.
inline void renderEngine(DrivenEngine &engine, float *out, uint32_t frameCount) {
    renderFrames(engine.state, out, frameCount);
}

// Audio thread: renders `frameCount` frames into `out`, handing event i (of
// `eventCount`) to `deliver(i)` just before the frame `frameOf(i)` (frames
// count from `out`, never decrease; those past the end go after the last
// frame): render up to the next event's frame, hand it over, go on.
template <typename FrameOf, typename Deliver>
void renderAroundEvents(DrivenEngine &engine, float *out, uint32_t frameCount, uint32_t eventCount,
                        FrameOf &&frameOf, Deliver &&deliver) {
    uint32_t done = 0;
    for (uint32_t i = 0; i < eventCount; ++i) {
        const uint32_t at = std::min<uint32_t>(frameOf(i), frameCount);
        if (at > done) {
            renderEngine(engine, out + done, at - done);
            done = at;
        }
        deliver(i);
    }
    if (done < frameCount)
        renderEngine(engine, out + done, frameCount - done);
}
