// The three threads at once: the audio thread renders while a MIDI thread
// plays and retunes notes and closes the device, and this (GUI) thread moves
// the sound and the tuning. Under ThreadSanitizer (scripts/run-sanitizer-tests.sh) a data
// race that these runs happen to hit is reported; one they miss is not, so a
// clean run is evidence, not proof.
#include "engine_fixture.h"
#include "midi/tuning_messages.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <tuple>

namespace {

using Threads = EngineTest;

TEST_F(Threads, RenderWhileNotesAndParametersChange) {
    static std::atomic<int> sliderReads{0};
    setTestSliders([] {
        sliderReads.fetch_add(1, std::memory_order_relaxed);
        return EnvelopeSliders{5, 50, 60, 20};
    });
    synthState.gateTextSink.set([](const char *) {});
    synthState.expressive.set(1); // the tuning messages play
    std::atomic<bool> done{false};
    std::atomic<long> badSamples{0};
    std::atomic<int> buffers{0};
    std::atomic<int> tornNames{0};
    Tuning named; // every key unmapped until a message retunes it
    named.synthsOwn = false;
    setTuningName(named, std::string(kTuningNameBytes - 1, 'n'));

    std::thread audio([&] {
        float buffer[256];
        // -128/127 at the envelope's highest level (the peak of a short attack).
        const float bound = 128.0f / 127.0f * 1.0875237f;
        while (!done.load()) {
            renderCallback(nullptr, buffer, 256, nullptr, 0, &synthState);
            for (float v : buffer)
                if (!std::isfinite(v) || std::fabs(v) > bound)
                    badSamples.fetch_add(1);
            buffers.fetch_add(1);
        }
    });
    std::thread midi([&] {
        for (int i = 0; i < 200; ++i) {
            const uint8_t note = 30 + i % 70;
            onMidiInput(synthState, kMidiInData, shortMessage(0x90, note, 100));
            const uint8_t retune[] = {0xF0, 0x7F, 0, 8, 2, 0, 1, note, note, 0x20, 0, 0xF7};
            onSystemExclusive(synthState, retune, sizeof retune);
            char name[kTuningNameBytes];
            tuningName(synthState, name); // "" or the whole of the other's
            tornNames += name[0] != '\0' && std::strcmp(name, named.name) != 0;
            // Hold the key across a few buffers, so the envelope arms and plays.
            for (int until = buffers.load() + 3; buffers.load() < until;)
                std::this_thread::yield();
            onMidiInput(synthState, kMidiInData, shortMessage(0xF8));
            onMidiInput(synthState, kMidiInData, shortMessage(0x80, note, 0));
            // The notes after the last close (195 to 199) are counted off one by one.
            if (i % 10 == 4)
                onMidiInput(synthState, kMidiInClose, 0);
        }
        done.store(true);
    });
    for (int i = 0; !done.load(); ++i) {
        synthState.operation.set(1 + i % 13);
        synthState.staticOperand.set(i % 101);
        synthState.rangeTop.set(2 + i % 242);
        synthState.rangeBottom.set(4 + (i * 7) % 242);
        if (i % 16 == 0)
            setTuning(synthState, i % 32 ? named : Tuning{});
    }
    midi.join();
    audio.join();

    EXPECT_EQ(badSamples.load(), 0);
    EXPECT_EQ(tornNames.load(), 0);
    // Every note-on had its note-off.
    EXPECT_EQ(synthState.heldNoteCount.get(), 0);
    EXPECT_EQ(synthState.gate.get(), 0);
    EXPECT_GT(sliderReads.load(), 0);
}

} // namespace

