#include "plugins/host_rate/host_rate_engine.h"

#include "plugins/controls/port_controls.h"

#include "midi/note_handling.h"
#include "midi/tuning_messages.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <iterator>
#include <string>

namespace {

// At another rate the engine renders at most this many host frames' worth at
// a time, so that its buffer is allocated once, however long a host's blocks.
constexpr uint32_t kChunkFrames = 4096;

// No control's value: after it every control applies.
constexpr int32_t kNotApplied = INT32_MIN;

void freshEngine(HostRateEngine &h) {
    prepareEngine(h.engine, SoundOptions{.expressive = true, .tuning = h.tuning});
    std::fill(std::begin(h.applied), std::end(h.applied), kNotApplied);
    forgetHostNotes(h.notes);
}

// The note state's holder: the keys' frequencies, the name and whether a
// tuning is in force, as a Tuning that applies the same.
void keepTuning(SynthState &s, const void *into) {
    Tuning &t = **static_cast<Tuning *const *>(into);
    for (int32_t key = 0; key < kKeyCount; ++key)
        t.keyHz[key] = s.tuning.keyHz[key];
    tuningName(s, t.name);
    t.synthsOwn = s.tuned.get() == 0;
}

} // namespace

void takeHostTuning(HostRateEngine &h) {
    if (const Tuning *handed = h.handedTuning.take())
        h.tuningWaiting = handed;
    if (h.tuningWaiting && trySetTuning(h.engine.state, *h.tuningWaiting)) {
        h.tuning = *h.tuningWaiting;
        h.tuningWaiting = nullptr;
    }
}

void playHostSystemExclusive(HostRateEngine &h, const uint8_t *bytes, size_t size) {
    onSystemExclusive(h.engine.state, bytes, size);
    Tuning *into = &h.tuning;
    changeNoteStateIfFree(h.engine.state, keepTuning, &into);
}

bool startHostRateEngine(HostRateEngine &h, double rate) {
    if (!(rate >= 1000.0 && rate <= 1536000.0))
        return false;
    stopHostRateEngine(h);
    h.hostRate = static_cast<uint32_t>(std::lrint(rate));
    h.resampling = h.hostRate != static_cast<uint32_t>(kSampleRate);
    if (h.resampling) {
        std::string error;
        if (!openResampler(h.resampler, h.hostRate, kChunkFrames, error))
            return false;
        h.engineFrames.assign(engineFrameAt(kChunkFrames, h.hostRate) + 2, 0.0f);
    }
    freshEngine(h);
    h.hostFrames = 0;
    return true;
}

void stopHostRateEngine(HostRateEngine &h) {
    closeResampler(h.resampler);
}

void resetHostRateEngine(HostRateEngine &h) {
    freshEngine(h);
    if (h.resampling)
        resetResampler(h.resampler);
}

void applyHostControl(HostRateEngine &h, const ControlPort &c, int32_t v) {
    if (h.applied[c.index] == v)
        return;
    h.applied[c.index] = v;
    if (c.index == kChannelPort && v != h.engine.state.channel.get())
        letGoOfHostNotes(h.notes); // the change of channel lets go of every key
    setPortControl(h.engine, c, v);
}

void renderHostSpan(HostRateEngine &h, float *out, uint32_t from, uint32_t to) {
    if (!h.resampling) {
        renderEngine(h.engine, out + from, to - from);
        return;
    }
    while (from < to) {
        const uint32_t count = std::min(to - from, kChunkFrames);
        const uint64_t start = h.hostFrames + from;
        const uint64_t first = engineFrameAt(start, h.hostRate);
        const auto engineCount =
            static_cast<uint32_t>(engineFrameAt(start + count, h.hostRate) - first);
        renderEngine(h.engine, h.engineFrames.data(), engineCount);
        resample(h.resampler, h.engineFrames.data(), engineCount, out + from, count);
        from += count;
    }
}
