#pragma once

#include "engine/relaxed.h"
#include "command_line/command_line.h"
#include "engine_driving/engine_driving.h"
#include "resampling/resampler.h"
#include "command_line/sound_options.h"

#include <jack/jack.h>

#include <cstdint>
#include <string>
#include <vector>

// What ondrilux-jack is asked to do.
struct InstrumentOptions {
    SoundOptions sound{.quickStart = true, .expressive = true}; // off: --no-quick-start
    TuningFiles tuningFiles;
    std::string name = "ondrilux";          // JACK client name
    std::vector<std::string> midiSources;  // --connect-midi: ports heard on midi_in
    std::vector<std::string> audioTargets; // --connect-audio: ports fed from out
    bool connect = true;                   // false: --no-connect
};

CommandLineResult parseInstrumentOptions(int argc, char **argv, InstrumentOptions &options,
                                         std::string &error);
std::string instrumentUsage();

// The engine as a JACK client: the MIDI input `midi_in` and the mono audio
// output `out`, every event played at its frame within the period.
struct JackInstrument {
    DrivenEngine engine; // rendered on the process thread
    jack_client_t *client = nullptr;
    jack_port_t *midiIn = nullptr;
    jack_port_t *out = nullptr;
    uint32_t serverRate = 0;
    // When the server is not at the engine's rate: the engine renders each
    // cycle's time span here and the resampler converts it.
    bool resampling = false;
    Resampler resampler;
    // Server frames by which the sound of an event comes later than the event:
    // the resampler's delay, 0 at the engine's rate. Told to JACK as the
    // latency from `midi_in` to `out`.
    jack_nframes_t latencyFrames = 0;
    std::vector<float> engineFrames;
    uint64_t serverFrames = 0; // process thread: frames played so far
    Relaxed<bool> serverGone;  // JACK's thread sets it when the server leaves
    Relaxed<bool> rateChanged; // JACK's thread: the server left the rate it was opened at
    Relaxed<bool> ran;         // process thread: set by its first cycle since the open
    Relaxed<bool> xrunSeen;    // JACK's thread: the server reported an xrun since the open
    // JACK's notification thread: midi_in lost its last connection; the process
    // thread releases every key at the start of its next cycle.
    Relaxed<bool> lastConnectionLost;
};

// What JACK refused, in words, from the status of a failed jack_client_open.
std::string jackRefusal(jack_status_t status);

// Main thread: opens the client (never starting a server) and its ports and
// prepares the engine and, if needed, the resampler. Not yet active.
bool openJackInstrument(JackInstrument &instrument, const InstrumentOptions &options,
                        std::string &error);
// Main thread: starts processing and makes the connections asked for; a
// connection that cannot be made adds a line to `warnings`.
bool startJackInstrument(JackInstrument &instrument, const InstrumentOptions &options,
                         std::vector<std::string> &warnings, std::string &error);
void closeJackInstrument(JackInstrument &instrument);

// JACK's process thread: renders one period, handing each MIDI event to the
// note handling and the live controls just before its frame. No allocation,
// no lock, no system call.
int processJackInstrument(jack_nframes_t frames, void *instrument);
