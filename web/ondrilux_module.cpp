// The engine as a standalone WebAssembly module, driven as the LV2 plugin
// drives it: controls by the plugin's port indices, MIDI short messages, and
// render calls of up to 4096 frames at 48000 frames per second.
#include "engine_driving/engine_driving.h"
#include "plugins/controls/port_controls.h"
#include "midi/note_handling.h"

#include <cstdint>
#include <new>

namespace {

constexpr uint32_t kMaxFrames = 4096;

struct WebEngine {
    DrivenEngine engine;
    float frames[kMaxFrames];
};

} // namespace

#define ONDRILUX_EXPORT(name) extern "C" __attribute__((export_name(#name), used))

// A fresh engine, as the plugin's activation makes it, with every control at
// the plugin's default; 0 when out of memory.
ONDRILUX_EXPORT(ondrilux_new) WebEngine *ondrilux_new() {
    auto *w = new (std::nothrow) WebEngine;
    if (!w)
        return nullptr;
    prepareEngine(w->engine, SoundOptions{.expressive = true});
    for (const ControlPort &c : kControlPorts)
        setPortControl(w->engine, c, c.range.initial);
    return w;
}

// Sets control port `port` (the plugin's index) to `value`, as the plugin
// reads it; other ports are ignored.
ONDRILUX_EXPORT(ondrilux_control) void ondrilux_control(WebEngine *w, uint32_t port, float value) {
    if (const ControlPort *c = controlPort(port))
        setPortControl(w->engine, *c, controlPortValue(*c, value));
}

// One short message: status | data1 << 8 | data2 << 16.
ONDRILUX_EXPORT(ondrilux_midi) void ondrilux_midi(WebEngine *w, uint32_t message) {
    onMidiInput(w->engine.state, kMidiInData, message);
}

// The MIDI input went away (another chosen, unplugged, the page left): every
// key goes up and the pedal lifts, as when a native program's device closes.
ONDRILUX_EXPORT(ondrilux_midi_close) void ondrilux_midi_close(WebEngine *w) {
    onMidiInput(w->engine.state, kMidiInClose, 0);
}

// The engine's next `frames` frames (at most 4096), in the module's memory.
ONDRILUX_EXPORT(ondrilux_render) float *ondrilux_render(WebEngine *w, uint32_t frames) {
    renderEngine(w->engine, w->frames, frames < kMaxFrames ? frames : kMaxFrames);
    return w->frames;
}

ONDRILUX_EXPORT(ondrilux_free) void ondrilux_free(WebEngine *w) {
    delete w;
}
