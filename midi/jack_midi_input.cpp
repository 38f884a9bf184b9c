#include "midi/jack_midi_input.h"

#include "midi/note_handling.h"
#include "midi/short_messages.h"
#include "toolkit/toolkit.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

namespace {

constexpr const char *kPortName = "MIDI in";
// A client whose process callback has not run for this long is stuck.
constexpr int kWatchMs = 1000;
constexpr int kMaxReopens = 3;
// While no server runs, a client is tried this often.
constexpr int kServerRetryMs = 3000;

// GUI thread only.
jack_client_t *client = nullptr;
jack_port_t *inputPort = nullptr;
// The source the list connected, and whether it made that connection (one
// made from outside before is not the list's to drop).
std::string listSource;
bool listMadeConnection = false;
int reopens = 0;
unsigned cyclesAtWatch = 0, xrunsAtWatch = 0;
bool waitingForServer = false;
bool gaveUp = false;

// Between the GUI thread and JACK's threads.
std::atomic<int> portsSignal{-1}; // the list's: ports came or went, the server left
std::atomic<int> xrunSignal{-1};  // this client's own: an xrun to look into
std::atomic<unsigned> cycles{0};
std::atomic<unsigned> xruns{0};
std::atomic<bool> watching{false};
std::atomic<bool> serverGone{false};
// The record whose note handling the messages go to; none before the list
// opened its first device.
std::atomic<SynthState *> played{nullptr};

// JACK's process thread: real-time, no allocation, no lock, no I/O. Every
// connection plays: the list's and any made from outside.
int process(jack_nframes_t frames, void *) {
    SynthState *const s = played.load();
    if (!s) {
        cycles.fetch_add(1);
        return 0;
    }
    void *buffer = jack_port_get_buffer(inputPort, frames);
    const uint32_t count = jack_midi_get_event_count(buffer);
    for (uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, i) != 0)
            continue;
        forEachShortMessage(event.buffer, event.size,
                            [s](uint32_t message) { onMidiInput(*s, kMidiInData, message); });
    }
    cycles.fetch_add(1);
    return 0;
}

// JACK's threads: each only sets a flag and posts the wake-up, which neither
// waits nor allocates.
void serverShutDown(void *) {
    serverGone.store(true);
    tk::postWakeUp(portsSignal.load());
}
void portRegistered(jack_port_id_t, int, void *) {
    tk::postWakeUp(portsSignal.load());
}
// The server reports an xrun when a client did not finish its cycle, this one
// too when it is stuck. Only the first while no watch runs wakes the GUI
// thread: a machine falling behind costs it nothing more.
int xrunReported(void *) {
    xruns.fetch_add(1);
    if (!watching.load())
        tk::postWakeUp(xrunSignal.load());
    return 0;
}

// libjack writes its socket errors to stderr when the server dies; what
// matters the program shows in its window.
void ignoreJackMessage(const char *) {}

// For the start-up tests: how often a client had to be opened again.
void traceRetry() {
    if (std::getenv("ONDRILUX_TRACE_RETRIES"))
        std::fputs("ondrilux: retried the JACK MIDI client\n", stderr);
}

