// The CLAP plugin in a small CLAP host in this process, beside the LV2 plugin
// in the lilv host: the same sound bit for bit, with parameters set at frames
// inside blocks; its parameters, state and latency; and Qtractor's scanner.
#include "tests/plugin/plugin_render.h"
#include "tests/support/allocation_counter.h"
#include "tests/support/clap_host.h"
#include "tests/support/desktop.h"

#include "midi/short_messages.h"
#include "plugins/clap/gesture_queue.h"

#include <clap/ext/gui.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <thread>
#include <tuple>

#include <unistd.h>

// Xlib's error handler is the whole process's: this program keeps Xlib's
// default and counts every setting of another, the plugin's too, as it exports
// the function (whose handler is a pointer).
int gErrorHandlerSettings = 0;
extern "C" void *XSetErrorHandler(void *handler) {
    gErrorHandlerSettings += handler != nullptr;
    return nullptr;
}

namespace {

const std::string kClapFile = ONDRILUX_CLAP_FILE, kClapId = "org.ondrilux.ondrilux";
constexpr uint32_t kFrames = 48000;
constexpr float kNan = std::numeric_limits<float>::quiet_NaN(),
                kInf = std::numeric_limits<float>::infinity();

// Notes on block edges and inside blocks, legato, two messages in one event,
// velocity 0, a real-time byte, the wheel, the pedal, a bend and a tuning
// message (A2 a quarter tone sharp, at once).
const std::vector<Event> kNotes = {
    {100, {0x90, 60, 100}},        {4095, {0x90, 67, 90}},          {4096, {0xF8}},
    {4097, {0x80, 60, 0}},         {9000, {0x90, 72, 100, 74, 80}}, {14001, {0x80, 67, 0}},
    {20000, {0x90, 74, 0, 72, 0}}, {26111, {0x90, 48, 90}},         {30000, {0xE0, 0x7F, 0x60}},
    {34567, {0xF0, 0x7F, 0x10, 8, 2, 0, 1, 48, 48, 0x40, 0, 0xF7}},
    {40000, {0x80, 48, 0}},        {40500, {0xB0, 64, 127}},        {41234, {0x90, 81, 64}},
};

// Every control moved inside a block, some out of range, NaN or infinite
// (the LV2 ports' values), one at a note's frame.
const std::vector<Automation> kAutomation = {
    {1000, "operation", 5},   {4100, "static_value", 80}, {9001, "range_top", 100},
    {9001, "decay", kInf},    {12000, "velocity", 100},   {15000, "bend_range", 12},
    {17000, "release", 50},   {20500, "operation", kNan}, {26111, "range_bottom", -1e30f},
    {27000, "glide", 300},    {29000, "glide_legato", 1}, {31000, "attack", 300},
    {37777, "sustain", 7.5f}, {39000, "channel", 0},      {41234, "quick_start", 0},
};

// Event e into the block that starts at frame `start`.
void addEvent(ClapInstance &p, const Event &e, uint32_t start, bool asNotes) {
    if (e.bytes[0] == 0xF0)
        return p.addMidi(e.frame - start, e.bytes.data(), e.bytes.size());
    forEachShortMessage(e.bytes.data(), e.bytes.size(), [&](uint32_t m) {
        const uint8_t status = m & 0xFF, key = (m >> 8) & 0xFF, velocity = (m >> 16) & 0xFF;
        const uint8_t bytes[] = {status, key, velocity};
        if (asNotes && (status & 0xE0) == 0x80) {
            const bool on = (status & 0xF0) == 0x90 && velocity > 0;
            p.addNote(e.frame - start, on ? CLAP_EVENT_NOTE_ON : CLAP_EVENT_NOTE_OFF, status & 0x0F,
                      key, velocity / 127.0);
        } else {
            p.addMidi(e.frame - start, bytes, sizeof bytes);
        }
    });
}

// The plugin in blocks of `block` frames into `out` (the take's length), each
// block's events at their frames, a control before a message at its frame;
// note-on and note-off as CLAP's note events if `asNotes`. No allocation.
void play(ClapInstance &p, const std::vector<Event> &events,
          const std::vector<Automation> &automation, uint32_t block, bool asNotes,
          std::vector<float> &out) {
    const auto frames = static_cast<uint32_t>(out.size());
    size_t e = 0, a = 0;
    for (uint32_t start = 0; start < frames; start += block) {
        const uint32_t end = std::min(start + block, frames);
        p.clearEvents();
        for (; a < automation.size() && automation[a].frame < end; ++a) {
            for (; e < events.size() && events[e].frame < automation[a].frame; ++e)
                addEvent(p, events[e], start, asNotes);
            for (const ControlPort &c : kControlPorts)
                if (std::strcmp(c.symbol, automation[a].symbol) == 0)
                    p.addParam(automation[a].frame - start, c.index, automation[a].value);
        }
        for (; e < events.size() && events[e].frame < end; ++e)
            addEvent(p, events[e], start, asNotes);
        p.process(out.data() + start, end - start);
    }
}

// At the engine's rate and through the converter, with MIDI or CLAP's notes,
// the CLAP plugin plays what the LV2 plugin plays (its blocks ending where a
// control is set), reports its latency, and allocates nothing while it plays.
class Clap : public ::testing::TestWithParam<double> {};

TEST_P(Clap, PlaysTheLv2PluginsSoundWithTheSameLatency) {
    const double rate = GetParam();
    float lv2Latency = 0.0f;
    const auto lv2Render = [&](const std::vector<Automation> &automation) {
        Lv2Instance lv2(kLv2Path, kPluginUri, rate);
        EXPECT_TRUE(lv2.ok());
        lv2.activate();
        std::vector<float> out = play(lv2, kNotes, automation, kFrames, 256);
        lv2Latency = lv2.control("latency");
        return out;
    };
    // CLAP truncates a stepped parameter's value (sustain 7.5 is 7); LV2's ports round.
    std::vector<Automation> truncated = kAutomation;
    for (Automation &a : truncated)
        a.value = std::trunc(a.value);
    const std::vector<float> expected = lv2Render(truncated);
    ASSERT_NE(firstDifference(expected, lv2Render({})), -1) << "the automation changed nothing";
    for (const bool asNotes : {false, true}) {
        ClapInstance clap(kClapFile, kClapId);
        countAllocations(true);
        const long start = countedAllocations();
        ASSERT_TRUE(clap.ok() && clap.activate(rate));
        EXPECT_TRUE(rate == kEngineRate || countedAllocations() > start)
            << "the counter does not see the plugin's allocations";
        const uint32_t latency =
            clap.extension<clap_plugin_latency_t>(CLAP_EXT_LATENCY)->get(clap.plugin());
        EXPECT_EQ(latency, std::lrint(lv2Latency));
        std::vector<float> out(kFrames);
        const long before = countedAllocations();
        play(clap, kNotes, kAutomation, 256, asNotes, out);
        EXPECT_EQ(countedAllocations() - before, 0);
        countAllocations(false);
        EXPECT_EQ(firstDifference(out, expected), -1) << (asNotes ? "CLAP notes" : "MIDI");
        std::printf("at %.0f frames/s, %s: latency %u frames\n", rate,
                    asNotes ? "CLAP notes" : "MIDI", latency);
    }
}

// At 22050 frames/s the converter's delay is 23.6 frames: 24 reported.
INSTANTIATE_TEST_SUITE_P(Rates, Clap, ::testing::Values(48000.0, 44100.0, 22050.0));

// The parameters are the LV2 plugin's control ports (id, name, range,
// default), shown as its scale points name them and read back from that
// text. The host here offers no extension: the plugin plays all the same.
TEST(ClapParams, TheLv2PluginsControlPortsByIndexWithTheirTexts) {
    ClapInstance p(kClapFile, kClapId, true);
    ASSERT_TRUE(p.ok() && p.activate(kEngineRate));
    const auto *params = p.extension<clap_plugin_params_t>(CLAP_EXT_PARAMS);
    ASSERT_EQ(params->count(p.plugin()), 14u);
    clap_param_info_t info;
    ASSERT_TRUE(params->get_info(p.plugin(), 13, &info));
    EXPECT_EQ(info.id, 16u);
    EXPECT_STREQ(info.name, "MIDI channel");
    EXPECT_EQ(info.flags, CLAP_PARAM_IS_AUTOMATABLE | CLAP_PARAM_IS_STEPPED);
    EXPECT_EQ(std::tuple(info.min_value, info.max_value, info.default_value), std::tuple(0, 16, 1));
    EXPECT_FALSE(params->get_info(p.plugin(), 14, &info));
    EXPECT_TRUE(params->get_info(p.plugin(), 6, &info) && // the range's top
                (info.flags & CLAP_PARAM_IS_MODULATABLE_PER_KEY));
    const std::tuple<clap_id, double, const char *, double> texts[] = {
        {2, 3, "XOR with the static value", 3},
        {2, 99, "swap bits 2-3 with 5-6", 13},
        {2, 2.7, "AND with the static value", 2},
        {4, 1, "0.1 ms", 1},
        {4, 1000.9, "17 ms", 997},
        {4, 2000, "3.00 s", 2000},
        {16, 0, "All", 0},
        {16, 5.4, "5", 5},
        {10, 1, "On", 1},
        {14, 0.2, "Off", 0},
        {5, kNan, "1000", 1000},
        {5, -kInf, "1", 1}};
    for (const auto &[id, value, text, back] : texts) {
        char shown[CLAP_NAME_SIZE];
        double read = -1;
        EXPECT_TRUE(params->value_to_text(p.plugin(), id, value, shown, sizeof shown));
        EXPECT_STREQ(shown, text) << id << " at " << value;
        EXPECT_TRUE(params->text_to_value(p.plugin(), id, text, &read));
        EXPECT_EQ(read, back) << text;
    }
    double read = -1;
    EXPECT_TRUE(params->text_to_value(p.plugin(), 5, "9999", &read) && read == 5000);
    EXPECT_TRUE(params->text_to_value(p.plugin(), 5, "-3", &read) && read == 1);
    EXPECT_FALSE(params->text_to_value(p.plugin(), 5, "1e3", &read));
    EXPECT_TRUE(params->text_to_value(p.plugin(), 4, "0.5 s", &read) && read == 1653);
    EXPECT_TRUE(params->text_to_value(p.plugin(), 4, "17", &read) && read == 997);
    EXPECT_FALSE(params->get_value(p.plugin(), kOutPort, &read)) << "the output is no parameter";
    std::vector<float> out(kFrames);
    play(p, kNotes, kAutomation, 1000, true, out);
    EXPECT_GT(rms(out, 0, kFrames), 0.01);
    // A note-on of CLAP's velocity 0 is the softest note, and one past the
    // block's end plays at its end: the next block sounds.
    ClapInstance q(kClapFile, kClapId);
    ASSERT_TRUE(q.ok() && q.activate(kEngineRate));
    q.addNote(300, CLAP_EVENT_NOTE_ON, 0, 69, 0.0);
    q.process(out.data(), 256);
    q.clearEvents();
    q.process(out.data() + 256, 256);
    EXPECT_EQ(rms(out, 0, 256), 0.0);
    EXPECT_GT(rms(out, 256, 512), 0.01);
}

// A state names every control by its symbol after a line of its version;
// another instance takes it whole (read a few bytes at a time, as hosts may
// hand it over) and tells the host. A state truncated, of another version or
// out of range is refused and leaves the controls as they were.
TEST(ClapState, SavedAndRestoredBySymbolAndBadStatesRefused) {
    ClapInstance a(kClapFile, kClapId), b(kClapFile, kClapId);
    ASSERT_TRUE(a.ok() && b.ok());
    for (const auto &[id, value] :
         {std::pair{kOperationPort, 7.0}, {kDecayPort, 1e9}, {kChannelPort, 0.0}})
        a.addParam(0, id, value);
    a.addParam(0, kStaticValuePort, 50.99); // truncated
    a.flush();
    const std::string saved = a.saveState();
    EXPECT_EQ(saved, "ondrilux-state 1\noperation 7\nstatic_value 50\nattack 1\ndecay 5000\n"
                     "sustain 50\nrelease 1500\nrange_top 40\nrange_bottom 90\nquick_start 1\n"
                     "bend_range 2\nglide 0\nglide_legato 0\nvelocity 0\nchannel 0\n");
    b.addParam(0, kStaticValuePort, 20);
    b.flush();
    const std::string version2 = "ondrilux-state 2" + saved.substr(16);
    std::string outOfRange = saved, misspelt = saved, twice = saved;
    outOfRange.replace(outOfRange.find("5000"), 4, "5001");
    twice.replace(twice.find("velocity"), 8, "glide"); // and no velocity
    misspelt.replace(misspelt.find("sustain"), 7, "sustian");
    // A tuning's file past the state's end, without its line's end, twice,
    // of a negative size, or one that is no scale.
    for (const std::string &bad :
         {std::string(), saved.substr(0, saved.size() - 1),
          saved.substr(0, saved.rfind("velocity")), version2, outOfRange, misspelt, twice,
          std::string(5000, '\n'), std::string("\x7f ELF"), saved + "scale_text 9\n1\n2\n",
          saved + "scale_text 1\n12\n", saved + "scale_text 0\n\nscale_text 0\n\n",
          saved + "keyboard_map_text -1\n", saved + "scale_text 3 a.scl\n1/0\n"}) {
        EXPECT_FALSE(b.loadState(bad)) << bad;
        EXPECT_EQ(std::tuple(b.param(kStaticValuePort), b.param(kOperationPort)),
                  std::tuple(20, 1));
    }
    EXPECT_EQ(b.rescans, 0);
    EXPECT_TRUE(b.loadState(saved, 7));
    EXPECT_EQ(b.saveState(), saved);
    EXPECT_EQ(b.rescans, 1);
}

// A take in blocks of 256 frames, `add(start)` adding each block's events: no allocation.
template <typename Add> std::vector<float> take(ClapInstance &p, uint32_t frames, Add add) {
    std::vector<float> out(frames);
    const long before = (countAllocations(true), countedAllocations());
    for (uint32_t start = 0; start < frames; start += 256, p.clearEvents()) {
        add(start);
        p.process(out.data() + start, std::min(256u, frames - start));
    }
    EXPECT_EQ(countedAllocations() - before, 0);
    countAllocations(false);
    return out;
}

// The tuning's files in a state play what ondrilux-render --scale
// --keyboard-map --expressive plays, bit for bit, from the block after the
// state is loaded and after a reset; saved again, the state is the same text.
// A note tuned by CLAP's note expression sounds as the note bent by as many
// semitones from its frame; one for a key that does not sound changes nothing.
TEST(ClapTuning, AStatesFilesAndANotesExpressionPlayAsTheRenderer) {
    const ScalaFilesOnDisk files = writeScalaFiles("clap-tuning");
    ClapInstance p(kClapFile, kClapId);
    ASSERT_TRUE(p.ok() && p.activate(kEngineRate));
    const std::string state =
        p.saveState() + "scale_text " + std::to_string(files.scaleText.size()) + " " + files.scale +
        "\n" + files.scaleText + "\nkeyboard_map_text " +
        std::to_string(files.keyboardMapText.size()) + "\n" + files.keyboardMapText + "\n";
    ASSERT_TRUE(p.loadState(state, 100));
    EXPECT_EQ(p.saveState(), state);
    const std::vector<Event> bent = {
        {100, {0x90, 60, 127}}, {12000, {0xE0, 0, 80}}, {30000, {0x80, 60, 0}}}; // 2048 up: 0.5
    const auto played = [&p] {
        return take(p, kFrames, [&p](uint32_t start) {
            const auto in = [start](uint32_t frame) { return frame - start < 256; };
            if (in(100))
                p.addNote(100 - start, CLAP_EVENT_NOTE_ON, 0, 60, 1.0, 7);
            if (in(12000))
                p.addNoteExpression(12000 - start, 60, 7, 0.5);
            if (in(18000)) // a note that does not sound
                p.addNoteExpression(18000 - start, 61, -1, 0.5);
            if (in(30000))
                p.addNote(30000 - start, CLAP_EVENT_NOTE_OFF, 0, 60, 1.0, 7);
        });
    };
    const std::vector<float> expected = engineRender(
        {.quickStart = true, .expressive = true, .tuning = files.tuning}, bent, kFrames);
    EXPECT_EQ(firstDifference(played(), expected), -1);
    p.plugin()->reset(p.plugin());
    EXPECT_EQ(firstDifference(played(), expected), -1);
}

// With the channel "All", CLAP's notes ({frame, {type, channel, key}}, 0xFF
// any) sound as each row's MIDI: a key's end on any channel ends its notes and
// holds the other key; a choke of the voice, sounding or releasing, silences it
// as All Sound Off does, of a key held under it ends that key alone. A reset
// then leaves nothing in the converter.
TEST(ClapNotes, AnyChannelEndsWhatWasPlayedAChokeSilencesTheVoiceAndAResetAll) {
    constexpr uint8_t kOn = CLAP_EVENT_NOTE_ON, kOff = CLAP_EVENT_NOTE_OFF,
                      kChoke = CLAP_EVENT_NOTE_CHOKE, kAny = 0xFF;
    const std::pair<std::vector<Event>, std::vector<Event>> rows[] = {
        {{{0, {kOn, 0, 60}}, {100, {kOn, 1, 64}}, {5000, {kOff, kAny, 60}}},
         {{0, {0x90, 60, 127}}, {100, {0x91, 64, 127}}, {5000, {0x80, 60, 0}}}},
        {{{0, {kOn, 0, 60}}, {5000, {kChoke, kAny, 60}}},
         {{0, {0x90, 60, 127}}, {5000, {0xB0, 120, 0}}}},
        {{{0, {kOn, 0, 60}}, {100, {kOn, 0, 64}}, {5000, {kChoke, 0, 60}}},
         {{0, {0x90, 60, 127}}, {100, {0x90, 64, 127}}, {5000, {0x80, 60, 0}}}},
        {{{0, {kOn, 0, 60}}, {2000, {kOff, 0, 60}}, {5000, {kChoke, kAny, kAny}}},
         {{0, {0x90, 60, 127}}, {2000, {0x80, 60, 0}}, {5000, {0xB0, 120, 0}}}}};
    for (const auto &[notes, midi] : rows) {
        ClapInstance clap(kClapFile, kClapId), reference(kClapFile, kClapId);
        ASSERT_TRUE(clap.ok() && clap.activate(44100) && reference.activate(44100));
        std::vector<float> expected(12000);
        play(reference, midi, {{0, "channel", 0}}, 256, false, expected);
        const std::vector<float> out = take(clap, 12000, [&](uint32_t start) {
            clap.addParam(0, kChannelPort, 0);
            for (const auto &[frame, n] : notes)
                if (frame >= start && frame < start + 256)
                    clap.addNote(frame - start, n[0], static_cast<int8_t>(n[1]),
                                 static_cast<int8_t>(n[2]), n[0] == kOn);
        });
        EXPECT_EQ(firstDifference(out, expected), -1) << int{notes.back().bytes[0]} << " at 5000";
        clap.plugin()->reset(clap.plugin());
        EXPECT_EQ(rms(take(clap, 256, [](uint32_t) {}), 0, 256), 0.0);
    }
}

// A host's LFO, PARAM_MOD every 64 frames (fractions), sounds as the same
// sweep of PARAM_VALUE, bit for bit, without moving the value the host and the
// panel see. The voice's own (its key, its note's id 5) acts on the note that
// sounds; one for another note on nothing.
TEST(ClapModulation, AnLfoSweepsAsTheSameValuesWithoutMovingTheParameter) {
    const auto sweep = [](PluginPort port, uint16_t type, int16_t key = -1, int32_t note = -1) {
        ClapInstance p(kClapFile, kClapId);
        EXPECT_TRUE(p.ok() && p.activate(kEngineRate));
        const double base = type == CLAP_EVENT_PARAM_MOD ? 0 : controlPort(port)->range.initial;
        p.addNote(0, CLAP_EVENT_NOTE_ON, 0, 69, 1.0, 5);
        std::vector<float> out = take(p, kFrames / 2, [&](uint32_t at) {
            for (uint32_t f = at; f < at + 256 && type; f += 64)
                p.addParam(f - at, port, base + 30 * std::sin(f / 3e3 + 1), type, key, note);
        });
        EXPECT_TRUE(base || p.param(port) == controlPort(port)->range.initial);
        return out;
    };
    const std::tuple<PluginPort, int16_t, int32_t, bool> rows[] = {
        {kRangeTopPort, -1, -1, true},  {kRangeBottomPort, 69, -1, true},
        {kRangeTopPort, -1, 5, true},   {kAttackPort, -1, -1, true},
        {kRangeTopPort, 70, -1, false}, {kRangeBottomPort, -1, 6, false}};
    const std::vector<float> still = sweep(kRangeTopPort, 0);
    for (const auto &[port, key, noteId, acts] : rows) {
        const std::vector<float> values = sweep(port, CLAP_EVENT_PARAM_VALUE);
        EXPECT_NE(firstDifference(values, still), -1);
        const std::vector<float> mods = sweep(port, CLAP_EVENT_PARAM_MOD, key, noteId);
        EXPECT_EQ(firstDifference(mods, acts ? values : still), -1) << port << ", key " << key;
    }
}

// The panel's acts, from a writer to a reader on two threads through a queue
// that fills: every gesture the host sees begins and ends once, none ends
// unbegun, each control's moves keep their order, and its last move arrives.
TEST(ClapPanelActs, KeepTheirOrderAndPairThroughAFullQueue) {
    GestureQueue<8> queue;
    std::vector<GestureAct> seen;
    std::atomic<bool> writing = true;
    std::thread reader([&] {
        std::minstd_rand random(1);
        for (bool last = false; !last; std::this_thread::yield()) {
            last = !writing.load();
            queue.drain([&](const GestureAct &a) {
                return (last || random() % 3) && (seen.push_back(a), true);
            });
        }
    });
    std::minstd_rand random(2);
    double last[3] = {};
    for (int i = 1; i <= 20000; ++i) { // two controls held at once, as the range's edges
        const uint32_t port = random() % 3, other = (port + 1) % 3;
        queue.begin(port), queue.begin(other);
        for (uint32_t n = random() % 5, to = port; n > 0; --n, to = n % 2 ? port : other)
            queue.value(to, last[to] = i * 10 - n);
        queue.end(port), queue.end(other);
    }
    while (queue.anyWaiting())
        queue.retry();
    writing = false;
    reader.join();
    bool open[3] = {};
    double got[3] = {};
    int begins = 0, faults = 0;
    for (const auto &[kind, port, value] : seen) {
        const bool begin = kind == GestureKind::begin, move = kind == GestureKind::value;
        faults += move ? !(value > got[port]) : begin == open[port];
        open[port] = move ? open[port] : begin;
        got[port] = move ? value : got[port];
        begins += begin;
    }
    EXPECT_EQ(faults, 0);
    for (const int port : {0, 1, 2})
        EXPECT_EQ(std::pair(open[port], got[port]), std::pair(false, last[port])) << port;
    EXPECT_TRUE(begins > 0 && begins < 40000) << begins << " gestures: the queue never filled";
}

// The panel opens in the host's window (the screen's root here) at the scale
// the host asks, and is refused where the host has no timer to drive it. The
// host's change reaches it (the wheel moves the operation on from the host's),
// its moves reach the host as parameter values in the order made (let go and
// grabbed again within one idle), and a drag cut short by the panel's end
// still ends its gesture. Opened again at 192 dpi without a scale from the
// host, it tells the size it then keeps; hidden, its window goes; it never
// sets the process's X error handler; the plugin closed mid-drag asks the host
// for nothing more.
TEST(ClapPanel, FollowsTheHostAndWritesThroughIt) {
    const char *display = std::getenv("DISPLAY");
    ClapInstance bare(kClapFile, kClapId, true), p(kClapFile, kClapId);
    const auto *gui = p.extension<clap_plugin_gui_t>(CLAP_EXT_GUI);
    if (!display || !gui)
        GTEST_SKIP() << "needs an X display and the plugin's panel (cairo, Xlib)";
    EXPECT_FALSE(gui->create(bare.plugin(), CLAP_WINDOW_API_X11, false));
    ASSERT_TRUE(gui->create(p.plugin(), CLAP_WINDOW_API_X11, false));
    EXPECT_EQ(p.timerPeriod, 30u);
    uint32_t width = 0, height = 0;
    EXPECT_FALSE(gui->set_scale(p.plugin(), 100.0));
    ASSERT_TRUE(gui->set_scale(p.plugin(), 2.0) && gui->get_size(p.plugin(), &width, &height));
    EXPECT_EQ(std::pair(width, height), std::pair(1792u, 932u));
    ASSERT_TRUE(gui->set_scale(p.plugin(), 1.0));
    clap_window_t root = {CLAP_WINDOW_API_X11, {}};
    root.x11 =
        std::stoul(shell(display, "xwininfo -root | awk '/Window id/ {print $4}'"), nullptr, 16);
    ASSERT_TRUE(gui->set_parent(p.plugin(), &root));
    p.addParam(0, kOperationPort, 5);
    p.flush();
    p.clearEvents();
    const auto tickUntil = [&p](auto done) {
        for (int i = 0; i < 100 && !done(); ++i) {
            p.tick();
            sleepMs(30);
        }
        p.flush();
    };
    p.tick();                                     // the host's value shown
    xdotool(display, "mousemove 600 83 click 5"); // the wheel down over the operations
    tickUntil([&] { return p.param(kOperationPort) != 5; });
    EXPECT_EQ(p.param(kOperationPort), 6);
    xdotool(display, "mousemove 150 325 mousedown 1"); // into the static value's slider
    tickUntil([&] { return p.param(kStaticValuePort) != 50; });
    const double grabbed = p.param(kStaticValuePort);
    sleepMs(450); // past a double-click
    xdotool(display, "mouseup 1 mousemove 170 325 mousedown 1");
    tickUntil([&] { return p.param(kStaticValuePort) != grabbed; });
    gui->destroy(p.plugin());
    p.flush();
    xdotool(display, "mouseup 1");
    EXPECT_EQ(p.timerPeriod, 0u);
    ASSERT_EQ(p.sent.size(), 7u);
    const std::tuple<uint16_t, clap_id, double> expected[] = {
        {CLAP_EVENT_PARAM_VALUE, kOperationPort, 6},
        {CLAP_EVENT_PARAM_GESTURE_BEGIN, kStaticValuePort, 0},
        {CLAP_EVENT_PARAM_VALUE, kStaticValuePort, grabbed},
        {CLAP_EVENT_PARAM_GESTURE_END, kStaticValuePort, 0},
        {CLAP_EVENT_PARAM_GESTURE_BEGIN, kStaticValuePort, 0},
        {CLAP_EVENT_PARAM_VALUE, kStaticValuePort, p.param(kStaticValuePort)},
        {CLAP_EVENT_PARAM_GESTURE_END, kStaticValuePort, 0}};
    for (size_t i = 0; i < p.sent.size(); ++i)
        EXPECT_EQ(std::tuple(p.sent[i].type, p.sent[i].id, p.sent[i].value), expected[i]) << i;

    const int settings = gErrorHandlerSettings;
    shell(display, "xprop -root -f RESOURCE_MANAGER 8s -set RESOURCE_MANAGER 'Xft.dpi: 192'");
    const bool created = gui->create(p.plugin(), CLAP_WINDOW_API_X11, false);
    shell(display, "xprop -root -remove RESOURCE_MANAGER");
    ASSERT_TRUE(created && gui->get_size(p.plugin(), &width, &height));
    EXPECT_EQ(std::pair(width, height), std::pair(1792u, 932u));
    ASSERT_TRUE(gui->set_parent(p.plugin(), &root) && gui->get_size(p.plugin(), &width, &height));
    EXPECT_EQ(std::pair(width, height), std::pair(1792u, 932u));
    const std::string mapState =
        "xwininfo -id $(xwininfo -root -children | awk '/1792x932\\+0\\+0/ "
        "{print $1}') | awk '/Map State/ {print $3}'";
    EXPECT_TRUE(gui->hide(p.plugin()) && shell(display, mapState) == "IsUnMapped\n");
    EXPECT_TRUE(gui->show(p.plugin()) && shell(display, mapState) == "IsViewable\n");
    const double before = p.param(kStaticValuePort);
    xdotool(display, "mousemove 300 650 mousedown 1"); // the static value's slider
    tickUntil([&] { return p.param(kStaticValuePort) != before; });
    const int asked = p.flushRequests;
    p.destroy();
    xdotool(display, "mouseup 1");
    EXPECT_EQ(p.flushRequests, asked);
    EXPECT_EQ(gErrorHandlerSettings, settings);
}

// The panel's "Scale..." asks the desktop's file chooser (here, with no portal
// on the session bus, a zenity that answers after 0.3 s) while the host's
// timer goes on driving the panel, and hands the file to the plugin, whose
// state then keeps it; "12-TET" lets go of it.
TEST(ClapPanel, ChoosesAScaleWithTheDesktopsFileChooser) {
    const char *display = std::getenv("DISPLAY");
    ClapInstance p(kClapFile, kClapId);
    const auto *gui = p.extension<clap_plugin_gui_t>(CLAP_EXT_GUI);
    if (!display || !gui)
        GTEST_SKIP() << "needs an X display and the plugin's panel (cairo, Xlib)";
    const ScalaFilesOnDisk files = writeScalaFiles("clap-chooser");
    std::ofstream(files.folder + "/zenity")
        << "#!/bin/sh\necho \"$@\" >\"${0%/*}/asked\"\nsleep 0.3\necho '" << files.scale << "'\n";
    std::filesystem::permissions(files.folder + "/zenity", std::filesystem::perms::owner_all);
    const std::string path = std::getenv("PATH");
    setenv("PATH", (files.folder + ":" + path).c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1); // this program's alone
    clap_window_t root = {CLAP_WINDOW_API_X11, {}};
    root.x11 =
        std::stoul(shell(display, "xwininfo -root | awk '/Window id/ {print $4}'"), nullptr, 16);
    ASSERT_TRUE(gui->create(p.plugin(), CLAP_WINDOW_API_X11, false) &&
                gui->set_scale(p.plugin(), 1.0) && gui->set_parent(p.plugin(), &root));
    double slowestTick = 0.0;
    const auto tickUntil = [&](bool chosen) {
        for (int i = 0;
             i < 100 && (p.saveState().find("scale_text") != std::string::npos) != chosen;
             ++i, sleepMs(30)) {
            const auto start = std::chrono::steady_clock::now();
            p.tick();
            slowestTick = std::max(
                slowestTick,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
    };
    p.tick();
    xdotool(display, "mousemove 531 439 click 1"); // the scale's button
    tickUntil(true);
    EXPECT_NE(p.saveState().find("scale_text " + std::to_string(files.scaleText.size()) + " " +
                                 files.scale + "\n" + files.scaleText),
              std::string::npos);
    EXPECT_NE(readFile(files.folder + "/asked").find("--file-filter=Scala scales | *.scl"),
              std::string::npos);
    EXPECT_LT(slowestTick, 0.1) << "the panel waited for the dialog";
    xdotool(display, "mousemove 811 439 click 1"); // 12-TET
    tickUntil(false);
    EXPECT_EQ(p.saveState().find("scale_text"), std::string::npos);
    gui->destroy(p.plugin());
    setenv("PATH", path.c_str(), 1);
}

// Qtractor's scanner lists the plugin as an instrument with a panel: no audio
// input, one output, one MIDI input, its fourteen parameters.
TEST(ClapInQtractor, TheScannerListsAnInstrumentWithAPanel) {
    const char *scanner = "/usr/lib/x86_64-linux-gnu/qtractor/qtractor_plugin_scan";
    if (access(scanner, X_OK) != 0)
        GTEST_SKIP() << "Qtractor is not installed";
    std::string command = "echo 'CLAP:" + kClapFile + "' | " + scanner;
#ifdef ONDRILUX_HOST_PRELOAD
    command = "echo 'CLAP:" + kClapFile +
              "' | LD_PRELOAD=" ONDRILUX_HOST_PRELOAD " ASAN_OPTIONS=detect_leaks=0 " + scanner;
#endif
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[1024] = "";
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    pclose(pipe);
    ASSERT_TRUE(read) << "the scanner listed nothing";
    std::printf("%s", line);
    EXPECT_EQ(std::string(line).rfind("CLAP|Ondrilux|0:1|1:0|14:0|GUI,", 0), 0u) << line;
}

} // namespace
