#pragma once

#include <cstdint>

struct HostRateEngine;

// A note as a plugin host sends it in its own events rather than as MIDI (a
// CLAP or VST3 note event): its key and channel, -1 meaning any where the
// format allows it, and its velocity from 0 to 1.
struct HostNote {
    int16_t channel;
    int16_t key;
    double velocity;
};

// What the engine was played and still holds, by channel and key, so that an
// end for any key or channel (-1) ends what was played and nothing more; and
// the one voice: the key and channel of the latest note-on the engine heard,
// sounding or releasing. The thread that renders only.
struct HostNotesPlayed {
    uint8_t held[16][128] = {}; // note-ons not yet ended
    int16_t voiceKey = -1, voiceChannel = -1;
    uint32_t voiceSerial = 0; // changes with each voice started or forgotten
};

// Audio thread: the note's start, played as MIDI's note-on with its velocity
// (at least 1, since 0 would end it); a note-on on any channel plays nothing.
void playHostNoteOn(HostRateEngine &h, const HostNote &n);

// Audio thread: the note's end. For a key, a note-off for each of its
// note-ons not yet ended on the channel, or on any channel for -1; for any
// key (-1), All Notes Off on the channel, or on all sixteen. Only notes played
// through these functions and playHostMidi are known here: a format plays all
// of its notes through them.
void playHostNoteOff(HostRateEngine &h, const HostNote &n);

// Audio thread: the note cut short. A choke that names the voice silences it
// within 5 ms, as All Sound Off does; one that names only held keys that do
// not sound ends them as their note-offs would.
void playHostNoteChoke(HostRateEngine &h, const HostNote &n);

// Audio thread: a short message (as midi/note_handling.h packs it) played as
// it is, its notes noted as played.
void playHostMidi(HostRateEngine &h, uint32_t message);

// Whether a key and channel, each -1 for any, name the voice.
bool namesHostVoice(const HostNotesPlayed &played, int16_t channel, int16_t key);

// Every key let go of, as by a change of channel; the voice may still release.
void letGoOfHostNotes(HostNotesPlayed &played);
// Every note forgotten, the voice too: nothing sounds, as after a reset.
void forgetHostNotes(HostNotesPlayed &played);
