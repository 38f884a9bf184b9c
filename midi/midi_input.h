#pragma once

// The MIDI input service: the input ports of the ALSA sequencer, then those of
// JACK, in one list. GUI thread only; incoming messages reach onMidiInput on
// the service's own thread.

// Where the MIDI input shows itself in the main window: the device list and
// the two status fields (device state, note state).
inline constexpr int kMainWindow = 0;
inline constexpr int kDeviceList = 2;
inline constexpr int kMidiStatusField = 0;
inline constexpr int kGateStatusField = 1;

// Appends one entry per readable input port (name cut to 31 characters) to
// the device list and returns the number of ports the services reported.
// From the first call on, the list follows the ports as they come and go
// (woken by the services, never polling): the opened port stays selected by
// its name, is closed when it goes (releasing its keys, "No MIDI IN") and
// stays the choice, and is opened again when a port of its name comes back.
int listMidiInputs();

struct SynthState;

// Opens the port at s.midiDevice (-1: none), which becomes the choice, and
// starts it playing the note handling of `s` (as do connections made to the
// JACK port from outside); shows "MIDI IN" or "No MIDI IN" in status field 0.
void openMidiInput(SynthState &s);

// Stops and closes the open port (its close releases every held key), then
// opens the one selected in the device list.
void switchMidiInput(SynthState &s);
