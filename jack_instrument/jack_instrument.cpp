#include "jack_instrument/jack_instrument.h"

#include "engine/synth_state.h"
#include "engine_driving/engine_driving.h"
#include "engine_driving/live_control.h"
#include "midi/note_handling.h"
#include "midi/short_messages.h"
#include "midi/tuning_messages.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

namespace {

// JACK's largest period; the buffers are sized for it once, before activation.
constexpr uint32_t kMaxPeriodFrames = 8192;
constexpr uint64_t kEngineRate = static_cast<uint64_t>(kSampleRate);

OptionResult setInstrumentOption(std::string_view name, const std::string &value,
                                 InstrumentOptions &options, std::string &error) {
    if (name == "name") {
        // JACK's limit on client names, less the terminating zero. JACK 2
        // says 65 and refuses 64 characters: 63 is what every JACK takes.
        const size_t maxLength = static_cast<size_t>(std::min(jack_client_name_size(), 64)) - 1;
        if (value.empty() || value.size() > maxLength || value.find(':') != std::string::npos) {
            error = "--name: '" + value + "' is no JACK client name (1 to " +
                    std::to_string(maxLength) + " characters, no ':')";
            return OptionResult::error;
        }
        options.name = value;
    } else if (name == "connect-midi") {
        options.midiSources.push_back(value);
    } else if (name == "connect-audio") {
        options.audioTargets.push_back(value);
    } else if (name == "no-connect") {
        options.connect = false;
    } else if (name == "no-quick-start") {
        options.sound.quickStart = false;
    } else {
        return OptionResult::unknown;
    }
    return OptionResult::set;
}

// JACK's thread, when the server shuts down or dies. PipeWire's JACK layer
// calls this callback, not the one with the reason.
void serverLeft(void *instrument) {
    static_cast<JackInstrument *>(instrument)->serverGone.set(true);
}

// JACK's thread, when the server's sample rate changes (PipeWire's graph can
// switch rates while it runs). The resampler was made for the rate at the
// start, so the program ends rather than play out of tune.
int rateChanged(jack_nframes_t rate, void *instrument) {
    JackInstrument &in = *static_cast<JackInstrument *>(instrument);
    if (rate != in.serverRate)
        in.rateChanged.set(true);
    return 0;
}

// JACK's thread, when the graph's latencies are worked out: the way from
// `midi_in` to `out` adds latencyFrames. What feeds `midi_in` reaches `out`
// that much later (capture latency), and what `out` feeds is that much
// further from `midi_in` (playback latency); so a DAW lines up a recording of
// `out` with the notes it sent.
void latencyChanged(jack_latency_callback_mode_t mode, void *instrument) {
    JackInstrument &in = *static_cast<JackInstrument *>(instrument);
    const bool capture = mode == JackCaptureLatency;
    jack_latency_range_t range;
    jack_port_get_latency_range(capture ? in.midiIn : in.out, mode, &range);
    range.min += in.latencyFrames;
    range.max += in.latencyFrames;
    jack_port_set_latency_range(capture ? in.out : in.midiIn, mode, &range);
}

// Connects `from` to `to`; a failure adds a warning.
void connectPorts(jack_client_t *client, const std::string &from, const std::string &to,
                  std::vector<std::string> &warnings) {
    const int result = jack_connect(client, from.c_str(), to.c_str());
    if (result != 0 && result != EEXIST)
        warnings.push_back("cannot connect '" + from + "' to '" + to + "'");
}

// The server's physical ports of one type and direction.
std::vector<std::string> physicalPorts(jack_client_t *client, const char *type,
                                       unsigned long direction) {
    std::vector<std::string> names;
    const char **ports = jack_get_ports(client, nullptr, type, JackPortIsPhysical | direction);
    for (const char **p = ports; p && *p; ++p)
        names.emplace_back(*p);
    jack_free(ports);
    return names;
}

// JACK's notification thread: a connection of midi_in went away; when it was
// the last (the keyboard's port vanished mid-note), nothing is left to
// release the keys held through it. Only a flag: the process thread acts.
void connectionChanged(jack_port_id_t, jack_port_id_t to, int connected, void *instrument) {
    JackInstrument &in = *static_cast<JackInstrument *>(instrument);
    if (!connected && jack_port_by_id(in.client, to) == in.midiIn &&
        jack_port_connected(in.midiIn) == 0)
        in.lastConnectionLost.set(true);
}

// JACK's thread: the server reports an xrun when a client did not finish its
// cycle, this one too when it is stuck before its first.
int xrunReported(void *instrument) {
    static_cast<JackInstrument *>(instrument)->xrunSeen.set(true);
    return 0;
}

// JACK's library writes its own diagnostics to stderr; the program says what
// went wrong in one line of its own.
void quiet(const char *) {}

struct StatusWords {
    jack_status_t bit;
    const char *words;
};
constexpr StatusWords kStatusWords[] = {
    {JackNameNotUnique, "the name is taken"},
    {JackInvalidOption, "an option is invalid"},
    {JackServerFailed, "no server could be reached"},
    {JackServerError, "the server refused it (a name too long or taken, or no room)"},
    {JackNoSuchClient, "there is no such client"},
    {JackLoadFailure, "an internal client could not be loaded"},
    {JackInitFailure, "an internal client could not be initialised"},
    {JackShmFailure, "JACK's shared memory cannot be reached"},
    {JackVersionError, "the server speaks another protocol version"},
    {JackBackendError, "the server's audio back end failed"},
    {JackClientZombie, "the client was stopped for being too slow"},
};

} // namespace

