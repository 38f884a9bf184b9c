// libFuzzer target: arbitrary byte streams as MIDI traffic, device closes,
// parameter changes and renders. What must always hold: the held-key count is
// the note-ons on channel 1 not yet matched by a note-off (of any key; a
// note-off with none held counts nothing; a close, All Sound Off and All Notes
// Off match them all), the gate
// is open exactly while it is above 0, and
// every sample is finite and within -128/127 times the envelope's highest level.
// Half the inputs play as the programs beside the synth do (bend, glide,
// pedal, velocity): there the sustain pedal may hold the gate open too.
#include "app/stream_callback.h"
#include "engine/render_callback.h"
#include "engine/synth_state.h"
#include "midi/note_handling.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

SynthState synthState;

void check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    initSynthState(synthState);
    if (size > 0 && (data[0] & 1)) {
        synthState.expressive.set(1);
        synthState.velocityPercent.set(data[0] % 101);
        synthState.glideMilliseconds.set(data[0] * 20);
    }
    float buffer[512];
    // A byte of -128 gives -128/127; the envelope's level tops out at 1.0875237
    // on the last frame of a short attack, and a note released on that very
    // frame carries it into its release.
    const float bound = 128.0f / 127.0f * 1.0875237f;
    int32_t held = 0;

    for (size_t i = 0; i + 4 <= size; i += 4) {
        const uint8_t command = data[i];
        const uint32_t bytes = data[i + 1] | (data[i + 2] << 8) | (uint32_t{data[i + 3]} << 16);
        switch (command % 8) {
        case 0:
        case 1:
        case 2: { // the commonest traffic: short messages
            onMidiInput(synthState, kMidiInData, bytes);
            const uint8_t status = bytes & 0xFF, data1 = (bytes >> 8) & 0xFF,
                          velocity = (bytes >> 16) & 0xFF;
            if (status == 0x90 && velocity != 0)
                ++held;
            else if ((status == 0x90 || status == 0x80) && held > 0)
                --held;
            else if (status == 0xB0 && (data1 == 120 || data1 == 123)) // all sound / notes off
                held = 0;
            break;
        }
        case 3:
            onMidiInput(synthState, kMidiInClose, 0);
            held = 0;
            break;
        case 4:
            synthState.operation.set(data[i + 1] % 15); // 0 and 14 are no operation
            synthState.staticOperand.set(data[i + 2] % 101);
            break;
        case 5: // the range bar keeps its edges within these rows
            synthState.rangeTop.set(2 + data[i + 1] % 242);
            synthState.rangeBottom.set(4 + data[i + 2] % 242);
            break;
        default: {
            const unsigned long frames = 1 + (bytes % 512);
            renderCallback(nullptr, buffer, frames, nullptr, 0, &synthState);
            for (unsigned long f = 0; f < frames; ++f)
                check(std::isfinite(buffer[f]) && std::fabs(buffer[f]) <= bound);
            break;
        }
        }
        check(synthState.heldNoteCount.get() == held);
        check(synthState.gate.get() == (held > 0 || synthState.pedalHolds.get() ? 1 : 0));
    }
    return 0;
}
