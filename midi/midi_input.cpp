#include "midi/midi_input.h"

#include "engine/synth_state.h"
#include "midi/alsa_port_watch.h"
#include "midi/jack_midi_input.h"
#include "midi/note_handling.h"
#include "toolkit/toolkit.h"

#include <rtmidi/RtMidi.h>

#include <algorithm>
#include <cstddef>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

// The back ends, in the order their ports appear in the device list: the ALSA
// sequencer through RtMidi, which drops system-exclusive events before it
// looks at them, and JACK through the program's own input, which splits each
// event by the MIDI rules (RtMidi's JACK input would gather an unterminated
// system-exclusive message across events and swallow the notes after it).
enum class BackEnd { Alsa, Jack };

// The open input: its back end, RtMidi's input for the ALSA sequencer, and
// whether RtMidi reported a fault (with an error callback installed RtMidi
// reports there instead of throwing).
struct MidiInput {
    BackEnd backEnd = BackEnd::Alsa;
    std::unique_ptr<RtMidiIn> port;
    bool faulted = false;
};

namespace {

constexpr std::size_t kMaxNameLength = 31;

// What stands behind one entry of the device list. The full name, not the
// position inside the back end, finds the port again when it is opened: ports
// come and go, and a position may by then belong to another port.
struct ListedPort {
    BackEnd backEnd;
    std::string name;
    bool operator==(const ListedPort &) const = default;
};

// Entry i of the device list is listedPorts[i]. GUI thread only.
std::vector<ListedPort> listedPorts;
// The port the player chose (start-up's first entry, or the last one picked).
// It stays the choice while it is gone, listed at the end of its back end's
// entries, and is opened again as soon as a port of its full name is back.
std::optional<ListedPort> chosenPort;
// The wake-up that the port watches post; -1 until the first listing.
int portsChanged = -1;
// The record whose device the list opens; none before the first open.
SynthState *followed = nullptr;

void recordFault(RtMidiError::Type, const std::string &, void *userData) {
    if (userData)
        static_cast<MidiInput *>(userData)->faulted = true;
}

// The ALSA sequencer without /dev/snd/seq is no error here: the ALSA library's
// complaint is avoided by not asking for a sequencer whose device does not
// exist, and RtMidi's words on stderr while constructing (before an error
// callback can be installed) are caught and taken as the sign that the back
// end is not there.
std::unique_ptr<RtMidiIn> makeAlsaInput(MidiInput *faultSink) {
    if (access("/dev/snd/seq", R_OK | W_OK) != 0)
        return nullptr;
    std::ostringstream complaints;
    std::streambuf *const stderrBuffer = std::cerr.rdbuf(complaints.rdbuf());
    std::unique_ptr<RtMidiIn> input;
    try {
        input = std::make_unique<RtMidiIn>(RtMidi::LINUX_ALSA, kMidiClientName);
    } catch (const RtMidiError &) {
    }
    std::cerr.rdbuf(stderrBuffer);
    if (!input || !complaints.str().empty())
        return nullptr;
    input->setErrorCallback(recordFault, faultSink);
    return input;
}

// A name as the list shows it: at most 31 bytes, not ending inside a UTF-8
// character.
std::string listName(const std::string &name) {
    if (name.size() <= kMaxNameLength)
        return name;
    std::size_t length = kMaxNameLength;
    while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80)
        --length;
    return name.substr(0, length);
}

// ALSA input thread: packs a short message as the note handling of the record
// `played` expects it. System-exclusive messages are dropped by RtMidi and
// never get here.
void receiveMessage(double, std::vector<unsigned char> *message, void *played) {
    const std::size_t size = message->size();
    if (size == 0 || size > 3 || (*message)[0] == 0xF0)
        return;
    const uint8_t status = (*message)[0];
    const uint8_t data1 = size > 1 ? (*message)[1] : 0;
    const uint8_t data2 = size > 2 ? (*message)[2] : 0;
    onMidiInput(*static_cast<SynthState *>(played), kMidiInData,
                shortMessage(status, data1, data2));
}

// Finds the listed port in RtMidi's list as it is now; -1 when it is gone.
int currentPosition(RtMidiIn &input, const std::string &name) {
    const unsigned count = input.getPortCount();
    for (unsigned i = 0; i < count; ++i) {
        if (input.getPortName(i) == name)
            return static_cast<int>(i);
    }
    return -1;
}

