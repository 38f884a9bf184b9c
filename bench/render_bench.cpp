// Frames per second of the render callback: a held note under each bit
// operation, a held note bent all the while, tuned or not, and silence (no note yet); then the same
// through the LV2 plugin, loaded by a lilv host as hosts load it, and the CLAP plugin, loaded by a
// small CLAP host, for the cost of their wrapping. Items processed are frames.
#include "tests/support/lv2_host.h"
#ifdef ONDRILUX_CLAP_FILE
#include "tests/support/clap_host.h"
#endif

#include "engine/render_callback.h"
#include "engine/synth_state.h"
#include "midi/note_handling.h"
#include "midi/tuning_messages.h"
#include "plugins/controls/control_ports.h"
#include "plugins/lv2/plugin_uri.h"

#include <benchmark/benchmark.h>

#include <cmath>
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

// A held note as the programs beside the synth play it, its pitch bend left
// centred (bending 0) or changing before every block (bending 1), as a
// wheel moved all the while sends it; under a tuning (19 equal steps an
// octave), `tuned`.
void heldNoteBent(benchmark::State &state, bool tuned) {
    initSynthState(engine);
    engine.expressive.set(1);
    if (tuned) {
        Tuning nineteen;
        for (int key = 0; key < kKeyCount; ++key)
            nineteen.keyHz[key] = 261.6255653 * std::exp2((key - 60) / 19.0);
        nineteen.synthsOwn = false;
        setTuning(engine, nineteen);
    }
    onMidiInput(engine, kMidiInData, shortMessage(0x90, 69, 100));
    std::vector<float> warmUp(2000);
    renderFrames(engine, warmUp.data(), warmUp.size());
    std::vector<float> buffer(kBufferFrames);
    uint32_t bend = 8192;
    for (auto _ : state) {
        if (state.range(0) != 0) {
            bend = 8192 + (bend + 97) % 8192; // up and up, then from the centre again
            onMidiInput(engine, kMidiInData,
                        shortMessage(0xE0, static_cast<uint8_t>(bend & 0x7F),
                                     static_cast<uint8_t>(bend >> 7)));
        }
        renderFrames(engine, buffer.data(), kBufferFrames);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBufferFrames));
}
void BM_HeldNoteBent(benchmark::State &state) {
    heldNoteBent(state, false);
}
BENCHMARK(BM_HeldNoteBent)->Arg(0)->Arg(1)->ArgName("bending");

void BM_HeldNoteTuned(benchmark::State &state) {
    heldNoteBent(state, true);
}
BENCHMARK(BM_HeldNoteTuned)->Arg(0)->Arg(1)->ArgName("bending");

void BM_Silence(benchmark::State &state) {
    initSynthState(engine);
    renderBuffers(state);
}
BENCHMARK(BM_Silence);

// The plugin at the engine's rate, in blocks of the same length; the held
// note's event comes in the first block, as a host's would. Without
// `levelShown` its level port is left unconnected, as where no panel is open.
void pluginHeldNote(benchmark::State &state, int operation, bool levelShown) {
    Lv2Instance plugin(ONDRILUX_LV2_PATH, kPluginUri, kSampleRate);
    if (!plugin.ok()) {
        state.SkipWithError("the plugin does not load");
        return;
    }
    plugin.control("operation") = static_cast<float>(operation);
    plugin.control("quick_start") = 0.0f;
    if (!levelShown)
        plugin.disconnect("level");
    plugin.activate();
    std::vector<float> buffer(kBufferFrames);
    plugin.addEvent(0, {0x90, 69, 100});
    for (int i = 0; i < 8; ++i) { // past the fade-out, into the attack
        plugin.run(buffer.data(), kBufferFrames);
        plugin.clearEvents();
    }
    for (auto _ : state) {
        plugin.run(buffer.data(), kBufferFrames);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBufferFrames));
}

void BM_PluginHeldNote(benchmark::State &state) {
    pluginHeldNote(state, static_cast<int>(state.range(0)), true);
}
BENCHMARK(BM_PluginHeldNote)->DenseRange(1, 13)->ArgName("operation");

// The same run with the panel's level port connected (a panel open) or not:
// one float more written a block.
void BM_PluginLevelPort(benchmark::State &state) {
    pluginHeldNote(state, 1, state.range(0) != 0);
}
BENCHMARK(BM_PluginLevelPort)->Arg(0)->Arg(1)->ArgName("connected");

#ifdef ONDRILUX_CLAP_FILE
// The same through the CLAP plugin, its controls set by parameter events.
void BM_ClapHeldNote(benchmark::State &state) {
    ClapInstance plugin(ONDRILUX_CLAP_FILE, "org.ondrilux.ondrilux");
    if (!plugin.ok() || !plugin.activate(kSampleRate)) {
        state.SkipWithError("the CLAP plugin does not load");
        return;
    }
    plugin.addParam(0, kOperationPort, static_cast<double>(state.range(0)));
    plugin.addParam(0, kQuickStartPort, 0.0);
    const uint8_t note[] = {0x90, 69, 100};
    plugin.addMidi(0, note, sizeof note);
    std::vector<float> buffer(kBufferFrames);
    for (int i = 0; i < 8; ++i) { // past the fade-out, into the attack
        plugin.process(buffer.data(), kBufferFrames);
        plugin.clearEvents();
    }
    for (auto _ : state) {
        plugin.process(buffer.data(), kBufferFrames);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBufferFrames));
}
BENCHMARK(BM_ClapHeldNote)->DenseRange(1, 13)->ArgName("operation");
#endif

} // namespace

BENCHMARK_MAIN();