CommandLineResult parseInstrumentOptions(int argc, char **argv, InstrumentOptions &options,
                                         std::string &error) {
    options = {};
    CommandLine line;
    line.sound = &options.sound;
    line.tuningFiles = &options.tuningFiles;
    line.flags = {"no-connect", "no-quick-start", kGlideLegatoFlag};
    line.set = [&options](std::string_view name, const std::string &value, std::string &e) {
        return setInstrumentOption(name, value, options, e);
    };
    return parseCommandLine(argc, argv, line, error);
}

std::string instrumentUsage() {
    return "Usage: ondrilux-jack [OPTIONS]\n"
           "Plays the Ondrilux sound engine as a JACK client: MIDI in at 'midi_in', mono\n"
           "audio out at 'out', every event at its exact frame. Ends on Ctrl-C or SIGTERM.\n"
           "\n"
           "Options (the window's controls, as starting values):\n" +
           soundOptionsUsage() + tuningOptionsUsage() +
           "  --name NAME     JACK client name (default ondrilux)\n"
           "  --connect-midi PORT\n"
           "                  listen to PORT (repeatable; default: the physical MIDI inputs)\n"
           "  --connect-audio PORT\n"
           "                  play into PORT (repeatable; default: the physical outputs,\n"
           "                  each the same mono signal)\n"
           "  --no-connect    connect nothing (leave it to a patchbay or DAW)\n"
           "  --no-quick-start\n"
           "                  start every note as the synth does, after the engine's\n"
           "                  1001-frame (21 ms) fade of the previous note's level. By\n"
           "                  default a note played while nothing sounds starts at its\n"
           "                  note-on's frame: that fade would only fade silence, so\n"
           "                  skipping it costs nothing; a note played while another's\n"
           "                  release still sounds fades that out first, as always\n"
           "  -h, --help      show this text\n"
           "  --version       show the version\n"
           "\n"
           "Playing (as starting values; pitch bend, glide, the sustain pedal, velocity and\n"
           "the MIDI Tuning Standard's messages play as on a mono synth):\n" +
           expressionOptionsUsage() +
           "\n"
           "Live control on the MIDI channel listened to (controller values 0 to 127 span\n"
           "the range):\n" +
           liveControlUsage() +
           "\n"
           "Exit status: 0 stopped by a signal, 1 no JACK server, the server went away or\n"
           "changed its sample rate, 2 bad options or tuning files.\n";
}

std::string jackRefusal(jack_status_t status) {
    std::string words;
    for (const StatusWords &w : kStatusWords)
        if (status & w.bit)
            words += (words.empty() ? "" : "; ") + std::string(w.words);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(status));
    return "JACK refused the client: " + (words.empty() ? "it did not say why" : words) +
           " (status " + hex + ")";
}

