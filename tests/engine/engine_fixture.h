#pragma once

#include "engine/envelope.h"
#include "engine/render_callback.h"
#include "engine/synth_state.h"
#include "midi/note_handling.h"

#include <gtest/gtest.h>

#include <vector>

// Every engine test starts from the start-up state with the default sliders.
class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        initSynthState();
        setEnvelopeSliderSource(nullptr);
        setGateTextSink(nullptr);
    }
    void TearDown() override {
        setEnvelopeSliderSource(nullptr);
        setGateTextSink(nullptr);
    }

    // One frame of the envelope as the render callback drives it; returns its level.
    static double envelopeFrame() {
        envelopeStep(synthState.frameClock);
        ++synthState.frameClock;
        return synthState.envelope.level;
    }
    static void envelopeFrames(int count) {
        for (int i = 0; i < count; ++i)
            envelopeFrame();
    }

    static std::vector<float> render(unsigned long frames) {
        std::vector<float> out(frames);
        EXPECT_EQ(renderCallback(nullptr, out.data(), frames, nullptr, 0, nullptr), paContinue);
        return out;
    }

    static void noteOn(int note) { onMidiInput(kMidiInData, shortMessage(0x90, note, 100)); }
    static void noteOff(int note) { onMidiInput(kMidiInData, shortMessage(0x80, note, 0)); }
};
