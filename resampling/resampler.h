#pragma once

#include "engine/synth_state.h"

#include <cstdint>
#include <string>
#include <vector>

typedef struct SRC_STATE_tag SRC_STATE;

// The engine's frame (at 48000 frames/s) that plays at frame `hostFrame` of a
// host running at `hostRate` frames/s.
inline uint64_t engineFrameAt(uint64_t hostFrame, uint32_t hostRate) {
    return hostFrame * static_cast<uint64_t>(kSampleRate) / hostRate;
}

// Real-time conversion of the engine's 48000 frames/s to a JACK server's rate,
// with libsamplerate. Each cycle hands over the engine frames that fall within
// the cycle's time and takes exactly the cycle's frames back; a few frames held
// in between absorb the ±1 frame by which the two counts drift apart.
struct Resampler {
    SRC_STATE *state = nullptr;
    double ratio = 1.0;         // output frames per engine frame
    std::vector<float> output;  // libsamplerate's output of one cycle
    std::vector<float> pending; // converted frames not yet played
    size_t pendingCount = 0;
    double delayFrames = 0.0; // output frames an engine frame waits before it is played
    uint64_t shortCycles = 0; // audio thread: cycles that ran out of converted frames
};

// Main thread, before the audio thread starts: allocates everything for
// cycles of up to `maxFrames` frames at `outputRate` frames/s.
bool openResampler(Resampler &r, double outputRate, uint32_t maxFrames, std::string &error);
void closeResampler(Resampler &r);

// Audio thread: the converter as openResampler left it, holding only silence.
// No allocation, no lock.
void resetResampler(Resampler &r);

// Audio thread: converts `inCount` engine frames and writes `outCount`
// output frames. No allocation, no lock.
void resample(Resampler &r, const float *in, uint32_t inCount, float *out, uint32_t outCount);