bool openJackInstrument(JackInstrument &in, const InstrumentOptions &options, std::string &error) {
    jack_set_error_function(quiet);
    jack_set_info_function(quiet);
    jack_status_t status{};
    in.client = jack_client_open(options.name.c_str(), JackNoStartServer, &status);
    if (!in.client) {
        error = (status & JackServerFailed) ? "no JACK server is running (start one first)"
                                            : jackRefusal(status);
        return false;
    }
    in.ran.set(false);
    in.xrunSeen.set(false);
    in.lastConnectionLost.set(false);
    in.midiIn =
        jack_port_register(in.client, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    in.out = jack_port_register(in.client, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    if (!in.midiIn || !in.out) {
        error = "cannot register the JACK ports";
        closeJackInstrument(in);
        return false;
    }
    prepareEngine(in.engine, options.sound);
    in.serverRate = jack_get_sample_rate(in.client);
    in.resampling = in.serverRate != kEngineRate;
    if (in.resampling) {
        const uint64_t maxEngineFrames = engineFrameAt(kMaxPeriodFrames, in.serverRate) + 2;
        in.engineFrames.assign(maxEngineFrames, 0.0f);
        if (!openResampler(in.resampler, in.serverRate, kMaxPeriodFrames, error)) {
            closeJackInstrument(in);
            return false;
        }
        in.latencyFrames = static_cast<jack_nframes_t>(std::lrint(in.resampler.delayFrames));
    }
    jack_set_process_callback(in.client, processJackInstrument, &in);
    jack_on_shutdown(in.client, serverLeft, &in);
    jack_set_sample_rate_callback(in.client, rateChanged, &in);
    jack_set_port_connect_callback(in.client, connectionChanged, &in);
    jack_set_xrun_callback(in.client, xrunReported, &in);
    jack_set_latency_callback(in.client, latencyChanged, &in);
    return true;
}

bool startJackInstrument(JackInstrument &in, const InstrumentOptions &options,
                         std::vector<std::string> &warnings, std::string &error) {
    if (jack_activate(in.client) != 0) {
        error = "JACK cannot activate the client";
        return false;
    }
    if (!options.connect)
        return true;
    const std::string midiIn = jack_port_name(in.midiIn), out = jack_port_name(in.out);
    const std::vector<std::string> sources =
        options.midiSources.empty()
            ? physicalPorts(in.client, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput)
            : options.midiSources;
    for (const std::string &source : sources)
        connectPorts(in.client, source, midiIn, warnings);
    const std::vector<std::string> targets =
        options.audioTargets.empty()
            ? physicalPorts(in.client, JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput)
            : options.audioTargets;
    for (const std::string &target : targets)
        connectPorts(in.client, out, target, warnings);
    return true;
}

void closeJackInstrument(JackInstrument &in) {
    if (in.client) {
        if (!in.serverGone.get())
            jack_deactivate(in.client);
        jack_client_close(in.client);
    }
    in.client = nullptr;
    closeResampler(in.resampler);
}

int processJackInstrument(jack_nframes_t frames, void *instrument) {
    JackInstrument &in = *static_cast<JackInstrument *>(instrument);
    in.ran.set(true);
    if (in.lastConnectionLost.get()) {
        in.lastConnectionLost.set(false);
        // Every key goes up as with the last note-off, from this cycle's start.
        onMidiInput(in.engine.state, kMidiInClose, 0);
    }
    void *midi = jack_port_get_buffer(in.midiIn, frames);
    float *out = static_cast<float *>(jack_port_get_buffer(in.out, frames));
    const uint32_t eventCount = jack_midi_get_event_count(midi);
    const auto offsetOf = [midi](uint32_t i) -> uint32_t {
        jack_midi_event_t e;
        return jack_midi_event_get(&e, midi, i) == 0 ? e.time : 0;
    };
    const auto deliver = [midi, &in](uint32_t i) {
        jack_midi_event_t e;
        if (jack_midi_event_get(&e, midi, i) == 0)
            forEachMidiMessage(
                e.buffer, e.size, [&in](uint32_t m) { playLiveMessage(in.engine, m); },
                [&in](const uint8_t *bytes, size_t size) {
                    onSystemExclusive(in.engine.state, bytes, size);
                });
    };
    if (!in.resampling) {
        renderAroundEvents(in.engine, out, frames, eventCount, offsetOf, deliver);
        return 0;
    }
    // The engine renders the frames of its own clock that fall within this
    // cycle's time; each event goes to the engine frame of its server frame.
    const uint64_t cycleStart = in.serverFrames;
    in.serverFrames += frames;
    const uint64_t first = engineFrameAt(cycleStart, in.serverRate);
    const uint64_t count = engineFrameAt(cycleStart + frames, in.serverRate) - first;
    if (frames > kMaxPeriodFrames || count > in.engineFrames.size()) {
        std::fill(out, out + frames, 0.0f); // a period larger than JACK allows
        return 0;
    }
    renderAroundEvents(
        in.engine, in.engineFrames.data(), static_cast<uint32_t>(count), eventCount,
        [&](uint32_t i) {
            return static_cast<uint32_t>(engineFrameAt(cycleStart + offsetOf(i), in.serverRate) -
                                         first);
        },
        deliver);
    resample(in.resampler, in.engineFrames.data(), static_cast<uint32_t>(count), out, frames);
    return 0;
}
