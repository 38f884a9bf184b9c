#pragma once

// One instance of the CLAP plugin: the LV2 plugin's engine, table of controls
// and rate conversion behind CLAP's extensions, one file each.
#include "plugins/controls/control_ports.h"
#include "plugins/host_rate/host_rate_engine.h"

#include <clap/ext/audio-ports.h>
#include <clap/ext/gui.h>
#include <clap/ext/latency.h>
#include <clap/ext/note-ports.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/ext/timer-support.h>
#include <clap/events.h>
#include <clap/plugin.h>

#include <atomic>
#include <cstdint>

struct PluginView;

struct ClapPlugin {
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

inline ClapPlugin &self(const clap_plugin_t *plugin) {
    return *static_cast<ClapPlugin *>(plugin->plugin_data);
}

// Control c's value as the host or a state last set it.
inline float valueOf(const ClapPlugin &p, const ControlPort &c) {
    return p.values[c.index].load(std::memory_order_relaxed);
}

// Audio thread: renders the block with its events at their frames.
clap_process_status processClap(const clap_plugin_t *plugin, const clap_process_t *process);

// The control a parameter event of CLAP's core sets, with its value; nullptr
// for any other event.
const ControlPort *paramEvent(const clap_event_header_t &e, float &value);

// Any thread: the panel's writes as the host's events.
void sendPanelWrites(ClapPlugin &p, const clap_output_events_t *out);

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
