// The CLAP plugin's audio thread: each event at its frame, the notes, MIDI and
// parameter changes it carries, and the panel's writes back to the host.
#include "plugins/clap/clap_plugin.h"

#include "plugins/host_rate/host_notes.h"

#include "engine/synth_state.h"
#include "midi/note_handling.h"
#include "midi/short_messages.h"
#include "midi/tuning_messages.h"

#include <clap/events.h>
#include <clap/process.h>

#include <algorithm>

namespace {

// Hands control c's value to the engine, as the LV2 plugin hands its port's.
void applyControl(ClapPlugin &p, const ControlPort &c) {
    applyHostControl(p.engine, c, controlPortValue(c, valueOf(p, c)));
}

void playMidi(ClapPlugin &p, const uint8_t *bytes, size_t size) {
    SynthState &state = p.engine.engine.state;
    forEachMidiMessage(
        bytes, size, [&state](uint32_t message) { onMidiInput(state, kMidiInData, message); },
        [&state](const uint8_t *message, size_t length) {
            onSystemExclusive(state, message, length);
        });
}

// How many bytes a message starting with this byte has: CLAP's MIDI event
// holds one short message in three bytes, whatever its length.
size_t messageLength(uint8_t status) {
    if (status >= 0xF4 && status != 0xF7)
        return 1;
    if ((status & 0xE0) == 0xC0 || status == 0xF1 || status == 0xF3)
        return 2;
    return 3;
}

template <typename Event> const Event *as(const clap_event_header_t &e) {
    return e.size >= sizeof(Event) ? reinterpret_cast<const Event *>(&e) : nullptr;
}

HostNote hostNote(const clap_event_header_t &e) {
    const auto &n = *as<clap_event_note_t>(e);
    return {n.channel, n.key, n.velocity};
}

// Whether the engine hears event e: it is rendered up to before it is played.
bool isPlayed(const clap_event_header_t &e) {
    float value;
    if (e.space_id != CLAP_CORE_EVENT_SPACE_ID)
        return false;
    switch (e.type) {
    case CLAP_EVENT_NOTE_ON:
    case CLAP_EVENT_NOTE_OFF:
    case CLAP_EVENT_NOTE_CHOKE:
        return as<clap_event_note_t>(e) != nullptr;
    case CLAP_EVENT_MIDI:
        return as<clap_event_midi_t>(e) != nullptr;
    case CLAP_EVENT_MIDI_SYSEX:
        return as<clap_event_midi_sysex_t>(e) != nullptr;
    default:
        return paramEvent(e, value) != nullptr;
    }
}

void play(ClapPlugin &p, const clap_event_header_t &e) {
    float value;
    switch (e.type) {
    case CLAP_EVENT_NOTE_ON:
        playHostNoteOn(p.engine, hostNote(e));
        break;
    case CLAP_EVENT_NOTE_OFF:
    case CLAP_EVENT_NOTE_CHOKE:
        playHostNoteOff(p.engine, hostNote(e));
        break;
    case CLAP_EVENT_MIDI: {
        const auto &m = *as<clap_event_midi_t>(e);
        playMidi(p, m.data, messageLength(m.data[0]));
        break;
    }
    case CLAP_EVENT_MIDI_SYSEX: {
        const auto &m = *as<clap_event_midi_sysex_t>(e);
        if (m.buffer)
            playMidi(p, m.buffer, m.size);
        break;
    }
    default:
        if (const ControlPort *c = paramEvent(e, value)) {
            p.values[c->index].store(value, std::memory_order_relaxed);
            applyControl(p, *c);
        }
    }
}

} // namespace

const ControlPort *paramEvent(const clap_event_header_t &e, float &value) {
    const auto *v = e.space_id == CLAP_CORE_EVENT_SPACE_ID && e.type == CLAP_EVENT_PARAM_VALUE
                        ? as<clap_event_param_value_t>(e)
                        : nullptr;
    const ControlPort *c = v ? controlPort(v->param_id) : nullptr;
    if (c)
        value = static_cast<float>(v->value);
    return c;
}

// Real-time.
void sendPanelWrites(ClapPlugin &p, const clap_output_events_t *out) {
    const uint32_t begins = p.gestureBegins.exchange(0, std::memory_order_relaxed),
                   writes = p.writes.exchange(0, std::memory_order_relaxed),
                   ends = p.gestureEnds.exchange(0, std::memory_order_relaxed);
    if (!out || !(begins | writes | ends))
        return;
    for (const ControlPort &c : kControlPorts) {
        const uint32_t bit = 1u << c.index;
        const clap_event_header_t header = {sizeof(clap_event_param_gesture_t), 0,
                                            CLAP_CORE_EVENT_SPACE_ID, 0, 0};
        clap_event_param_gesture_t gesture = {header, c.index};
        clap_event_param_value_t value = {
            {sizeof value, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0},
            c.index,
            nullptr,
            -1,
            -1,
            -1,
            -1,
            valueOf(p, c)};
        gesture.header.type = CLAP_EVENT_PARAM_GESTURE_BEGIN;
        if (begins & bit)
            out->try_push(out, &gesture.header);
        if (writes & bit)
            out->try_push(out, &value.header);
        gesture.header.type = CLAP_EVENT_PARAM_GESTURE_END;
        if (ends & bit)
            out->try_push(out, &gesture.header);
    }
}

// Real-time: no allocation, lock or system call.
clap_process_status processClap(const clap_plugin_t *plugin, const clap_process_t *process) {
    ClapPlugin &p = self(plugin);
    clap_audio_buffer_t *output = process->audio_outputs_count ? process->audio_outputs : nullptr;
    float *out = output && output->channel_count && output->data32 ? output->data32[0] : nullptr;
    if (!out)
        return CLAP_PROCESS_ERROR;
    const uint32_t frameCount = process->frames_count;
    // The controls as the host, a state or a flush left them; the envelope
    // sliders act at the next arming, as in the window.
    for (const ControlPort &c : kControlPorts)
        applyControl(p, c);

    // Each event at its frame: render up to it, hand it over, go on. An event
    // before one already played plays at once; one past the end, at the end.
    uint32_t done = 0;
    const clap_input_events_t *in = process->in_events;
    const uint32_t count = in ? in->size(in) : 0;
    for (uint32_t i = 0; i < count; ++i) {
        const clap_event_header_t *e = in->get(in, i);
        if (!e || !isPlayed(*e))
            continue;
        const uint32_t at = std::clamp(e->time, done, frameCount);
        renderHostSpan(p.engine, out, done, at);
        done = at;
        play(p, *e);
    }
    renderHostSpan(p.engine, out, done, frameCount);
    endHostBlock(p.engine, frameCount);
    output->constant_mask = 0;
    // What the panel's live picture needs, as the LV2 plugin's level port has it.
    p.level.store(pictureLevel(p.engine), std::memory_order_relaxed);
    sendPanelWrites(p, process->out_events);
    return CLAP_PROCESS_CONTINUE;
}
