#pragma once

#include <cstdint>

// The window's controls as numbers: the values each one delivers and the value
// it starts at. The main window builds its controls from this table, the state
// record and the envelope take their defaults from it, and the programs beside
// the synth check their options against it.
struct ControlRange {
    int32_t min;
    int32_t max;
    int32_t initial;
};

inline constexpr ControlRange kOperationControl{1, 13, 1};     // the thirteen option buttons
inline constexpr ControlRange kStaticValueControl{0, 100, 50}; // OR/AND/XOR operand
inline constexpr ControlRange kRangeTopControl{2, 243, 40};    // range bar row of the top edge
inline constexpr ControlRange kRangeBottomControl{4, 245, 90}; // range bar row of the bottom edge
inline constexpr ControlRange kAttackControl{1, 2000, 1};      // exponential: 0.1 ms to 3 s
inline constexpr ControlRange kDecayControl{1, 5000, 1000};    // ms
inline constexpr ControlRange kSustainControl{0, 100, 50};     // percent
inline constexpr ControlRange kReleaseControl{1, 5000, 1500};  // ms

// Beside the synth (no window control): how a player's expression reaches the sound.
inline constexpr ControlRange kBendRangeControl{0, 24, 2}; // semitones either way
inline constexpr ControlRange kGlideControl{0, 5000, 0};   // ms, 0 off
inline constexpr ControlRange kVelocityControl{0, 100, 0}; // percent: how much velocity counts
inline constexpr ControlRange kChannelControl{0, 16, 1};   // MIDI channel, 0 every channel

constexpr bool inRange(const ControlRange &range, int32_t value) {
    return range.min <= value && value <= range.max;
}
