#include "engine_fixture.h"

#include <string>
#include <vector>

namespace {

std::vector<std::string> shown; // texts handed to status field 1

class NoteHandling : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        shown.clear();
        synthState.gateTextSink.set([](const char *text) { shown.emplace_back(text); });
    }
    static void send(uint8_t status, uint8_t note, uint8_t velocity) {
        onMidiInput(synthState, kMidiInData, shortMessage(status, note, velocity));
    }
};

TEST_F(NoteHandling, NoteOnOpensTheGate) {
    onMidiInput(synthState, kMidiInData, shortMessage(0x90, 69, 100) | 0xAB000000u); // top byte unread
    EXPECT_EQ(synthState.noteFrequency.get(), 440.0);
    EXPECT_EQ(synthState.gate.get(), 1);
    EXPECT_EQ(synthState.heldNoteCount.get(), 1);
    EXPECT_EQ(shown, std::vector<std::string>{"On"});
}

TEST_F(NoteHandling, OnlyChannelOneNotesChangeState) {
    // Other channels, controllers, pitch bend, clock, active sensing: the text
    // is shown again (empty before any note), nothing else moves.
    const uint32_t others[] = {shortMessage(0x91, 69, 100), shortMessage(0x8F, 69, 0),
                               shortMessage(0xB0, 7, 100),  shortMessage(0xE0, 0, 64),
                               shortMessage(0xF8),          shortMessage(0xFE)};
    for (uint32_t m : others)
        onMidiInput(synthState, kMidiInData, m);
    EXPECT_EQ(synthState.noteFrequency.get(), 0.0);
    EXPECT_EQ(synthState.gate.get(), 0);
    EXPECT_EQ(synthState.heldNoteCount.get(), 0);
    EXPECT_EQ(shown, std::vector<std::string>(6, ""));
}

TEST_F(NoteHandling, VelocityZeroIsANoteOff) {
    send(0x90, 60, 100);
    send(0x90, 99, 0); // any note number
    EXPECT_EQ(synthState.gate.get(), 0);
    EXPECT_EQ(synthState.heldNoteCount.get(), 0);
    EXPECT_EQ(shown.back(), "Off");
}

TEST_F(NoteHandling, LastKeyReleasedClosesTheGateAndKeepsThePitch) {
    synthState.envelopeArmed.set(1);
    synthState.attackStarted.set(1);
    send(0x90, 57, 100); // A
    send(0x90, 71, 100); // B: legato, only the pitch moves
    send(0x80, 71, 0);
    EXPECT_EQ(synthState.heldNoteCount.get(), 1);
    EXPECT_EQ(synthState.gate.get(), 1);
    EXPECT_EQ(synthState.noteFrequency.get(), noteToFrequency(71));
    EXPECT_EQ(synthState.envelopeArmed.get(), 1);

    send(0x80, 57, 0);
    EXPECT_EQ(synthState.heldNoteCount.get(), 0);
    EXPECT_EQ(synthState.gate.get(), 0);
    EXPECT_EQ(synthState.envelopeArmed.get(), 0);
    EXPECT_EQ(synthState.attackStarted.get(), 0);
    EXPECT_EQ(synthState.heldFrequency.get(), noteToFrequency(71));
    EXPECT_EQ(shown, (std::vector<std::string>{"On", "On", "On", "Off"}));
}

TEST_F(NoteHandling, NoteOffWithNothingHeldResetsAgain) {
    send(0x90, 64, 100);
    send(0x80, 64, 0);
    synthState.envelopeArmed.set(1);
    synthState.gate.set(1);
    send(0x80, 30, 0);
    EXPECT_EQ(synthState.heldNoteCount.get(), 0);
    EXPECT_EQ(synthState.gate.get(), 0);
    EXPECT_EQ(synthState.envelopeArmed.get(), 0);
    EXPECT_EQ(synthState.heldFrequency.get(), noteToFrequency(64));
}

// A device closed (or gone) while keys are held: the close is the last
// note-off, so the next note has its fade-out and attack again.
TEST_F(NoteHandling, CloseReleasesEveryKeyAsTheLastNoteOffDoes) {
    send(0x90, 60, 100);
    send(0x90, 62, 100);
    synthState.envelopeArmed.set(1);
    synthState.attackStarted.set(1);

    onMidiInput(synthState, kMidiInClose, 0);
    EXPECT_EQ(synthState.heldNoteCount.get(), 0);
    EXPECT_EQ(synthState.gate.get(), 0);
    EXPECT_EQ(shown.back(), "Off");
    EXPECT_EQ(synthState.envelopeArmed.get(), 0);
    EXPECT_EQ(synthState.attackStarted.get(), 0);
    EXPECT_EQ(synthState.heldFrequency.get(), noteToFrequency(62));
}