bool openAlsaPort(MidiInput &opened, const std::string &name) {
    opened.port = makeAlsaInput(&opened);
    if (!opened.port)
        return false;
    const int position = currentPosition(*opened.port, name);
    if (position < 0 || opened.faulted)
        return false;
    try {
        opened.port->openPort(static_cast<unsigned>(position), "MIDI in");
    } catch (const RtMidiError &) {
        return false;
    }
    // A port that vanished between the look-up and the open is only reported.
    return !opened.faulted && opened.port->isPortOpen();
}

// Opens the device at list position `device`; nullptr when that fails.
MidiInput *openDevice(int device) {
    if (device < 0 || static_cast<std::size_t>(device) >= listedPorts.size())
        return nullptr;
    const ListedPort &listed = listedPorts[static_cast<std::size_t>(device)];
    auto opened = std::make_unique<MidiInput>();
    opened->backEnd = listed.backEnd;
    const bool ok = listed.backEnd == BackEnd::Jack ? connectJackMidiInput(listed.name)
                                                    : openAlsaPort(*opened, listed.name);
    if (!ok) {
        if (listed.backEnd == BackEnd::Jack)
            closeJackMidiInput();
        return nullptr;
    }
    return opened.release();
}

// Starts delivery to the note handling of `s`: sysex is dropped, clock and
// active sensing come through.
bool startDevice(SynthState &s, MidiInput &input) {
    if (input.backEnd == BackEnd::Jack)
        return startJackMidiInput(s);
    input.port->ignoreTypes(true, false, false);
    input.port->setCallback(receiveMessage, &s);
    return !input.faulted;
}

// Stops and closes a device; its close releases every held key. Both back
// ends return from their close only when no message of this device can land
// any more (RtMidi's input waits for its thread when destroyed), so none
// lands after the close effects below.
void closeDevice(SynthState &s, MidiInput *input) {
    if (input->backEnd == BackEnd::Jack) {
        closeJackMidiInput();
    } else {
        input->port->cancelCallback();
        input->port->closePort();
        input->port.reset();
    }
    onMidiInput(s, kMidiInClose, 0);
    delete input;
}

void showMidiStatus(bool running) {
    if (tk::statusBarExists(kMainWindow))
        tk::setStatusText(kMainWindow, kMidiStatusField, running ? "MIDI IN" : "No MIDI IN");
}

// The input ports as the services report them now, ALSA's first; `reported`
// counts those without a readable name too.
std::vector<ListedPort> currentPorts(int &reported) {
    std::vector<ListedPort> ports;
    reported = 0;
    MidiInput faults;
    if (const std::unique_ptr<RtMidiIn> alsa = makeAlsaInput(&faults)) {
        const unsigned count = alsa->getPortCount();
        reported += static_cast<int>(count);
        for (unsigned i = 0; i < count; ++i) {
            // A port that vanished since the count has no name: no entry.
            std::string name = alsa->getPortName(i);
            if (!name.empty())
                ports.push_back({BackEnd::Alsa, std::move(name)});
        }
    }
    std::vector<std::string> jackSources = jackMidiSources();
    reported += static_cast<int>(jackSources.size());
    for (std::string &name : jackSources)
        ports.push_back({BackEnd::Jack, std::move(name)});
    return ports;
}

// The table and the list are rebuilt together, so entry i stays port i.
void showPorts(std::vector<ListedPort> ports) {
    listedPorts = std::move(ports);
    tk::clearList(kMainWindow, kDeviceList);
    for (const ListedPort &port : listedPorts)
        tk::appendListItem(kMainWindow, kDeviceList, listName(port.name).c_str());
}

// RtMidi names an ALSA port "client:port C:P", with the numbers the
// sequencer gave it; a keyboard plugged in again, or a program started again,
// may get other numbers. The choice is found again by the rest of the name.
std::string_view withoutAddress(const ListedPort &port) {
    std::string_view name = port.name;
    if (port.backEnd != BackEnd::Alsa)
        return name;
    const std::size_t space = name.rfind(' ');
    if (space == std::string_view::npos)
        return name;
    const std::string_view address = name.substr(space + 1);
    const bool numbers =
        address.find(':') != std::string_view::npos &&
        address.find_first_not_of("0123456789:") == std::string_view::npos;
    return numbers ? name.substr(0, space) : name;
}

