#pragma once

// One instance of the CLAP plugin: the LV2 plugin's engine, table of controls
// and rate conversion behind CLAP's extensions, one file each.
#include "plugins/clap/gesture_queue.h"
#include "plugins/controls/control_ports.h"
#include "plugins/host_rate/host_rate_engine.h"

#include <clap/events.h>
#include <clap/ext/audio-ports.h>
#include <clap/ext/gui.h>
#include <clap/ext/latency.h>
#include <clap/ext/note-ports.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/ext/timer-support.h>
#include <clap/plugin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>

struct PluginView;

// The host's modulation of the parameters (CLAP's PARAM_MOD): an offset over
// each one's value, the host's for every note and the voice's own, which
// stands in for the host's while it is set. On the thread of process and
// flush, which never run at once.
struct ParamModulation {
    double everyNote[kPortCount] = {};
    double voice[kPortCount] = {};
    uint32_t voiceSet = 0;    // a bit per port
    uint32_t voiceSerial = 0; // the voice the voice's own offsets are for (HostNotesPlayed)
    int32_t voiceNoteId = -1; // the host's id of the voice's note, -1 none
    double of(uint32_t port) const { return voiceSet >> port & 1 ? voice[port] : everyNote[port]; }
};

// The parameters a host may modulate: what moves the sound of the note that
// plays (the range's edges, the static value) and the envelope (read as the
// next note starts).
constexpr bool isModulatable(uint32_t port) {
    return port == kStaticValuePort || port == kRangeTopPort || port == kRangeBottomPort ||
           (port >= kAttackPort && port <= kReleasePort);
}

struct ClapPlugin {
    clap_plugin_t clap;
    const clap_host_t *host;
    // The host's extensions; null where the host has none.
    const clap_host_params_t *hostParams = nullptr;
    const clap_host_timer_support_t *hostTimers = nullptr;
    const clap_host_state_t *hostState = nullptr;
    HostRateEngine engine;
    // The Scala files of the tuning, as a state or the panel last set them:
    // the main thread's (the tuning itself goes to the engine by handover).
    TuningFileTexts tuningFiles;
    // Each control's value by its port index, as the host, a state or the
    // panel last set it: written on the main thread and the audio thread,
    // read on both.
    std::atomic<double> values[kPortCount] = {};
    static_assert(std::atomic<double>::is_always_lock_free);
    ParamModulation modulation;

    // The panel, on the main thread: its view once the host gives it a
    // window, the timer that drives it, the scale the host asked for (0:
    // the desktop's, read when the panel is made), and whether the host hid it.
    bool panelOpen = false, panelHidden = false;
    PluginView *view = nullptr;
    clap_id timer = CLAP_INVALID_ID;
    double scale = 0.0, desktopScale = 1.0;
    // Set as the plugin goes: the host is asked for nothing more.
    bool closing = false;
    // The sound's level for the live picture, from the audio thread.
    std::atomic<float> level = 0.0f;
    // The panel's acts on their way to the host: the main thread writes
    // them, process or flush sends them as events.
    GestureQueue<256> gestures;
};

inline ClapPlugin &self(const clap_plugin_t *plugin) {
    return *static_cast<ClapPlugin *>(plugin->plugin_data);
}

// Control c's value as the host or a state last set it.
inline double valueOf(const ClapPlugin &p, const ControlPort &c) {
    return p.values[c.index].load(std::memory_order_relaxed);
}

// A parameter's value as the plugin takes it: every parameter is stepped, and
// CLAP turns a stepped parameter's value into an integer by truncation (2.7
// is 2); clamped to its range, its default for NaN. The LV2 plugin's ports
// round instead (controlPortValue).
inline int32_t steppedValue(const ControlPort &c, double value) {
    if (std::isnan(value))
        return c.range.initial;
    const double v =
        std::clamp(value, static_cast<double>(c.range.min), static_cast<double>(c.range.max));
    return static_cast<int32_t>(v);
}

// Audio thread: renders the block with its events at their frames.
clap_process_status processClap(const clap_plugin_t *plugin, const clap_process_t *process);

// Process or flush: takes a parameter's value or modulation from event e of
// CLAP's core; the control it changes, or nullptr for any other event.
const ControlPort *takeParamEvent(ClapPlugin &p, const clap_event_header_t &e);

// Process or flush: the panel's acts as the host's events, in order.
void sendPanelActs(ClapPlugin &p, const clap_output_events_t *out);

// The extensions, each in its own file.
extern const clap_plugin_params_t kClapParams;
extern const clap_plugin_state_t kClapState;
extern const clap_plugin_audio_ports_t kClapAudioPorts;
extern const clap_plugin_note_ports_t kClapNotePorts;
extern const clap_plugin_latency_t kClapLatency;
#ifdef ONDRILUX_CLAP_PANEL
extern const clap_plugin_gui_t kClapGui;
extern const clap_plugin_timer_support_t kClapTimerSupport;
// The panel closed, when the plugin goes.
void destroyClapPanel(const clap_plugin_t *plugin);
#endif
