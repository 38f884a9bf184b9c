#include "midi/note_handling.h"

#include "engine/synth_state.h"

#include <atomic>
#include <cmath>

namespace {

constexpr uint8_t kNoteOnChannel1 = 0x90;
constexpr uint8_t kNoteOffChannel1 = 0x80;

Relaxed<GateTextSink> gateTextSink;
Relaxed<const char *> faultText;

void showGateText() {
    if (GateTextSink sink = gateTextSink.get()) {
        const char *fault = faultText.get();
        sink(fault ? fault : synthState.gateText.get());
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
    return std::pow(2.0, (note + (-69.0)) / 12.0) * 440.0;
}

void setGateTextSink(GateTextSink sink) {
    gateTextSink.set(sink);
}

void showFaultInsteadOfGate(const char *text) {
    faultText.set(text);
    showGateText();
}

void onMidiInput(uint32_t message, uint32_t shortMsg) {
    SynthState &s = synthState;

    if (message == kMidiInClose) {
        // Every key goes up as with the last note-off: the gate closes, the
        // note fades out over its release and the next one is armed afresh.
        s.heldNoteCount.set(0);
        noteOff(s);
        // Show "Off" at once: the next device may stay silent for a long time.
        showGateText();
        return;
    }
    if (message != kMidiInData)
        return;

    const uint8_t status = shortMsg & 0xFF;
    const uint8_t note = (shortMsg >> 8) & 0xFF;
    const uint8_t velocity = (shortMsg >> 16) & 0xFF;

    // Status bytes are compared whole: channels 2 to 16 play nothing.
    if (status == kNoteOnChannel1) {
        if (velocity != 0)
            noteOn(s, note);
        else
            noteOff(s);
    } else if (status == kNoteOffChannel1) {
        noteOff(s);
    }
    showGateText();
}
