#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// One channel message of a MIDI file, placed in time by the file's tempo map.
struct MidiChannelMessage {
    double seconds;
    uint8_t status;
    uint8_t data1;
    uint8_t data2; // 0 for the one-data-byte messages (program change, channel pressure)
};

// One system-exclusive message of a MIDI file, F0 to F7 (a message sent in
// packets, F0 then F7 escapes, joined), and where it plays: before
// messages[position] of its song.
struct MidiSystemExclusive {
    double seconds;
    size_t position;
    std::vector<uint8_t> bytes;
};

// What the renderer needs of a Standard MIDI File: its channel messages and
// its system-exclusive messages in playing order (tracks merged by time, ties
// in track order, file order within a track) and the time of its last event
// of any kind.
struct MidiSong {
    std::vector<MidiChannelMessage> messages;
    std::vector<MidiSystemExclusive> systemExclusive;
    double lastEventSeconds = 0.0;
};

// Parses a format 0 or 1 Standard MIDI File held in memory. On failure returns
// false with a one-line description in `error` (not a MIDI file, truncated or
// malformed chunk, unsupported format or time division); `song` is then
// unspecified. Never prints, never aborts, whatever the bytes.
bool readMidiFile(std::span<const uint8_t> bytes, MidiSong &song, std::string &error);
