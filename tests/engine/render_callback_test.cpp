#include "engine_fixture.h"
#include "tests/support/steps.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace {

using RenderCallback = EngineTest;

TEST(FadeIn, FactorsByFrame) {
    struct Case {
        int c;
        float factor;
    };
    const Case cases[] = {{0, 0.0f},         {1, 1.0e-10f}, {10, 1.0e-5f}, {50, 0.03125f},
                          {99, 0.95099008f}, {100, 1.0f},   {101, 1.0f},   {2147483641, 1.0f}};
    for (const Case &c : cases)
        EXPECT_FLOAT_EQ(fadeInFactor(c.c), c.factor) << "c = " << c.c;
}

TEST_F(RenderCallback, ZeroFramesWriteNothing) {
    float sentinel = 42.0f;
    EXPECT_EQ(renderCallback(nullptr, &sentinel, 0, nullptr, 0, &synthState), paContinue);
    EXPECT_EQ(sentinel, 42.0f);
    EXPECT_EQ(synthState.frameClock, 0);
}

TEST_F(RenderCallback, SilenceBeforeTheFirstNote) {
    for (float v : render(4800))
        ASSERT_EQ(v, 0.0f);
    EXPECT_EQ(synthState.frameClock, 4800);
}

TEST_F(RenderCallback, FrameClockContinuesAcrossCallbacks) {
    render(37);
    render(1);
    render(500);
    EXPECT_EQ(synthState.frameClock, 538);
}

TEST_F(RenderCallback, FirstNoteStartsAfter1001SilentFramesAtPhaseZero) {
    render(3000);
    noteOn(69);
    const std::vector<float> out = render(1001 + 200);
    for (int i = 0; i < 1001; ++i)
        ASSERT_EQ(out[i], 0.0f) << "fade-out frame " << i;
    EXPECT_EQ(out[1001], 0.0f); // the attack's first frame: fade-in factor 0
    EXPECT_EQ(synthState.frameClock, 200);
    EXPECT_EQ(synthState.periodSamples, 109);

    const int nonZero =
        std::count_if(out.begin() + 1002, out.end(), [](float v) { return v != 0.0f; });
    EXPECT_GT(nonZero, 150);
}

TEST_F(RenderCallback, OutputIsShapedSampleTimesLevelTimesFadeIn) {
    noteOn(60);
    render(1001 + 7); // into the attack: c = 7 next
    for (int i = 0; i < 200; ++i) {
        const int32_t c = synthState.frameClock;
        std::vector<float> one = render(1);
        const double expected =
            synthState.shapedSample * synthState.envelope.level * fadeInFactor(c);
        ASSERT_EQ(one[0], static_cast<float>(expected)) << "c = " << c;
    }
}

TEST_F(RenderCallback, LegatoChangesOnlyThePitch) {
    noteOn(60);
    render(1001 + 3000);
    const int32_t clock = synthState.frameClock;
    noteOn(72);
    render(10);
    EXPECT_EQ(synthState.frameClock, clock + 10); // no new attack
    EXPECT_EQ(synthState.noteOnCounter, 1001);
    EXPECT_EQ(synthState.periodSamples, 92); // 48000 / 523.25
    EXPECT_EQ(synthState.heldNoteCount.get(), 2);
}

TEST_F(RenderCallback, OutputStaysFiniteAndWithinByteScale) {
    const float bound = 128.0f / 127.0f;
    for (int op = 1; op <= 13; ++op) {
        initSynthState(synthState);
        synthState.operation.set(op);
        synthState.rangeTop.set(243);
        synthState.rangeBottom.set(4);
        noteOn(40 + op * 5);
        for (float v : render(1001 + 6000))
            ASSERT_TRUE(std::isfinite(v) && std::fabs(v) <= bound) << "operation " << op;
        noteOff(40 + op * 5);
    }
}

