#pragma once

#include "engine/synth_state.h"

// The synth's one state record: created and filled at start-up, then the
// window's controls, the open MIDI device and the audio stream all work on it.
extern SynthState synthState;
