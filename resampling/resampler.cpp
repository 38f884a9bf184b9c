#include "resampling/resampler.h"

#include "engine/synth_state.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>

namespace {

// The shortest of libsamplerate's band-limited converters: the least delay.
constexpr int kConverter = SRC_SINC_FASTEST;
// Engine frames of silence run through the converter before playing, so that
// what its filter holds back is silence and every later cycle gets back as
// many frames as its time spans (to within one).
constexpr uint32_t kPrimingFrames = 4096;
// Frames kept in hand against that one frame of drift.
constexpr size_t kMarginFrames = 4;

// Feeds `count` frames in and appends what comes out to `pending`.
void convert(Resampler &r, const float *in, uint32_t count) {
    SRC_DATA data{};
    data.src_ratio = r.ratio;
    while (count > 0) {
        data.data_in = in;
        data.input_frames = count;
        data.data_out = r.output.data();
        data.output_frames = static_cast<long>(r.output.size());
        if (src_process(r.state, &data) != 0)
            return;
        const size_t room = r.pending.size() - r.pendingCount;
        const size_t got = std::min(room, static_cast<size_t>(data.output_frames_gen));
        std::copy_n(r.output.data(), got, r.pending.data() + r.pendingCount);
        r.pendingCount += got;
        in += data.input_frames_used;
        count -= static_cast<uint32_t>(data.input_frames_used);
        if (data.input_frames_used == 0 && data.output_frames_gen == 0)
            return;
    }
}

} // namespace

bool openResampler(Resampler &r, double outputRate, uint32_t maxFrames, std::string &error) {
    int status = 0;
    r.state = src_new(kConverter, 1, &status);
    if (!r.state) {
        error = std::string("cannot start the resampler: ") + src_strerror(status);
        return false;
    }
    r.ratio = outputRate / kSampleRate;
    const size_t maxOut = static_cast<size_t>(std::ceil(maxFrames * std::max(1.0, r.ratio))) + 64;
    r.output.assign(maxOut, 0.0f);
    r.pending.assign(2 * maxOut + kMarginFrames, 0.0f);
    resetResampler(r);
    return true;
}

void resetResampler(Resampler &r) {
    static const float silence[kPrimingFrames] = {};
    src_reset(r.state);
    r.pendingCount = 0;
    convert(r, silence, kPrimingFrames);
    // What the filter still holds back of the silence fed in is its delay.
    r.delayFrames = kPrimingFrames * r.ratio - static_cast<double>(r.pendingCount) + kMarginFrames;
    std::fill(r.pending.begin(), r.pending.end(), 0.0f);
    r.pendingCount = kMarginFrames;
}

void closeResampler(Resampler &r) {
    if (r.state)
        src_delete(r.state);
    r.state = nullptr;
}

void resample(Resampler &r, const float *in, uint32_t inCount, float *out, uint32_t outCount) {
    convert(r, in, inCount);
    const size_t played = std::min<size_t>(outCount, r.pendingCount);
    std::copy_n(r.pending.data(), played, out);
    if (played < outCount) { // never while the margin holds
        std::fill(out + played, out + outCount, 0.0f);
        ++r.shortCycles;
    }
    std::copy(r.pending.data() + played, r.pending.data() + r.pendingCount, r.pending.data());
    r.pendingCount -= played;
}
