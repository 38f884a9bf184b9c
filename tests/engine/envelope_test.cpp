#include "engine_fixture.h"

namespace {

constexpr int kFadeOut = 1001; // frames from arming to the attack start

class Envelope : public EngineTest {
  protected:
    // Opens the gate and runs the fade-out, so the next frame is attack t = 0.
    void armAndFadeOut() {
        noteOn(69);
        envelopeFrames(kFadeOut);
    }
};

TEST_F(Envelope, DefaultSlidersGiveTheDefaultLengths) {
    noteOn(69);
    envelopeFrame();
    const EnvelopeState &e = synthState.envelope;
    EXPECT_NEAR(e.attackLength, 4.79999894, 1e-8);
    EXPECT_EQ(e.decayLength, 48000.0);
    EXPECT_EQ(e.sustainTarget, 0.5);
    EXPECT_EQ(e.releaseLength, 72000.0);
}

TEST_F(Envelope, FirstNoteIsSilentThroughTheFadeOutThenAttacks) {
    noteOn(69);
    for (int n = 0; n < kFadeOut; ++n)
        ASSERT_EQ(envelopeFrame(), 0.0) << "fade-out frame " << n;

    const double attack[] = {0.0,        0.20833338, 0.41666676, 0.62500014,
                             0.83333352, 1.0416669,  0.99998750};
    for (int t = 0; t <= 6; ++t) {
        EXPECT_NEAR(envelopeFrame(), attack[t], 5e-8) << "t = " << t;
        EXPECT_EQ(synthState.releaseFrame, t);
    }
}

TEST_F(Envelope, DecayEndsAtRoundedBoundaryThenSustainsExactly) {
    armAndFadeOut();
    envelopeFrames(48005);                          // t = 0 .. 48004
    EXPECT_NEAR(envelopeFrame(), 0.49999792, 5e-9); // t = 48005
    EXPECT_EQ(envelopeFrame(), 0.5);                // t = 48006
    envelopeFrames(1000);
    EXPECT_EQ(envelopeFrame(), 0.5);
}

TEST_F(Envelope, ReleaseIsAStraightLineFromTheLastOpenLevel) {
    armAndFadeOut();
    envelopeFrames(50000); // well into the sustain
    noteOff(69);
    // k frames after the last open-gate frame: 0.5 * (72000 - k) / 72000.
    for (int k = 1; k <= 72001; ++k) {
        const double level = envelopeFrame();
        if (k == 1 || k == 36000 || k >= 71999) {
            EXPECT_DOUBLE_EQ(level, std::max(0.0, 0.5 * (72000 - k) / 72000)) << "k = " << k;
        }
    }
    EXPECT_EQ(envelopeFrame(), 0.0);
}

TEST_F(Envelope, NewNoteDuringReleaseFadesOutFromTheReleaseLevel) {
    armAndFadeOut();
    envelopeFrames(50000);
    noteOff(69);
    envelopeFrames(36000); // half the release: 0.5 * (72000 - 36000) / 72000
    EXPECT_DOUBLE_EQ(synthState.releaseLevel, 0.25);

    noteOn(72);
    EXPECT_DOUBLE_EQ(envelopeFrame(), 0.25);               // arming frame, n = 0
    EXPECT_DOUBLE_EQ(envelopeFrame(), 0.25 * (1 - 0.001)); // n = 1
    envelopeFrames(998);
    EXPECT_EQ(envelopeFrame(), 0.0); // n = 1000
    EXPECT_EQ(envelopeFrame(), 0.0); // attack t = 0
    EXPECT_EQ(synthState.frameClock, 1);
}

// Touching notes: a note-off and the next note-on between the same two frames
// leave no closed-gate frame; the fade-out starts from the level that sounded,
// with quick start too (a sounding note is never skipped).
TEST_F(Envelope, TouchingNotesFadeOutFromTheLevelThatSounded) {
    for (const int quick : {0, 1}) {
        initSynthState(synthState);
        synthState.quickStart.set(quick);
        armAndFadeOut();
        envelopeFrames(50000); // in the sustain, 0.5
        noteOff(69);
        noteOn(72);
        EXPECT_EQ(envelopeFrame(), 0.5) << "quick start " << quick; // n = 0
        EXPECT_DOUBLE_EQ(envelopeFrame(), 0.5 * (1 - 0.001));
    }
}

TEST_F(Envelope, NoteReleasedDuringTheFadeOutReleasesFromTheFadeOutLevel) {
    armAndFadeOut();
    envelopeFrames(50000);
    noteOff(69);
    envelopeFrames(100);
    const double released = 0.5 * (72000 - 100) / 72000; // 100 frames into the release
    noteOn(69);
    envelopeFrames(499);                         // n = 0 .. 498
    const double faded = (1 - 0.499) * released; // n = 499
    EXPECT_DOUBLE_EQ(envelopeFrame(), faded);
    noteOff(69);
    // The release now falls from the fade-out level over the (re-armed) release length.
    EXPECT_DOUBLE_EQ(envelopeFrame(), faded * (72000 - 1) / 72000);
}

TEST_F(Envelope, SustainExtremes) {
    struct Case {
        int sustain;
        double held;
    };
    for (const Case c : {Case{0, 0.0}, Case{100, 1.0}}) {
        initSynthState(synthState);
        static int sustain;
        sustain = c.sustain;
        setTestSliders([] { return EnvelopeSliders{1, 1000, sustain, 1500}; });
        armAndFadeOut();
        envelopeFrames(6);
        if (c.sustain == 100) {
            EXPECT_EQ(envelopeFrame(), 1.0); // the decay segment stays at 1.0
        }
        envelopeFrames(48100);
        EXPECT_EQ(envelopeFrame(), c.held) << "sustain " << c.sustain;
        noteOff(69);
        envelopeFrames(72001);
    }
}

TEST_F(Envelope, SlidersAreReadOnlyAtArming) {
    static EnvelopeSliders sliders;
    sliders = {2000, 5000, 0, 5000};
    setTestSliders([] { return sliders; });
    noteOn(60);
    envelopeFrame();
    EXPECT_NEAR(synthState.envelope.attackLength, 144000.0, 150.0); // about 3 s
    EXPECT_EQ(synthState.envelope.decayLength, 240000.0);
    EXPECT_EQ(synthState.envelope.releaseLength, 240000.0);

    sliders = {1, 1, 100, 1};
    noteOn(64); // legato: no re-arming
    envelopeFrames(2000);
    EXPECT_EQ(synthState.envelope.decayLength, 240000.0);

    noteOff(64);
    noteOff(60);
    envelopeFrame();
    noteOn(67);
    envelopeFrame();
    EXPECT_EQ(synthState.envelope.decayLength, 48.0);
    EXPECT_EQ(synthState.envelope.sustainTarget, 1.0);
}

TEST_F(Envelope, WrapGuardRestartsTheHeldNote) {
    armAndFadeOut();
    envelopeFrames(50000);
    synthState.frameClock = 2147483641;
    envelopeFrame();
    EXPECT_EQ(synthState.frameClock, 1);            // restarted at 0, then incremented
    EXPECT_NEAR(envelopeFrame(), 0.20833338, 5e-8); // the attack again

    noteOff(69);
    synthState.frameClock = 2147483641;
    EXPECT_EQ(envelopeFrame(), 0.0); // with the gate closed the level drops to 0
}

TEST_F(Envelope, NoteOnCounterStopsPastTheFadeOut) {
    armAndFadeOut();
    envelopeFrames(5000);
    EXPECT_EQ(synthState.noteOnCounter, 1001);
}

TEST_F(Envelope, SilentBeforeAnyNote) {
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(envelopeFrame(), 0.0);
}

} // namespace

namespace {

// The last attack frame overshoots 1 (4.8-frame attack, boundary at frame 5);
// a key released right there releases from that level.
TEST_F(Envelope, ReleaseFromTheAttackPeakStartsAboveOne) {
    armAndFadeOut();
    envelopeFrames(5); // t = 0 .. 4
    EXPECT_NEAR(envelopeFrame(), 1.0416669, 5e-8);
    noteOff(69);
    EXPECT_NEAR(envelopeFrame(), 1.0416669 * 71999 / 72000, 5e-8);
}

} // namespace
