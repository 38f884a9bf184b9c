#pragma once

#include "engine/envelope.h"
#include "app/stream_callback.h"
#include "engine/synth_state.h"
#include "midi/note_handling.h"

#include <gtest/gtest.h>

#include <vector>

// The record the engine tests drive; each test starts it afresh.
inline SynthState synthState;

// Makes `read` the envelope's slider source (nullptr: the defaults).
inline EnvelopeSliders (*testSliders)() = nullptr;
inline void setTestSliders(EnvelopeSliders (*read)()) {
    testSliders = read;
    synthState.sliderSource = read ? EnvelopeSliderSource{[](const void *) { return testSliders(); }}
                                   : EnvelopeSliderSource{};
}

// Every engine test starts from the start-up state with the default sliders.
class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        initSynthState(synthState);
        setTestSliders(nullptr);
        synthState.gateTextSink.set(nullptr);
    }
    void TearDown() override {
        setTestSliders(nullptr);
        synthState.gateTextSink.set(nullptr);
    }

    // One frame of the envelope as the render callback drives it; returns its level.
    static double envelopeFrame() {
        envelopeStep(synthState, synthState.frameClock);
        ++synthState.frameClock;
        return synthState.envelope.level;
    }
    static void envelopeFrames(int count) {
        for (int i = 0; i < count; ++i)
            envelopeFrame();
    }

    static std::vector<float> render(unsigned long frames) {
        std::vector<float> out(frames);
        EXPECT_EQ(renderCallback(nullptr, out.data(), frames, nullptr, 0, &synthState), paContinue);
        return out;
    }

    static void noteOn(int note) { onMidiInput(synthState, kMidiInData, shortMessage(0x90, note, 100)); }
    static void noteOff(int note) { onMidiInput(synthState, kMidiInData, shortMessage(0x80, note, 0)); }
};
