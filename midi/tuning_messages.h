#pragma once

// The MIDI Tuning Standard's messages, and how a tuning reaches an engine.
#include "engine/tuning.h"

#include <cstddef>
#include <cstdint>

struct SynthState;

// What one tuning message changes, read whole before any of it applies.
// Fixed in size: read and applied without allocating.
struct TuningChange {
    double keyHz[kKeyCount]; // each key's new frequency; 0 leaves the key as it is
    bool realTime;           // sent as real time (F0 7F): a sounding note is retuned at once
    uint16_t channels;       // the channels it is for: bit c - 1 for channel c
    char name[17];           // a bulk dump's name, else ""
};

// Reads a system-exclusive message (F0 to F7) of the MIDI Tuning Standard,
// any device id:
//  - single note tuning change, 08 02 (program, count, then key and frequency
//    in three bytes each time) and 08 07 (bank first), real time or not;
//  - bulk tuning dump, 08 01, non-real time: program, a 16-byte name, 128
//    frequencies, then a checksum, the XOR of the bytes from 7E to the last
//    frequency (or, as FluidSynth writes it, of those but the device id and
//    the name), to 7 bits;
//  - scale/octave tuning, 08 08 (a byte a pitch class, 0x40 = 0, ±64 cents)
//    and 08 09 (two bytes, 14 bits, (v - 8192) * 100 / 8192 cents), after a
//    channel mask in three bytes, real time or not.
// A frequency is a semitone (0 to 127) and 14 bits of its fraction; 7F 7F 7F
// leaves the key as it is. False for any other message, and for a tuning
// message cut short or too long, with a wrong checksum or a status byte inside.
// Real-time safe: no allocation.
bool readTuningMessage(const uint8_t *bytes, size_t size, TuningChange &change);

// The note state's holder: applies a change read from a message. A change
// for channels that `s` does not listen to changes nothing.
void applyTuningChange(SynthState &s, const TuningChange &change);

// MIDI thread, beside the synth (s.expressive, as bends are): a tuning
// message in a system-exclusive message (F0 to F7) applies whole, at once for
// a note sounding when sent real time, from the next note otherwise; any other
// is ignored. Tuning programs and banks are read and ignored: an engine has
// one tuning. Never waits: the programs that take system exclusive hand every
// MIDI message over on one thread, and a message that finds another thread
// holding the note state (closing a device, handing a tuning over) is dropped.
// No allocation.
void onSystemExclusive(SynthState &s, const uint8_t *bytes, size_t size);

// Any thread but the audio thread: `t` (built from files or a state on any
// thread) in force from the next note, whole. Waits its turn for the note
// state, which the MIDI thread holds only while it handles a message.
void setTuning(SynthState &s, const Tuning &t);

// The audio or MIDI thread: as setTuning, but never waits: false, changing
// nothing, while another thread holds the note state (try again later).
bool trySetTuning(SynthState &s, const Tuning &t);
