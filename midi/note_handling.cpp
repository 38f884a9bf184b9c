#include "midi/note_handling.h"

#include "engine/engine_math.h"
#include "engine/synth_state.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <iterator>

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
constexpr uint8_t kNrpnFine = 98;
constexpr uint8_t kNrpnCoarse = 99;
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
    case kNrpnCoarse:
    case kNrpnFine:
        // Data entry now goes to a non-registered parameter, none of ours.
        s.rpn.set(kNoRpn);
        break;
    case kDataEntry:
        // A new coarse value clears the fine one, as MIDI 1.0 asks of a receiver.
        if (s.rpn.get() == kBendRangeRpn)
            setBendRange(s, value, 0);
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
    // the gate on a stale pitch. Under a tuning an unmapped key's is 0: silence.
    const int32_t key = note & 0x7F;
    s.tuning.soundingKey = key;
    s.noteFrequency.set(s.tuned.get() != 0 ? s.tuning.keyHz[key] : noteToFrequency(note));
    if (!legato) {
        s.gate.set(1);
        s.gateText.set("On");
    }
    s.heldNoteCount.set(held + 1);
}

// A close, and the release of a change of channel, travel in the queue as
// messages no short message can be (those use the low three bytes).
constexpr uint32_t kCloseMessage = 0xFF000000u;
constexpr uint32_t kChannelChangeMessage = 0xFE000000u;

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
    } else if (message == kChannelChangeMessage) {
        // The keys and the pedal down now would send their ends on the old
        // channel, which is no longer heard. With nothing down nothing changes.
        if (s.heldNoteCount.get() != 0 || s.pedalDown.get() != 0 || s.gate.get() != 0) {
            releaseEveryKey(s);
            showGateText(s);
        }
    } else {
        applyShortMessage(s, message);
    }
}

// What ends a note among the messages the queue had no room for, kept at a
// place in PendingMessages::keptEnds: the note-offs counted from bit 8, the
// rest as flags. Ends commute with one another (a note-off counts down to no
// lower than 0 whichever comes first), so a count and three flags keep all
// those at one place; their order with the messages around them is the place.
constexpr uint32_t kEndEveryKey = 1; // a close, a change of channel, All Notes Off
constexpr uint32_t kEndSound = 2;    // All Sound Off (with kEndEveryKey)
constexpr uint32_t kEndPedal = 4;    // the pedal lifted, by CC 64 or CC 121
constexpr uint32_t kEndFlags = 0xFF;
constexpr uint32_t kNoteOffShift = 8;
constexpr uint32_t kMostNoteOffs = 0xFFFFFFu; // the count's 24 bits full

// The key of a note-on (or, with `on` false, of a note-off) on the channel
// listened to; -1 for any other message.
int keyOf(const SynthState &s, uint32_t item, bool on) {
    const uint8_t status = item & 0xFF;
    const uint8_t data2 = (item >> 16) & 0xFF;
    const uint8_t kind = item <= 0xFFFFFFu && hears(s, status) ? status & 0xF0 : 0;
    const bool isOn = kind == kNoteOn && data2 != 0;
    const bool isOff = kind == kNoteOff || (kind == kNoteOn && data2 == 0);
    return (on ? isOn : isOff) ? (item >> 8) & 0x7F : -1;
}

uint32_t endOf(const SynthState &s, uint32_t item) {
    if (item == kCloseMessage || item == kChannelChangeMessage)
        return kEndEveryKey;
    if (keyOf(s, item, false) >= 0)
        return 1u << kNoteOffShift;
    const uint8_t status = item & 0xFF;
    const uint8_t data1 = (item >> 8) & 0xFF;
    const uint8_t data2 = (item >> 16) & 0xFF;
    if (!hears(s, status) || (status & 0xF0) != kControlChange)
        return 0;
    if (data1 == kAllSoundOff)
        return kEndEveryKey | kEndSound;
    if (data1 == kAllNotesOff)
        return kEndEveryKey;
    const bool lifts =
        (data1 == kSustainPedal && (data2 & 0x7F) < kSwitchOn) || data1 == kResetAllControllers;
    return lifts && s.expressive.get() != 0 ? kEndPedal : 0;
}

// Both sets of ends in one; past the count's reach every key goes up, which
// ends at least as much.
uint32_t mergeEnds(uint32_t a, uint32_t b) {
    const uint32_t flags = (a | b) & kEndFlags;
    const uint32_t noteOffs = (a >> kNoteOffShift) + (b >> kNoteOffShift);
    if (noteOffs > kMostNoteOffs)
        return flags | kEndEveryKey | (kMostNoteOffs << kNoteOffShift);
    return flags | (noteOffs << kNoteOffShift);
}

