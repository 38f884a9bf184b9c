// Frames per second of the render callback: a held note under each bit
// operation, a held note bent all the while, tuned or not, and silence (no note yet); then the same
// through the LV2 plugin, loaded by a lilv host as hosts load it, and the CLAP and VST3 plugins,
// loaded by small hosts of their own, for the cost of their wrapping, and a peer LV2 instrument on
// the same host. Items processed are frames.
#include "tests/support/lv2_host.h"
#ifdef ONDRILUX_CLAP_FILE
#include "tests/support/clap_host.h"
#endif
#ifdef ONDRILUX_VST3_FILE
#include "tests/support/vst3_host.h"
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

void renderBuffers(benchmark::State &state, unsigned long frames = kBufferFrames) {
    std::vector<float> buffer(frames);
    for (auto _ : state) {
        renderFrames(engine, buffer.data(), frames);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
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

// The same note as the browser's module plays it in bench/web_render_cost.mjs,
// which compares the two: expressive, as in the plugins and the page, one
// second in (past the decay), in the 128-frame quanta of an audio worklet.
void BM_HeldNoteExpressive(benchmark::State &state) {
    constexpr unsigned long kQuantumFrames = 128;
    initSynthState(engine);
    engine.expressive.set(1);
    engine.operation.set(static_cast<int32_t>(state.range(0)));
    onMidiInput(engine, kMidiInData, shortMessage(0x90, 69, 100));
    std::vector<float> warmUp(48000);
    renderFrames(engine, warmUp.data(), warmUp.size());
    renderBuffers(state, kQuantumFrames);
}
BENCHMARK(BM_HeldNoteExpressive)->DenseRange(1, 13)->ArgName("operation");

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

// A held note through an LV2 plugin at the engine's rate, in blocks of the
// same length; the note's event comes in the first block, as a host's would.
void runHeldNote(benchmark::State &state, Lv2Instance &plugin) {
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

// Ondrilux's plugin. Without `levelShown` its level port is left unconnected,
// as where no panel is open.
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
    runHeldNote(state, plugin);
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

// A peer for scale: Ardour's ACE Reasonable Synth (package ardour), a
// polyphonic LV2 instrument, playing the same held note on the same host.
void BM_PeerHeldNote(benchmark::State &state) {
    Lv2Instance peer("/usr/lib/lv2", "https://community.ardour.org/node/7596", kSampleRate);
    if (!peer.ok()) {
        state.SkipWithError("no ACE Reasonable Synth in /usr/lib/lv2");
        return;
    }
    runHeldNote(state, peer);
}
BENCHMARK(BM_PeerHeldNote);

// A plugin in a host of its own, activated at the engine's rate, its
// operation set by a parameter's change (`operation` as that host takes it),
// quick start off, and a held note's event in the first block: its first
// blocks past the fade-out, into the attack, then blocks as timed.
template <typename Instance>
void playHeldNote(benchmark::State &state, Instance &plugin, double operation) {
    if (!plugin.ok() || !plugin.activate(kSampleRate)) {
        state.SkipWithError("the plugin does not load");
        return;
    }
    plugin.addParam(0, kOperationPort, operation);
    plugin.addParam(0, kQuickStartPort, 0.0);
    const uint8_t note[] = {0x90, 69, 100};
    plugin.addMidi(0, note, sizeof note);
    std::vector<float> buffer(kBufferFrames);
    for (int i = 0; i < 8; ++i) {
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

#ifdef ONDRILUX_CLAP_FILE
// The same through the CLAP plugin, its controls set by parameter events.
void BM_ClapHeldNote(benchmark::State &state) {
    ClapInstance plugin(ONDRILUX_CLAP_FILE, "org.ondrilux.ondrilux");
    playHeldNote(state, plugin, static_cast<double>(state.range(0)));
}
BENCHMARK(BM_ClapHeldNote)->DenseRange(1, 13)->ArgName("operation");

// The same note with a host's modulation of the range's top at every frame of
// every block (an audio-rate modulator), against one event a block: what each
// PARAM_MOD costs the process.
void BM_ClapModulatedNote(benchmark::State &state) {
    ClapInstance plugin(ONDRILUX_CLAP_FILE, "org.ondrilux.ondrilux");
    if (!plugin.ok() || !plugin.activate(kSampleRate)) {
        state.SkipWithError("the CLAP plugin does not load");
        return;
    }
    const uint8_t note[] = {0x90, 69, 100};
    plugin.addMidi(0, note, sizeof note);
    std::vector<float> buffer(kBufferFrames);
    plugin.process(buffer.data(), kBufferFrames);
    plugin.clearEvents();
    const auto every = static_cast<uint32_t>(state.range(0));
    for (uint32_t frame = 0; frame < kBufferFrames; frame += every)
        plugin.addParam(frame, kRangeTopPort, 20.0 * std::sin(frame * 0.05), CLAP_EVENT_PARAM_MOD);
    for (auto _ : state) {
        plugin.process(buffer.data(), kBufferFrames);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBufferFrames));
}
BENCHMARK(BM_ClapModulatedNote)->Arg(1)->Arg(kBufferFrames)->ArgName("frames_between");
#endif

#ifdef ONDRILUX_VST3_FILE
// And through the VST3 plugin, its controls normalized: operation n is (n - 1) / 12.
void BM_Vst3HeldNote(benchmark::State &state) {
    Vst3Instance plugin(ONDRILUX_VST3_FILE);
    playHeldNote(state, plugin, static_cast<double>(state.range(0) - 1) / 12.0);
}
BENCHMARK(BM_Vst3HeldNote)->DenseRange(1, 13)->ArgName("operation");
#endif

} // namespace

BENCHMARK_MAIN();
