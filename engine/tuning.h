#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

struct SynthState;

inline constexpr int32_t kKeyCount = 128;
// A tuning's name in bytes of UTF-8, with the terminating zero.
inline constexpr size_t kTuningNameBytes = 64;

// The pitches a tuned key may sound at: from A4 six octaves down (the engine
// turns pitches into semitones over that span) to half the engine's 48000
// frames/s. A tuning that puts a key outside leaves it unmapped.
inline constexpr double kLowestTunedHz = 440.0 / 64;
inline constexpr double kHighestTunedHz = 24000.0;

// A tuning as a whole, built on any thread (from a file's text, a saved
// state) and handed to an engine whole (midi/tuning_messages.h): the
// frequency each key plays, 0 for a key that plays nothing, and a name.
// As made, it is the synth's own.
struct Tuning {
    double keyHz[kKeyCount] = {};
    char name[kTuningNameBytes] = ""; // UTF-8
    // The synth's own equal temperament (keyHz aside): every note plays as
    // with no tuning at all, at its whole-frame period, bit for bit as always.
    // Any other tuning, 12-TET from a file too, plays each key at its exact
    // frequency.
    bool synthsOwn = true;
};

// The frequency of MIDI key `key` in equal temperament, A4 (69) at 440 Hz.
double equalTemperedHz(int32_t key);

// Whether a key may sound at `hz` under a tuning (see kLowestTunedHz).
inline bool tunedHzPlayable(double hz) {
    return hz >= kLowestTunedHz && hz < kHighestTunedHz;
}

// Sets the tuning's name from `text`: cut to fit at a character's end,
// control characters as spaces, bytes that are no UTF-8 as '?'.
void setTuningName(Tuning &t, std::string_view text);

// The name of the tuning in force, as its holder publishes it for any thread
// to read: a sequence lock, so a reader never sees half of one name and half
// of another, and the writer never waits.
struct PublishedName {
    std::atomic<uint32_t> version{0}; // odd while a name is being written
    std::atomic<uint64_t> words[kTuningNameBytes / 8] = {};
};

// The tuning of one engine, part of its note state: only the thread holding
// the note state (SynthState::noteStateTaken) reads or changes it.
struct KeyTuning {
    double keyHz[kKeyCount]; // each key's frequency, 0 unmapped; equal temperament at the start
    int32_t soundingKey;     // the key of the latest note-on, -1 before the first
    PublishedName name;      // the holder writes, any thread reads (tuningName)
};

// The note state's holder: `t` from the next note on, whole. The synth's own
// tuning ends any tuning in force.
void applyTuning(SynthState &s, const Tuning &t);

// The note state's holder: key `key` (0 to 127) plays at `hz` from its next
// note on, or at once when it sounds now and `now` is set; a tuning is in
// force from here on.
void retuneKey(SynthState &s, int32_t key, double hz, bool now);

// The note state's holder: publishes the name of the tuning in force.
void publishTuningName(SynthState &s, const char *name);

// Any thread: the name of the tuning in force into `name` ("" for the
// synth's own and before any name was given).
void tuningName(const SynthState &s, char (&name)[kTuningNameBytes]);

// Start-up: equal temperament, the synth's own, nothing sounding.
void resetKeyTuning(SynthState &s);
