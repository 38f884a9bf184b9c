#pragma once

#include "midi_file/midi_file_reader.h"
#include "renderer/render_options.h"

#include "engine/synth_state.h"
#include "engine_driving/engine_driving.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ProgressBar;
struct WavOutput;

// A message and the frame before which it reaches the note handling: a
// short message, or the song's system-exclusive message `exclusive` points to.
struct FrameMessage {
    int64_t frame;
    uint32_t message;
    const std::vector<uint8_t> *exclusive = nullptr;
};

// The longest render: a WAV file's sizes are 32-bit, and 4-byte frames fit up
// to about 6.2 hours.
inline constexpr int64_t kMaxRenderFrames = static_cast<int64_t>(6 * 3600 * kSampleRate);

// The frame at which a time in seconds falls: nearest, ties to even. Nothing
// for a time that is negative, not a number, or past kMaxRenderFrames, so
// that no conversion can overflow.
std::optional<int64_t> frameAtSeconds(double seconds);

// The song's messages with their frames, in playing order; they point into
// `song`, which must outlive them. Messages past the longest render keep its
// frame (they are never played).
std::vector<FrameMessage> frameMessages(const MidiSong &song);

// Frames a render writes: up to the last event, then the tail. Nothing when
// that is more than kMaxRenderFrames.
std::optional<int64_t> renderLength(const MidiSong &song, double tailSeconds);

// Renders frames 0 to frameCount - 1 with the engine's render callback in
// buffers, handing each message to the note handling just before its frame,
// and writes them to `out`. Messages at or after frameCount are never played.
bool renderMessages(DrivenEngine &engine, const std::vector<FrameMessage> &messages,
                    int64_t frameCount, WavOutput &out, ProgressBar &progress, std::string &error);
