// The plugin in a small lilv host in this process: several instances, any
// block length, a careless host, reactivation, the rate converter, and no
// allocation while it runs. At 48000 frames/s every render is compared with
// the engine's own, bit for bit.
#include "tests/plugin/plugin_render.h"
#include "tests/support/allocation_counter.h"
#include "tests/support/steps.h"

#include "engine/render_callback.h"
#include "tests/support/pitch_measure.h"

#include <gtest/gtest.h>
#include <lv2/atom/atom.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <limits>
#include <random>
#include <tuple>

namespace {

constexpr uint32_t kFrames = 48000;
// The engine's output never leaves ±128/127; converted to another rate, it
// may overshoot a little.
constexpr float kEnginePeak = 128.0f / 127.0f, kConvertedPeak = 1.25f;

// Notes on and off block edges and inside blocks, legato, a key released
// while another is held, velocity 0, real-time bytes and running status.
const std::vector<Event> kScript = {
    {100, {0x90, 60, 100}},   {4095, {0x90, 67, 90}},       {4096, {0xF8}},
    {4097, {0x80, 60, 0}},    {9000, {0x90, 72, 100, 74, 80}}, {14001, {0x80, 67, 0}},
    {20000, {0x90, 74, 0}},   {20000, {0x90, 72, 0}},       {26111, {0x90, 48, 127}},
    {33333, {0xB0, 1, 64}},   {40000, {0x80, 48, 0}},       {41234, {0x90, 81, 64}},
};

SoundOptions settingsA() {
    SoundOptions s;
    s.operation = 3;
    s.sliders.release = 200;
    return s;
}

SoundOptions settingsB() {
    SoundOptions s;
    s.operation = 7;
    s.staticValue = 20;
    s.rangeTop = 10;
    s.rangeBottom = 200;
    s.sliders = {300, 100, 80, 50};
    s.quickStart = true; // as a host starts the plugin
    return s;
}

TEST(Instances, TwoInterleavedEachEqualTheirOwnRenderAndTheEngines) {
    const SoundOptions settings[2] = {settingsA(), settingsB()};
    std::vector<float> alone[2];
    for (int i = 0; i < 2; ++i) {
        Lv2Instance p(kLv2Path, kPluginUri, kEngineRate);
        ASSERT_TRUE(p.ok());
        setSound(p, settings[i]);
        p.activate();
        alone[i] = play(p, kScript, kFrames, {256});
    }

    Lv2Instance a(kLv2Path, kPluginUri, kEngineRate), b(kLv2Path, kPluginUri, kEngineRate);
    ASSERT_TRUE(a.ok() && b.ok());
    setSound(a, settings[0]);
    setSound(b, settings[1]);
    a.activate();
    b.activate();
    Player pa(a, kScript, kFrames), pb(b, kScript, kFrames);
    while (!pa.done() || !pb.done()) { // different blocks, one after the other
        pa.block(256);
        pb.block(100);
        pb.block(13);
    }
    for (int i = 0; i < 2; ++i) {
        const std::vector<float> &together = i == 0 ? pa.out : pb.out;
        EXPECT_EQ(firstDifference(together, alone[i]), -1) << "instance " << i;
        EXPECT_EQ(firstDifference(together, engineRender(settings[i], kScript, kFrames)), -1)
            << "instance " << i;
    }
    EXPECT_NE(firstDifference(pa.out, pb.out), -1) << "the settings made no difference";
}

TEST(Blocks, AnyBlockLengthGivesTheEnginesRender) {
    const SoundOptions sound = settingsB();
    const std::vector<float> reference = engineRender(sound, kScript, kFrames);
    ASSERT_GT(rms(reference, 0, kFrames), 0.01);
    const std::vector<std::vector<uint32_t>> patterns = {
        {1}, {7}, {256}, {4096}, {8192}, {0, 7, 0, 0, 256, 1, 0, 4096, 333}};
    for (const std::vector<uint32_t> &blocks : patterns) {
        Lv2Instance p(kLv2Path, kPluginUri, kEngineRate);
        ASSERT_TRUE(p.ok());
        setSound(p, sound);
        p.activate();
        EXPECT_EQ(firstDifference(play(p, kScript, kFrames, blocks), reference), -1)
            << "blocks of " << blocks.front() << " (" << blocks.size() << " sizes)";
    }
}

// Touching notes as a piano roll writes them (the note-off and the next
// note-on at one frame), a soft sine: the fade-out starts from the level that
// sounded, with quick start or without, as the engine renders them.
TEST(TouchingNotes, FadeOutFromTheLevelThatSounded) {
    const std::vector<Event> notes = {{0, {0x90, 60, 100}},
                                      {12000, {0x80, 60, 0}},
                                      {12000, {0x90, 64, 100}},
                                      {24000, {0x80, 64, 0}}};
    for (const bool quickStart : {false, true}) {
        const SoundOptions sound{
            .staticValue = 0, .sliders = {1, 1000, 70, 400}, .quickStart = quickStart};
        Lv2Instance p(kLv2Path, kPluginUri, kEngineRate);
        ASSERT_TRUE(p.ok());
        setSound(p, sound);
        p.activate();
        const std::vector<float> out = play(p, notes, kFrames, {256});
        EXPECT_EQ(firstDifference(out, engineRender(sound, notes, kFrames)), -1);
        EXPECT_LE(stepAtHandOver(out.data(), 12000), 3.0) << "quick start " << quickStart;
    }
}

// Controls out of range are clamped; NaN takes the default.
TEST(Controls, OutOfRangeAreClampedAndNanTakesTheDefault) {
    constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
    constexpr float kInf = std::numeric_limits<float>::infinity();
    struct Case {
        float value;
        SoundOptions expected;
    };
    const auto allAt = [](int32_t ControlRange::*end) {
        return SoundOptions{kOperationControl.*end,
                            kStaticValueControl.*end,
                            kRangeTopControl.*end,
                            kRangeBottomControl.*end,
                            {kAttackControl.*end, kDecayControl.*end, kSustainControl.*end,
                             kReleaseControl.*end}};
    };
    const SoundOptions lowest = allAt(&ControlRange::min), highest = allAt(&ControlRange::max);
    const Case cases[] = {{kNan, SoundOptions{}}, {kInf, highest},   {1e30f, highest},
                          {-kInf, lowest},        {-1e30f, lowest}, {-1.0f, lowest}};
    for (const Case &c : cases) {
        Lv2Instance p(kLv2Path, kPluginUri, kEngineRate);
        ASSERT_TRUE(p.ok());
        for (const char *symbol : kSoundSymbols)
            p.control(symbol) = c.value;
        p.control("quick_start") = 0.0f;
        p.activate();
        EXPECT_EQ(firstDifference(play(p, kScript, kFrames, {512}),
                                  engineRender(c.expected, kScript, kFrames)),
                  -1)
            << "every control at " << c.value;
    }
}

// Each control is found by its port's index; the other ports are no controls.
TEST(Controls, EachIsFoundByItsPortsIndex) {
    for (const ControlPort &c : kControlPorts)
        EXPECT_EQ(controlPort(c.index), &c) << c.symbol;
    for (uint32_t other : {kMidiInPort, kOutPort, kLatencyPort, kLevelPort, kPortCount})
        EXPECT_EQ(controlPort(other), nullptr) << other;
}

// What a careless host sends: events out of order, before the block and past
// its end, system-exclusive and cut-off messages, data bytes without status,
// foreign atoms, empty events, and controls out of range or NaN.
void addHostileBlock(Lv2Instance &p, std::mt19937 &random, uint32_t frames) {
    static const float kValues[] = {std::numeric_limits<float>::quiet_NaN(),
                                    std::numeric_limits<float>::infinity(),
                                    -std::numeric_limits<float>::infinity(),
                                    1e30f, -1e30f, -1.0f, 0.0f, 0.49f, 7.5f, 14.0f, 246.0f,
                                    5001.0f};
    auto pick = [&random](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    if (pick(4) == 0)
        p.control(kSoundSymbols[pick(std::size(kSoundSymbols))]) = kValues[pick(std::size(kValues))];
    p.clearEvents();
    for (uint32_t e = pick(8); e > 0; --e) {
        const int64_t times[] = {static_cast<int64_t>(pick(frames + 64)) - 8,
                                 std::numeric_limits<int64_t>::max(),
                                 std::numeric_limits<int64_t>::min(), frames, -1};
        const int64_t frame = times[pick(5) == 0 ? 1 + pick(4) : 0];
        const uint8_t note = static_cast<uint8_t>(36 + pick(48));
        const uint8_t status = static_cast<uint8_t>(pick(3) ? 0x90 : 0x80 | pick(0x80));
        const uint8_t sysex[] = {0xF0, 0x41, 0x10, 0x90, note, 100, 0x12}; // no end
        const uint8_t message[] = {status, note, 100};
        uint8_t bytes[12];
        uint32_t size = 0;
        switch (pick(6)) {
        case 0: // random bytes
            size = pick(13);
            for (uint32_t i = 0; i < size; ++i)
                bytes[i] = static_cast<uint8_t>(random());
            break;
        case 1: // system exclusive with a note inside
            size = sizeof sysex;
            std::memcpy(bytes, sysex, size);
            break;
        case 2: // a message cut off
            size = 1 + pick(2);
            std::memcpy(bytes, message, size);
            break;
        case 3: // a foreign atom
            p.addEvent(frame, message, sizeof message, p.otherType());
            continue;
        default: // a note on or off, in any order
            size = sizeof message;
            std::memcpy(bytes, message, size);
        }
        p.addEvent(frame, bytes, size);
    }
}

// Runs `blocks` hostile blocks; the output's peak, or NaN if it had one.
float runHostile(Lv2Instance &p, std::mt19937 &random, std::vector<float> &out, int blocks) {
    static const uint32_t kLengths[] = {0, 1, 7, 64, 256, 1000, 4096};
    float peak = 0.0f;
    for (int b = 0; b < blocks; ++b) {
        const uint32_t frames = kLengths[random() % std::size(kLengths)];
        addHostileBlock(p, random, frames);
        p.run(out.data(), frames);
        for (uint32_t i = 0; i < frames; ++i) {
            if (!std::isfinite(out[i]))
                return out[i];
            peak = std::max(peak, std::fabs(out[i]));
        }
    }
    return peak;
}

// After a careless host's blocks, each way of letting go ends in silence.
TEST(HostileHost, NoCrashNoNanAndLettingGoEndsInSilence) {
    struct Ending {
        const char *name;
        std::vector<Event> events;
    };
    // (Note-offs alone need not do: a key pressed twice is held twice, and the
    // careless host's note-ons outnumber its note-offs.)
    const Ending endings[] = {
        {"All Notes Off", {{0, {0xB0, 123, 0}}}},
        {"All Sound Off", {{0, {0xB0, 120, 0}}}},
        {"All Notes Off after note-offs", {{0, {0x80, 60, 0}}, {9, {0xB0, 123, 0}}}},
    };
    std::mt19937 random(17);
    std::vector<float> out(4096);
    for (const Ending &ending : endings) {
        Lv2Instance p(kLv2Path, kPluginUri, kEngineRate);
        ASSERT_TRUE(p.ok());
        p.activate();
        const float peak = runHostile(p, random, out, 1500);
        EXPECT_TRUE(peak <= kEnginePeak) << ending.name << ": peak " << peak;
        EXPECT_GT(peak, 0.0f) << ending.name << ": never sounded";
        // The longest release (5 s) ends well within 6 s; the last second is silent.
        const uint32_t tail = 6 * kFrames;
        const std::vector<float> after = play(p, ending.events, tail, {4096});
        EXPECT_EQ(rms(after, tail - kFrames, tail), 0.0) << ending.name << ": a note hangs";
    }
}

// A tuning set as a host's file chooser sets it (patch:Set, which the worker
// reads) plays what ondrilux-render --scale --keyboard-map --expressive plays,
// bit for bit, after a fresh engine too; the plugin tells the scale's name and
// the files on its notify port. A bad file leaves the tuning as it was. The
// state keeps the files' texts: a fresh instance restored from it plays the
// same with the files moved away. Without files the synth's own tuning plays.
TEST(Lv2Tuning, SetByPatchAndRestoredWithoutTheFilesPlaysAsTheRenderer) {
    const ScalaFilesOnDisk files = writeScalaFiles("lv2-tuning");
    SoundOptions sound = settingsA();
    const std::vector<float> untuned = engineRender(sound, kScript, kFrames);
    sound.expressive = true;
    sound.tuning = files.tuning;
    const std::vector<float> expected = engineRender(sound, kScript, kFrames);
    std::vector<float> none(1);
    const auto set = [&none](Lv2Instance &p, const char *key, const std::string &path) {
        p.clearEvents();
        p.addPatchSet(0, key, path);
        p.run(none.data(), 0);
    };
    Lv2Instance a(kLv2Path, kPluginUri, kEngineRate), b(kLv2Path, kPluginUri, kEngineRate);
    ASSERT_TRUE(a.ok() && b.ok());
    setSound(a, sound);
    a.activate();
    set(a, kScaleUri, files.scale);
    EXPECT_EQ(a.notified(kTuningNameUri), kNineteenTone);
    set(a, kKeyboardMapUri, files.keyboardMap);
    set(a, kScaleUri, files.folder + "/missing.scl");
    EXPECT_EQ(std::pair(a.notified(kScaleUri), a.notified(kKeyboardMapUri)),
              std::pair(files.scale, files.keyboardMap));
    EXPECT_EQ(firstDifference(play(a, kScript, kFrames, {256}), expected), -1);
    a.activate();
    EXPECT_EQ(firstDifference(play(a, kScript, kFrames, {100}), expected), -1);

    const std::map<std::string, Lv2Instance::Saved> state = a.saveState();
    EXPECT_EQ(state.at(kScaleTextUri).value, files.scaleText + '\0');
    EXPECT_EQ(state.at(kKeyboardMapTextUri).type, LV2_ATOM__String);
    EXPECT_EQ(state.at(kScaleUri).value, files.scale + '\0');
    std::filesystem::rename(files.folder, files.folder + "-moved");
    setSound(b, sound);
    b.restoreState(state);
    b.activate();
    EXPECT_EQ(firstDifference(play(b, kScript, kFrames, {256}), expected), -1);
    set(b, kKeyboardMapUri, ""); // first: its octave degree lies past 12-TET's
    set(b, kScaleUri, "");
    EXPECT_EQ(b.notified(kTuningNameUri), "12-TET");
    b.activate(); // the take's last note still sounds
    EXPECT_EQ(firstDifference(play(b, kScript, kFrames, {256}), untuned), -1);
}

// A host that deactivates in the middle of a note and activates again gets a
// fresh engine: silence until the next note, then the engine's render.
TEST(Activation, ReactivatedStartsSilentLikeAFreshEngine) {
    Lv2Instance p(kLv2Path, kPluginUri, kEngineRate);
    ASSERT_TRUE(p.ok());
    setSound(p, settingsA());
    p.activate();
    const std::vector<float> held = play(p, {{0, {0x90, 69, 100}}}, 10000, {256});
    ASSERT_GT(rms(held, 5000, 10000), 0.01);
    p.deactivate();
    p.activate();
    const std::vector<Event> later = {{5000, {0x90, 64, 100}}, {20000, {0x80, 64, 0}}};
    const std::vector<float> out = play(p, later, kFrames, {256});
    EXPECT_EQ(rms(out, 0, 5000), 0.0) << "a note hung over";
    EXPECT_EQ(firstDifference(out, engineRender(settingsA(), later, kFrames)), -1);

    // The host's clock counts from 0 at activation: at 96000 frames/s its
    // frames 1000 and 1001 both fall in engine frame 500, and a note at either
    // sounds the same.
    std::vector<float> takes[2];
    for (uint32_t at : {1000u, 1001u}) {
        Lv2Instance q(kLv2Path, kPluginUri, 96000.0);
        ASSERT_TRUE(q.ok());
        q.activate();
        takes[at - 1000] = play(q, {{at, {0x90, 69, 100}}}, 9600, {256});
    }
    EXPECT_GT(rms(takes[0], 4800, 9600), 0.01);
    EXPECT_EQ(firstDifference(takes[0], takes[1]), -1);
}

// The level port tells the panel the envelope's level at each block's end:
// nothing before a note, the sustain's level while it is held, nothing once
// its release is over.
TEST(LevelPort, ReportsTheEnvelopeAtTheBlocksEnd) {
    Lv2Instance p(kLv2Path, kPluginUri, kEngineRate);
    ASSERT_TRUE(p.ok());
    p.control("decay") = 100;
    p.control("sustain") = 50;
    p.control("release") = 100;
    p.activate();
    std::vector<float> block(4800);
    p.run(block.data(), 4800);
    EXPECT_EQ(p.control("level"), 0.0f);
    p.addEvent(0, {0x90, 69, 100});
    for (int i = 0; i < 5; ++i, p.clearEvents()) // 0.5 s: past the attack and decay
        p.run(block.data(), 4800);
    EXPECT_EQ(p.control("level"), 0.5f);
    p.addEvent(0, {0x80, 69, 0});
    for (int i = 0; i < 5; ++i, p.clearEvents())
        p.run(block.data(), 4800);
    EXPECT_EQ(p.control("level"), 0.0f);
}

// All Sound Off and All Notes Off on channel 1 release a held note, All
// Sound Off silent within 5 ms; on another channel, or another controller,
// they do not.
TEST(ChannelMode, AllSoundOffAndAllNotesOffReleaseAHeldNote) {
    struct Case {
        std::vector<uint8_t> message;
        bool releases;
        bool mutes = false;
    };
    const Case cases[] = {{{0xB0, 120, 0}, true, true},
                          {{0xB0, 123, 0}, true},
                          {{0xB1, 123, 0}, false},
                          {{0xB0, 121, 0}, false}};
    for (const Case &c : cases) {
        Lv2Instance p(kLv2Path, kPluginUri, kEngineRate);
        ASSERT_TRUE(p.ok());
        SoundOptions sound;
        sound.sliders.release = 10;
        setSound(p, sound);
        p.activate();
        const std::vector<float> out =
            play(p, {{0, {0x90, 69, 100}}, {10000, c.message}}, kFrames, {256});
        ASSERT_GT(rms(out, 5000, 10000), 0.01);
        const double after = rms(out, c.mutes ? 10000 + kMuteFrames : 20000, kFrames);
        if (c.releases)
            EXPECT_EQ(after, 0.0) << std::hex << int(c.message[0]) << " " << std::dec
                                  << int(c.message[1]);
        else
            EXPECT_GT(after, 0.01) << std::hex << int(c.message[0]) << " " << std::dec
                                   << int(c.message[1]);
    }
}

// run allocates nothing, at the engine's rate and through the converter, for
// a host's input and a careless host's.
class Allocation : public ::testing::TestWithParam<double> {};

TEST_P(Allocation, RunNeverAllocates) {
    Lv2Instance p(kLv2Path, kPluginUri, GetParam());
    ASSERT_TRUE(p.ok());
    p.activate();

    Player player(p, kScript, kFrames);
    std::mt19937 random(4);
    std::vector<float> out(4096);
    countAllocations(true);
    const long start = countedAllocations();
    while (!player.done())
        player.block(256);
    const float peak = runHostile(p, random, out, 500);
    // A tuning's file set (the worker, which allocates, between runs), then
    // taken and its path told.
    const ScalaFilesOnDisk files = (countAllocations(false), writeScalaFiles("allocation"));
    p.workAtOnce = false;
    countAllocations(true);
    p.clearEvents();
    p.addPatchSet(0, kScaleUri, files.scale);
    p.run(out.data(), 256);
    // The worker reads the file with operator new: the counter must see that,
    // or it would see nothing of run either.
    const long beforeWork = countedAllocations();
    p.doWork();
    const long working = countedAllocations() - beforeWork;
    p.clearEvents();
    p.run(out.data(), 256);
    p.run(out.data(), 256);
    const long made = countedAllocations() - start - working;
    countAllocations(false);
    EXPECT_GT(working, 0) << "the counter does not see the plugin's allocations";
    EXPECT_EQ(made, 0);
    EXPECT_EQ(p.notified(kScaleUri), files.scale);
    EXPECT_GT(rms(player.out, 0, kFrames), 0.01);
    EXPECT_TRUE(peak <= (GetParam() == kEngineRate ? kEnginePeak : kConvertedPeak)) << peak;
}

INSTANTIATE_TEST_SUITE_P(Rates, Allocation, ::testing::Values(48000.0, 44100.0));

// Periods per second of out[from, to), from its rises through its mean,
// first to last; with hysteresis, for the converter's ripple.
double frequency(const std::vector<float> &out, size_t from, size_t to, double rate) {
    double sum = 0.0, squares = 0.0;
    for (size_t i = from; i < to; ++i) {
        sum += out[i];
        squares += static_cast<double>(out[i]) * out[i];
    }
    const double n = static_cast<double>(to - from), mean = sum / n;
    const double spread = std::sqrt(squares / n - mean * mean) / 2;
    const auto low = static_cast<float>(mean - spread), high = static_cast<float>(mean + spread);
    size_t first = 0, last = 0, periods = 0;
    bool above = true;
    for (size_t i = from; i < to; ++i)
        if (above && out[i] < low) {
            above = false;
        } else if (!above && out[i] > high) {
            above = true;
            if (first == 0)
                first = i;
            else
                ++periods;
            last = i;
        }
    return last > first ? static_cast<double>(periods) * rate / static_cast<double>(last - first)
                        : 0.0;
}

// At another host rate the engine still renders at its own and the output is
// converted: in tune, with the converter's delay on the latency port. At the
// engine's rate there is none.
class HostRate : public ::testing::TestWithParam<double> {};

TEST_P(HostRate, PlaysInTuneAndReportsTheConvertersDelay) {
    const double rate = GetParam();
    SoundOptions sound;
    sound.sliders.sustain = 100;
    const std::vector<Event> a4 = {{0, {0x90, 69, 100}}};
    const std::vector<float> reference = engineRender(sound, a4, kFrames);
    const double engineHz = frequency(reference, 12000, kFrames, kEngineRate);
    ASSERT_NEAR(engineHz, 440.0, 0.5);

    Lv2Instance p(kLv2Path, kPluginUri, rate);
    ASSERT_TRUE(p.ok());
    setSound(p, sound);
    p.activate();
    std::vector<float> none(1);
    p.run(none.data(), 0); // hosts ask for the latency so
    const float latency = p.control("latency");
    const auto frames = static_cast<uint32_t>(rate);
    const std::vector<float> out = play(p, a4, frames, {256});
    EXPECT_NEAR(frequency(out, frames / 4, frames, rate), engineHz, 0.05) << rate;
    if (rate == kEngineRate) {
        EXPECT_EQ(latency, 0.0f);
    } else {
        EXPECT_GT(latency, 0.0f);
        EXPECT_LT(latency, rate / 100) << "more than 10 ms";
        EXPECT_EQ(p.control("latency"), latency) << "the latency changed while playing";
    }
    std::printf("at %.0f frames/s: %.2f Hz (the engine's %.2f Hz), latency %.2f frames\n", rate,
                frequency(out, frames / 4, frames, rate), engineHz, latency);
}

INSTANTIATE_TEST_SUITE_P(Rates, HostRate, ::testing::Values(48000.0, 44100.0, 96000.0));

// Played as a mono synth: a steady note (no decay, full sustain) whose pitch
// the wheel, RPN 0 and the glide move, and the pedal holds.
SoundOptions steadySound() {
    SoundOptions s;
    s.sliders = {1, 1, 100, 10};
    return s;
}

std::vector<float> playExpressive(const std::vector<Event> &events, uint32_t frames,
                                  std::initializer_list<std::pair<const char *, float>> ports,
                                  const SoundOptions &sound = steadySound()) {
    Lv2Instance p(kLv2Path, kPluginUri, kEngineRate);
    EXPECT_TRUE(p.ok());
    setSound(p, sound);
    for (const auto &[symbol, value] : ports)
        p.control(symbol) = value;
    p.activate();
    return play(p, events, frames, {256});
}

const std::vector<uint8_t> kBendTop = {0xE0, 0x7F, 0x7F}, kBendBottom = {0xE0, 0, 0};

// A held A4 bent to either end sounds the note the range names, within a cent,
// measured over a second; the range is a port or RPN 0 (CC 101, 100 at 0, then
// CC 6 semitones and CC 38 cents; not an NRPN's), and a note played bent starts bent.
TEST(Expression, TheBendSoundsTheNoteItsRangeNames) {
    struct Case {
        const char *name;
        float range;
        std::vector<Event> events;
        double note;
    };
    const std::vector<uint8_t> rpn12 = {0xB0, 101, 0, 100, 0, 6, 12, 38, 50},
                               rpn50Then12 = {0xB0, 101, 0, 100, 0, 38, 50, 6, 12},
                               nrpn5 = {0xB0, 99, 1, 98, 2, 6, 5};
    const Case cases[] = {
        {"range 2", 2, {{0, {0x90, 69, 100}}, {4800, kBendTop}}, 71},
        {"range 12", 12, {{0, {0x90, 69, 100}}, {4800, kBendTop}}, 81},
        {"down, range 2", 2, {{0, {0x90, 69, 100}}, {4800, kBendBottom}}, 67},
        {"RPN 0 to 12.5", 2, {{0, {0x90, 69, 100}}, {100, rpn12}, {4800, kBendTop}}, 81.5},
        {"12 clearing 50 cents, an NRPN's 5", 2,
         {{0, {0x90, 69, 100}}, {100, rpn50Then12}, {101, nrpn5}, {4800, kBendTop}}, 81},
        {"played bent", 2, {{0, kBendTop}, {10, {0x90, 69, 100}}}, 71},
        {"a quarter tone sharp by MIDI Tuning", 2,
         {{0, {0x90, 69, 100}}, {100, {0xF0, 0x7F, 0, 8, 2, 0, 1, 69, 69, 0x40, 0, 0xF7}},
          {4800, kBendTop}},
         71.5},
        {"RPN 0 to 1 cent, on C8", 2,
         {{0, {0x90, 108, 100}}, {100, {0xB0, 101, 0, 100, 0, 6, 0, 38, 1}}, {4800, kBendTop}},
         108.01},
    };
    for (const Case &c : cases) {
        const std::vector<float> out = playExpressive(c.events, 72000, {{"bend_range", c.range}});
        const double cents = centsFrom(pitchHz(out.data() + 24000, 48000), noteHz(c.note));
        std::printf("%s: %+.3f cents from note %g\n", c.name, cents, c.note);
        EXPECT_LT(std::fabs(cents), 1.0) << c.name;
    }
}

// The wheel swept through its whole travel and back, a step every 64 frames,
// makes no step from one sample to the next larger than those of the notes
// at its ends unbent: no click, no jump of phase. A clean sine shows it best.
TEST(Expression, ABendSweepsWithoutClicks) {
    SoundOptions sine = steadySound();
    sine.staticValue = 0; // OR 0: the sine itself
    sine.rangeTop = 243;
    std::vector<Event> sweep = {{0, {0x90, 69, 100}}};
    for (int i = 0; i <= 512; ++i) { // up to the top, down to the bottom, back to the centre
        const int v = std::clamp(8192 + (i <= 128   ? i
                                         : i <= 384 ? 256 - i
                                                    : i - 512) *
                                            64,
                                 0, 16383);
        sweep.push_back({4800 + 64 * static_cast<uint32_t>(i),
                         {0xE0, static_cast<uint8_t>(v & 0x7F), static_cast<uint8_t>(v >> 7)}});
    }
    const std::vector<float> bent = playExpressive(sweep, 48000, {}, sine);
    float unbent = 0.0f;
    for (int note : {67, 69, 71}) {
        const std::vector<float> held =
            playExpressive({{0, {0x90, static_cast<uint8_t>(note), 100}}}, 14400, {}, sine);
        unbent = std::max(unbent, largestStep(held.data() + 4800, 9600));
    }
    const float largest = largestStep(bent.data() + 4800, 33000);
    std::printf("largest step: bent %.4f, unbent G4, A4, B4 %.4f\n", largest, unbent);
    EXPECT_LE(largest, unbent + 1e-6f); // equal steps in bytes may differ in the last bit
}

// A glide of 200 ms from A3 to A4 rises through every semitone once and
// arrives 200 ms after the note-on; in the legato mode only a held note glides.
TEST(Expression, AGlidePassesEverySemitoneAndArrivesOnTime) {
    const std::vector<Event> legato = {{0, {0x90, 57, 100}}, {24000, {0x90, 69, 100}}},
                             detached = {{0, {0x90, 57, 100}},
                                         {20000, {0x80, 57, 0}},
                                         {24000, {0x90, 69, 100}}};
    const std::vector<float> out = playExpressive(legato, 48000, {{"glide", 200}});
    const GlideCourse glide = glideCourse(out.data() + 19200, 28800, 57, 69);
    const double arrivalMs = (glide.arrivalFrame + 19200 - 24000) / 48.0;
    std::printf("glide: arrives %.2f ms after the note-on\n", arrivalMs);
    EXPECT_TRUE(glide.rising);
    EXPECT_EQ(glide.semitonesPassed, 13);
    EXPECT_NEAR(arrivalMs, 200.0, 3.0);

    const std::vector<float> apart =
        playExpressive(detached, 48000, {{"glide", 200}, {"glide_legato", 1}});
    EXPECT_LT(std::fabs(centsFrom(pitchHz(apart.data() + 24100, 2400), noteHz(69))), 5.0)
        << "a detached note glided in the legato mode";

    // From A3 (a sine) in its release the glide moves under the fade-out too: frame k
    // sounds (k + 1) / 8 cents above A3's whole-frame period (+1.44 cents).
    const SoundOptions sine{.staticValue = 0, .sliders = {1, 1, 100, 500}};
    const std::vector<float> x = playExpressive(detached, 48000, {{"glide", 200}}, sine);
    std::vector<double> rises;
    for (size_t i = 24100; i < 24900; ++i)
        if (x[i - 1] < 0.0f && x[i] >= 0.0f)
            rises.push_back(i - 1 + x[i - 1] / (x[i - 1] - x[i]));
    const double k = (rises.front() + rises.back()) / 2 - 24000;
    const double hz = (rises.size() - 1) * 48000.0 / (rises.back() - rises.front());
    EXPECT_NEAR(centsFrom(hz, noteHz(57)), 1.44 + (k + 1) / 8, 3.0) << k;
}

// The sustain pedal holds a released note until it is lifted, unless a key
// is held then; All Notes Off lifts it. Then velocity sets the level only as
// far as its sensitivity asks (a gain of about 0.5 at 64, on the amplitude
// into the byte and on the output, so about 0.25 on a plain sine), and the
// channel port chooses what is heard (0 every channel).
TEST(Expression, PedalVelocityAndChannel) {
    const std::vector<Event> held = {
        {0, {0xB0, 64, 127}}, {10, {0x90, 69, 100}}, {4800, {0x80, 69, 0}}};
    const std::pair<Event, bool> endings[] = {{{24000, {0xB0, 64, 0}}, false},
                                              {{24000, {0x90, 72, 100, 0xB0, 64, 0}}, true},
                                              {{24000, {0xB0, 123, 0}}, false}};
    for (const auto &[ending, sounds] : endings) {
        std::vector<Event> events = held;
        events.push_back(ending);
        const std::vector<float> out = playExpressive(events, 48000, {});
        EXPECT_GT(rms(out, 14400, 24000), 0.01) << int(ending.bytes[1]) << ": held nothing";
        EXPECT_EQ(rms(out, 26000, 48000) > 0.0, sounds) << int(ending.bytes[1]);
    }

    SoundOptions sine = steadySound();
    sine.staticValue = 0;
    const auto loudness = [&sine](uint8_t velocity, float sensitivity) {
        const std::vector<float> out =
            playExpressive({{0, {0x90, 69, velocity}}}, 9600, {{"velocity", sensitivity}}, sine);
        return rms(out, 4800, 9600);
    };
    EXPECT_EQ(loudness(20, 0), loudness(127, 0));
    EXPECT_NEAR(loudness(64, 100) / loudness(127, 100), 0.25, 0.04);

    // The channel turned while a key and the pedal hold a note releases it.
    Lv2Instance p(kLv2Path, kPluginUri, kEngineRate);
    setSound(p, steadySound());
    p.activate();
    const std::vector<Event> keyAndPedal = {{0, {0xB0, 64, 127, 0x90, 69, 100}}};
    Player player(p, keyAndPedal, 14400);
    player.block(4800);
    p.control("channel") = 2;
    while (!player.done())
        player.block(256);
    EXPECT_GT(rms(player.out, 2400, 4800), 0.01);
    EXPECT_EQ(rms(player.out, 7200, 14400), 0.0) << "still sounds after the channel changed";

    for (const auto &[channel, status, heard] :
         {std::tuple{0.0f, 0x95, true}, {3.0f, 0x92, true}, {3.0f, 0x90, false}}) {
        const std::vector<float> out = playExpressive(
            {{0, {static_cast<uint8_t>(status), 69, 100}}}, 4800, {{"channel", channel}});
        EXPECT_EQ(rms(out, 0, 4800) > 0.0, heard) << channel << " " << status;
    }
}

} // namespace