// Hosts send these when their transport stops: held keys go up as on the
// last note-off, so the next note has its fade-out and attack again.
TEST_F(NoteHandling, AllSoundOffAndAllNotesOffReleaseEveryKey) {
    for (uint8_t controller : {120, 123}) {
        SetUp();
        send(0x90, 60, 100);
        send(0x90, 62, 100);
        synthState.envelopeArmed.set(1);
        synthState.attackStarted.set(1);
        send(0xB1, controller, 0); // channel 2: nothing
        EXPECT_EQ(synthState.heldNoteCount.get(), 2);
        send(0xB0, controller, 0);
        EXPECT_EQ(synthState.heldNoteCount.get(), 0) << int{controller};
        EXPECT_EQ(synthState.gate.get(), 0);
        EXPECT_EQ(synthState.envelopeArmed.get(), 0);
        EXPECT_EQ(synthState.attackStarted.get(), 0);
        EXPECT_EQ(synthState.heldFrequency.get(), noteToFrequency(62));
        EXPECT_EQ(shown.back(), "Off");
    }
}

// Out of the box a glide, once given a time, joins detached notes too:
// 100 ms is 4800 frames.
TEST_F(NoteHandling, AFreshRecordGlidesBetweenDetachedNotes) {
    synthState.expressive.set(1);
    synthState.glideMilliseconds.set(100);
    send(0x90, 57, 100);
    send(0x80, 57, 0);
    send(0x90, 69, 100);
    EXPECT_EQ(synthState.glideFrames.get(), 4800);
}

// Beside the synth, what a player's controllers leave in the note state: RPN
// 0's fine entry tops at 99 cents, CC 5 at 64 is 64 * 5000 / 127 ms, CC 121
// centres the wheel, a lifted pedal holds nothing, and a note played while
// the pedal holds one is legato, keeping that note's velocity gain, which the
// last key up keeps for the fade-out.
TEST_F(NoteHandling, ControllersSetTheExpressiveState) {
    struct Row {
        std::vector<uint32_t> messages;
        int32_t bendRangeCents, glideMs, bend, pedalHolds;
        double noteGain, heldGain; // at full sensitivity: velocity / 127
    };
    const uint32_t pedal = shortMessage(0xB0, 64, 127), on60 = shortMessage(0x90, 60, 127),
                   off60 = shortMessage(0x80, 60), on62 = shortMessage(0x90, 62, 64),
                   off62 = shortMessage(0x80, 62);
    const auto cc = [](uint8_t controller, uint8_t value) {
        return shortMessage(0xB0, controller, value);
    };
    const Row rows[] = {{{cc(101, 0), cc(100, 0), cc(6, 0), cc(38, 127)}, 99, 0, 0, 0, 1.0, 1.0},
                        {{cc(5, 64)}, 200, 2520, 0, 0, 1.0, 1.0},
                        {{shortMessage(0xE0, 0, 0x60), cc(121, 0)}, 200, 0, 0, 0, 1.0, 1.0},
                        {{pedal, on60, off60, cc(64, 0)}, 200, 0, 0, 0, 1.0, 1.0},
                        {{pedal, on60, off60, on62}, 200, 0, 0, 1, 1.0, 1.0},
                        {{on62, off62}, 200, 0, 0, 0, 64 / 127.0, 64 / 127.0}};
    for (const Row &r : rows) {
        SetUp();
        synthState.expressive.set(1);
        synthState.velocityPercent.set(100);
        for (uint32_t m : r.messages)
            onMidiInput(synthState, kMidiInData, m);
        const auto row = &r - rows;
        EXPECT_EQ(synthState.bendRangeCents.get(), r.bendRangeCents) << row;
        EXPECT_EQ(synthState.glideMilliseconds.get(), r.glideMs) << row;
        EXPECT_EQ(synthState.pitchBend.get(), r.bend) << row;
        EXPECT_EQ(synthState.pedalHolds.get(), r.pedalHolds) << row;
        EXPECT_DOUBLE_EQ(synthState.noteGain.get(), r.noteGain) << row;
        EXPECT_DOUBLE_EQ(synthState.heldGain.get(), r.heldGain) << row;
    }
}

TEST_F(NoteHandling, OtherMessageCodesAreIgnored) {
    onMidiInput(synthState, kMidiInOpen, shortMessage(0x90, 60, 100));
    onMidiInput(synthState, 0x3C5, shortMessage(0x90, 60, 100));
    EXPECT_EQ(synthState.gate.get(), 0);
    EXPECT_TRUE(shown.empty());
}

} // namespace
