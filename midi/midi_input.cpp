#include "midi/midi_input.h"

#include "engine/synth_state.h"
#include "midi/note_handling.h"
#include "toolkit/toolkit.h"

#include <rtmidi/RtMidi.h>

#include <cstddef>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

// The open input: RtMidi's input, the port it listens to, and whether RtMidi
// reported a fault while opening it (with an error callback installed RtMidi
// reports there instead of throwing).
struct MidiInput {
    std::unique_ptr<RtMidiIn> port;
    std::string portName;
    bool faulted = false;
};

namespace {

// The client name under which this program shows up in JACK and ALSA.
constexpr const char *kClientName = "Ondrilux";
constexpr std::size_t kMaxNameLength = 31;

// The back ends, in the order their ports appear in the device list.
constexpr RtMidi::Api kBackEnds[] = {RtMidi::LINUX_ALSA, RtMidi::UNIX_JACK};

// What stands behind one entry of the device list. The full name, not the
// position inside the back end, finds the port again when it is opened: ports
// come and go, and a position may by then belong to another port.
struct ListedPort {
    RtMidi::Api backEnd;
    std::string name;
};

// Entry i of the device list is listedPorts[i]. GUI thread only.
std::vector<ListedPort> listedPorts;

void recordFault(RtMidiError::Type, const std::string &, void *userData) {
    if (userData)
        static_cast<MidiInput *>(userData)->faulted = true;
}

// A back end that is missing is no error here: the ALSA sequencer without
// /dev/snd/seq, JACK without a running server. RtMidi says so on stderr while
// constructing, before an error callback can be installed; its words are
// caught instead and taken as the sign that the back end is not there (JACK's
// back end throws nothing, and would try to reach the server again on every
// call). The ALSA library's own complaint is avoided by not asking for a
// sequencer whose device does not exist.
std::unique_ptr<RtMidiIn> makeInput(RtMidi::Api backEnd, MidiInput *faultSink) {
    if (backEnd == RtMidi::LINUX_ALSA && access("/dev/snd/seq", R_OK | W_OK) != 0)
        return nullptr;
    std::ostringstream complaints;
    std::streambuf *const stderrBuffer = std::cerr.rdbuf(complaints.rdbuf());
    std::unique_ptr<RtMidiIn> input;
    try {
        input = std::make_unique<RtMidiIn>(backEnd, kClientName);
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

// MIDI thread (JACK's real-time thread, or the ALSA input thread): packs a
// short message as the note handling expects it. No allocation, no lock.
// System-exclusive messages are filtered out by RtMidi and never get here.
void receiveMessage(double, std::vector<unsigned char> *message, void *) {
    const std::size_t size = message->size();
    if (size == 0 || size > 3 || (*message)[0] == 0xF0)
        return;
    const uint8_t status = (*message)[0];
    const uint8_t data1 = size > 1 ? (*message)[1] : 0;
    const uint8_t data2 = size > 2 ? (*message)[2] : 0;
    onMidiInput(kMidiInData, shortMessage(status, data1, data2));
}

// Finds the listed port in its back end as it is now; -1 when it is gone.
int currentPosition(RtMidiIn &input, const std::string &name) {
    const unsigned count = input.getPortCount();
    for (unsigned i = 0; i < count; ++i) {
        if (input.getPortName(i) == name)
            return static_cast<int>(i);
    }
    return -1;
}

// Opens the device at list position `device`; nullptr when that fails.
MidiInput *openDevice(int device) {
    if (device < 0 || static_cast<std::size_t>(device) >= listedPorts.size())
        return nullptr;
    const ListedPort &listed = listedPorts[static_cast<std::size_t>(device)];

    auto opened = std::make_unique<MidiInput>();
    opened->port = makeInput(listed.backEnd, opened.get());
    if (!opened->port)
        return nullptr;
    const int position = currentPosition(*opened->port, listed.name);
    if (position < 0 || opened->faulted)
        return nullptr;
    try {
        opened->port->openPort(static_cast<unsigned>(position), "MIDI in");
    } catch (const RtMidiError &) {
        return nullptr;
    }
    // A port that vanished between the look-up and the open is only reported.
    if (opened->faulted || !opened->port->isPortOpen())
        return nullptr;
    opened->portName = listed.name;
    return opened.release();
}

// Starts delivery: sysex is dropped, clock and active sensing come through.
bool startDevice(MidiInput &input) {
    input.port->ignoreTypes(true, false, false);
    input.port->setCallback(receiveMessage, nullptr);
    return !input.faulted;
}

// Stops and closes the open device; its close releases every held key.
void closeDevice(MidiInput *input) {
    input->port->cancelCallback();
    input->port->closePort();
    // Destroying RtMidi's input waits for its thread to finish, so no message
    // of this device can land after the close effects below.
    input->port.reset();
    onMidiInput(kMidiInClose, 0);
    delete input;
}

void showMidiStatus(bool running) {
    if (tk::statusBarExists(kMainWindow))
        tk::setStatusText(kMainWindow, kMidiStatusField, running ? "MIDI IN" : "No MIDI IN");
}

} // namespace

int listMidiInputs() {
    listedPorts.clear();
    int reported = 0;
    for (const RtMidi::Api backEnd : kBackEnds) {
        MidiInput faults;
        const std::unique_ptr<RtMidiIn> input = makeInput(backEnd, &faults);
        if (!input)
            continue;
        const unsigned count = input->getPortCount();
        reported += static_cast<int>(count);
        for (unsigned i = 0; i < count; ++i) {
            // A port that vanished since the count has no name: no entry.
            std::string name = input->getPortName(i);
            if (name.empty())
                continue;
            tk::appendListItem(kMainWindow, kDeviceList, listName(name).c_str());
            listedPorts.push_back({backEnd, std::move(name)});
        }
    }
    return reported;
}

void openMidiInput() {
    MidiInput *input = openDevice(synthState.midiDevice);
    synthState.midiHandle = input;
    showMidiStatus(input && startDevice(*input));
}

void switchMidiInput() {
    if (synthState.midiHandle) {
        closeDevice(synthState.midiHandle);
        synthState.midiHandle = nullptr;
    }
    synthState.midiDevice = tk::getState(kMainWindow, kDeviceList);
    openMidiInput();
}
