#include "midi/note_handling.h"

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

// A close travels in the queue as a message no short message can be (those
// use the low three bytes).
constexpr uint32_t kCloseMessage = 0xFF000000u;

void applyShortMessage(SynthState &s, uint32_t shortMsg) {
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
        // Hosts send these when the transport stops or loops; All Sound Off
        // (a panic button) also silences what still sounds, within 5 ms.
        releaseEveryKey(s);
        if (data1 == kAllSoundOff)
            s.muteRequested.set(1);
    }
    showGateText(s);
}

void apply(SynthState &s, uint32_t message) {
    if (message == kCloseMessage) {
        releaseEveryKey(s);
        // Show "Off" at once: the next device may stay silent for a long time.
        showGateText(s);
    } else {
        applyShortMessage(s, message);
    }
}

// The queue of pending messages, after D. Vyukov's bounded queue: an adding
// thread claims a slot by its count and publishes it by its sequence number;
// only the thread holding the note state empties it. Never waits.
bool addPending(PendingMessages &q, uint32_t message) {
    uint32_t at = q.added.load(std::memory_order_relaxed);
    for (;;) {
        const uint32_t slot = at % kPendingMessageCount;
        const auto lead =
            static_cast<int32_t>(q.sequence[slot].load(std::memory_order_acquire) - at);
        if (lead < 0)
            return false; // full (the holder held up for 64 messages): dropped
        if (lead > 0) {
            at = q.added.load(std::memory_order_relaxed);
        } else if (q.added.compare_exchange_weak(at, at + 1, std::memory_order_relaxed)) {
            q.message[slot] = message;
            q.sequence[slot].store(at + 1, std::memory_order_seq_cst);
            return true;
        }
    }
}

bool takePending(PendingMessages &q, uint32_t &message) {
    const uint32_t at = q.taken.load(std::memory_order_relaxed);
    const uint32_t slot = at % kPendingMessageCount;
    if (q.sequence[slot].load(std::memory_order_acquire) != at + 1)
        return false;
    message = q.message[slot];
    q.taken.store(at + 1, std::memory_order_relaxed);
    q.sequence[slot].store(at + kPendingMessageCount, std::memory_order_release);
    return true;
}

// Sequentially consistent with the publishing and the letting go: a holder
// that lets go after an adder failed to take over sees what it added.
bool anyPending(const PendingMessages &q) {
    const uint32_t at = q.taken.load(std::memory_order_relaxed);
    return q.sequence[at % kPendingMessageCount].load(std::memory_order_seq_cst) == at + 1;
}

bool takeNoteState(SynthState &s) {
    return s.noteStateTaken.value.exchange(1, std::memory_order_seq_cst) == 0;
}

// Applies what others left, lets go, and looks again: a message added just
// before the letting go is applied by this thread or the one that takes over.
void applyPendingAndLetGo(SynthState &s) {
    do {
        uint32_t message;
        while (takePending(s.pendingMessages, message))
            apply(s, message);
        s.noteStateTaken.value.store(0, std::memory_order_seq_cst);
    } while (anyPending(s.pendingMessages) && takeNoteState(s));
}

} // namespace

double noteToFrequency(int note) {
    return std::pow(2.0, (note + (-69.0)) / 12.0) * 440.0;
}

void showFaultInsteadOfGate(SynthState &s, const char *text) {
    s.gateFault.set(text);
    showGateText(s);
}

void onMidiInput(SynthState &s, uint32_t message, uint32_t shortMsg) {
    if (message != kMidiInClose && message != kMidiInData)
        return;
    const uint32_t item = message == kMidiInClose ? kCloseMessage : (shortMsg & 0xFFFFFFu);
    if (takeNoteState(s)) {
        // Messages left earlier go first.
        uint32_t earlier;
        while (takePending(s.pendingMessages, earlier))
            apply(s, earlier);
        apply(s, item);
    } else {
        // Another thread changes the note state: it applies this before it
        // lets go, unless it let go since; then this thread takes over.
        addPending(s.pendingMessages, item);
        if (!takeNoteState(s))
            return;
    }
    applyPendingAndLetGo(s);
}
