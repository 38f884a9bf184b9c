#pragma once

#include "engine/envelope.h"
#include "engine/tuning.h"

#include <cstdint>
#include <string>
#include <string_view>

// The window's controls as options of the programs beside the synth: the same
// names, ranges and defaults in every program (ranges in engine/control_ranges.h).
struct SoundOptions {
    int32_t operation = kOperationControl.initial;
    int32_t staticValue = kStaticValueControl.initial;
    int32_t rangeTop = kRangeTopControl.initial;
    int32_t rangeBottom = kRangeBottomControl.initial;
    EnvelopeSliders sliders = kDefaultEnvelopeSliders;
    // The engine's quick start (no window control): a note played while nothing
    // sounds starts at its note-on's frame, without the silent 1001-frame
    // fade-out. Each program sets it with an option of its own.
    bool quickStart = false;
    // The player's expression (no window control either): pitch bend, glide,
    // sustain pedal and velocity play when `expressive`; the channel listened
    // to, always. Each program says whether it is expressive.
    bool expressive = false;
    int32_t bendRange = kBendRangeControl.initial; // semitones
    int32_t glide = kGlideControl.initial;         // ms
    bool glideLegato = false;
    int32_t velocity = kVelocityControl.initial; // percent
    int32_t channel = kChannelControl.initial;
    // The tuning, as the program reads it from the files named (TuningFiles).
    Tuning tuning = {};
};

// The Scala files the options name: --scale and --keyboard-map ("" for none).
struct TuningFiles {
    std::string scale;
    std::string keyboardMap;
};

enum class SoundOptionResult { set, notSoundOption, error };

// Sets the sound option `name` (without its dashes) from `value`. A value that
// is no whole number or lies outside the control's range is an error, with a
// one-line `error`; a name that is no sound option is left to the caller.
SoundOptionResult setSoundOption(std::string_view name, const std::string &value,
                                 SoundOptions &options, std::string &error);

// The --help lines of the sound options, one per option.
std::string soundOptionsUsage();

// The --help lines of the tuning options.
std::string tuningOptionsUsage();

// The expression options: --bend-range, --glide, --glide-legato (a flag the
// program lists among its flags), --velocity and --channel, set by
// setSoundOption too; and their --help lines.
inline constexpr std::string_view kGlideLegatoFlag = "glide-legato";
std::string expressionOptionsUsage();
