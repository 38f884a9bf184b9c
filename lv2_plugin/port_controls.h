#pragma once

#include "lv2_plugin/plugin_ports.h"

#include <cstdint>

struct DrivenEngine;

// The plugin's input controls as an engine takes them, by port index: the
// plugin reads its ports through these, and the browser's module takes its
// controls by the same indices.

// The control port with this index; nullptr for any other port.
const ControlPort *controlPort(uint32_t index);

// A control's value as the engine takes it: rounded, clamped to its range,
// and its default for NaN.
int32_t controlPortValue(const ControlPort &c, float value);

// Sets the engine's control of port c to v (a value from controlPortValue),
// as the window's control would: from the next frame on; the envelope
// sliders at the next arming. The thread that renders only.
void setPortControl(DrivenEngine &engine, const ControlPort &c, int32_t v);
