#include "midi/alsa_port_watch.h"

#include <alsa/asoundlib.h>

#include <poll.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Not starting with the input's "Ondrilux": aconnect finds a client by the
// first name that begins with what it is given, and this one takes no
// connection from outside.
constexpr const char *kWatchClientName = "Port watch (Ondrilux)";

struct SourcePort {
    int client, port;
    std::string name;
    bool operator==(const SourcePort &) const = default;
};

// Every port another client can read from, as the device list could show it.
std::vector<SourcePort> sourcePorts(snd_seq_t *seq) {
    std::vector<SourcePort> ports;
    snd_seq_client_info_t *clientInfo;
    snd_seq_port_info_t *portInfo;
    snd_seq_client_info_alloca(&clientInfo);
    snd_seq_port_info_alloca(&portInfo);
    constexpr unsigned kReadable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
    snd_seq_client_info_set_client(clientInfo, -1);
    while (snd_seq_query_next_client(seq, clientInfo) >= 0) {
        const int client = snd_seq_client_info_get_client(clientInfo);
        if (client == SND_SEQ_CLIENT_SYSTEM)
            continue;
        snd_seq_port_info_set_client(portInfo, client);
        snd_seq_port_info_set_port(portInfo, -1);
        while (snd_seq_query_next_port(seq, portInfo) >= 0) {
            if ((snd_seq_port_info_get_capability(portInfo) & kReadable) != kReadable)
                continue;
            ports.push_back({client, snd_seq_port_info_get_port(portInfo),
                             std::string(snd_seq_client_info_get_name(clientInfo)) + ":" +
                                 snd_seq_port_info_get_name(portInfo)});
        }
    }
    return ports;
}

// The watch's thread: sleeps in poll() until the System Announce port
// (0:1) says that a client or port came, went or changed. Announcements of
// the program's own clients (each listing and each ALSA input opens one)
// change no readable port and wake nobody.
void watch(snd_seq_t *seq, std::vector<SourcePort> known, void (*changed)()) {
    const int count = snd_seq_poll_descriptors_count(seq, POLLIN);
    std::vector<pollfd> fds(static_cast<size_t>(count > 0 ? count : 0));
    snd_seq_poll_descriptors(seq, fds.data(), static_cast<unsigned>(fds.size()), POLLIN);
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) < 0)
            continue; // interrupted by a signal
        snd_seq_event_t *event = nullptr;
        int left;
        while ((left = snd_seq_event_input(seq, &event)) >= 0 || left == -ENOSPC) {
        }
        std::vector<SourcePort> now = sourcePorts(seq);
        if (now != known) {
            known = std::move(now);
            changed();
        }
    }
}

} // namespace

void watchAlsaPorts(void (*changed)()) {
    // As the listing: no sequencer device, no ALSA ports, and no complaint.
    if (access("/dev/snd/seq", R_OK | W_OK) != 0)
        return;
    snd_seq_t *seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0)
        return;
    snd_seq_set_client_name(seq, kWatchClientName);
    const int port = snd_seq_create_simple_port(
        seq, "announcements", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
        SND_SEQ_PORT_TYPE_APPLICATION);
    if (port < 0 ||
        snd_seq_connect_from(seq, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE) < 0) {
        snd_seq_close(seq);
        return;
    }
    // The ports as they are before the first listing: a change after it wakes.
    // The thread lives as long as the process, as the sequencer client does.
    std::thread(watch, seq, sourcePorts(seq), changed).detach();
}
