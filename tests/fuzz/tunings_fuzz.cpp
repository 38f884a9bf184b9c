// libFuzzer target: any bytes as a Scala scale and keyboard map (odd first
// byte; the two texts split at the first '|'), or as MIDI events for the
// tuning messages (even). What must hold: a tuning or a one-line refusal,
// never a crash or a hang; every key's frequency 0 or one it may play at; a
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

void checkKeys() {
    for (double hz : state.tuning.keyHz)
        check(hz == 0.0 || tunedHzPlayable(hz));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    initSynthState(state);
    state.expressive.set(1);
    if (data[0] & 1) {
        const std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
        const size_t bar = text.find('|');
        Tuning tuning;
        std::string error;
        if (!tuningFromScalaTexts(text.substr(0, bar), "s.scl",
                                  bar == text.npos ? "" : text.substr(bar + 1),
                                  bar == text.npos ? "" : "m.kbm", tuning, error)) {
            check(!error.empty() && error.find('\n') == std::string::npos);
            return 0;
        }
        for (double hz : tuning.keyHz)
            check(hz >= 0.0 && !std::isnan(hz));
        check(trySetTuning(state, tuning));
        checkKeys();
        return 0;
    }
    onMidiInput(state, kMidiInData, shortMessage(0x90, data[0] >> 1, 100));
    float out[64];
    forEachMidiMessage(
        data + 1, size - 1, [](uint32_t) {},
        [&](const uint8_t *bytes, size_t length) {
            double before[kKeyCount];
            std::memcpy(before, state.tuning.keyHz, sizeof before);
            TuningChange change;
            const bool tuning = readTuningMessage(bytes, length, change);
            onSystemExclusive(state, bytes, length);
            check(tuning || std::memcmp(before, state.tuning.keyHz, sizeof before) == 0);
            checkKeys();
            renderFrames(state, out, 64);
            for (float v : out)
                check(std::isfinite(v));
        });
    return 0;
}
