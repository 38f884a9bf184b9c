// The engine as an LV2 instrument: each instance owns its own engine, renders
// it at 48000 frames/s and, at any other host rate, converts its output. Its
// tuning's files are patch properties (tuning_properties.cpp).
#include "plugins/lv2/lv2_plugin.h"
#include "plugins/lv2/plugin_uri.h"

#include "engine/synth_state.h"
#include "engine_driving/engine_driving.h"
#include "midi/note_handling.h"
#include "midi/short_messages.h"

#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace {

Lv2Urids mapUrids(const LV2_URID_Map &map) {
    const auto m = [&map](const char *uri) { return map.map(map.handle, uri); };
    return {
        m(LV2_MIDI__MidiEvent), m(LV2_ATOM__Object), m(LV2_ATOM__Path),  m(LV2_ATOM__String),
        m(LV2_ATOM__URID),      m(LV2_PATCH__Set),   m(LV2_PATCH__Put),  m(LV2_PATCH__Get),
        m(LV2_PATCH__property), m(LV2_PATCH__value), m(LV2_PATCH__body), m(kScaleUri),
        m(kKeyboardMapUri),     m(kTuningNameUri),   m(kScaleTextUri),   m(kKeyboardMapTextUri)};
}

// At the start of each block: the controls as the window's would set them.
// The envelope sliders act at the next arming, as in the window.
void readControls(Lv2Plugin &p) {
    for (const ControlPort &c : kControlPorts) {
        const float *port = static_cast<const float *>(p.ports[c.index]);
        applyHostControl(p.engine, c, port ? controlPortValue(c, *port) : c.range.initial);
    }
}

LV2_Handle instantiate(const LV2_Descriptor *, double rate, const char *,
                       const LV2_Feature *const *features) {
    const LV2_URID_Map *map = nullptr;
    const LV2_Worker_Schedule *worker = nullptr;
    for (const LV2_Feature *const *f = features; f && *f; ++f)
        if (std::strcmp((*f)->URI, LV2_URID__map) == 0)
            map = static_cast<const LV2_URID_Map *>((*f)->data);
        else if (std::strcmp((*f)->URI, LV2_WORKER__schedule) == 0)
            worker = static_cast<const LV2_Worker_Schedule *>((*f)->data);
    if (!map) // nothing to read MIDI with
        return nullptr;
    std::unique_ptr<Lv2Plugin> p(new (std::nothrow) Lv2Plugin);
    // A rate no converter can serve.
    if (!p || !startHostRateEngine(p->engine, rate)) {
        if (p)
            stopHostRateEngine(p->engine);
        return nullptr;
    }
    p->uris = mapUrids(*map);
    p->worker = worker;
    lv2_atom_forge_init(&p->forge, const_cast<LV2_URID_Map *>(map));
    p->hostRate = rate;
    return p.release();
}

void connectPort(LV2_Handle instance, uint32_t port, void *data) {
    if (port < kPortCount)
        static_cast<Lv2Plugin *>(instance)->ports[port] = data;
}

// A fresh engine, as at the synth's start: silence, no note held over, the
// tuning in force kept.
void activate(LV2_Handle instance) {
    Lv2Plugin &p = *static_cast<Lv2Plugin *>(instance);
    startHostRateEngine(p.engine, p.hostRate);
    p.pathsToTell = true;
}

// Real-time: no allocation, lock or system call.
void run(LV2_Handle instance, uint32_t frameCount) {
    Lv2Plugin &p = *static_cast<Lv2Plugin *>(instance);
    float *out = static_cast<float *>(const_cast<void *>(p.ports[kOutPort]));
    if (float *latency = static_cast<float *>(const_cast<void *>(p.ports[kLatencyPort])))
        *latency = static_cast<float>(hostLatencyFrames(p.engine));
    if (!out) {
        tellTuning(p);
        return;
    }
    readControls(p);
    takeHostTuning(p.engine);

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
            const bool patch =
                ev.body.type == p.uris.atomObject && ev.body.size >= sizeof(LV2_Atom_Object_Body);
            if (ev.body.type != p.uris.midiEvent && !patch)
                continue;
            const int64_t frame = ev.time.frames;
            const uint32_t at = frame <= done         ? done
                                : frame >= frameCount ? frameCount
                                                      : static_cast<uint32_t>(frame);
            renderHostSpan(p.engine, out, done, at);
            done = at;
            if (patch) {
                LV2_Atom_Object_Body object;
                std::memcpy(&object, bytes, sizeof object);
                playPatchMessage(p, object.otype, bytes, ev.body.size);
                continue;
            }
            SynthState &state = p.engine.engine.state;
            forEachMidiMessage(
                bytes, ev.body.size,
                [&state](uint32_t message) { onMidiInput(state, kMidiInData, message); },
                [&p](const uint8_t *message, size_t size) {
                    playHostSystemExclusive(p.engine, message, size);
                });
        }
    }
    renderHostSpan(p.engine, out, done, frameCount);
    endHostBlock(p.engine, frameCount);
    if (float *level = static_cast<float *>(const_cast<void *>(p.ports[kLevelPort])))
        *level = pictureLevel(p.engine);
    tellTuning(p);
}

void cleanup(LV2_Handle instance) {
    Lv2Plugin *p = static_cast<Lv2Plugin *>(instance);
    stopHostRateEngine(p->engine);
    delete p;
}

const void *extensionData(const char *uri) {
    if (std::strcmp(uri, LV2_STATE__interface) == 0)
        return &kLv2State;
    if (std::strcmp(uri, LV2_WORKER__interface) == 0)
        return &kLv2Worker;
    return nullptr;
}

const LV2_Descriptor kDescriptor = {kPluginUri, instantiate, connectPort, activate,
                                    run,        nullptr,     cleanup,     extensionData};

} // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor *lv2_descriptor(uint32_t index) {
    return index == 0 ? &kDescriptor : nullptr;
}
