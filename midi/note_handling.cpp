#include "midi/note_handling.h"

#include "engine/engine_math.h"
#include "engine/synth_state.h"

#include <atomic>
#include <cmath>

namespace {

constexpr uint8_t kNoteOnChannel1 = 0x90;
constexpr uint8_t kNoteOffChannel1 = 0x80;

constexpr uint8_t kControlChangeChannel1 = 0xB0;
constexpr uint8_t kAllSoundOff = 120;
constexpr uint8_t kAllNotesOff = 123;

void showGateText(const SynthState &s) {
    if (GateTextSink sink = s.gateTextSink.get()) {
        const char *fault = s.gateFault.get();
        sink(fault ? fault : s.gateText.get());
    }
}

// A note-off of any note counts down; the last one (or one with nothing held)
// closes the gate and keeps the pitch for the next note's fade-out.
void noteOff(SynthState &s) {
    int32_t held = s.heldNoteCount.get();
    if (held > 0)
        s.heldNoteCount.set(--held);
    if (held == 0) {
        // In sequentially consistent order with the audio thread's arming
        // (see the envelope): an arming that races with this release cannot
        // outlive it.
        s.gate.value.store(0, std::memory_order_seq_cst);
        s.gateText.set("Off");
        s.envelopeArmed.value.store(0, std::memory_order_seq_cst);
        s.attackStarted.value.store(0, std::memory_order_seq_cst);
        s.heldFrequency.set(s.noteFrequency.get());
    }
}

// Every key goes up at once, as with the last note-off: the gate closes, the
// note fades out over its release and the next one is armed afresh.
void releaseEveryKey(SynthState &s) {
    s.heldNoteCount.set(0);
    noteOff(s);
}

void noteOn(SynthState &s, int note) {
    // The pitch is written before the gate, so the audio thread never opens
    // the gate on a stale pitch.
    s.noteFrequency.set(noteToFrequency(note));
    const int32_t held = s.heldNoteCount.get();
    if (held == 0) {
        s.gate.set(1);
        s.gateText.set("On");
    }
    s.heldNoteCount.set(held + 1);
}

} // namespace

double noteToFrequency(int note) {
    return engineExp2((note + (-69.0)) / 12.0) * 440.0;
}

void showFaultInsteadOfGate(SynthState &s, const char *text) {
    s.gateFault.set(text);
    showGateText(s);
}

void onMidiInput(SynthState &s, uint32_t message, uint32_t shortMsg) {
    if (message == kMidiInClose) {
        releaseEveryKey(s);
        // Show "Off" at once: the next device may stay silent for a long time.
        showGateText(s);
        return;
    }
    if (message != kMidiInData)
        return;

    const uint8_t status = shortMsg & 0xFF;
    const uint8_t data1 = (shortMsg >> 8) & 0xFF;  // note or controller
    const uint8_t data2 = (shortMsg >> 16) & 0xFF; // velocity or value

    // Status bytes are compared whole: channels 2 to 16 play nothing.
    if (status == kNoteOnChannel1) {
        if (data2 != 0)
            noteOn(s, data1);
        else
            noteOff(s);
    } else if (status == kNoteOffChannel1) {
        noteOff(s);
    } else if (status == kControlChangeChannel1 && (data1 == kAllSoundOff || data1 == kAllNotesOff)) {
        // Hosts send these when the transport stops or loops.
        releaseEveryKey(s);
    }
    showGateText(s);
}
