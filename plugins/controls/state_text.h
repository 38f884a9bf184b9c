#pragma once

#include "plugins/controls/control_ports.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A plugin's saved state as text, the same in every format, so a song saved
// with one format's plugin opens with another's: a version line, then a line
// "symbol value" for each control, e.g.
//   ondrilux-state 1
//   operation 7
//   static_value 50
//   ...

// The largest state accepted: far above any real one.
inline constexpr size_t kMaxStateBytes = 4096;

// The state of the controls' values, by port index (values from controlPortValue).
std::string controlStateText(const int32_t (&values)[kPortCount]);

// The controls' values in `text`, a state as controlStateText writes it:
// every control once, in its range, each line whole. False for anything
// else (another version, a line cut short, an unknown or repeated symbol, a
// value out of range), and then `values` may be half written.
bool parseControlState(std::string_view text, int32_t (&values)[kPortCount]);
