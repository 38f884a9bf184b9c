#pragma once

// A small CLAP host: it opens a plugin file as hosts do (dlopen, clap_entry,
// the plugin factory), makes the plugin with a host that offers parameters,
// latency, state and a timer, or nothing at all, and processes it in blocks
// of one mono output with events at frames.
#include <clap/entry.h>
#include <clap/events.h>
#include <clap/ext/latency.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/ext/timer-support.h>
#include <clap/host.h>
#include <clap/plugin.h>

#include <cstdint>
#include <string>
#include <vector>

class ClapInstance {
  public:
    // The plugin `id` of the file `path`, made and initialised; ok() false
    // when it cannot be. `bareHost`: the host answers no extension.
    ClapInstance(const std::string &path, const std::string &id, bool bareHost = false);
    ~ClapInstance();
    ClapInstance(const ClapInstance &) = delete;
    ClapInstance &operator=(const ClapInstance &) = delete;

    bool ok() const { return plugin_ != nullptr; }
    void destroy(); // the plugin destroyed, as the host closes it
    const clap_plugin_t *plugin() const { return plugin_; }
    // The plugin's extension `id`, or nullptr.
    template <typename Ext> const Ext *extension(const char *id) const {
        return static_cast<const Ext *>(plugin_->get_extension(plugin_, id));
    }
    // Activates at `rate` and starts processing.
    bool activate(double rate);
    void deactivate();

    // The next block's input events, in the order added (CLAP's hosts add
    // them in frame order). No allocation.
    void clearEvents() { events_.clear(); }
    // The bytes of one event split into short messages, one CLAP MIDI event
    // each; a system-exclusive message whole, its bytes lasting the block.
    void addMidi(uint32_t frame, const uint8_t *bytes, size_t size);
    void addNote(uint32_t frame, uint16_t type, int16_t channel, int16_t key, double velocity,
                 int32_t noteId = -1);
    // CLAP's tuning of the note of `key` and `noteId` (-1 any), in semitones.
    void addNoteExpression(uint32_t frame, int16_t key, int32_t noteId, double value);
    // A parameter's value, or with `type` CLAP_EVENT_PARAM_MOD its modulation
    // (laid out alike), for the note of `key` and `noteId` (-1 every note).
    void addParam(uint32_t frame, clap_id id, double value, uint16_t type = CLAP_EVENT_PARAM_VALUE,
                  int16_t key = -1, int32_t noteId = -1);

    // Real time: one process of `frames` frames into `out` with the events added.
    clap_process_status process(float *out, uint32_t frames);

    // A parameter's value, or NaN; the params extension's flush with the events added.
    double param(clap_id id) const;
    void flush();
    // The state the plugin saves; loading `state` handed over `piece` bytes at a time.
    std::string saveState() const;
    bool loadState(const std::string &state, size_t piece = 1 << 20) const;

    // The plugin's timer going off, on the main thread.
    void tick();

    int rescans = 0;          // the plugin's calls of the host's params rescan
    int flushRequests = 0;    // and of its request_flush
    uint32_t timerPeriod = 0; // in ms, while the plugin has a timer
    // The parameter values and gestures the plugin has sent (process, flush).
    struct Sent {
        uint16_t type;
        clap_id id;
        double value;
    };
    std::vector<Sent> sent;

  private:
    union Event {
        clap_event_header_t header;
        clap_event_midi_t midi;
        clap_event_midi_sysex_t sysex;
        clap_event_note_t note;
        clap_event_note_expression_t expression;
        clap_event_param_value_t param;
    };
    clap_input_events_t inputEvents();
    void *library_ = nullptr;
    const clap_plugin_entry_t *entry_ = nullptr;
    const clap_plugin_t *plugin_ = nullptr;
    clap_host_t host_;
    clap_host_params_t hostParams_;
    clap_host_timer_support_t hostTimers_;
    bool bareHost_, active_ = false;
    std::vector<Event> events_;
};
