// The CLAP plugin's ports: one mono output, one note input that takes CLAP's
// notes with their tuning expressions, and MIDI; and the latency the rate
// conversion adds.
#include "plugins/clap/clap_plugin.h"

#include <cmath>
#include <cstdio>

namespace {

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

uint32_t notePortCount(const clap_plugin_t *, bool isInput) {
    return isInput ? 1 : 0;
}

bool notePort(const clap_plugin_t *, uint32_t index, bool isInput, clap_note_port_info_t *info) {
    if (!isInput || index != 0)
        return false;
    *info = clap_note_port_info_t{};
    info->id = 0;
    // CLAP's dialect carries the notes' expressions, of which the plugin
    // plays the tuning; MIDI takes the rest (controllers, system exclusive).
    info->supported_dialects = CLAP_NOTE_DIALECT_CLAP | CLAP_NOTE_DIALECT_MIDI;
    info->preferred_dialect = CLAP_NOTE_DIALECT_CLAP;
    std::snprintf(info->name, sizeof info->name, "MIDI in");
    return true;
}

// The converter's delay, as the LV2 plugin's latency port tells it.
uint32_t latency(const clap_plugin_t *plugin) {
    return static_cast<uint32_t>(std::lrint(hostLatencyFrames(self(plugin).engine)));
}

} // namespace

const clap_plugin_audio_ports_t kClapAudioPorts = {audioPortCount, audioPort};
const clap_plugin_note_ports_t kClapNotePorts = {notePortCount, notePort};
const clap_plugin_latency_t kClapLatency = {latency};
