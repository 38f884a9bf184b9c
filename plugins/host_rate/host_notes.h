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

// Audio thread: the note's start or end, played as MIDI's note-on or
// note-off with its velocity (a note-on's at least 1, since 0 would end it).
// An end for any key (-1) is All Notes Off; on any channel (-1), on all sixteen.
void playHostNoteOn(HostRateEngine &h, const HostNote &n);
void playHostNoteOff(HostRateEngine &h, const HostNote &n);
