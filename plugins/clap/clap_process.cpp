// The CLAP plugin's audio thread: each event at its frame, the notes, MIDI,
// parameter values and modulations it carries, and the panel's acts back to
// the host.
#include "plugins/clap/clap_plugin.h"

#include "plugins/host_rate/host_notes.h"

#include "midi/short_messages.h"

#include <clap/events.h>
#include <clap/process.h>

#include <algorithm>
#include <cmath>

namespace {

// Hands control c's value, with its modulation, to the engine, as the LV2
// plugin hands its port's: a modulation takes the path a value takes.
void applyControl(ClapPlugin &p, const ControlPort &c) {
    applyHostControl(p.engine, c, steppedValue(c, valueOf(p, c) + p.modulation.of(c.index)));
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

// Short messages as the host's notes are kept; System Exclusive (a tuning)
// to the note state whole.
void playMidi(ClapPlugin &p, const uint8_t *bytes, size_t size) {
    forEachMidiMessage(
        bytes, size, [&p](uint32_t message) { playHostMidi(p.engine, message); },
        [&p](const uint8_t *message, size_t length) {
            playHostSystemExclusive(p.engine, message, length);
        });
}

template <typename Event> const Event *as(const clap_event_header_t &e) {
    return e.size >= sizeof(Event) ? reinterpret_cast<const Event *>(&e) : nullptr;
}

HostNote hostNote(const clap_event_note_t &n) {
    return {n.channel, n.key, n.velocity};
}

// Whether the engine hears event e: it is rendered up to before it is played.
bool isPlayed(const clap_event_header_t &e) {
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
    case CLAP_EVENT_NOTE_EXPRESSION:
        return as<clap_event_note_expression_t>(e) != nullptr;
    case CLAP_EVENT_PARAM_VALUE:
    case CLAP_EVENT_PARAM_MOD:
        return as<clap_event_param_mod_t>(e) != nullptr; // the two are the same size
    default:
        return false;
    }
}

// After a note event: a new voice drops the last voice's own modulation and
// tuning, which the engine then plays without. `noteId` is the host's id of
// its note.
void followVoice(ClapPlugin &p, int32_t noteId) {
    ParamModulation &m = p.modulation;
    if (m.voiceSerial == p.engine.notes.voiceSerial)
        return;
    p.engine.engine.state.noteTuning.set(0);
    m.voiceSerial = p.engine.notes.voiceSerial;
    m.voiceNoteId = noteId;
    const uint32_t dropped = m.voiceSet;
    m.voiceSet = 0;
    for (const ControlPort &c : kControlPorts)
        if (dropped >> c.index & 1)
            applyControl(p, c);
}

// CLAP's tuning of a note (semitones, -120 to 120) for the voice, as a
// second wheel on it from this frame; for a note that does not sound, or
// another expression, nothing: the next note starts untuned.
void tuneVoice(ClapPlugin &p, const clap_event_note_expression_t &e) {
    if (e.expression_id != CLAP_NOTE_EXPRESSION_TUNING || std::isnan(e.value) ||
        !namesHostVoice(p.engine.notes, e.channel, e.key) ||
        (e.note_id != -1 && e.note_id != p.modulation.voiceNoteId))
        return;
    p.engine.engine.state.noteTuning.set(
        static_cast<int32_t>(std::lrint(std::clamp(e.value, -120.0, 120.0) * kNoteTuningSteps)));
}

void play(ClapPlugin &p, const clap_event_header_t &e) {
    switch (e.type) {
    case CLAP_EVENT_NOTE_ON:
        playHostNoteOn(p.engine, hostNote(*as<clap_event_note_t>(e)));
        followVoice(p, as<clap_event_note_t>(e)->note_id);
        break;
    case CLAP_EVENT_NOTE_OFF:
        playHostNoteOff(p.engine, hostNote(*as<clap_event_note_t>(e)));
        break;
    case CLAP_EVENT_NOTE_CHOKE:
        playHostNoteChoke(p.engine, hostNote(*as<clap_event_note_t>(e)));
        break;
    case CLAP_EVENT_MIDI: {
        const auto &m = *as<clap_event_midi_t>(e);
        playMidi(p, m.data, messageLength(m.data[0]));
        followVoice(p, -1);
        break;
    }
    case CLAP_EVENT_MIDI_SYSEX: {
        const auto &m = *as<clap_event_midi_sysex_t>(e);
        if (m.buffer)
            playMidi(p, m.buffer, m.size);
        followVoice(p, -1);
        break;
    }
    case CLAP_EVENT_NOTE_EXPRESSION:
        tuneVoice(p, *as<clap_event_note_expression_t>(e));
        break;
    default:
        if (const ControlPort *c = takeParamEvent(p, e))
            applyControl(p, *c);
    }
}

// A modulation for every note, or the voice's own when it names the voice
// (by its note's id, or its key and channel, -1 for any); whether it is taken.
// One for a note that does not sound has no voice here to act on.
bool modulate(ClapPlugin &p, const clap_event_param_mod_t &e) {
    ParamModulation &m = p.modulation;
    if (e.note_id == -1 && e.key == -1 && e.channel == -1) {
        m.everyNote[e.param_id] = e.amount;
        return true;
    }
    if (!namesHostVoice(p.engine.notes, e.channel, e.key) ||
        (e.note_id != -1 && e.note_id != m.voiceNoteId))
        return false;
    m.voice[e.param_id] = e.amount;
    m.voiceSet |= 1u << e.param_id;
    return true;
}

} // namespace

