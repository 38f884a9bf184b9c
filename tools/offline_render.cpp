#include "tools/offline_render.h"

#include "engine/envelope.h"
#include "engine/render_callback.h"
#include "engine/synth_state.h"
#include "midi/note_handling.h"
#include "tools/progress_bar.h"
#include "tools/wav_output.h"

#include <algorithm>
#include <cmath>

namespace {

// The envelope asks for its sliders through a plain function pointer.
EnvelopeSliders chosenSliders = kDefaultEnvelopeSliders;
EnvelopeSliders readChosenSliders() {
    return chosenSliders;
}

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
    out.reserve(song.messages.size());
    for (const MidiChannelMessage &m : song.messages)
        out.push_back({frameAtSeconds(m.seconds).value_or(kMaxRenderFrames),
                       shortMessage(m.status, m.data1, m.data2)});
    return out;
}

std::optional<int64_t> renderLength(const MidiSong &song, double tailSeconds) {
    const std::optional<int64_t> last = frameAtSeconds(song.lastEventSeconds);
    const std::optional<int64_t> tail = frameAtSeconds(tailSeconds);
    if (!last || !tail || *last + *tail > kMaxRenderFrames)
        return std::nullopt;
    return *last + *tail;
}

void prepareEngine(const SoundOptions &options) {
    initSynthState();
    synthState.operation.set(options.operation);
    synthState.staticOperand.set(options.staticValue);
    synthState.rangeTop.set(options.rangeTop);
    synthState.rangeBottom.set(options.rangeBottom);
    chosenSliders = options.sliders;
    setEnvelopeSliderSource(readChosenSliders);
    setGateTextSink(nullptr);
}

bool renderFrames(const std::vector<FrameMessage> &messages, int64_t frameCount, WavOutput &out,
                  ProgressBar &progress, std::string &error) {
    size_t next = 0;
    int64_t frame = 0;
    while (frame < frameCount) {
        const int64_t blockEnd = std::min(frameCount, frame + kWriteBlockFrames);
        int64_t filled = frame;
        // Render up to the next message's frame, hand it over, go on.
        while (filled < blockEnd) {
            while (next < messages.size() && messages[next].frame <= filled)
                onMidiInput(kMidiInData, messages[next++].message);
            int64_t end = blockEnd;
            if (next < messages.size())
                end = std::min(end, messages[next].frame);
            renderCallback(nullptr, writeBlock + (filled - frame),
                           static_cast<unsigned long>(end - filled), nullptr, 0, nullptr);
            filled = end;
        }
        if (!writeWavFrames(out, writeBlock, static_cast<size_t>(blockEnd - frame), error))
            return false;
        frame = blockEnd;
        updateProgress(progress, frame, frameCount);
    }
    return true;
}
