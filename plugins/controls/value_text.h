#pragma once

#include "plugins/controls/control_ports.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// How a host shows a control's value and reads one a player types: the
// operation by its name, the channel 0 as "All", a switch as "On" or "Off",
// the attack as the time it gives ("0.1 ms", "17 ms", "3.00 s"), every other
// value as its number. Shared by every plugin format and the panel.

// Writes control c's value v (as controlPortValue gives it) into text, cut to
// `size` bytes with its terminating zero.
void controlValueText(const ControlPort &c, int32_t v, char *text, size_t size);

// The value of control c that `text` names: its words, or a decimal integer
// clamped to the control's range; for the attack a time, in ms without a unit
// ("17", "17 ms", "0.5 s"), taken to the nearest position. False for anything
// else.
bool controlValueFromText(const ControlPort &c, std::string_view text, int32_t &v);

// The decimal integer that is all of s: an optional minus, then at most nine
// digits (no locale's signs or spaces).
bool parseInteger(std::string_view s, int32_t &v);