// As many note-offs, then the pedal lifted, then every key released: the
// order of ends changes nothing.
void applyEnds(SynthState &s, uint32_t ends) {
    if (const int32_t noteOffs = static_cast<int32_t>(ends >> kNoteOffShift); noteOffs > 0) {
        // All but the last only count down.
        s.heldNoteCount.set(std::max(0, s.heldNoteCount.get() - (noteOffs - 1)));
        noteOff(s);
    }
    if (ends & kEndPedal)
        liftPedal(s);
    if (ends & kEndEveryKey)
        releaseEveryKey(s);
    if (ends & kEndSound)
        s.muteRequested.set(1);
    showGateText(s);
}

// The word that keeps the ends at `place`, and its value while it serves that
// place with nothing kept.
std::atomic<uint64_t> &keptEndsAt(PendingMessages &q, uint32_t place) {
    return q.keptEnds[place % kKeptEndPlaces];
}
constexpr uint64_t serving(uint32_t place) {
    return uint64_t{place} << 32;
}

// Keeps `ends` at `place`: after the message added before it, before the one
// added at it. False when the word no longer serves `place`: the holder took
// the message there meanwhile, which made room in the queue. (It served
// `place` already when the queue was full, as the holder had reached
// place - 64; an older value seen is only a stale look, and a retry's.)
// Sequentially consistent, as is the publishing of a queued message: see
// applyPendingAndLetGo.
bool keepEndsAt(PendingMessages &q, uint32_t place, uint32_t ends) {
    std::atomic<uint64_t> &word = keptEndsAt(q, place);
    uint64_t kept = word.load(std::memory_order_relaxed);
    do {
        if (kept >> 32 != place)
            return false;
    } while (!word.compare_exchange_weak(kept, serving(place) | mergeEnds(uint32_t(kept), ends),
                                         std::memory_order_seq_cst, std::memory_order_relaxed));
    return true;
}

// The queue of pending messages, after D. Vyukov's bounded queue: an adding
// thread claims a slot by its count and publishes it by its sequence number;
// only the thread holding the note state empties it. Never waits. When full,
// `fullAt` is the place the message would have had.
bool addPending(PendingMessages &q, uint32_t message, uint32_t &fullAt) {
    uint32_t at = q.added.load(std::memory_order_relaxed);
    for (;;) {
        const uint32_t slot = at % kPendingMessageCount;
        const auto lead =
            static_cast<int32_t>(q.sequence[slot].load(std::memory_order_acquire) - at);
        if (lead < 0) {
            fullAt = at; // the holder has been held up for 64 messages
            return false;
        }
        if (lead > 0) {
            at = q.added.load(std::memory_order_relaxed);
        } else if (q.added.compare_exchange_weak(at, at + 1, std::memory_order_relaxed)) {
            q.message[slot] = message;
            q.sequence[slot].store(at + 1, std::memory_order_seq_cst);
            return true;
        }
    }
}

// Moves a key's count of dropped note-ons by `step` (1 or -1) within 0 to
// 255; false when it cannot.
bool stepDroppedNoteOns(std::atomic<uint8_t> &count, int step) {
    uint8_t now = count.load(std::memory_order_relaxed);
    do {
        if (now + step < 0 || now + step > 0xFF)
            return false;
    } while (!count.compare_exchange_weak(now, static_cast<uint8_t>(now + step),
                                          std::memory_order_relaxed));
    return true;
}

// Leaves a message for the thread holding the note state. With the queue
// full, what ends a note is kept at its place in the order, so that no note
// hangs and none played after it is ended; the rest is dropped, and a
// dropped note-on is counted on its key (see isNoteOffOfDroppedNoteOn).
// Each retry follows a message the holder took: lock-free, and never waiting
// for the holder.
void leave(SynthState &s, uint32_t item) {
    PendingMessages &q = s.pendingMessages;
    uint32_t fullAt;
    while (!addPending(q, item, fullAt)) {
        if (const uint32_t end = endOf(s, item)) {
            if (keepEndsAt(q, fullAt, end))
                return;
            // The holder took the message at that place meanwhile: room again.
        } else {
            if (const int key = keyOf(s, item, true); key >= 0)
                stepDroppedNoteOns(q.droppedNoteOns[key], 1);
            return;
        }
    }
}

// Whether `item` is a note-off whose note-on the full queue dropped: then it
// is dropped too, as the held keys are counted, not named, and it would
// release a key still held. Decided as messages arrive, in the order they
// were played. An end of every key forgets the dropped note-ons, as it ends
// their notes: a later note-off of theirs counts down as it would had nothing
// been dropped.
bool isNoteOffOfDroppedNoteOn(SynthState &s, uint32_t item) {
    PendingMessages &q = s.pendingMessages;
    if (endOf(s, item) & kEndEveryKey)
        for (std::atomic<uint8_t> &dropped : q.droppedNoteOns)
            dropped.store(0, std::memory_order_relaxed);
    const int key = keyOf(s, item, false);
    return key >= 0 && stepDroppedNoteOns(q.droppedNoteOns[key], -1);
}

