#pragma once

#include "tools/midi_file_reader.h"
#include "tools/render_options.h"

#include <cstdint>
#include <string>
#include <vector>

struct ProgressBar;
struct WavOutput;

// A short message and the frame before which it reaches the note handling.
struct FrameMessage {
    int64_t frame;
    uint32_t message;
};

// The frame at which a time in seconds falls: nearest, ties to even.
int64_t frameAtSeconds(double seconds);

// The song's channel messages with their frames, in playing order.
std::vector<FrameMessage> frameMessages(const MidiSong &song);

// Frames a render writes: up to the last event, then the tail.
int64_t renderLength(const MidiSong &song, double tailSeconds);

// Starts the engine afresh, as at program start, with the given settings and
// envelope sliders; frame 0 then is the stream's first frame.
void prepareEngine(const SoundOptions &options);

// Renders frames 0 to frameCount - 1 with the engine's render callback in
// buffers, handing each message to the note handling just before its frame,
// and writes them to `out`. Messages at or after frameCount are never played.
bool renderFrames(const std::vector<FrameMessage> &messages, int64_t frameCount, WavOutput &out,
                  ProgressBar &progress, std::string &error);
