#pragma once

#include "plugins/controls/control_ports.h"

#include <cstdint>

struct DrivenEngine;

// Sets the engine's control of port c to v (a value from controlPortValue),
// as the window's control would: from the next frame on; the envelope
// sliders at the next arming. The thread that renders only.
void setPortControl(DrivenEngine &engine, const ControlPort &c, int32_t v);
