#pragma once

#include <cstdint>

// Message codes of the MIDI input service, as onMidiInput tells them apart.
inline constexpr uint32_t kMidiInOpen = 0x3C1;  // ignored
inline constexpr uint32_t kMidiInClose = 0x3C2; // the device is being closed
inline constexpr uint32_t kMidiInData = 0x3C3;  // a short message arrived

// Packs a short message as the service hands it over: status in bits 0-7,
// first data byte in 8-15, second in 16-23.
constexpr uint32_t shortMessage(uint8_t status, uint8_t data1 = 0, uint8_t data2 = 0) {
    return status | (uint32_t{data1} << 8) | (uint32_t{data2} << 16);
}

struct SynthState;

// Any thread: from now on s.gateTextSink is handed `text` (a static string;
// nullptr: the note state again) instead of the note state: a fault the
// player must see, such as a stream that never ran, stays in view whatever
// is played.
void showFaultInsteadOfGate(SynthState &s, const char *text);

// MIDI thread: the note handling of the engine whose record is `s`. A data
// message (kMidiInData) carries a short message; note-on/off on the channel
// listened to (s.channel, 1 in the synth) set the pitch and open or close the
// gate, All Sound Off and All Notes Off there release every key (All Sound Off
// also silences the output within 5 ms). With s.expressive, beside the synth,
// pitch bend, RPN 0 (bend range; CC 98/99 select an NRPN instead), CC 5 and 65
// (glide), CC 64 (sustain pedal), CC 121 and the velocity play too. A close message (kMidiInClose) releases
// every key as the last note-off does. Other codes are ignored. After each, the
// note state's text goes to s.gateTextSink. Never waits: while another thread
// holds the note state, the message is left for it; when 64 are left already,
// only what ends a note is kept (a note-off, a close, All Notes Off, the pedal
// lifted), in its place among the messages left, and the rest is dropped: a
// note-on dropped has its note-off dropped too.
void onMidiInput(SynthState &s, uint32_t message, uint32_t shortMsg);

// Whether the note handling acts on Control Change `number` (the expressive
// controllers only with s.expressive).
bool handlesController(uint8_t number);

// The program's thread: the note handling listens to `channel` (0 every
// channel, else 1 to 16) from now on. A change releases every key and lifts
// the pedal, as their ends would come on the old channel; the note state
// changes as onMidiInput changes it.
void listenToChannel(SynthState &s, int32_t channel);

// Any thread: `change(s, what)` changes the note state at once, then what
// other threads left meanwhile is applied, and true is returned; while another
// thread holds the note state nothing changes and false is returned. Never waits.
using NoteStateChange = void (*)(SynthState &s, const void *what);
bool changeNoteStateIfFree(SynthState &s, NoteStateChange change, const void *what);

// Whether a channel message with this status byte is on the channel that
// `s` listens to.
bool hears(const SynthState &s, uint8_t status);

// Frequency of MIDI note `note` in equal temperament, A4 (69) = 440 Hz.
double noteToFrequency(int note);