template <typename Condition> void waitBriefly(Condition done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void closeClient() {
    jack_client_close(client);
    client = nullptr;
    inputPort = nullptr;
}

void checkTheClientRuns();

// Looks again, a second from now, whether the process callback has run.
void watchTheClient() {
    if (watching.load())
        return;
    watching.store(true);
    cyclesAtWatch = cycles.load();
    xrunsAtWatch = xruns.load();
    tk::callAfter(kWatchMs, checkTheClientRuns);
}

void lookIntoXrun() {
    if (client && !serverGone.load())
        watchTheClient();
}

// Opens the client once; again only after the server went away (once
// tendJackMidiClient has seen it) or the client was found stuck. Without a
// server libjack would say so on stderr, and so it is kept quiet for good.
bool ensureClient() {
    if (client)
        return !serverGone.load();
    serverGone.store(false);
    if (xrunSignal.load() < 0)
        xrunSignal.store(tk::addWakeUp(lookIntoXrun));
    jack_set_error_function(ignoreJackMessage);
    jack_set_info_function(ignoreJackMessage);
    client = jack_client_open(kMidiClientName, JackNoStartServer, nullptr);
    if (!client)
        return false;
    inputPort = jack_port_register(client, kPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_on_shutdown(client, serverShutDown, nullptr);
    if (!inputPort || jack_set_process_callback(client, process, nullptr) != 0 ||
        jack_set_port_registration_callback(client, portRegistered, nullptr) != 0 ||
        jack_set_xrun_callback(client, xrunReported, nullptr) != 0 || jack_activate(client) != 0) {
        closeClient();
        return false;
    }
    watchTheClient();
    return true;
}

bool connectListSource() {
    const int result = jack_connect(client, listSource.c_str(), jack_port_name(inputPort));
    listMadeConnection = result == 0;
    return result == 0 || result == EEXIST;
}

// JACK's client library can leave a new client of this process waiting on a
// dead client's wake-up slot for good (when another program's short-lived
// client came and went while it opened): the server then names it "not
// finished" every cycle, with an xrun, and no note arrives. A new client
// takes a new slot. A graph that does not run at all (a sound server that
// suspended it) reports no xruns and is left alone.
void checkTheClientRuns() {
    watching.store(false);
    if (!client || serverGone.load())
        return;
    if (cycles.load() != cyclesAtWatch) {
        reopens = 0;
        return;
    }
    if (xruns.load() == xrunsAtWatch)
        return;
    if (reopens == kMaxReopens) {
        if (!gaveUp)
            std::fputs("ondrilux: JACK does not run the MIDI input (its client was opened four "
                       "times); start ondrilux again: see docs/troubleshooting.md, \"A silent "
                       "start under JACK\".\n",
                       stderr);
        gaveUp = true;
        if (SynthState *s = played.load())
            showFaultInsteadOfGate(*s, "No JACK MIDI");
        return;
    }
    ++reopens;
    traceRetry();
    reopenJackMidiClient();
}

// Tried every few seconds while no server answers; a new one posts the wake-up
// so that the list and the choice follow.
void lookForServer() {
    if (client) {
        waitingForServer = false;
        return;
    }
    if (ensureClient()) {
        waitingForServer = false;
        tk::postWakeUp(portsSignal.load());
        return;
    }
    tk::callAfter(kServerRetryMs, lookForServer);
}

} // namespace

bool reopenJackMidiClient() {
    // Every connection of the old port: the list's and those a patchbay or
    // jack_connect made, which play whatever the list shows.
    std::vector<std::string> sources;
    if (client && !serverGone.load()) {
        const char **connected = jack_port_get_all_connections(client, inputPort);
        for (const char **port = connected; port && *port; ++port)
            sources.emplace_back(*port);
        jack_free(connected);
    }
    const bool listMade = listMadeConnection;
    if (client)
        closeClient();
    if (!ensureClient())
        return false;
    if (!listSource.empty() &&
        std::find(sources.begin(), sources.end(), listSource) == sources.end())
        sources.push_back(listSource);
    for (const std::string &source : sources)
        jack_connect(client, source.c_str(), jack_port_name(inputPort));
    // The list drops its connection later only if it made it.
    listMadeConnection = listMade;
    return true;
}

void setJackMidiWakeUp(int signal) {
    portsSignal.store(signal);
}

bool tendJackMidiClient() {
    if (!client || !serverGone.load())
        return false;
    closeClient();
    listSource.clear();
    if (!waitingForServer) {
        waitingForServer = true;
        tk::callAfter(kServerRetryMs, lookForServer);
    }
    return true;
}

std::vector<std::string> jackMidiSources() {
    std::vector<std::string> names;
    if (!ensureClient())
        return names;
    const char **ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
    for (const char **port = ports; port && *port; ++port)
        names.emplace_back(*port);
    jack_free(ports);
    return names;
}

bool connectJackMidiInput(const std::string &source) {
    if (!ensureClient())
        return false;
    listSource = source;
    if (connectListSource())
        return true;
    listSource.clear();
    return false;
}

void playJackMidiInto(SynthState &s) {
    played.store(&s);
}

bool startJackMidiInput(SynthState &s) {
    played.store(&s);
    return client && !serverGone.load();
}

void closeJackMidiInput() {
    const std::string source = std::exchange(listSource, std::string());
    const bool made = std::exchange(listMadeConnection, false);
    if (!client || serverGone.load() || !made)
        return;
    jack_disconnect(client, source.c_str(), jack_port_name(inputPort));
    // The server puts the new connections into effect at the start of a cycle;
    // two more cycles and no event of the old source can be in a buffer. Given
    // three periods' time, however long the server's period is.
    const unsigned seen = cycles.load();
    const auto periods =
        std::chrono::milliseconds(3000 * jack_get_buffer_size(client) /
                                  std::max<jack_nframes_t>(jack_get_sample_rate(client), 1));
    waitBriefly([seen] { return cycles.load() - seen >= 2; },
                std::max(periods + std::chrono::milliseconds(50), std::chrono::milliseconds(100)));
}

bool jackMidiThread(pthread_t &thread) {
    if (!client)
        return false;
    thread = jack_client_thread_id(client);
    return true;
}

std::string jackMidiInputName() {
    return client ? jack_port_name(inputPort) : "";
}