// Applies what others left, in their order: at each place the ends kept
// there, then the message. The ends are taken as the word moves on to its
// next place, so an end kept later for this place finds it passed and goes
// into the queue (after this message) instead. With no message published at
// the place yet (none added, or one still being written), the ends kept there
// apply now and the place stays open: they come before that message.
void applyLeft(SynthState &s) {
    PendingMessages &q = s.pendingMessages;
    for (;;) {
        const uint32_t at = q.taken.load(std::memory_order_relaxed);
        const uint32_t slot = at % kPendingMessageCount;
        std::atomic<uint64_t> &kept = keptEndsAt(q, at);
        if (q.sequence[slot].load(std::memory_order_acquire) != at + 1) {
            if (uint32_t(kept.load(std::memory_order_seq_cst)) != 0)
                applyEnds(s, uint32_t(kept.exchange(serving(at), std::memory_order_seq_cst)));
            return;
        }
        if (const auto ends =
                uint32_t(kept.exchange(serving(at + kKeptEndPlaces), std::memory_order_seq_cst)))
            applyEnds(s, ends);
        const uint32_t message = q.message[slot];
        q.taken.store(at + 1, std::memory_order_relaxed);
        q.sequence[slot].store(at + kPendingMessageCount, std::memory_order_release);
        apply(s, message);
    }
}

// Sequentially consistent with the publishing, the keeping and the letting
// go: a holder that lets go after an adder failed to take over sees what it
// left.
bool anyPending(PendingMessages &q) {
    const uint32_t at = q.taken.load(std::memory_order_relaxed);
    return q.sequence[at % kPendingMessageCount].load(std::memory_order_seq_cst) == at + 1 ||
           uint32_t(keptEndsAt(q, at).load(std::memory_order_seq_cst)) != 0;
}

bool takeNoteState(SynthState &s) {
    return s.noteStateTaken.value.exchange(1, std::memory_order_seq_cst) == 0;
}

// Applies what others left, lets go, and looks again: a message added just
// before the letting go is applied by this thread or the one that takes over.
void applyPendingAndLetGo(SynthState &s) {
    do {
        applyLeft(s);
        s.noteStateTaken.value.store(0, std::memory_order_seq_cst);
    } while (anyPending(s.pendingMessages) && takeNoteState(s));
}

// A message for the note handling, applied at once or, while another thread
// holds the note state, by that thread before it lets go.
void deliver(SynthState &s, uint32_t item) {
    if (isNoteOffOfDroppedNoteOn(s, item))
        return;
    if (takeNoteState(s)) {
        applyLeft(s); // messages left earlier go first
        apply(s, item);
    } else {
        // Another thread changes the note state: it applies this before it
        // lets go, unless it let go since; then this thread takes over.
        leave(s, item);
        if (!takeNoteState(s))
            return;
    }
    applyPendingAndLetGo(s);
}

} // namespace

bool changeNoteStateIfFree(SynthState &s, NoteStateChange change, const void *what) {
    if (!takeNoteState(s))
        return false;
    applyLeft(s); // messages left earlier go first
    change(s, what);
    applyPendingAndLetGo(s);
    return true;
}

bool hears(const SynthState &s, uint8_t status) {
    const int32_t channel = s.channel.get();
    return status >= 0x80 && status < 0xF0 && (channel == 0 || (status & 0x0F) + 1 == channel);
}

bool handlesController(uint8_t number) {
    constexpr uint8_t kHandled[] = {kAllSoundOff,    kAllNotesOff,      kResetAllControllers,
                                    kPortamentoTime, kDataEntry,        kDataEntryFine,
                                    kSustainPedal,   kPortamentoSwitch, kNrpnFine,
                                    kNrpnCoarse,     kRpnFine,          kRpnCoarse};
    return std::find(std::begin(kHandled), std::end(kHandled), number) != std::end(kHandled);
}

double noteToFrequency(int note) {
    return equalTemperedHz(note);
}

void showFaultInsteadOfGate(SynthState &s, const char *text) {
    s.gateFault.set(text);
    showGateText(s);
}

void onMidiInput(SynthState &s, uint32_t message, uint32_t shortMsg) {
    if (message != kMidiInClose && message != kMidiInData)
        return;
    deliver(s, message == kMidiInClose ? kCloseMessage : (shortMsg & 0xFFFFFFu));
}

void listenToChannel(SynthState &s, int32_t channel) {
    if (channel == s.channel.get())
        return;
    s.channel.set(channel);
    deliver(s, kChannelChangeMessage);
}
