// Quick start: a note armed while nothing sounds starts its attack on the
// arming frame; everything else plays as without it.
#include "engine_fixture.h"

#include <bit>
#include <functional>

namespace {

constexpr int kSkipped = kFadeOutFrames + 1; // the fade-out's frames that quick start saves

class QuickStart : public EngineTest {
  protected:
    struct Event {
        int frame; // acts just before this frame
        std::function<void()> act;
    };

    // Renders `frames` frames from a fresh engine with the given operation,
    // short envelope times and quick start on or off, acting on each event
    // just before its frame.
    static std::vector<float> renderScript(int operation, bool quick,
                                           const std::vector<Event> &events, int frames) {
        initSynthState(synthState);
        synthState.operation.set(operation);
        synthState.quickStart.set(quick ? 1 : 0);
        setTestSliders([] { return EnvelopeSliders{1, 100, 50, 100}; });
        std::vector<float> out(static_cast<size_t>(frames));
        int done = 0;
        for (const Event &e : events) {
            renderFrames(synthState, out.data() + done, static_cast<unsigned long>(e.frame - done));
            done = e.frame;
            e.act();
        }
        renderFrames(synthState, out.data() + done, static_cast<unsigned long>(frames - done));
        return out;
    }
};

// From silence (after a first note's release has ended) the note sounds from
// the frame after its note-on; from there on every sample is the normal
// engine's, 1001 frames earlier, when the normal engine gets every later event
// 1001 frames later: a legato note, the wrap guard while a note is held, a
// release, and a note during the release tail, which fades that tail out over
// the whole fade-out as before.
TEST_F(QuickStart, FromSilenceTheNoteSoundsAtOnceAndThenAsTheNormalEngine) {
    constexpr int kNoteOn = 20000; // the first note's release (4800 frames) ended long before
    constexpr int kFrames = kNoteOn + 40000;
    // Frames from the note-on to the first sound: the attack's second frame,
    // except where the operation turns the sine's first small bytes into 0.
    const int firstSound[13] = {1, 1, 1, 1, 1, 16, 17, 1, 1, 1, 1, 1, 1};
    for (int op = 1; op <= 13; ++op) {
        auto script = [](int shift) {
            const auto at = [shift](int frame) { return kNoteOn + frame + shift; };
            return std::vector<Event>{
                {1000, [] { noteOn(60); }},
                {4000, [] { noteOff(60); }},
                {kNoteOn, [] { noteOn(69); }},
                {at(3000), [] { noteOn(76); }}, // legato
                {at(6000), [] { synthState.frameClock = 2147483640; }},
                {at(9000), [] { noteOff(69); }},
                {at(10000), [] { noteOff(76); }},
                {at(12000), [] { noteOn(64); }}, // 2000 frames into the release
                {at(20000), [] { noteOff(64); }},
            };
        };
        const std::vector<float> quick = renderScript(op, true, script(0), kFrames);
        const std::vector<float> normal = renderScript(op, false, script(kSkipped), kFrames);

        int first = kNoteOn - 5000;
        while (quick[first] == 0.0f)
            ++first;
        EXPECT_EQ(first - kNoteOn, firstSound[op - 1]) << "operation " << op;
        for (int i = kNoteOn; i + kSkipped < kFrames; ++i)
            ASSERT_EQ(std::bit_cast<uint32_t>(quick[i]),
                      std::bit_cast<uint32_t>(normal[i + kSkipped]))
                << "operation " << op << ", frame " << i - kNoteOn << " after the note-on";
    }
}

TEST_F(QuickStart, TheArmingFrameIsTheAttacksFirstFrame) {
    synthState.quickStart.set(1);
    noteOn(69);
    EXPECT_EQ(render(1)[0], 0.0f); // t = 0: level 0, fade-in 0
    EXPECT_EQ(synthState.frameClock, 1);
    EXPECT_EQ(synthState.noteOnCounter, kFadeOutFrames + 1);
    EXPECT_EQ(synthState.attackStarted.get(), 1);
    EXPECT_EQ(synthState.phaseIndex, 0);
    EXPECT_EQ(synthState.periodSamples, 109); // the new pitch
    const double attack[] = {0.20833338, 0.41666676, 0.62500014, 0.83333352, 1.0416669};
    for (double level : attack)
        EXPECT_NEAR(envelopeFrame(), level, 5e-8);
    envelopeFrames(100000);
    EXPECT_EQ(synthState.noteOnCounter, kFadeOutFrames + 1);
}

// The fade-out is skipped only when it fades exactly 0.0: the smallest level
// left of a release still fades out over the whole fade-out.
TEST_F(QuickStart, AnyLevelLeftOfAReleaseStillFadesOut) {
    synthState.quickStart.set(1);
    synthState.releaseLevel = 5e-324;
    noteOn(69);
    envelopeFrame();
    EXPECT_EQ(synthState.noteOnCounter, 0);
    EXPECT_EQ(synthState.attackStarted.get(), 0);
}

} // namespace