namespace {

// A key released just as the audio thread arms the envelope, or just as it
// starts the attack, must leave both flags cleared: otherwise the next note
// skips its fade-out and attack. The release is aimed at those frames with a
// jitter of a few frames and some spinning, many times over.
TEST_F(Threads, ReleaseWhileArmingLeavesTheEnvelopeUnarmed) {
    synthState.gateTextSink.set([](const char *) {});
    std::atomic<bool> done{false};
    std::atomic<long> frames{0};
    std::thread audio([&] {
        float sample;
        while (!done.load(std::memory_order_relaxed)) {
            renderCallback(nullptr, &sample, 1, nullptr, 0, &synthState);
            frames.fetch_add(1, std::memory_order_release);
        }
    });
    const auto waitFrames = [&](long until) {
        while (frames.load(std::memory_order_acquire) < until)
            ;
    };

    int stale = 0;
    unsigned jitter = 12345;
    for (int i = 0; i < 4000; ++i) {
        jitter = jitter * 1103515245u + 12345u;
        const long start = frames.load(std::memory_order_acquire);
        onMidiInput(synthState, kMidiInData, shortMessage(0x90, 60, 100));
        // Even tries aim at the arming frame, odd ones at the attack start
        // 1001 frames later.
        waitFrames(start + (i % 2 ? 1000 : 0) + static_cast<long>(jitter >> 30));
        for (volatile unsigned spin = (jitter >> 8) % 64; spin > 0;)
            spin = spin - 1;
        onMidiInput(synthState, kMidiInData, shortMessage(0x80, 60, 0));
        waitFrames(frames.load(std::memory_order_acquire) + 3);
        if (synthState.envelopeArmed.get() != 0 || synthState.attackStarted.get() != 0)
            ++stale;
        // Put the flags right, so that every try starts from a released key.
        synthState.envelopeArmed.set(0);
        synthState.attackStarted.set(0);
    }
    done.store(true);
    audio.join();
    EXPECT_EQ(stale, 0) << "releases undone by a racing arming or attack start";
}

// The GUI thread closes the device while a MIDI thread plays, as when the
// open port vanishes with another connection still playing: one thread at a
// time changes the note state, so no close lands inside a note-on and leaves
// keys counted as held with the gate closed (a silent note). The closes pause
// while this (MIDI) thread looks.
TEST_F(Threads, CloseWhileNotesArriveKeepsTheGateWithTheKeys) {
    synthState.gateTextSink.set([](const char *) {});
    std::atomic<int> pause{0}; // 1: asked, 2: the closes have stopped
    std::atomic<bool> done{false};
    std::thread gui([&] {
        while (!done.load())
            if (pause.load() == 0)
                onMidiInput(synthState, kMidiInClose, 0);
            else
                pause.store(2);
    });
    int apart = 0;
    for (int i = 0; i < 20000; ++i) {
        onMidiInput(synthState, kMidiInData, shortMessage(0x90, 60, 100));
        onMidiInput(synthState, kMidiInData, shortMessage(0x90, 64, 100));
        pause.store(1);
        while (pause.load() != 2)
            ;
        apart += (synthState.heldNoteCount.get() > 0) != (synthState.gate.get() == 1);
        pause.store(0);
        onMidiInput(synthState, kMidiInData, shortMessage(0x80, 64, 0));
        onMidiInput(synthState, kMidiInData, shortMessage(0x80, 60, 0));
    }
    done.store(true);
    gui.join();
    EXPECT_EQ(apart, 0) << "keys held with the gate closed, or the gate open with none";
}

// With 64 messages waiting for a holder (held in its sink until they are
// sent), what ends a note is still kept, before what comes once the holder has
// taken one; a note-on dropped has its note-off dropped too. Each row: the
// ends, what comes after, the keys held at the end.
TEST_F(Threads, AFullQueueKeepsWhatEndsANote) {
    static std::atomic<int> sinkCalls{0}, letThrough{0};
    const uint32_t close = 0, keyUp = 0x80 | 60 << 8, pedalUp = 0xB0 | 64 << 8,
                   on62 = 0x90 | 62 << 8 | 1 << 16;
    const std::tuple<std::vector<uint32_t>, std::vector<uint32_t>, int32_t> endings[] = {
        {{keyUp, pedalUp}, {}, 0},
        {{0x90 | 60 << 8, pedalUp}, {}, 0},
        {{0xB0 | 120 << 8}, {}, 0},
        {{0xB0 | 121 << 8, keyUp}, {}, 0},
        {{close}, {}, 0},
        {{0xB0 | 123 << 8}, {on62}, 1},
        {{on62, 0x80 | 62 << 8}, {}, 1},
        {{on62, 0x90 | 62 << 8}, {on62}, 2}};
    const auto send = [](const std::vector<uint32_t> &messages) {
        for (uint32_t m : messages)
            onMidiInput(synthState, m == close ? kMidiInClose : kMidiInData, m);
    };
    for (const auto &[ends, after, held] : endings) {
        SetUp();
        synthState.expressive.set(1);
        sinkCalls.store(0);
        letThrough.store(0);
        synthState.gateTextSink.set([](const char *) {
            for (const int call = ++sinkCalls; call > letThrough.load();)
                std::this_thread::yield();
        });
        std::thread holder([] { onMidiInput(synthState, kMidiInData, shortMessage(0xF8)); });
        std::vector<uint32_t> messages = {shortMessage(0xB0, 64, 127), shortMessage(0x90, 60, 100)};
        messages.resize(64, 0xF8);
        messages.insert(messages.end(), ends.begin(), ends.end());
        while (sinkCalls.load() < 1)
            ;
        send(messages);
        letThrough.store(1); // the holder takes one message and waits again
        while (sinkCalls.load() < 2)
            ;
        send(after);
        letThrough.store(1 << 30);
        holder.join();
        EXPECT_EQ(synthState.heldNoteCount.get(), held) << std::hex << ends[0];
        EXPECT_EQ(synthState.gate.get(), held > 0 ? 1 : 0) << std::hex << ends[0];
    }
}

// Two engines in one process, as two plugin instances in one host: each works
// on its own record only, so rendering both at once on two threads gives each
// exactly what it renders alone.
TEST(TwoEngines, EachRendersAsAloneWhileTheOtherRuns) {
    struct Settings {
        EnvelopeSliders sliders;
        int32_t operation, top, bottom, note;
    };
    struct Engine {
        Settings settings;
        SynthState state;
        std::vector<float> out;

        void start() {
            initSynthState(state);
            state.operation.set(settings.operation);
            state.rangeTop.set(settings.top);
            state.rangeBottom.set(settings.bottom);
            state.sliderSource = slidersFrom(settings.sliders);
        }
        // Notes and renders in a fixed pattern of blocks.
        void play() {
            out.assign(48000, 0.0f);
            for (size_t at = 0, block = 0; at < out.size(); at += 480, ++block) {
                const int note = settings.note + static_cast<int>(block / 20 % 7);
                if (block % 20 == 0)
                    onMidiInput(state, kMidiInData, shortMessage(0x90, note, 100));
                if (block % 20 == 12)
                    onMidiInput(state, kMidiInData, shortMessage(0x80, note, 0));
                renderFrames(state, &out[at], 480);
            }
        }
    };
    const std::array<std::unique_ptr<Engine>, 2> engines{
        std::unique_ptr<Engine>(new Engine{{{1, 100, 70, 30}, 3, 40, 90, 60}, {}, {}}),
        std::unique_ptr<Engine>(new Engine{{{400, 900, 20, 300}, 11, 10, 200, 45}, {}, {}})};
    std::array<std::vector<float>, 2> alone;
    for (size_t i = 0; i < 2; ++i) {
        engines[i]->start();
        engines[i]->play();
        alone[i] = engines[i]->out;
    }
    for (const auto &e : engines)
        e->start();
    std::thread other([&] { engines[1]->play(); });
    engines[0]->play();
    other.join();
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(engines[i]->out, alone[i]) << "engine " << i;
        EXPECT_NE(alone[i], std::vector<float>(alone[i].size(), 0.0f)) << "engine " << i;
        EXPECT_NE(alone[i], alone[1 - i]);
    }
}

} // namespace
