// No heap allocation while rendering and handling notes and tunings.
#include "engine_fixture.h"
#include "midi/tuning_messages.h"
#include "tests/support/allocation_counter.h"

namespace {

using Allocation = EngineTest;

TEST_F(Allocation, RenderingAndNoteHandlingNeverAllocate) {
    static EnvelopeSliders sliders{200, 300, 40, 200};
    setTestSliders([] { return sliders; });
    synthState.gateTextSink.set([](const char *) {});
    synthState.expressive.set(1); // the tuning messages play
    std::vector<float> buffer(4096);
    Tuning tuning;
    tuning.synthsOwn = false;

    countAllocations(true);
    for (int op = 1; op <= 13; ++op) {
        synthState.operation.set(op);
        onMidiInput(synthState, kMidiInData, shortMessage(0x90, 50 + op, 100));
        renderCallback(nullptr, buffer.data(), buffer.size(), nullptr, 0, &synthState);
        onMidiInput(synthState, kMidiInData, shortMessage(0x90, 60 + op, 100));
        const uint8_t key = 60 + op, retune[] = {0xF0, 0x7F, 0, 8, 2, 0, 1, key, 60, 0x20, 0, 0xF7};
        onSystemExclusive(synthState, retune, sizeof retune);
        renderCallback(nullptr, buffer.data(), 1000, nullptr, 0, &synthState);
        trySetTuning(synthState, op % 2 ? tuning : Tuning{});
        onMidiInput(synthState, kMidiInData, shortMessage(0x80, 60 + op, 0));
        onMidiInput(synthState, kMidiInData, shortMessage(0x80, 50 + op, 0));
        onMidiInput(synthState, kMidiInClose, 0);
        renderCallback(nullptr, buffer.data(), buffer.size(), nullptr, 0, &synthState);
    }
    countAllocations(false);

    EXPECT_EQ(countedAllocations(), 0);
    // The counter itself works.
    static int *volatile probe;
    countAllocations(true);
    probe = new int(1);
    countAllocations(false);
    delete probe;
    EXPECT_EQ(countedAllocations(), 1);
}

} // namespace
