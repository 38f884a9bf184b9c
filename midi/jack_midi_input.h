#pragma once

// The program's JACK MIDI input: one JACK client "Ondrilux" with one MIDI input
// port, opened on first use and kept to the end of the process (or of its
// server), so that listing and switching never open or close JACK clients.
// Its process callback splits each event of every connection into short
// messages by the MIDI rules and hands them to onMidiInput: a connection made
// from outside plays whatever the device list shows. GUI thread only, except
// where a comment says otherwise.

#include <pthread.h>

#include <string>
#include <vector>

// The client name under which this program shows up in JACK and ALSA.
inline constexpr const char *kMidiClientName = "Ondrilux";

// The wake-up signal (tk::addWakeUp) that the client's callbacks post when a
// port comes or goes or the server goes away.
//
// The client looks after itself meanwhile: when its process callback has not
// run for a second after an activation or an xrun while the server reports
// xruns (it is stuck), it is closed and opened again with the connection the
// list made, three times at most.
void setJackMidiWakeUp(int signal);

// Closes the client and opens a new one under the same name (what a stuck
// client gets), with every connection the old one's port had, the list's and
// those made from outside; false when no new client could be opened.
bool reopenJackMidiClient();

// On every such wake-up: true when the server has gone since the last call.
// The client is closed then, and a new one is tried every few seconds until a
// server answers, which posts the wake-up again.
bool tendJackMidiClient();

// The full names ("client:port") of the JACK server's MIDI output ports; empty,
// and nothing printed, when there is no server.
std::vector<std::string> jackMidiSources();

// Connects `source` to the input port; false when there is no server or no
// such port.
bool connectJackMidiInput(const std::string &source);

struct SynthState;

// From now on every message the input port receives goes to the note handling
// of `s`; before the first call, none does.
void playJackMidiInto(SynthState &s);

// Whether the connected source's messages come through to the note handling
// of `s` (the server runs).
bool startJackMidiInput(SynthState &s);

// Drops the connection that connectJackMidiInput made (one that existed
// already stays). On return no message of that source can reach onMidiInput
// any more.
void closeJackMidiInput();

// The thread that runs the process callback (tests watch what it allocates);
// false when the client is not open.
bool jackMidiThread(pthread_t &thread);

// The full name of the input port ("Ondrilux:MIDI in"); "" when the client
// is not open.
std::string jackMidiInputName();
