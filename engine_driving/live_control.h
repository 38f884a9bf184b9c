#pragma once

#include "engine/control_ranges.h"

#include <cstdint>
#include <string>

struct DrivenEngine;

// Playing and shaping the sound from a MIDI controller, on the channel the
// note handling listens to (channel 1 unless chosen otherwise): Program
// Change p (0 to 12) selects operation p + 1; the sound controllers below set
// the window's controls, value v (0 to 127) mapped onto the control's whole
// range as round(min + v * (max - min) / 127), ties to even.
inline constexpr int kProgramCount = 13; // programs 0 to 12 select operations 1 to 13

// The operation program p (0 to kProgramCount - 1) selects.
constexpr int32_t operationOfProgram(int32_t program) {
    return program + 1;
}

// The controller's value for a data byte v, on the control's range.
int32_t controllerValue(const ControlRange &range, uint8_t v);

// Audio thread: the note handling first (which ignores all but notes), then
// Program Change and the controllers, acting from this frame on; the envelope
// sliders act at the next arming. No allocation, no lock.
void playLiveMessage(DrivenEngine &engine, uint32_t shortMsg);

// Whether playLiveMessage acts on Control Change `number`: the note
// handling's controllers or a sound controller.
bool answersController(uint8_t number);

// The controller table as --help and the README show it.
std::string liveControlUsage();
