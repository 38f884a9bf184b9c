#pragma once

#include "engine/waveshaper.h"

#include <cstdint>

// What each of the bit operations 1 to 13 is called: the caption of its option
// button in the window, exactly, and a short name for the programs' --help,
// the manual pages and the plugin's choices.
struct OperationName {
    const char *caption;
    const char *shortName;
};

inline constexpr OperationName kOperationNames[kOperationCount] = {
    {"OR", "OR with the static value"},
    {"AND", "AND with the static value"},
    {"XOR", "XOR with the static value"},
    {"Shift bits by 2 to left", "shift left by 2"},
    {"Rotate bits by 2 to left, leaving leftmost bit untouched", "rotate bits 2-8 left by 2"},
    {"Unconditionally make bits 4-8 from left = 0", "clear bits 5-8"},
    {"If from left, bit3 is 0 and bit4 is 1, make bit4 = 0. If bit3 is 1 and bit4 is 1, make "
     "bit3 = 0",
     "bit 4 cleared by bit 3, or 0"},
    {"If from left bits 4-5 are 0, make them 1", "set bits 4-5 if both are 0"},
    {"If from left, bits 3-5 are 0, make bits 2-6 = 1", "set bits 2-6 if bits 3-5 are 0"},
    {"Unconditionally flip value of bit 5 from left", "flip bit 5"},
    {"Unconditionally reverse bits 2-4 from left", "swap bits 2 and 4"},
    {"From left, reverse bits 2-4 And paste them at bit position 4", "bits 4-6 take old 4, 3, 2"},
    {"From left, swap the positions in the bit pattern of bits 2-3 And 5-6",
     "swap bits 2-3 with 5-6"},
};

// The names of operation `operation` (1 to 13).
constexpr const OperationName &operationName(int32_t operation) {
    return kOperationNames[operation - 1];
}
