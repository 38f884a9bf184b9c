// The engine as an LV2 instrument: each instance owns its own engine, renders
// it at 48000 frames/s and, at any other host rate, converts its output.
#include "lv2_plugin/plugin_uri.h"
#include "plugin_controls/port_controls.h"

#include "engine/synth_state.h"
#include "engine_driving/engine_driving.h"
#include "midi/note_handling.h"
#include "midi/short_messages.h"
#include "resampling/resampler.h"

#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace {

// At another rate the engine renders at most this many host frames' worth at
// a time, so that its buffer is allocated once, however long a host's blocks.
constexpr uint32_t kChunkFrames = 4096;

struct Plugin {
    DrivenEngine engine;
    const void *ports[kPortCount] = {};
    LV2_URID midiEvent = 0;
    uint32_t hostRate = 0;
    // When the host is not at the engine's rate: the engine renders each
    // span's time here and the resampler converts it.
    bool resampling = false;
    Resampler resampler;
    std::vector<float> engineFrames;
    uint64_t hostFrames = 0; // frames of the host's clock played since activation
    // The bend range and glide ports as last applied: RPN 0 and CC 5 set the
    // same values, so a port acts only when it changes.
    int32_t bendRange = -1, glide = -1;
};

// At the start of each block: the controls as the window's would set them.
// The envelope sliders act at the next arming, as in the window.
void readControls(Plugin &p) {
    for (const ControlPort &c : kControlPorts) {
        const float *port = static_cast<const float *>(p.ports[c.index]);
        const int32_t v = port ? controlPortValue(c, *port) : c.range.initial;
        // RPN 0 and CC 5 set what the bend range and glide ports set: a port
        // acts only when it changes.
        int32_t *lastApplied = c.index == kBendRangePort ? &p.bendRange
                               : c.index == kGlidePort   ? &p.glide
                                                         : nullptr;
        if (lastApplied && *lastApplied == v)
            continue;
        if (lastApplied)
            *lastApplied = v;
        setPortControl(p.engine, c, v);
    }
}

// Renders host frames [from, to) of this block into out.
void renderSpan(Plugin &p, float *out, uint32_t from, uint32_t to) {
    if (!p.resampling) {
        renderEngine(p.engine, out + from, to - from);
        return;
    }
    while (from < to) {
        const uint32_t count = std::min(to - from, kChunkFrames);
        const uint64_t start = p.hostFrames + from;
        const uint64_t first = engineFrameAt(start, p.hostRate);
        const auto engineCount =
            static_cast<uint32_t>(engineFrameAt(start + count, p.hostRate) - first);
        renderEngine(p.engine, p.engineFrames.data(), engineCount);
        resample(p.resampler, p.engineFrames.data(), engineCount, out + from, count);
        from += count;
    }
}

LV2_Handle instantiate(const LV2_Descriptor *, double rate, const char *,
                       const LV2_Feature *const *features) {
    const LV2_URID_Map *map = nullptr;
    for (const LV2_Feature *const *f = features; f && *f; ++f)
        if (std::strcmp((*f)->URI, LV2_URID__map) == 0)
            map = static_cast<const LV2_URID_Map *>((*f)->data);
    // Nothing to read MIDI with, or a rate no converter can serve.
    if (!map || !(rate >= 1000.0 && rate <= 1536000.0))
        return nullptr;
    std::unique_ptr<Plugin> p(new (std::nothrow) Plugin);
    if (!p)
        return nullptr;
    p->midiEvent = map->map(map->handle, LV2_MIDI__MidiEvent);
    p->hostRate = static_cast<uint32_t>(std::lrint(rate));
    p->resampling = p->hostRate != static_cast<uint32_t>(kSampleRate);
    if (p->resampling) {
        std::string error;
        if (!openResampler(p->resampler, p->hostRate, kChunkFrames, error))
            return nullptr;
        p->engineFrames.assign(engineFrameAt(kChunkFrames, p->hostRate) + 2, 0.0f);
    }
    return p.release();
}

void connectPort(LV2_Handle instance, uint32_t port, void *data) {
    if (port < kPortCount)
        static_cast<Plugin *>(instance)->ports[port] = data;
}

// A fresh engine, as at the synth's start: silence, no note held over.
void activate(LV2_Handle instance) {
    Plugin &p = *static_cast<Plugin *>(instance);
    prepareEngine(p.engine, SoundOptions{.expressive = true});
    p.hostFrames = 0;
    p.bendRange = p.glide = -1;
    if (p.resampling) {
        closeResampler(p.resampler);
        std::string error;
        openResampler(p.resampler, p.hostRate, kChunkFrames, error);
    }
}

// Real-time: no allocation, lock or system call.
void run(LV2_Handle instance, uint32_t frameCount) {
    Plugin &p = *static_cast<Plugin *>(instance);
    float *out = static_cast<float *>(const_cast<void *>(p.ports[kOutPort]));
    if (float *latency = static_cast<float *>(const_cast<void *>(p.ports[kLatencyPort])))
        *latency = p.resampling ? static_cast<float>(p.resampler.delayFrames) : 0.0f;
    if (!out)
        return;
    readControls(p);

    // Each event at its frame: render up to it, hand it over, go on. An event
    // before one already played plays at once; one past the end, at the end.
    // Each header is copied out before it is read: some hosts (jalv 1.6) hand
    // the sequence over only 4-byte aligned, where reading it in place is
    // undefined. An event that runs past the sequence's end ends it.
    uint32_t done = 0;
    if (const auto *seq = static_cast<const uint8_t *>(p.ports[kMidiInPort])) {
        LV2_Atom atom;
        std::memcpy(&atom, seq, sizeof atom);
        const uint8_t *body = seq + sizeof atom;
        for (uint32_t offset = sizeof(LV2_Atom_Sequence_Body);
             atom.size >= offset && atom.size - offset >= sizeof(LV2_Atom_Event);) {
            LV2_Atom_Event ev;
            std::memcpy(&ev, body + offset, sizeof ev);
            const uint32_t room = atom.size - offset - static_cast<uint32_t>(sizeof ev);
            if (ev.body.size > room)
                break;
            const uint8_t *bytes = body + offset + sizeof ev;
            offset += lv2_atom_pad_size(static_cast<uint32_t>(sizeof ev) + ev.body.size);
            if (ev.body.type != p.midiEvent)
                continue;
            const int64_t frame = ev.time.frames;
            const uint32_t at = frame <= done         ? done
                                : frame >= frameCount ? frameCount
                                                      : static_cast<uint32_t>(frame);
            renderSpan(p, out, done, at);
            done = at;
            forEachShortMessage(bytes, ev.body.size, [&p](uint32_t message) {
                onMidiInput(p.engine.state, kMidiInData, message);
            });
        }
    }
    renderSpan(p, out, done, frameCount);
    p.hostFrames += frameCount;
    // What the panel's live picture needs: how far the envelope, times the
    // note's velocity, has taken the byte at the block's last frame.
    if (float *level = static_cast<float *>(const_cast<void *>(p.ports[kLevelPort])))
        *level = static_cast<float>(p.engine.state.envelope.level * p.engine.state.velocityGain);
}

void cleanup(LV2_Handle instance) {
    Plugin *p = static_cast<Plugin *>(instance);
    closeResampler(p->resampler);
    delete p;
}

const LV2_Descriptor kDescriptor = {kPluginUri, instantiate, connectPort, activate,
                                    run,        nullptr,     cleanup,     nullptr};

} // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor *lv2_descriptor(uint32_t index) {
    return index == 0 ? &kDescriptor : nullptr;
}
