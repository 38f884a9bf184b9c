// Frames per second of the render callback: a held note under each bit
// operation, and silence (no note yet). Items processed are frames.
#include "engine/render_callback.h"
#include "engine/synth_state.h"
#include "midi/note_handling.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr unsigned long kBufferFrames = 256; // a typical JACK period

SynthState engine;

void renderBuffers(benchmark::State &state) {
    std::vector<float> buffer(kBufferFrames);
    for (auto _ : state) {
        renderFrames(engine, buffer.data(), kBufferFrames);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBufferFrames));
}

void BM_HeldNote(benchmark::State &state) {
    initSynthState(engine);
    engine.operation.set(static_cast<int32_t>(state.range(0)));
    onMidiInput(engine, kMidiInData, shortMessage(0x90, 69, 100));
    std::vector<float> warmUp(2000); // past the fade-out, into the attack
    renderFrames(engine, warmUp.data(), warmUp.size());
    renderBuffers(state);
}
BENCHMARK(BM_HeldNote)->DenseRange(1, 13)->ArgName("operation");

void BM_Silence(benchmark::State &state) {
    initSynthState(engine);
    renderBuffers(state);
}
BENCHMARK(BM_Silence);

} // namespace

BENCHMARK_MAIN();
