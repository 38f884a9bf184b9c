#include "midi/note_handling.h"

#include "engine/engine_math.h"
#include "engine/synth_state.h"

#include <algorithm>
#include <atomic>
#include <cmath>

namespace {

constexpr uint8_t kNoteOn = 0x90;
constexpr uint8_t kNoteOff = 0x80;
constexpr uint8_t kControlChange = 0xB0;
constexpr uint8_t kPitchBendChange = 0xE0;

constexpr uint8_t kAllSoundOff = 120;
constexpr uint8_t kAllNotesOff = 123;
constexpr uint8_t kResetAllControllers = 121;
constexpr uint8_t kPortamentoTime = 5;
constexpr uint8_t kDataEntry = 6;
constexpr uint8_t kDataEntryFine = 38;
constexpr uint8_t kSustainPedal = 64;
constexpr uint8_t kPortamentoSwitch = 65;
constexpr uint8_t kRpnFine = 100;
constexpr uint8_t kRpnCoarse = 101;
constexpr uint8_t kSwitchOn = 64; // a switch controller's value from here up is on

constexpr int32_t kBendRangeRpn = 0; // RPN 0/0: pitch bend sensitivity
constexpr int32_t kMaxBendSemitones = 24;
constexpr int32_t kCentsPerSemitone = 100;
constexpr int32_t kBendCentre = 8192;
constexpr double kFramesPerMillisecond = kSampleRate / 1000.0;

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
    if (held == 0 && s.pedalDown.get() != 0 && s.gate.get() != 0) {
        s.pedalHolds.set(1); // the pedal keeps the note until it is lifted
        return;
    }
    if (held == 0) {
        // In sequentially consistent order with the audio thread's arming
        // (see the envelope): an arming that races with this release cannot
        // outlive it.
        s.gate.value.store(0, std::memory_order_seq_cst);
        s.gateText.set("Off");
        s.envelopeArmed.value.store(0, std::memory_order_seq_cst);
        s.attackStarted.value.store(0, std::memory_order_seq_cst);
        s.heldFrequency.set(s.noteFrequency.get());
        s.heldGain.set(s.noteGain.get());
    }
}

// Every key goes up at once, as with the last note-off: the gate closes, the
// note fades out over its release and the next one is armed afresh.
// The pedal is lifted too: hosts send these to silence everything.
void releaseEveryKey(SynthState &s) {
    s.heldNoteCount.set(0);
    s.pedalDown.set(0);
    s.pedalHolds.set(0);
    noteOff(s);
}

// The gain of a note-on's velocity v (1 to 127) at sensitivity S (0 to 1):
// 1 - S + S * v / 127. It scales both how far into the window the note goes
// and its output, so a plain sine's level follows its square: at full
// sensitivity velocity 64 sounds 12 dB below 127.
double velocityGain(const SynthState &s, int velocity) {
    const int32_t percent = s.velocityPercent.get();
    if (percent <= 0)
        return 1.0;
    const double sensitivity = percent / 100.0;
    return 1.0 - sensitivity + sensitivity * std::min(velocity, 127) / 127.0; // a data byte's range
}

// Beside the synth: what a note-on asks of the pitch and level. It glides
// from the last note's pitch when the glide is on, always or, in the legato
// mode, only from a note that still sounds held.
void expressNoteOn(SynthState &s, int velocity, bool legato) {
    const int32_t ms = s.portamento.get() != 0 ? s.glideMilliseconds.get() : 0;
    const bool glides =
        ms > 0 && s.noteFrequency.get() > 0.0 && (legato || s.glideLegato.get() == 0);
    s.glideFrames.set(glides ? static_cast<int32_t>(std::lrint(ms * kFramesPerMillisecond)) : 0);
    s.noteOnSerial.set(s.noteOnSerial.get() + 1);
    if (!legato)
        s.noteGain.set(velocityGain(s, velocity));
}

