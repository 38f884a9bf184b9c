// The engine as a CLAP instrument: the LV2 plugin's engine, table of controls
// and rate conversion, with CLAP's events, parameters (a parameter's id is its
// LV2 port's index), latency, state and, where it is built, the LV2 plugin's
// panel.
#include "plugin_engine/host_rate_engine.h"
#include "plugin_ui/panel_layout.h"
#include "plugin_ui/plugin_view.h"

#include "engine/operation_names.h"
#include "engine/synth_state.h"
#include "engine_driving/engine_driving.h"
#include "midi/note_handling.h"
#include "midi/short_messages.h"
#include "version.h"

#include <clap/entry.h>
#include <clap/events.h>
#include <clap/ext/audio-ports.h>
#include <clap/ext/gui.h>
#include <clap/ext/latency.h>
#include <clap/ext/note-ports.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/ext/timer-support.h>
#include <clap/plugin-factory.h>
#include <clap/plugin-features.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Hosts save songs with the plugin's id: it never changes.
constexpr const char *kPluginId = "org.ondrilux.ondrilux";
// At another rate the engine renders at most this many host frames' worth at
// a time, so that its buffer is allocated once, however long a host's blocks.
constexpr uint32_t kChunkFrames = 4096;
// The first line of a saved state; another version is refused.
constexpr std::string_view kStateHeader = "ondrilux-state 1\n";
constexpr size_t kMaxStateBytes = 4096;

const char *kFeatures[] = {CLAP_PLUGIN_FEATURE_INSTRUMENT, CLAP_PLUGIN_FEATURE_SYNTHESIZER,
                           CLAP_PLUGIN_FEATURE_MONO, nullptr};

const clap_plugin_descriptor_t kDescriptor = {
    CLAP_VERSION_INIT,
    kPluginId,
    "Ondrilux",
    "Ondrilux maintainers",
    "https://ondrilux.org",
    "",
    "",
    kOndriluxVersion,
    "A monophonic synthesizer that shapes a sine wave with bit operations.",
    kFeatures};

struct Plugin {
    clap_plugin_t clap;
    const clap_host_t *host;
    // The host's extensions; null where the host has none.
    const clap_host_params_t *hostParams = nullptr;
    const clap_host_timer_support_t *hostTimers = nullptr;
    const clap_host_gui_t *hostGui = nullptr;
    HostRateEngine engine;
    // Each control's value by its port index, as the host or a state last set
    // it: written on the main thread and the audio thread, read on both.
    std::atomic<float> values[kPortCount] = {};

    // The panel, on the main thread: its view once the host gives it a
    // window, the timer that drives it, and the scale the host asked for (0:
    // the desktop's).
    bool panelOpen = false;
    PluginView *view = nullptr;
    clap_id timer = CLAP_INVALID_ID;
    double scale = 0.0;
    // The sound's level for the live picture, from the audio thread.
    std::atomic<float> level = 0.0f;
    // The panel's writes on their way to the host, a bit per port: the main
    // thread sets them, process or flush sends them as events.
    std::atomic<uint32_t> gestureBegins = 0, writes = 0, gestureEnds = 0;
};

Plugin &self(const clap_plugin_t *plugin) {
    return *static_cast<Plugin *>(plugin->plugin_data);
}

float valueOf(const Plugin &p, const ControlPort &c) {
    return p.values[c.index].load(std::memory_order_relaxed);
}

// Hands control c's value to the engine, as the LV2 plugin hands its port's.
void applyControl(Plugin &p, const ControlPort &c) {
    applyHostControl(p.engine, c, controlPortValue(c, valueOf(p, c)));
}