const ControlPort *takeParamEvent(ClapPlugin &p, const clap_event_header_t &e) {
    if (e.space_id != CLAP_CORE_EVENT_SPACE_ID)
        return nullptr;
    if (const auto *v =
            e.type == CLAP_EVENT_PARAM_VALUE ? as<clap_event_param_value_t>(e) : nullptr) {
        const ControlPort *c = controlPort(v->param_id);
        if (c)
            p.values[c->index].store(v->value, std::memory_order_relaxed);
        return c;
    }
    const auto *m = e.type == CLAP_EVENT_PARAM_MOD ? as<clap_event_param_mod_t>(e) : nullptr;
    return m && isModulatable(m->param_id) && modulate(p, *m) ? controlPort(m->param_id) : nullptr;
}

// Real-time.
void sendPanelActs(ClapPlugin &p, const clap_output_events_t *out) {
    if (!out)
        return;
    p.gestures.drain([out](const GestureAct &act) {
        if (act.kind == GestureKind::value) {
            const clap_event_param_value_t value = {
                {sizeof value, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0},
                act.port,
                nullptr,
                -1,
                -1,
                -1,
                -1,
                act.value};
            return out->try_push(out, &value.header);
        }
        const uint16_t type = act.kind == GestureKind::begin ? CLAP_EVENT_PARAM_GESTURE_BEGIN
                                                             : CLAP_EVENT_PARAM_GESTURE_END;
        const clap_event_param_gesture_t gesture = {
            {sizeof gesture, 0, CLAP_CORE_EVENT_SPACE_ID, type, 0}, act.port};
        return out->try_push(out, &gesture.header);
    });
}

// Real-time: no allocation, lock or system call.
clap_process_status processClap(const clap_plugin_t *plugin, const clap_process_t *process) {
    ClapPlugin &p = self(plugin);
    clap_audio_buffer_t *output = process->audio_outputs_count ? process->audio_outputs : nullptr;
    float *out = output && output->channel_count && output->data32 ? output->data32[0] : nullptr;
    if (!out)
        return CLAP_PROCESS_ERROR;
    const uint32_t frameCount = process->frames_count;
    // The tuning a state or the panel handed over; the controls as the host,
    // a state or a flush left them (a reset may have ended the voice); the
    // envelope sliders act at the next arming, as in the window.
    takeHostTuning(p.engine);
    followVoice(p, -1);
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
    sendPanelActs(p, process->out_events);
    return CLAP_PROCESS_CONTINUE;
}
