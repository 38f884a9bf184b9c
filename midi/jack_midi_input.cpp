#include "midi/jack_midi_input.h"

#include "midi/note_handling.h"
#include "midi/short_messages.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace {

constexpr const char *kPortName = "MIDI in";

// GUI thread only.
jack_client_t *client = nullptr;
jack_port_t *inputPort = nullptr;

// Between the GUI thread and JACK's process thread. Sequentially consistent on
// purpose: the close stores `delivering` and then reads `inCycle`, the callback
// stores `inCycle` and then reads `delivering`, so at least one of them sees
// the other's store (a plain flag pair would let a cycle that read the old
// `delivering` run on unseen).
std::atomic<bool> delivering{false};
std::atomic<bool> inCycle{false};
std::atomic<unsigned> cycles{0};
std::atomic<bool> serverGone{false};
// The record whose note handling the messages go to; set before `delivering`.
std::atomic<SynthState *> played{nullptr};

// JACK's process thread: real-time, no allocation, no lock, no I/O.
int process(jack_nframes_t frames, void *) {
    inCycle.store(true);
    if (delivering.load()) {
        SynthState &s = *played.load();
        void *buffer = jack_port_get_buffer(inputPort, frames);
        const uint32_t count = jack_midi_get_event_count(buffer);
        for (uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) != 0)
                continue;
            forEachShortMessage(event.buffer, event.size,
                                [&s](uint32_t message) { onMidiInput(s, kMidiInData, message); });
        }
    }
    cycles.fetch_add(1);
    inCycle.store(false);
    return 0;
}

// A JACK thread, when the server goes away.
void serverShutDown(void *) {
    serverGone.store(true);
}

void ignoreJackMessage(const char *) {}

// Waits, a millisecond at a time, until `done` holds or `limit` has passed: a
// stalled or vanished server must not hang the GUI thread.
template <typename Condition> void waitBriefly(Condition done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void closeClient() {
    delivering.store(false);
    jack_client_close(client);
    client = nullptr;
    inputPort = nullptr;
}

// Opens the client once; again only after the server went away. Without a
// server libjack would say so on stderr: a missing back end prints nothing.
bool ensureClient() {
    if (client && serverGone.load())
        closeClient();
    if (client)
        return true;
    serverGone.store(false);
    void (*const savedError)(const char *) = jack_error_callback;
    void (*const savedInfo)(const char *) = jack_info_callback;
    jack_set_error_function(ignoreJackMessage);
    jack_set_info_function(ignoreJackMessage);
    client = jack_client_open(kMidiClientName, JackNoStartServer, nullptr);
    jack_set_error_function(savedError);
    jack_set_info_function(savedInfo);
    if (!client)
        return false;
    inputPort = jack_port_register(client, kPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_on_shutdown(client, serverShutDown, nullptr);
    if (!inputPort || jack_set_process_callback(client, process, nullptr) != 0 ||
        jack_activate(client) != 0) {
        closeClient();
        return false;
    }
    return true;
}

} // namespace

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
    const int result = jack_connect(client, source.c_str(), jack_port_name(inputPort));
    return result == 0 || result == EEXIST;
}

bool startJackMidiInput(SynthState &s) {
    if (!client || serverGone.load())
        return false;
    played.store(&s);
    delivering.store(true);
    return true;
}

void closeJackMidiInput() {
    delivering.store(false);
    if (!client)
        return;
    // A cycle that saw `delivering` still set finishes its delivery first.
    waitBriefly([] { return !inCycle.load(); }, std::chrono::seconds(1));
    if (serverGone.load())
        return;
    jack_port_disconnect(client, inputPort);
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
