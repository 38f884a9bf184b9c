#pragma once

// A plugin's tuning, in every format alike: made from its Scala files on a
// thread other than the audio thread, handed to the thread that renders whole
// (midi/tuning_messages.h), and kept there for every fresh engine
// (host_rate_engine.h).
#include "engine/tuning.h"
#include "plugins/controls/state_text.h"

#include <atomic>
#include <cstdint>
#include <string>

struct HostRateEngine;
struct SynthState;

// Tunings on their way from one other thread at a time to the thread that
// renders, the latest winning: three slots take turns as the giver's, the one
// between and the taker's, so that neither side waits or allocates.
class TuningHandover {
  public:
    // The giving thread: `t` is the latest.
    void give(const Tuning &t);
    // The thread that renders: the latest tuning given since its last take,
    // or nullptr; it stays as it is until the next take.
    const Tuning *take();

  private:
    static constexpr uint32_t kFresh = 4; // the slot between holds a tuning not taken yet
    Tuning slots_[3];
    std::atomic<uint32_t> between_{1};
    uint32_t giving_ = 0, taken_ = 2; // each side's own slot
};

// Any thread but the audio thread: the tuning of `files`, the synth's own
// without any. False, with one line in `error` ("PATH: line N: what is
// wrong"), for a file that is no scale or keyboard map, or a pair that makes
// no tuning.
bool tuningOfFiles(const TuningFileTexts &files, Tuning &tuning, std::string &error);

// Any thread but the audio thread: the scale (`keyboardMap` false) or the
// keyboard map of `files` read from `path` ("" for none). False, with one line
// in `error`, for a file that cannot be read.
bool readTuningFile(TuningFileTexts &files, bool keyboardMap, const std::string &path,
                    std::string &error);

// Not the audio thread: the files a player chose read into `files` (a null
// path keeps that file as it is). False, with one line on stderr, for a file
// that cannot be read.
bool readChosenTuningFiles(TuningFileTexts &files, const char *scalePath, const char *mapPath);

// Not the audio thread: the tuning of `files` handed to the engine, in force
// from the next block, and the files kept in `kept` for the state. False,
// with one line on stderr, for files that make no tuning: both stay as they were.
bool handHostTuningFiles(HostRateEngine &h, TuningFileTexts &kept, const TuningFileTexts &files);

// Any thread: the name a panel shows for the engine's tuning: "12-TET" for the
// synth's own, else the tuning's name, or "MIDI Tuning" for one that tuning
// messages made without a name.
void shownTuningName(const SynthState &s, char (&name)[kTuningNameBytes]);