void playMidi(Plugin &p, const uint8_t *bytes, size_t size) {
    forEachShortMessage(bytes, size, [&p](uint32_t message) {
        onMidiInput(p.engine.engine.state, kMidiInData, message);
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

// A CLAP note event as MIDI's note-on or note-off, velocity and all (a
// note-on's at least 1: 0 would end it). A note-off for any key (-1) is All
// Notes Off, on any channel (-1) on all sixteen.
void playNote(Plugin &p, const clap_event_note_t &n, bool on) {
    const double velocity = n.velocity >= 0.0 ? std::min(n.velocity, 1.0) : 0.0;
    const auto byte = static_cast<uint8_t>(std::lrint(velocity * 127.0));
    for (int16_t channel = 0; channel < 16; ++channel) {
        if (n.channel != channel && !(n.channel == -1 && !on))
            continue;
        if (n.key >= 0 && n.key <= 127) {
            const uint8_t bytes[] = {static_cast<uint8_t>((on ? 0x90 : 0x80) | channel),
                                     static_cast<uint8_t>(n.key),
                                     on ? std::max<uint8_t>(byte, 1) : byte};
            playMidi(p, bytes, sizeof bytes);
        } else if (n.key == -1 && !on) {
            const uint8_t bytes[] = {static_cast<uint8_t>(0xB0 | channel), 123, 0};
            playMidi(p, bytes, sizeof bytes);
        }
    }
}

template <typename Event> const Event *as(const clap_event_header_t &e) {
    return e.size >= sizeof(Event) ? reinterpret_cast<const Event *>(&e) : nullptr;
}

// The control a parameter event sets, or nullptr for any other event.
const ControlPort *paramEvent(const clap_event_header_t &e, float &value) {
    const auto *v = e.type == CLAP_EVENT_PARAM_VALUE ? as<clap_event_param_value_t>(e) : nullptr;
    const ControlPort *c = v ? controlPort(v->param_id) : nullptr;
    if (c)
        value = static_cast<float>(v->value);
    return c;
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

void play(Plugin &p, const clap_event_header_t &e) {
    float value;
    switch (e.type) {
    case CLAP_EVENT_NOTE_ON:
        playNote(p, *as<clap_event_note_t>(e), true);
        break;
    case CLAP_EVENT_NOTE_OFF:
    case CLAP_EVENT_NOTE_CHOKE:
        playNote(p, *as<clap_event_note_t>(e), false);
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

// The panel's writes as the host's events: a gesture's start, the value, its
// end. Real-time.
void sendPanelWrites(Plugin &p, const clap_output_events_t *out) {
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
clap_process_status process(const clap_plugin_t *plugin, const clap_process_t *process) {
    Plugin &p = self(plugin);
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

// A fresh engine, as at the synth's start: silence, no note held over.
bool activate(const clap_plugin_t *plugin, double rate, uint32_t, uint32_t) {
    // False for a rate no converter can serve.
    return startHostRateEngine(self(plugin).engine, rate);
}

void deactivate(const clap_plugin_t *plugin) {
    stopHostRateEngine(self(plugin).engine);
}

void reset(const clap_plugin_t *plugin) {
    resetHostRateEngine(self(plugin).engine);
}

// Parameters: the LV2 plugin's control ports, by index.

uint32_t paramCount(const clap_plugin_t *) {
    return static_cast<uint32_t>(std::size(kControlPorts));
}

bool paramInfo(const clap_plugin_t *, uint32_t index, clap_param_info_t *info) {
    if (index >= std::size(kControlPorts))
        return false;
    const ControlPort &c = kControlPorts[index];
    *info = clap_param_info_t{};
    info->id = c.index;
    info->flags = CLAP_PARAM_IS_AUTOMATABLE | CLAP_PARAM_IS_STEPPED;
    std::snprintf(info->name, sizeof info->name, "%s", c.name);
    info->min_value = c.range.min;
    info->max_value = c.range.max;
    info->default_value = c.range.initial;
    return true;
}

bool paramValue(const clap_plugin_t *plugin, clap_id id, double *value) {
    const ControlPort *c = controlPort(id);
    if (c) // as the engine takes it
        *value = controlPortValue(*c, valueOf(self(plugin), *c));
    return c != nullptr;
}

// The decimal integer that is all of s: an optional minus, then at most
// nine digits (no locale's signs or spaces).
bool parseInteger(std::string_view s, int32_t &v) {
    const bool negative = s.starts_with('-');
    if (negative)
        s.remove_prefix(1);
    if (s.empty() || s.size() > 9)
        return false;
    int32_t n = 0;
    for (const char digit : s) {
        if (digit < '0' || digit > '9')
            return false;
        n = n * 10 + (digit - '0');
    }
    v = negative ? -n : n;
    return true;
}

// The words a value is shown with (the operation's name, "All" channels,
// "On" and "Off"); nullptr where it is shown as a number.
const char *wordsFor(const ControlPort &c, int32_t v) {
    if (c.index == kOperationPort)
        return operationName(v).shortName;
    if (c.index == kChannelPort && v == 0)
        return "All";
    if (isToggle(c.index))
        return v ? "On" : "Off";
    return nullptr;
}

bool valueToText(const clap_plugin_t *, clap_id id, double value, char *text, uint32_t size) {
    const ControlPort *c = controlPort(id);
    if (!c || size == 0)
        return false;
    const int32_t v = controlPortValue(*c, static_cast<float>(value));
    if (const char *words = wordsFor(*c, v))
        std::snprintf(text, size, "%s", words);
    else
        std::snprintf(text, size, "%d", v);
    return true;
}

bool textToValue(const clap_plugin_t *, clap_id id, const char *text, double *value) {
    const ControlPort *c = controlPort(id);
    if (!c || !text)
        return false;
    const std::string_view s(text);
    for (int32_t v = c->range.min; v <= c->range.max; ++v)
        if (const char *words = wordsFor(*c, v); words && s == words) {
            *value = v;
            return true;
        }
    int32_t v = 0;
    if (!parseInteger(s, v))
        return false;
    *value = std::clamp(v, c->range.min, c->range.max);
    return true;
}

// The host's changes while nothing plays, kept for the next block; the
// panel's writes to the host.
void flush(const clap_plugin_t *plugin, const clap_input_events_t *in,
           const clap_output_events_t *out) {
    Plugin &p = self(plugin);
    const uint32_t count = in ? in->size(in) : 0;
    for (uint32_t i = 0; i < count; ++i) {
        float value;
        const clap_event_header_t *e = in->get(in, i);
        if (const ControlPort *c =
                e && e->space_id == CLAP_CORE_EVENT_SPACE_ID ? paramEvent(*e, value) : nullptr)
            p.values[c->index].store(value, std::memory_order_relaxed);
    }
    sendPanelWrites(p, out);
}

const clap_plugin_params_t kParams = {paramCount,  paramInfo,   paramValue,
                                      valueToText, textToValue, flush};

// The converter's delay, as the LV2 plugin's latency port tells it.
uint32_t latency(const clap_plugin_t *plugin) {
    const Plugin &p = self(plugin);
    return static_cast<uint32_t>(std::lrint(hostLatencyFrames(p.engine)));
}

const clap_plugin_latency_t kLatency = {latency};

// State: the header, then a line "symbol value" for each control.

bool saveState(const clap_plugin_t *plugin, const clap_ostream_t *stream) {
    const Plugin &p = self(plugin);
    std::string text(kStateHeader);
    for (const ControlPort &c : kControlPorts) {
        char line[64];
        std::snprintf(line, sizeof line, "%s %d\n", c.symbol, controlPortValue(c, valueOf(p, c)));
        text += line;
    }
    for (size_t written = 0; written < text.size();) {
        const int64_t n = stream->write(stream, text.data() + written, text.size() - written);
        if (n <= 0)
            return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

// The controls' values in `text`, a state as saveState writes it: every
// control once, in its range, each line whole. False for anything else.
bool parseState(std::string_view text, int32_t (&values)[kPortCount]) {
    if (!text.starts_with(kStateHeader))
        return false;
    text.remove_prefix(kStateHeader.size());
    bool seen[kPortCount] = {};
    size_t count = 0;
    for (size_t end; (end = text.find('\n')) != std::string_view::npos;
         text.remove_prefix(end + 1)) {
        const std::string_view line = text.substr(0, end);
        const size_t space = line.find(' ');
        const ControlPort *c = nullptr;
        for (const ControlPort &candidate : kControlPorts)
            if (line.substr(0, space) == candidate.symbol)
                c = &candidate;
        if (!c || space == std::string_view::npos || seen[c->index])
            return false;
        int32_t &v = values[c->index];
        if (!parseInteger(line.substr(space + 1), v) || !inRange(c->range, v))
            return false;
        seen[c->index] = true;
        ++count;
    }
    return text.empty() && count == std::size(kControlPorts);
}

bool loadState(const clap_plugin_t *plugin, const clap_istream_t *stream) {
    Plugin &p = self(plugin);
    std::string text(kMaxStateBytes + 1, '\0');
    size_t size = 0;
    for (int64_t n; size < text.size() &&
                    (n = stream->read(stream, text.data() + size, text.size() - size)) != 0;) {
        if (n < 0)
            return false;
        size += static_cast<size_t>(n);
    }
    int32_t values[kPortCount];
    if (size > kMaxStateBytes || !parseState(std::string_view(text.data(), size), values))
        return false;
    for (const ControlPort &c : kControlPorts)
        p.values[c.index].store(static_cast<float>(values[c.index]), std::memory_order_relaxed);
    if (p.hostParams)
        p.hostParams->rescan(p.host, CLAP_PARAM_RESCAN_VALUES);
    return true;
}

const clap_plugin_state_t kState = {saveState, loadState};

// Ports: one mono output, one note input that takes CLAP's notes and MIDI.

uint32_t audioPortCount(const clap_plugin_t *, bool isInput) {
    return isInput ? 0 : 1;
}

bool audioPort(const clap_plugin_t *, uint32_t index, bool isInput, clap_audio_port_info_t *info) {
    if (isInput || index != 0)
        return false;
    *info = clap_audio_port_info_t{};
    info->id = 0;
    std::snprintf(info->name, sizeof info->name, "Out");
    info->flags = CLAP_AUDIO_PORT_IS_MAIN;
    info->channel_count = 1;
    info->port_type = CLAP_PORT_MONO;
    info->in_place_pair = CLAP_INVALID_ID;
    return true;
}

const clap_plugin_audio_ports_t kAudioPorts = {audioPortCount, audioPort};

uint32_t notePortCount(const clap_plugin_t *, bool isInput) {
    return isInput ? 1 : 0;
}

bool notePort(const clap_plugin_t *, uint32_t index, bool isInput, clap_note_port_info_t *info) {
    if (!isInput || index != 0)
        return false;
    *info = clap_note_port_info_t{};
    info->id = 0;
    info->supported_dialects = CLAP_NOTE_DIALECT_CLAP | CLAP_NOTE_DIALECT_MIDI;
    info->preferred_dialect = CLAP_NOTE_DIALECT_MIDI;
    std::snprintf(info->name, sizeof info->name, "MIDI in");
    return true;
}

const clap_plugin_note_ports_t kNotePorts = {notePortCount, notePort};

#ifdef ONDRILUX_CLAP_PANEL
// The panel: the LV2 plugin's, embedded in the host's X11 window, driven by
// the host's timer. Every call comes from the main thread.

constexpr uint32_t kPanelPeriodMs = 30;

void writeControl(void *handle, uint32_t port, float value) {
    Plugin &p = *static_cast<Plugin *>(handle);
    if (!controlPort(port))
        return;
    p.values[port].store(value, std::memory_order_relaxed);
    p.writes.fetch_or(1u << port, std::memory_order_relaxed);
    if (p.hostParams)
        p.hostParams->request_flush(p.host);
}

void touchControl(void *handle, uint32_t port, bool grabbed) {
    Plugin &p = *static_cast<Plugin *>(handle);
    if (!controlPort(port))
        return;
    (grabbed ? p.gestureBegins : p.gestureEnds).fetch_or(1u << port, std::memory_order_relaxed);
    if (p.hostParams)
        p.hostParams->request_flush(p.host);
}

bool isApiSupported(const clap_plugin_t *, const char *api, bool floating) {
    return api && std::strcmp(api, CLAP_WINDOW_API_X11) == 0 && !floating;
}

bool preferredApi(const clap_plugin_t *, const char **api, bool *floating) {
    *api = CLAP_WINDOW_API_X11;
    *floating = false;
    return true;
}

void destroyPanel(const clap_plugin_t *plugin) {
    Plugin &p = self(plugin);
    destroyPluginView(p.view);
    p.view = nullptr;
    if (p.timer != CLAP_INVALID_ID)
        p.hostTimers->unregister_timer(p.host, p.timer);
    p.timer = CLAP_INVALID_ID;
    p.panelOpen = false;
    p.scale = 0.0;
}

// Without the host's timer nothing would drive the panel: it is refused.
bool createPanel(const clap_plugin_t *plugin, const char *api, bool floating) {
    Plugin &p = self(plugin);
    if (p.panelOpen || !isApiSupported(plugin, api, floating))
        return false;
    if (!p.hostTimers || !p.hostTimers->register_timer(p.host, kPanelPeriodMs, &p.timer)) {
        std::fprintf(stderr, "ondrilux: the panel cannot open: the host has no timer for it "
                             "(clap.timer-support)\n");
        p.timer = CLAP_INVALID_ID;
        return false;
    }
    p.panelOpen = true;
    return true;
}

bool setScale(const clap_plugin_t *plugin, double scale) {
    Plugin &p = self(plugin);
    if (p.view || !(scale >= kMinScale && scale <= kMaxScale))
        return false;
    p.scale = scale;
    return true;
}

bool panelSize(const clap_plugin_t *plugin, uint32_t *width, uint32_t *height) {
    const Plugin &p = self(plugin);
    if (p.view) {
        pluginViewSize(p.view, *width, *height);
    } else { // the host's scale, or 1 until the desktop's is known
        const double scale = p.scale ? p.scale : 1.0;
        *width = static_cast<uint32_t>(std::lrint(kPanelWidth * scale));
        *height = static_cast<uint32_t>(std::lrint(kPanelHeight * scale));
    }
    return true;
}

bool canResize(const clap_plugin_t *) {
    return false;
}

bool resizeHints(const clap_plugin_t *, clap_gui_resize_hints_t *) {
    return false;
}

bool adjustSize(const clap_plugin_t *plugin, uint32_t *width, uint32_t *height) {
    return panelSize(plugin, width, height);
}

bool setSize(const clap_plugin_t *plugin, uint32_t width, uint32_t height) {
    uint32_t w = 0, h = 0;
    panelSize(plugin, &w, &h);
    return w == width && h == height;
}

// The controls as the host has them now, and the sound's level.
void showControls(Plugin &p) {
    for (const ControlPort &c : kControlPorts)
        showPluginControl(p.view, c.index, static_cast<float>(controlPortValue(c, valueOf(p, c))));
    showPluginControl(p.view, kLevelPort, p.level.load(std::memory_order_relaxed));
}

bool setParent(const clap_plugin_t *plugin, const clap_window_t *window) {
    Plugin &p = self(plugin);
    if (!p.panelOpen || p.view || !window || !isApiSupported(plugin, window->api, false))
        return false;
    uint32_t width = 0, height = 0;
    panelSize(plugin, &width, &height);
    const char *error = nullptr;
    p.view = createPluginView(window->x11, p.scale, {&p, writeControl, touchControl}, &error);
    if (!p.view) {
        std::fprintf(stderr, "ondrilux: the panel cannot open: %s\n", error);
        return false;
    }
    showControls(p);
    idlePluginView(p.view);
    // At the desktop's scale the panel may be larger than the host was told.
    uint32_t w = 0, h = 0;
    pluginViewSize(p.view, w, h);
    if ((w != width || h != height) && p.hostGui)
        p.hostGui->request_resize(p.host, w, h);
    return true;
}

bool setTransient(const clap_plugin_t *, const clap_window_t *) {
    return false;
}

void suggestTitle(const clap_plugin_t *, const char *) {}

// The host shows and hides its own window, the panel's parent.
bool showPanel(const clap_plugin_t *plugin) {
    return self(plugin).view != nullptr;
}

const clap_plugin_gui_t kGui = {isApiSupported, preferredApi, createPanel, destroyPanel,
                                setScale,       panelSize,    canResize,   resizeHints,
                                adjustSize,     setSize,      setParent,   setTransient,
                                suggestTitle,   showPanel,    showPanel};

// The host's changes reach the panel, and the panel takes its window's events.
void onTimer(const clap_plugin_t *plugin, clap_id timer) {
    Plugin &p = self(plugin);
    if (timer != p.timer || !p.view)
        return;
    showControls(p);
    if (!idlePluginView(p.view)) { // the host took the window away
        destroyPluginView(p.view);
        p.view = nullptr;
    }
}

const clap_plugin_timer_support_t kTimerSupport = {onTimer};
#endif

const void *extension(const clap_plugin_t *, const char *id) {
    const std::pair<const char *, const void *> extensions[] = {
        {CLAP_EXT_AUDIO_PORTS, &kAudioPorts},
        {CLAP_EXT_NOTE_PORTS, &kNotePorts},
        {CLAP_EXT_PARAMS, &kParams},
        {CLAP_EXT_LATENCY, &kLatency},
        {CLAP_EXT_STATE, &kState},
#ifdef ONDRILUX_CLAP_PANEL
        {CLAP_EXT_GUI, &kGui},
        {CLAP_EXT_TIMER_SUPPORT, &kTimerSupport},
#endif
    };
    for (const auto &[name, ext] : extensions)
        if (id && std::strcmp(id, name) == 0)
            return ext;
    return nullptr;
}

// Whatever the host offers of `id`, or nullptr.
template <typename Ext> const Ext *hostExtension(const clap_host_t *host, const char *id) {
    return host->get_extension ? static_cast<const Ext *>(host->get_extension(host, id)) : nullptr;
}

bool init(const clap_plugin_t *plugin) {
    Plugin &p = self(plugin);
    p.hostParams = hostExtension<clap_host_params_t>(p.host, CLAP_EXT_PARAMS);
    p.hostTimers = hostExtension<clap_host_timer_support_t>(p.host, CLAP_EXT_TIMER_SUPPORT);
    p.hostGui = hostExtension<clap_host_gui_t>(p.host, CLAP_EXT_GUI);
    for (const ControlPort &c : kControlPorts)
        p.values[c.index].store(static_cast<float>(c.range.initial), std::memory_order_relaxed);
    return true;
}

void destroy(const clap_plugin_t *plugin) {
    Plugin *p = &self(plugin);
#ifdef ONDRILUX_CLAP_PANEL
    if (p->panelOpen)
        destroyPanel(plugin);
#endif
    stopHostRateEngine(p->engine);
    delete p;
}

bool startProcessing(const clap_plugin_t *) {
    return true;
}

void stopProcessing(const clap_plugin_t *) {}

void onMainThread(const clap_plugin_t *) {}

const clap_plugin_t *createPlugin(const clap_plugin_factory_t *, const clap_host_t *host,
                                  const char *id) {
    if (!host || !id || std::strcmp(id, kPluginId) != 0 ||
        !clap_version_is_compatible(host->clap_version))
        return nullptr;
    Plugin *p = new (std::nothrow) Plugin;
    if (!p)
        return nullptr;
    p->host = host;
    p->clap = {&kDescriptor,   p,     init,    destroy,   activate,    deactivate, startProcessing,
               stopProcessing, reset, process, extension, onMainThread};
    return &p->clap;
}

uint32_t pluginCount(const clap_plugin_factory_t *) {
    return 1;
}

const clap_plugin_descriptor_t *descriptor(const clap_plugin_factory_t *, uint32_t index) {
    return index == 0 ? &kDescriptor : nullptr;
}

const clap_plugin_factory_t kFactory = {pluginCount, descriptor, createPlugin};

bool entryInit(const char *) {
    return true;
}

void entryDeinit() {}

const void *factory(const char *id) {
    return id && std::strcmp(id, CLAP_PLUGIN_FACTORY_ID) == 0 ? &kFactory : nullptr;
}

} // namespace

const clap_plugin_entry_t clap_entry = {CLAP_VERSION_INIT, entryInit, entryDeinit, factory};
