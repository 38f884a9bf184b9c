#include "renderer/offline_render.h"

#include "engine/synth_state.h"
#include "engine_driving/engine_driving.h"
#include "midi/note_handling.h"
#include "midi/tuning_messages.h"
#include "renderer/progress_bar.h"
#include "renderer/wav_output.h"

#include <algorithm>
#include <cmath>

namespace {

// Frames rendered between two writes to the file.
constexpr int64_t kWriteBlockFrames = 1 << 16;
float writeBlock[kWriteBlockFrames];

} // namespace

std::optional<int64_t> frameAtSeconds(double seconds) {
    const double frames = seconds * kSampleRate;
    // Written so that a NaN fails too.
    if (!(frames >= 0.0 && frames <= static_cast<double>(kMaxRenderFrames)))
        return std::nullopt;
    return std::llrint(frames);
}

std::vector<FrameMessage> frameMessages(const MidiSong &song) {
    std::vector<FrameMessage> out;
    out.reserve(song.messages.size() + song.systemExclusive.size());
    const auto frameOf = [](double seconds) {
        return frameAtSeconds(seconds).value_or(kMaxRenderFrames);
    };
    auto exclusive = song.systemExclusive.begin();
    for (size_t i = 0; i <= song.messages.size(); ++i) {
        for (; exclusive != song.systemExclusive.end() && exclusive->position == i; ++exclusive)
            out.push_back({frameOf(exclusive->seconds), 0, &exclusive->bytes});
        if (i < song.messages.size()) {
            const MidiChannelMessage &m = song.messages[i];
            out.push_back({frameOf(m.seconds), shortMessage(m.status, m.data1, m.data2)});
        }
    }
    return out;
}

std::optional<int64_t> renderLength(const MidiSong &song, double tailSeconds) {
    const std::optional<int64_t> last = frameAtSeconds(song.lastEventSeconds);
    const std::optional<int64_t> tail = frameAtSeconds(tailSeconds);
    if (!last || !tail || *last + *tail > kMaxRenderFrames)
        return std::nullopt;
    return *last + *tail;
}

bool renderMessages(DrivenEngine &engine, const std::vector<FrameMessage> &messages,
                    int64_t frameCount, WavOutput &out, ProgressBar &progress, std::string &error) {
    size_t next = 0;
    int64_t frame = 0;
    while (frame < frameCount) {
        const int64_t blockEnd = std::min(frameCount, frame + kWriteBlockFrames);
        size_t last = next;
        while (last < messages.size() && messages[last].frame < blockEnd)
            ++last;
        renderAroundEvents(
            engine, writeBlock, static_cast<uint32_t>(blockEnd - frame),
            static_cast<uint32_t>(last - next),
            [&](uint32_t i) {
                return static_cast<uint32_t>(
                    std::max<int64_t>(0, messages[next + i].frame - frame));
            },
            [&](uint32_t i) {
                const FrameMessage &m = messages[next + i];
                if (m.exclusive)
                    onSystemExclusive(engine.state, m.exclusive->data(), m.exclusive->size());
                else
                    onMidiInput(engine.state, kMidiInData, m.message);
            });
        next = last;
        if (!writeWavFrames(out, writeBlock, static_cast<size_t>(blockEnd - frame), error))
            return false;
        frame = blockEnd;
        updateProgress(progress, frame, frameCount);
    }
    return true;
}