void liftPedal(SynthState &s) {
    s.pedalDown.set(0);
    if (s.pedalHolds.get() != 0) {
        s.pedalHolds.set(0);
        if (s.heldNoteCount.get() == 0)
            noteOff(s); // the last-note reset, now that nothing holds the note
    }
}

// RPN 0 (pitch bend sensitivity): data entry sets its semitones, the fine
// data entry its cents; 0 to 24 semitones in all.
void setBendRange(SynthState &s, int32_t semitones, int32_t cents) {
    const int32_t range = std::min(semitones, kMaxBendSemitones) * kCentsPerSemitone +
                          std::min(cents, kCentsPerSemitone - 1);
    s.bendRangeCents.set(std::min(range, kMaxBendSemitones * kCentsPerSemitone));
}

// Beside the synth: the controllers a mono synth is played with.
void expressiveControl(SynthState &s, uint8_t controller, uint8_t value) {
    const int32_t range = s.bendRangeCents.get();
    switch (controller) {
    case kSustainPedal:
        if (value >= kSwitchOn)
            s.pedalDown.set(1);
        else
            liftPedal(s);
        break;
    case kPortamentoSwitch:
        s.portamento.set(value >= kSwitchOn ? 1 : 0);
        break;
    case kPortamentoTime:
        s.glideMilliseconds.set(
            static_cast<int32_t>(std::lrint(value * kGlideControl.max / 127.0)));
        break;
    case kRpnCoarse:
        s.rpn.set((value << 7) | (s.rpn.get() & 0x7F));
        break;
    case kRpnFine:
        s.rpn.set((s.rpn.get() & ~0x7F) | value);
        break;
    case kDataEntry:
        if (s.rpn.get() == kBendRangeRpn)
            setBendRange(s, value, range % kCentsPerSemitone);
        break;
    case kDataEntryFine:
        if (s.rpn.get() == kBendRangeRpn)
            setBendRange(s, range / kCentsPerSemitone, value);
        break;
    case kResetAllControllers:
        s.pitchBend.set(0);
        s.rpn.set(kNoRpn);
        liftPedal(s);
        break;
    default:
        break;
    }
}

void noteOn(SynthState &s, int note, int velocity) {
    const int32_t held = s.heldNoteCount.get();
    // A note played while a key or the pedal holds the gate open is legato.
    const bool legato = held > 0 || s.pedalHolds.get() != 0;
    if (s.expressive.get() != 0)
        expressNoteOn(s, velocity, legato);
    // The pitch is written before the gate, so the audio thread never opens
    // the gate on a stale pitch.
    s.noteFrequency.set(noteToFrequency(note));
    if (!legato) {
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

    // Only the channel listened to plays (channel 1 in the synth).
    const uint8_t kind = hears(s, status) ? status & 0xF0 : 0;
    if (kind == kNoteOn) {
        if (data2 != 0)
            noteOn(s, data1, data2);
        else
            noteOff(s);
    } else if (kind == kNoteOff) {
        noteOff(s);
    } else if (kind == kControlChange && (data1 == kAllSoundOff || data1 == kAllNotesOff)) {
        // Hosts send these when the transport stops or loops; All Sound Off
        // (a panic button) also silences what still sounds, within 5 ms.
        releaseEveryKey(s);
        if (data1 == kAllSoundOff)
            s.muteRequested.set(1);
    } else if (s.expressive.get() == 0) {
        // The synth plays notes only.
    } else if (kind == kControlChange) {
        expressiveControl(s, data1, data2 & 0x7F);
    } else if (kind == kPitchBendChange) {
        s.pitchBend.set(((data1 & 0x7F) | ((data2 & 0x7F) << 7)) - kBendCentre);
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

bool hears(const SynthState &s, uint8_t status) {
    const int32_t channel = s.channel.get();
    return status >= 0x80 && status < 0xF0 && (channel == 0 || (status & 0x0F) + 1 == channel);
}

double noteToFrequency(int note) {
    return engineExp2((note + (-69.0)) / 12.0) * 440.0;
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