// All Sound Off mutes: the output falls to 0 within 5 ms without a click and
// stays silent; All Notes Off releases, and the release sounds on.
TEST_F(RenderCallback, AllSoundOffFallsSilentWithin5MsAllNotesOffReleases) {
    for (const uint8_t controller : {120, 123}) {
        initSynthState(synthState);
        synthState.staticOperand.set(0); // OR with 0: the smooth sine
        noteOn(69);
        std::vector<float> out = render(1001 + 9600);
        onMidiInput(synthState, kMidiInData, shortMessage(0xB0, controller, 0));
        const size_t at = out.size();
        for (float v : render(48000))
            out.push_back(v);
        const auto loud = std::find_if(out.begin() + at + kMuteFrames, out.end(),
                                       [](float v) { return v != 0.0f; });
        if (controller == 120) {
            EXPECT_LE(largestStep(out.data(), at, at + kMuteFrames),
                      largestStep(out.data(), at - 4800, at));
            EXPECT_EQ(loud, out.end()) << "sound at " << loud - out.begin() - at;
            noteOn(69); // from silence: no fade-out of what the mute cut off
            EXPECT_EQ(render(1001), std::vector<float>(1001, 0.0f));
            EXPECT_NE(render(100), std::vector<float>(100, 0.0f));
        } else {
            EXPECT_LT(loud - out.begin() - at, kMuteFrames + 10);
        }
    }
}

// A note pressed during the fall: the fall ends in silence, and the note
// starts from there with a fade-out of silence, not of what the mute cut off.
TEST_F(RenderCallback, NotePressedDuringTheFallStartsFromSilence) {
    noteOn(69);
    render(1001 + 9600);
    onMidiInput(synthState, kMidiInData, shortMessage(0xB0, 120, 0));
    render(kMuteFrames / 2);
    noteOn(72);
    const std::vector<float> out = render(kMuteFrames / 2 + 1002 + 100);
    EXPECT_EQ(std::vector<float>(out.begin() + kMuteFrames / 2, out.end() - 100),
              std::vector<float>(1002, 0.0f)); // 1001 frames of fade-out, then fade-in factor 0
    EXPECT_NE(std::vector<float>(out.end() - 100, out.end()), std::vector<float>(100, 0.0f));
}

// A render in one piece equals, bit for bit, the same render in buffers of
// random sizes, with the same messages arriving between buffers.
TEST_F(RenderCallback, BufferSplitDoesNotChangeTheOutput) {
    struct Message {
        unsigned long frame;
        uint32_t message;
    };
    std::mt19937 random(1234);
    const unsigned long total = 200000;
    std::vector<Message> messages;
    for (unsigned long f = 500; f < total; f += 3000 + random() % 9000) {
        const uint8_t note = 36 + random() % 60;
        const uint8_t status = random() % 3 ? 0x90 : 0x80;
        messages.push_back({f, shortMessage(status, note, random() % 2 ? 100 : 0)});
    }

    auto renderWith = [&](auto nextBufferSize) {
        initSynthState(synthState);
        synthState.operation.set(7);
        std::vector<float> out(total);
        unsigned long done = 0;
        size_t next = 0;
        while (done < total) {
            while (next < messages.size() && messages[next].frame == done)
                onMidiInput(synthState, kMidiInData, messages[next++].message);
            unsigned long until = next < messages.size() ? messages[next].frame : total;
            const unsigned long n = std::min(until - done, nextBufferSize());
            renderCallback(nullptr, out.data() + done, n, nullptr, 0, &synthState);
            done += n;
        }
        return out;
    };

    const std::vector<float> whole = renderWith([] { return ~0ul; });
    const std::vector<float> split = renderWith([&] { return 1 + random() % 700ul; });
    ASSERT_EQ(whole.size(), split.size());
    for (size_t i = 0; i < whole.size(); ++i)
        ASSERT_EQ(whole[i], split[i]) << "frame " << i;
    EXPECT_GT(std::count_if(whole.begin(), whole.end(), [](float v) { return v != 0.0f; }), 10000);
}

} // namespace
