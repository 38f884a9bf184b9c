// The engine as a standalone WebAssembly module, driven as the LV2 plugin
// drives it: controls by the plugin's port indices, MIDI short messages, and
// render calls of up to 4096 frames at 48000 frames per second; and a tuning,
// from Scala files' texts or the MIDI Tuning Standard's messages.
#include "engine_driving/engine_driving.h"
#include "midi/note_handling.h"
#include "midi/tuning_messages.h"
#include "plugins/controls/port_controls.h"
#include "tuning_files/scala_files.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr uint32_t kMaxFrames = 4096;
// Input the engine holds room for: more than the longest tuning message (a
// single note change of 127 keys, 516 bytes).
constexpr uint32_t kInputRoomBytes = 1024;

struct WebEngine {
    DrivenEngine engine;
    float frames[kMaxFrames];
    uint8_t inputRoom[kInputRoomBytes];
    uint8_t *largeInput = nullptr; // a tuning's texts beyond the room
    uint8_t *input = inputRoom;    // where the page writes its input
    std::string refusal;           // why the last tuning was refused
    char name[kTuningNameBytes];
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

// Where the page writes `bytes` bytes of input for the next call that reads
// it; 0 when out of memory. Up to 1024 bytes (any tuning message) it is the
// engine's own room: asking for it never allocates nor frees. Beyond (a
// tuning's texts), it is allocated, and freed once the texts are read.
ONDRILUX_EXPORT(ondrilux_input) uint8_t *ondrilux_input(WebEngine *w, uint32_t bytes) {
    if (bytes <= kInputRoomBytes)
        return w->input = w->inputRoom;
    delete[] w->largeInput;
    w->largeInput = new (std::nothrow) uint8_t[bytes];
    return w->input = w->largeInput;
}

// A system-exclusive message of `size` bytes (F0 to F7) in the input: a
// tuning message retunes as in ondrilux-jack, any other is ignored. No
// allocation.
ONDRILUX_EXPORT(ondrilux_system_exclusive)
void ondrilux_system_exclusive(WebEngine *w, uint32_t size) {
    onSystemExclusive(w->engine.state, w->input, size);
}

// The tuning of Scala files in the input, one after another: the scale's
// file name and text, then the keyboard map's ("" for none; no scale and no
// map: the synth's own 12-TET), in force from the next note. 0 when it is, or
// else one line saying what is wrong in which file, the tuning in force kept.
// Allocates: between renders only.
ONDRILUX_EXPORT(ondrilux_tuning)
const char *ondrilux_tuning(WebEngine *w, uint32_t scaleNameBytes, uint32_t scaleBytes,
                            uint32_t mapNameBytes, uint32_t mapBytes) {
    if (!w->input)
        return "no memory to read the files in";
    const char *at = reinterpret_cast<const char *>(w->input);
    const auto take = [&at](uint32_t bytes) {
        const std::string_view text(at, bytes);
        at += bytes;
        return text;
    };
    const std::string scaleName(take(scaleNameBytes));
    const std::string_view scale = take(scaleBytes);
    const std::string mapName(take(mapNameBytes));
    const std::string_view map = take(mapBytes);
    Tuning tuning;
    const bool read = (scaleName.empty() && mapName.empty()) ||
                      tuningFromScalaTexts(scale, scaleName, map, mapName, tuning, w->refusal);
    if (read)
        setTuning(w->engine.state, tuning);
    delete[] w->largeInput;
    w->largeInput = nullptr;
    w->input = w->inputRoom;
    return read ? nullptr : w->refusal.c_str();
}

// The name of the tuning in force: a scale's description or a bulk dump's
// name, "unnamed" when it has none, "" for the synth's own 12-TET.
ONDRILUX_EXPORT(ondrilux_tuning_name) const char *ondrilux_tuning_name(WebEngine *w) {
    tuningName(w->engine.state, w->name);
    if (w->name[0] == '\0' && w->engine.state.tuned.get() != 0)
        std::strcpy(w->name, "unnamed");
    return w->name;
}

// The engine's next `frames` frames (at most 4096), in the module's memory.
ONDRILUX_EXPORT(ondrilux_render) float *ondrilux_render(WebEngine *w, uint32_t frames) {
    renderEngine(w->engine, w->frames, frames < kMaxFrames ? frames : kMaxFrames);
    return w->frames;
}

ONDRILUX_EXPORT(ondrilux_free) void ondrilux_free(WebEngine *w) {
    delete[] w->largeInput;
    delete w;
}