bool samePort(const ListedPort &a, const ListedPort &b) {
    return a.backEnd == b.backEnd && withoutAddress(a) == withoutAddress(b);
}

int entryOf(const ListedPort &port) {
    const auto found = std::find(listedPorts.begin(), listedPorts.end(), port);
    return found == listedPorts.end() ? -1 : static_cast<int>(found - listedPorts.begin());
}

void closeOpenDevice(SynthState &s) {
    if (s.midiHandle) {
        closeDevice(s, s.midiHandle);
        s.midiHandle = nullptr;
    }
}

// GUI thread, on every wake-up of the port watches (ALSA's announcements,
// JACK's port registrations and the server's end): the list follows
// the ports, the open device stays selected by its full name wherever it
// moves, and the choice is closed when its port goes and opened when it comes
// back. A list that did not change is left alone.
void followPorts() {
    const bool serverLost = tendJackMidiClient();
    int reported = 0;
    std::vector<ListedPort> ports = currentPorts(reported);
    if (!followed) {
        // Nothing was opened yet: only the list follows.
        if (ports != listedPorts)
            showPorts(std::move(ports));
        return;
    }
    SynthState &s = *followed;
    if (serverLost) {
        // The server is gone, and with it every JACK connection: no key held
        // through one may sound on.
        if (s.midiHandle && s.midiHandle->backEnd == BackEnd::Jack) {
            closeOpenDevice(s);
            showMidiStatus(false);
        } else {
            onMidiInput(s, kMidiInClose, 0);
        }
    }
    bool chosenThere = false;
    if (chosenPort) {
        // The exact name first (two ports may differ in their numbers only).
        chosenThere = std::find(ports.begin(), ports.end(), *chosenPort) != ports.end();
        const auto again = std::find_if(ports.begin(), ports.end(),
                                        [](const ListedPort &p) { return samePort(p, *chosenPort); });
        if (!chosenThere && again != ports.end()) {
            // Gone and back under other numbers: the open input is the old port's.
            closeOpenDevice(s);
            chosenPort = *again;
            chosenThere = true;
        }
    }
    if (chosenPort && !chosenThere) {
        const auto groupEnd =
            chosenPort->backEnd == BackEnd::Alsa
                ? std::find_if(ports.begin(), ports.end(),
                               [](const ListedPort &p) { return p.backEnd == BackEnd::Jack; })
                : ports.end();
        ports.insert(groupEnd, *chosenPort);
    }
    if (ports != listedPorts)
        showPorts(std::move(ports));
    s.midiDevice = chosenPort ? entryOf(*chosenPort) : -1;
    tk::setState(kMainWindow, kDeviceList, s.midiDevice);

    if (!chosenThere && s.midiHandle) {
        // Closing releases a key still held on the vanished port.
        closeOpenDevice(s);
        showMidiStatus(false);
    } else if (chosenThere && !s.midiHandle) {
        openMidiInput(s);
    }
}

void postPortsChanged() {
    tk::postWakeUp(portsChanged);
}

// From the first listing on, ports that come and go wake the GUI thread.
void watchPorts() {
    if (portsChanged >= 0)
        return;
    portsChanged = tk::addWakeUp(followPorts);
    setJackMidiWakeUp(portsChanged);
    watchAlsaPorts(postPortsChanged);
}

} // namespace

int listMidiInputs() {
    watchPorts();
    int reported = 0;
    showPorts(currentPorts(reported));
    return reported;
}

void openMidiInput(SynthState &s) {
    followed = &s;
    playJackMidiInto(s);
    const int device = s.midiDevice;
    if (device >= 0 && static_cast<std::size_t>(device) < listedPorts.size())
        chosenPort = listedPorts[static_cast<std::size_t>(device)];
    else
        chosenPort.reset();
    MidiInput *input = openDevice(device);
    // A device that cannot be started is closed again: nothing stays open
    // while field 0 says "No MIDI IN".
    if (input && !startDevice(s, *input)) {
        closeDevice(s, input);
        input = nullptr;
    }
    s.midiHandle = input;
    showMidiStatus(input != nullptr);
}

void switchMidiInput(SynthState &s) {
    closeOpenDevice(s);
    s.midiDevice = tk::getState(kMainWindow, kDeviceList);
    openMidiInput(s);
}
