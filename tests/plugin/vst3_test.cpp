// The VST3 plugin in a small VST3 host beside the LV2 plugin in the lilv host:
// the same sound bit for bit under notes, automation inside blocks, the
// controllers and bend through the MIDI mapping and a Program Change; its
// parameters, the state it shares with the CLAP plugin, careless hosts, its panel.
#include "tests/plugin/plugin_render.h"
#include "tests/support/allocation_counter.h"
#include "tests/support/desktop.h"
#include "tests/support/vst3_host.h"
#ifdef ONDRILUX_CLAP_FILE
#include "tests/support/clap_host.h"
#endif

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <tuple>

namespace {

const std::string kVst3File = ONDRILUX_VST3_FILE;
constexpr v3_param_id kProgram = 0x100;

// Notes on block edges and inside blocks, legato, velocity 0 ending notes, a
// real-time byte, RPN 0 with data entry, the pedal, bends either side of a
// change of channel.
const std::vector<Event> kNotes = {
    {100, {0x90, 60, 100}},          {4095, {0x90, 67, 90}},          {4096, {0xF8}},
    {4097, {0x80, 60, 0}},           {9000, {0x90, 72, 100, 74, 80}}, {14001, {0x80, 67, 0}},
    {16000, {0xB0, 101, 0, 100, 0}}, {16001, {0xB0, 6, 7}},           {20000, {0x90, 74, 0, 72, 0}},
    {26111, {0x90, 48, 90}},         {30000, {0xE0, 0x7F, 0x60}},     {33000, {0xE3, 0x00, 0x10}},
    {40000, {0x80, 48, 0}},          {40500, {0xB0, 64, 127}},        {41234, {0x90, 81, 64}},
};

// Every control moved inside a block, some past their ranges, one at a note's
// frame; the operation at 20500 comes to the VST3 plugin as program 8.
const std::vector<Automation> kAutomation = {
    {1000, "operation", 5},   {4100, "static_value", 80}, {9001, "range_top", 100},
    {9001, "decay", 1e9f},    {12000, "velocity", 100},   {15000, "bend_range", 12},
    {17000, "release", 50},   {20500, "operation", 9},    {26111, "range_bottom", -1e30f},
    {27000, "glide", 300},    {29000, "glide_legato", 1}, {31000, "attack", 300},
    {32000, "channel", 4},    {37777, "sustain", 7.5f},   {39000, "channel", 0},
    {41234, "quick_start", 0}};

double normalized(const Vst3Instance &p, v3_param_id id, double plain) {
    return v3_cpp_obj(p.controller)->plain_parameter_to_normalised(p.controller, id, plain);
}

// The take in blocks of 256 frames after a first of 12000, longer than the
// host announced (8192); a control before a message at its frame, each
// control's value after a NaN and a -inf, which must not stay. What the
// plugin sends the host is kept in `sent`, whose room is made beforehand.
void play(Vst3Instance &p, std::vector<float> &out,
          std::vector<std::pair<v3_param_id, double>> &sent) {
    size_t e = 0, a = 0;
    for (uint32_t start = 0, end; start < out.size(); start = end) {
        end = std::min<uint32_t>(start + (start ? 256 : 12000), static_cast<uint32_t>(out.size()));
        const auto addNotesBefore = [&](uint32_t frame) {
            for (; e < kNotes.size() && kNotes[e].frame < frame; ++e)
                p.addMidi(kNotes[e].frame - start, kNotes[e].bytes.data(), kNotes[e].bytes.size());
        };
        p.clearEvents();
        for (; a < kAutomation.size() && kAutomation[a].frame < end; ++a) {
            addNotesBefore(kAutomation[a].frame);
            uint32_t id = 0;
            while (std::strcmp(kControlPorts[id].symbol, kAutomation[a].symbol) != 0)
                ++id;
            id = kControlPorts[id].index;
            if (kAutomation[a].frame == 20500) // as a DAW passes Program Change 8
                p.addParam(kAutomation[a].frame - start, kProgram, 8 / 12.f);
            else
                for (const double v :
                     {double{NAN}, -HUGE_VAL, normalized(p, id, kAutomation[a].value)})
                    p.addParam(kAutomation[a].frame - start, id, v);
        }
        addNotesBefore(end);
        EXPECT_EQ(p.process(out.data() + start, end - start), V3_OK);
        sent.insert(sent.end(), p.sent.begin(), p.sent.end());
    }
}

// At the engine's rate and through the converter the VST3 plugin plays what
// the LV2 plugin plays, reports its latency (telling the host when it
// changes), lets the host follow the program, and allocates nothing as it plays.
class Vst3 : public ::testing::TestWithParam<double> {};

TEST_P(Vst3, PlaysTheLv2PluginsSoundWithTheSameLatency) {
    Lv2Instance lv2(kLv2Path, kPluginUri, GetParam());
    lv2.activate();
    const std::vector<float> expected = play(lv2, kNotes, kAutomation, 48000, 256);
    Vst3Instance vst3(kVst3File);
    ASSERT_TRUE(vst3.ok() && vst3.activate(GetParam()));
    const uint32_t latency = v3_cpp_obj(vst3.processor)->get_latency_samples(vst3.processor);
    EXPECT_EQ(latency, std::lrint(lv2.control("latency")));
    EXPECT_EQ(vst3.kinds, latency ? "r" : "") << "a new latency is told the host";
    std::vector<float> out(48000);
    std::vector<std::pair<v3_param_id, double>> sent;
    sent.reserve(64);
    countAllocations(true);
    const long before = countedAllocations();
    play(vst3, out, sent);
    EXPECT_EQ(countedAllocations() - before, 0);
    countAllocations(false);
    EXPECT_EQ(firstDifference(out, expected), -1);
    EXPECT_GT(rms(out, 0, out.size()), 0.01);
    EXPECT_EQ(sent, (decltype(sent){{kOperationPort, 8.0 / 12}})) << "program 8: operation 9";
    std::printf("at %.0f frames/s: latency %u frames\n", GetParam(), latency);
}

INSTANTIATE_TEST_SUITE_P(Rates, Vst3, ::testing::Values(48000.0, 44100.0));

// The controls by port index (only they automatable, the level none) with
// their titles, units, steps and defaults, every stepped value there and back
// exactly, words both ways; hidden, the program and the controllers the
// engine answers on every channel, which the mapping gives and nothing else.
TEST(Vst3Params, TheControlsByIndexAndTheMappedControllersHidden) {
    Vst3Instance p(kVst3File);
    auto *c = v3_cpp_obj(p.controller);
    const int32_t count = c->get_parameter_count(p.controller);
    EXPECT_EQ(count, 14 + 1 + 16 * 20); // 19 controllers and the bend on 16 channels
    const auto text = [](const int16_t *s) { return std::string(s, std::find(s, s + 128, 0)); };
    const std::tuple<int32_t, uint32_t, std::string, int32_t, double, int32_t> infos[] = {
        {0, 2, "Bit operation", 12, 0.0, V3_PARAM_CAN_AUTOMATE | V3_PARAM_IS_LIST},
        {3, 5, "Decay in ms", 0, 999.0 / 4999, V3_PARAM_CAN_AUTOMATE},
        {14, kProgram, "Program", 12, 0.0,
         V3_PARAM_PROGRAM_CHANGE | V3_PARAM_IS_LIST | V3_PARAM_IS_HIDDEN},
        {count - 1, 0x1F81, "Pitch bend, channel 16", 16383, 8192.0 / 16383, V3_PARAM_IS_HIDDEN}};
    for (const auto &[index, id, title, steps, initial, flags] : infos) {
        v3_param_info i{};
        c->get_parameter_info(p.controller, index, &i);
        EXPECT_EQ(std::tuple(i.param_id, text(i.title) + (i.units[0] ? " in " + text(i.units) : ""),
                             i.step_count, i.default_normalised_value, i.flags),
                  std::tuple(id, title, steps, initial, flags));
    }
    int automatable = 0;
    for (int32_t index = 0; index < count; ++index) {
        v3_param_info i{};
        c->get_parameter_info(p.controller, index, &i);
        automatable += (i.flags & V3_PARAM_CAN_AUTOMATE) != 0;
        EXPECT_NE(i.param_id, static_cast<uint32_t>(kLevelPort));
        for (int32_t step = 0; i.step_count > 0 && step <= i.step_count; ++step) {
            const double n = static_cast<double>(step) / i.step_count;
            const double plain = c->normalised_parameter_to_plain(p.controller, i.param_id, n);
            ASSERT_EQ(normalized(p, i.param_id, plain), n) << i.param_id << " at " << plain;
        }
    }
    EXPECT_EQ(automatable, 14);
    EXPECT_EQ(c->set_parameter_normalised(p.controller, kSustainPort, NAN) +
                  c->set_parameter_normalised(p.controller, kLevelPort, 0.5),
              2 * V3_INVALID_ARG);
    for (const auto &[id, value, words] : {std::tuple(2u, 2.0 / 12, "XOR with the static value"),
                                           {16u, 0.0, "All"},
                                           {kProgram, 1.0, "swap bits 2-3 with 5-6"}}) {
        v3_str_128 shown{}, typed{};
        double read = -1;
        c->get_parameter_string_for_value(p.controller, id, value, shown);
        std::copy(words, words + std::strlen(words), typed);
        c->get_parameter_value_for_string(p.controller, id, typed, &read);
        EXPECT_EQ(std::pair(text(shown), read), std::pair(std::string(words), value));
    }
    v3_midi_mapping **mapping = nullptr;
    v3_cpp_obj_query_interface(p.controller, v3_midi_mapping_iid, &mapping);
    for (const auto &[channel, controller, id] :
         {std::tuple<int16_t, int16_t, v3_param_id>(2, 64, 0x1240),
          {0, 71, 0x1047},
          {0, 7, 0},
          {16, 64, 0},
          {0, 128, 0}}) {
        v3_param_id got = 0;
        v3_cpp_obj(mapping)->get_midi_controller_assignment(mapping, 0, channel, controller, &got);
        EXPECT_EQ(got, id) << "CC " << controller << " on channel " << channel;
    }
    v3_cpp_obj_unref(mapping);
}

// The state is the CLAP plugin's text: what one saves the other loads,
// component and controller alike, however few bytes a read brings. Another
// version, a state cut short or garbage is refused and the controls stay; so
// they do where a careless host plays before activating (silence) or asks for
// a rate no converter serves.
TEST(Vst3State, TheClapPluginsTextBothWaysAndBadStatesRefused) {
    Vst3Instance a(kVst3File), b(kVst3File);
    for (const auto &[port, value] :
         {std::pair{kOperationPort, 0.5}, {kDecayPort, 1.0}, {kChannelPort, 0.0}})
        a.addParam(0, port, value);
    std::vector<float> out(100, NAN);
    EXPECT_TRUE(a.process(out.data(), 100) == V3_OK && out[99] == 0.0f);
    EXPECT_FALSE(a.activate(0.0) || a.activate(1e7));
    const std::string saved = a.saveState();
    EXPECT_EQ(saved, "ondrilux-state 1\noperation 7\nstatic_value 50\nattack 1\ndecay 5000\n"
                     "sustain 50\nrelease 1500\nrange_top 40\nrange_bottom 90\nquick_start 1\n"
                     "bend_range 2\nglide 0\nglide_legato 0\nvelocity 0\nchannel 0\n");
    for (const std::string &bad : {std::string(), saved.substr(0, saved.size() - 1),
                                   "ondrilux-state 2" + saved.substr(16), std::string("\x7f ELF")})
        EXPECT_FALSE(b.loadState(bad, 1) || b.plain(kOperationPort) != 1) << bad;
    EXPECT_TRUE(b.loadState(saved, 1));
    EXPECT_EQ(std::tuple(b.plain(kOperationPort), b.plain(kDecayPort), b.saveState()),
              std::tuple(7, 5000, saved));
#ifdef ONDRILUX_CLAP_FILE
    ClapInstance clap(ONDRILUX_CLAP_FILE, "org.ondrilux.ondrilux");
    ASSERT_TRUE(clap.loadState(saved));
    clap.addParam(0, kGlidePort, 120);
    clap.flush();
    EXPECT_TRUE(b.loadState(clap.saveState(), 3));
    EXPECT_EQ(std::pair(b.plain(kGlidePort), b.saveState()), std::pair(120.0, clap.saveState()));
#endif
}

// MIDI Tuning Standard messages in VST3's data events, as Ardour passes system
// exclusive on, play as ondrilux-render --expressive plays them, bit for bit
// and allocating nothing: an octave tuning (E 25 cents sharp, from the next
// note), then a real-time change of the held E to a quarter tone sharp.
TEST(Vst3Tuning, MidiTuningInDataEventsPlaysAsTheRenderer) {
    std::vector<uint8_t> octave = {0xF0, 0x7E, 0x7F, 8, 9, 3, 0x7F, 0x7F};
    for (int pitchClass = 0; pitchClass < 12; ++pitchClass) // 8192 + 25 * 8192 / 100 for E
        octave.insert(octave.end(), {static_cast<uint8_t>(pitchClass == 4 ? 0x50 : 0x40), 0});
    octave.push_back(0xF7);
    const std::vector<Event> notes = {
        {0, octave},
        {100, {0x90, 64, 100}},
        {20000, {0xF0, 0x7F, 0x7F, 8, 2, 0, 1, 64, 64, 0x20, 0, 0xF7}},
        {40000, {0x80, 64, 0}}};
    Vst3Instance p(kVst3File);
    ASSERT_TRUE(p.ok() && p.activate(kEngineRate));
    std::vector<float> out(256 * 180);
    countAllocations(true);
    const long before = countedAllocations();
    for (uint32_t start = 0, e = 0; start < out.size(); start += 256) {
        p.clearEvents();
        for (; e < notes.size() && notes[e].frame < start + 256; ++e)
            p.addMidi(notes[e].frame - start, notes[e].bytes.data(), notes[e].bytes.size());
        p.process(out.data() + start, 256);
    }
    EXPECT_EQ(countedAllocations() - before, 0);
    countAllocations(false);
    EXPECT_EQ(firstDifference(
                  out, engineRender({.quickStart = true, .expressive = true}, notes, 256 * 180)),
              -1);
}

// The panel opens in the host's window (the screen's root here), driven
// through the frame's run loop, at the scale the host sets; it refuses no
// frame, a missing parent and a second attach. A drag on a slider reaches the
// host as beginEdit, performEdit and endEdit, in order and paired, a click as
// one edit.
TEST(Vst3Panel, OpensThroughIPlugViewAndEditsThroughTheHost) {
    const char *display = std::getenv("DISPLAY");
    Vst3Instance p(kVst3File);
    v3_plugin_view **view = v3_cpp_obj(p.controller)->create_view(p.controller, "editor");
    if (!display || !view)
        GTEST_SKIP() << "needs an X display and the plugin's panel (cairo, Xlib)";
    auto *v = v3_cpp_obj(view);
    auto *root = reinterpret_cast<void *>(
        std::stoul(shell(display, "xwininfo -root | awk '/Window id/ {print $4}'"), nullptr, 16));
    const char *x11 = "X11EmbedWindowID";
    EXPECT_EQ(v->removed(view) + v->attached(view, root, x11), 2 * V3_FALSE) << "no frame";
    v->set_frame(view, p.frame);
    EXPECT_EQ(v->attached(view, reinterpret_cast<void *>(0x1ffffff0), x11), V3_FALSE);
    v3_plugin_view_content_scale **scale = nullptr;
    v3_cpp_obj_query_interface(view, v3_plugin_view_content_scale_iid, &scale);
    EXPECT_EQ(v3_cpp_obj(scale)->set_content_scale_factor(scale, 100.0f), V3_FALSE);
    v3_cpp_obj(scale)->set_content_scale_factor(scale, 2.0f);
    v3_view_rect size{};
    v->get_size(view, &size);
    EXPECT_EQ(std::pair(size.right, size.bottom), std::pair(1792, 932));
    v3_cpp_obj(scale)->set_content_scale_factor(scale, 1.0f);
    ASSERT_EQ(v->attached(view, root, x11), V3_OK);
    EXPECT_EQ(v->attached(view, root, x11), V3_FALSE);
    const auto tickUntil = [&p](size_t calls) {
        for (int i = 0; i < 100 && (i < 3 || p.calls.size() < calls); ++i, sleepMs(30))
            p.tick();
    };
    tickUntil(0);
    std::filesystem::create_directories(testOutDir());
    EXPECT_EQ(screenshot(display, testOutDir() + "/vst3-panel.png").at(4, 4),
              (Rgb{0xEC, 0xEC, 0xEC}));
    for (const auto &[move, calls] :
         {std::pair("mousemove 500 64 click 1", 5u), // the operation AND
          {"mousemove 200 325 mousedown 1", 7u},     // the static value
          {"mousemove 260 325", 8u},
          {"mouseup 1", 9u}}) {
        xdotool(display, move);
        tickUntil(calls);
    }
    EXPECT_EQ(v->removed(view), V3_OK);
    EXPECT_EQ(p.kinds, "TFbpebppetf");
    EXPECT_EQ(std::tuple(p.calls.at(0).id, p.calls.at(3).id, p.calls.at(3).value),
              std::tuple(30u, 2u, 1.0 / 12));
    for (size_t i = 5; i < 9; ++i)
        EXPECT_EQ(p.calls.at(i).id, static_cast<uint64_t>(kStaticValuePort)) << i;
    EXPECT_EQ(p.plain(kStaticValuePort), std::lrint(p.calls.at(7).value * 100));
    v3_cpp_obj_unref(scale);
    v3_cpp_obj_unref(view);
}

} // namespace
