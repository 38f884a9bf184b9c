#pragma once

// The program's JACK MIDI input: one JACK client "Ondrilux" with one MIDI input
// port, opened on first use and kept to the end of the process, so that listing
// and switching never open or close JACK clients. Its process callback splits
// each event into short messages by the MIDI rules and hands them to
// onMidiInput. GUI thread only, except where a comment says otherwise.

#include <pthread.h>

#include <string>
#include <vector>

// The client name under which this program shows up in JACK and ALSA.
inline constexpr const char *kMidiClientName = "Ondrilux";

// The full names ("client:port") of the JACK server's MIDI output ports; empty,
// and nothing printed, when there is no server.
std::vector<std::string> jackMidiSources();

// Connects the input port to `source`; false when there is no server or no
// such port. Nothing is delivered until startJackMidiInput.
bool connectJackMidiInput(const std::string &source);

struct SynthState;

// Lets the messages of the connected source through to the note handling of
// `s`; false when the server has gone.
bool startJackMidiInput(SynthState &s);

// Stops the delivery and drops the connection. On return no message of that
// source can reach onMidiInput any more.
void closeJackMidiInput();

// The thread that runs the process callback (tests watch what it allocates);
// false when the client is not open.
bool jackMidiThread(pthread_t &thread);
