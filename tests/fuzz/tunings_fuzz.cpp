// libFuzzer target: any bytes as a Scala scale and keyboard map (odd first
// byte; the texts split at the first '|'), or as MIDI events with tuning
// messages to a held key (even). What must hold: a tuning or a one-line
// refusal, never a crash or a hang; every key's frequency 0 or playable; a
// message that is no tuning message changes no key; the output stays finite.
#include "engine/render_callback.h"
#include "engine/synth_state.h"
#include "midi/note_handling.h"
#include "midi/short_messages.h"
#include "midi/tuning_messages.h"
#include "tuning_files/scala_files.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

SynthState state;

void check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    initSynthState(state);
    state.expressive.set(1);
    onMidiInput(state, kMidiInData, shortMessage(0x90, data[0] >> 1, 100));
    const std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
    const size_t bar = text.find('|');
    Tuning tuning;
    std::string error;
    if (data[0] & 1) {
        const bool map = bar != text.npos;
        if (tuningFromScalaTexts(text.substr(0, bar), "s.scl", map ? text.substr(bar + 1) : "",
                                 map ? "m.kbm" : "", tuning, error))
            check(trySetTuning(state, tuning));
        else
            check(!error.empty() && error.find('\n') == std::string::npos);
    }
    float out[64];
    forEachMidiMessage(
        data + 1, size - 1, [](uint32_t) {},
        [&](const uint8_t *m, size_t n) {
            double before[kKeyCount];
            std::memcpy(before, state.tuning.keyHz, sizeof before);
            TuningChange change;
            const bool tuningMessage = readTuningMessage(m, n, change);
            onSystemExclusive(state, m, n);
            check(tuningMessage || std::memcmp(before, state.tuning.keyHz, sizeof before) == 0);
        });
    for (double hz : state.tuning.keyHz)
        check(hz == 0.0 || tunedHzPlayable(hz));
    renderFrames(state, out, 64);
    for (float v : out)
        check(std::isfinite(v));
    return 0;
}
