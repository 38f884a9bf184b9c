#pragma once

#include "engine/render_callback.h"

#include <portaudio.h>

// The synth's PortAudio stream: its parameters, one definition each (the rate
// is kSampleRate), and the callback that renders the engine into it.
inline constexpr int kChannelCount = 1;
inline constexpr PaSampleFormat kSampleFormat = paFloat32;
inline constexpr PaTime kSuggestedLatency = 0.075;
inline constexpr unsigned long kFramesPerBuffer = paFramesPerBufferUnspecified;
inline constexpr PaStreamFlags kStreamFlags = paNoFlag;

// Audio thread (PortAudio's callback): renderFrames for the record that
// userData points to. Always returns paContinue.
int renderCallback(const void *input, void *output, unsigned long frameCount,
                   const PaStreamCallbackTimeInfo *timeInfo, PaStreamCallbackFlags statusFlags,
                   void *userData);
