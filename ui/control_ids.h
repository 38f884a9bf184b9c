#pragma once

#include "midi/midi_input.h" // kMainWindow, kDeviceList and the status fields

// Identifiers of the main window's controls (1 is not used) and of its menu
// commands, which have a number space of their own.
inline constexpr int kRangeBar = 0;
inline constexpr int kAttackSlider = 3;
inline constexpr int kDecaySlider = 4;
inline constexpr int kSustainSlider = 5;
inline constexpr int kReleaseSlider = 6;
inline constexpr int kLabelA = 7;
inline constexpr int kLabelS = 8;
inline constexpr int kLabelD = 9;
inline constexpr int kLabelR = 10;
inline constexpr int kFirstOperationButton = 11; // selects operation 1
inline constexpr int kLastOperationButton = 23;  // selects operation 13

// The operation that option button `id` selects: 11 gives 1, 23 gives 13.
constexpr int operationOfButton(int id) {
    return id - kFirstOperationButton + 1;
}
inline constexpr int kStaticValueFrame = 24;
inline constexpr int kOtherOperationsFrame = 25;
inline constexpr int kStaticValueSlider = 26;

inline constexpr int kAboutCommand = 1;
inline constexpr int kHelpCommand = 2;
inline constexpr int kQuitCommand = 111; // the Escape key

