// The VST3 plugin in a small VST3 host in this process, beside the LV2 plugin
// in the lilv host: the same sound bit for bit under notes, automation inside
// blocks, pitch bend and controllers through the MIDI mapping and a Program
// Change; its parameters, the state it shares with the CLAP plugin, hosts
// that break the rules, and its panel.
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
constexpr uint32_t kFrames = 48000;

// Notes on block edges and inside blocks, legato, velocity 0 ending notes, a
// real-time byte, RPN 0 and data entry, the pedal, and bends on either side
// of a change of channel.
const std::vector<Event> kNotes = {
    {100, {0x90, 60, 100}},
    {4095, {0x90, 67, 90}},
    {4096, {0xF8}},
    {4097, {0x80, 60, 0}},
    {9000, {0x90, 72, 100, 74, 80}},
    {14001, {0x80, 67, 0}},
    {16000, {0xB0, 101, 0, 100, 0, 6, 7}},
    {20000, {0x90, 74, 0, 72, 0}},
    {26111, {0x90, 48, 90}},
    {30000, {0xE0, 0x7F, 0x60}},
    {33000, {0xE3, 0x00, 0x10}},
    {40000, {0x80, 48, 0}},
    {40500, {0xB0, 64, 127}},
    {41234, {0x90, 81, 64}},
};

// Every control moved inside a block, some past their ranges, one at a note's
// frame; the operation at 20500 comes to the VST3 plugin as Program Change 8.
const std::vector<Automation> kAutomation = {
    {1000, "operation", 5},    {4100, "static_value", 80}, {9001, "range_top", 100},
    {9001, "decay", 1e9f},     {12000, "velocity", 100},   {15000, "bend_range", 12},
    {17000, "release", 50},    {20500, "operation", 9},    {26111, "range_bottom", -1e30f},
    {27000, "glide", 300},     {29000, "glide_legato", 1}, {31000, "attack", 300},
    {32000, "channel", 4},     {37777, "sustain", 7.5f},   {39000, "channel", 0},
    {41234, "quick_start", 0},
};

uint32_t portOf(const char *symbol) {
    return static_cast<uint32_t>(
        std::find_if(std::begin(kControlPorts), std::end(kControlPorts),
                     [symbol](const ControlPort &c) { return std::strcmp(c.symbol, symbol) == 0; })
            ->index);
}

double normalized(const Vst3Instance &p, v3_param_id id, double plain) {
    return v3_cpp_obj(p.controller)->plain_parameter_to_normalised(p.controller, id, plain);
}

void addEvent(Vst3Instance &p, const Event &e, uint32_t start) {
    p.addMidi(e.frame - start, e.bytes.data(), e.bytes.size());
}

// The take in blocks of 256 frames, each block's changes and events at their
// frames, a control before a message at its frame; each control's value
// comes after a NaN and a -inf the plugin must not keep.
// What the plugin sends the host goes to `sent`, its room made beforehand.
void play(Vst3Instance &p, std::vector<float> &out,
          std::vector<std::pair<v3_param_id, double>> &sent) {
    size_t e = 0, a = 0;
    for (uint32_t start = 0; start < out.size(); start += 256) {
        const uint32_t end = std::min<uint32_t>(start + 256, static_cast<uint32_t>(out.size()));
        p.clearEvents();
        for (; a < kAutomation.size() && kAutomation[a].frame < end; ++a) {
            const Automation &change = kAutomation[a];
            for (; e < kNotes.size() && kNotes[e].frame < change.frame; ++e)
                addEvent(p, kNotes[e], start);
            const uint32_t port = portOf(change.symbol);
            if (change.frame == 20500) {
                const uint8_t program[] = {0xC0, static_cast<uint8_t>(change.value - 1)};
                p.addMidi(change.frame - start, program, sizeof program);
                continue;
            }
            for (const double v : {double{NAN}, -HUGE_VAL, normalized(p, port, change.value)})
                p.addParam(change.frame - start, port, v);
        }
        for (; e < kNotes.size() && kNotes[e].frame < end; ++e)
            addEvent(p, kNotes[e], start);
        EXPECT_EQ(p.process(out.data() + start, end - start), V3_OK);
        sent.insert(sent.end(), p.sent.begin(), p.sent.end());
    }
}

// At the engine's rate and through the converter the VST3 plugin plays what
// the LV2 plugin plays, reports its latency (telling the host when it
// changes), and allocates nothing while it plays.
class Vst3 : public ::testing::TestWithParam<double> {};

TEST_P(Vst3, PlaysTheLv2PluginsSoundWithTheSameLatency) {
    const double rate = GetParam();
    Lv2Instance lv2(kLv2Path, kPluginUri, rate);
    ASSERT_TRUE(lv2.ok());
    lv2.activate();
    const std::vector<float> expected = play(lv2, kNotes, kAutomation, kFrames, 256);
    Vst3Instance vst3(kVst3File);
    ASSERT_TRUE(vst3.ok() && vst3.activate(rate));
    const uint32_t latency = v3_cpp_obj(vst3.processor)->get_latency_samples(vst3.processor);
    EXPECT_EQ(latency, std::lrint(lv2.control("latency")));
    EXPECT_EQ(vst3.kinds, latency ? "r" : "") << "a new latency is told the host";
    std::vector<float> out(kFrames);
    std::vector<std::pair<v3_param_id, double>> sent;
    sent.reserve(16);
    countAllocations(true);
    const long before = countedAllocations();
    play(vst3, out, sent);
    EXPECT_EQ(countedAllocations() - before, 0);
    countAllocations(false);
    EXPECT_EQ(firstDifference(out, expected), -1);
    EXPECT_GT(rms(out, 0, kFrames), 0.01);
    EXPECT_EQ(sent, (decltype(sent){{kOperationPort, 8.0 / 12}})) << "the host follows the program";
    std::printf("at %.0f frames/s: latency %u frames\n", rate, latency);
}

INSTANTIATE_TEST_SUITE_P(Rates, Vst3, ::testing::Values(48000.0, 44100.0));

// The parameters: the controls by port index with their titles, units, steps
// and defaults, each stepped value there and back exactly, their words both
// ways; the program, and hidden parameters for the controllers the engine
// answers on each channel, which the mapping gives and nothing else.
TEST(Vst3Params, TheControlsByIndexAndTheMappedControllersHidden) {
    Vst3Instance p(kVst3File);
    ASSERT_TRUE(p.ok());
    auto *c = v3_cpp_obj(p.controller);
    const int32_t count = c->get_parameter_count(p.controller);
    EXPECT_EQ(count, 14 + 1 + 16 * 20); // 19 controllers and the bend on 16 channels
    const auto text = [](const int16_t *s) { return std::string(s, std::find(s, s + 128, 0)); };
    const std::tuple<int32_t, uint32_t, const char *, const char *, int32_t, double, int32_t>
        infos[] = {{0, 2, "Bit operation", "", 12, 0.0, V3_PARAM_CAN_AUTOMATE | V3_PARAM_IS_LIST},
                   {3, 5, "Decay", "ms", 0, 999.0 / 4999, V3_PARAM_CAN_AUTOMATE},
                   {8, 10, "Quick start", "", 1, 1.0, V3_PARAM_CAN_AUTOMATE},
                   {14, 0x100, "Program", "", 12, 0.0,
                    V3_PARAM_PROGRAM_CHANGE | V3_PARAM_IS_LIST | V3_PARAM_IS_HIDDEN},
                   {count - 1, 0x1F81, "Pitch bend, channel 16", "", 16383, 8192.0 / 16383,
                    V3_PARAM_IS_HIDDEN}};
    for (const auto &[index, id, title, units, steps, initial, flags] : infos) {
        v3_param_info i{};
        ASSERT_EQ(c->get_parameter_info(p.controller, index, &i), V3_OK) << index;
        EXPECT_EQ(std::tuple(i.param_id, text(i.title), text(i.units), i.step_count,
                             i.default_normalised_value, i.flags),
                  std::tuple(id, title, units, steps, initial, flags));
    }
    int automatable = 0;
    for (int32_t index = 0; index < count; ++index) {
        v3_param_info i{};
        c->get_parameter_info(p.controller, index, &i);
        automatable += (i.flags & V3_PARAM_CAN_AUTOMATE) != 0;
        EXPECT_NE(i.param_id, static_cast<uint32_t>(kLevelPort)) << "the level is no parameter";
        for (int32_t step = 0; i.step_count > 0 && step <= i.step_count; ++step) {
            const double n = static_cast<double>(step) / i.step_count;
            EXPECT_EQ(normalized(p, i.param_id,
                                 c->normalised_parameter_to_plain(p.controller, i.param_id, n)),
                      n);
        }
    }
    EXPECT_EQ(automatable, 14);
    const std::tuple<uint32_t, double, const char *> texts[] = {
        {2, 2.0 / 12, "XOR with the static value"},
        {16, 0, "All"},
        {0x100, 1, "swap bits 2-3 with 5-6"}};
    for (const auto &[id, value, words] : texts) {
        v3_str_128 shown{}, typed{};
        double read = -1;
        c->get_parameter_string_for_value(p.controller, id, value, shown);
        EXPECT_EQ(text(shown), words);
        std::copy(words, words + std::strlen(words), typed);
        EXPECT_EQ(c->get_parameter_value_for_string(p.controller, id, typed, &read), V3_OK);
        EXPECT_EQ(read, value) << words;
    }
    v3_midi_mapping **mapping = nullptr;
    ASSERT_EQ(v3_cpp_obj_query_interface(p.controller, v3_midi_mapping_iid, &mapping), V3_OK);
    const std::tuple<int16_t, int16_t, v3_param_id> assignments[] = {
        {2, 64, 0x1240}, {0, 71, 0x1047}, {15, 129, 0x1F81}, {0, 7, 0}, {16, 64, 0}, {0, 128, 0}};
    for (const auto &[channel, controller, id] : assignments) {
        v3_param_id got = 0;
        v3_cpp_obj(mapping)->get_midi_controller_assignment(mapping, 0, channel, controller, &got);
        EXPECT_EQ(got, id) << "CC " << controller << " on channel " << channel;
    }
    static_cast<v3_funknown *>(*reinterpret_cast<void **>(mapping))->unref(mapping);
}

// The state is the CLAP plugin's text: what one saves the other loads,
// component and controller alike, handed over a byte or three a read.
// Another version, a state cut short or garbage is refused and the controls
// stay as they were.
TEST(Vst3State, TheClapPluginsTextBothWaysAndBadStatesRefused) {
    Vst3Instance a(kVst3File), b(kVst3File);
    ASSERT_TRUE(a.ok() && b.ok());
    for (const auto &[port, value] :
         {std::pair{kOperationPort, 6.0 / 12}, {kDecayPort, 1.0}, {kChannelPort, 0.0}})
        a.addParam(0, port, value);
    a.process(nullptr, 0);
    const std::string saved = a.saveState();
    EXPECT_EQ(saved, "ondrilux-state 1\noperation 7\nstatic_value 50\nattack 1\ndecay 5000\n"
                     "sustain 50\nrelease 1500\nrange_top 40\nrange_bottom 90\nquick_start 1\n"
                     "bend_range 2\nglide 0\nglide_legato 0\nvelocity 0\nchannel 0\n");
    for (const std::string &bad :
         {std::string(), saved.substr(0, saved.size() - 1), "ondrilux-state 2" + saved.substr(16),
          std::string("\x7f ELF")}) {
        EXPECT_FALSE(b.loadState(bad, 1)) << bad;
        EXPECT_EQ(b.plain(kOperationPort), 1);
    }
    EXPECT_TRUE(b.loadState(saved, 1));
    EXPECT_EQ(std::tuple(b.plain(kOperationPort), b.plain(kDecayPort), b.plain(kChannelPort)),
              std::tuple(7, 5000, 0));
    EXPECT_EQ(b.saveState(), saved);
#ifdef ONDRILUX_CLAP_FILE
    ClapInstance clap(ONDRILUX_CLAP_FILE, "org.ondrilux.ondrilux");
    ASSERT_TRUE(clap.ok() && clap.loadState(saved));
    clap.addParam(0, kGlidePort, 120);
    clap.flush();
    EXPECT_TRUE(b.loadState(clap.saveState(), 3));
    EXPECT_EQ(b.plain(kGlidePort), 120);
    EXPECT_EQ(b.saveState(), clap.saveState());
#endif
}

// Hosts that break the rules: processing before activation or without a
// buffer, rates no converter serves, values the controller cannot take, a
// block longer than announced. The controls are kept, the sound finite.
TEST(Vst3BadHost, KeepsTheControlsAndPlaysFinitely) {
    Vst3Instance p(kVst3File);
    ASSERT_TRUE(p.ok());
    std::vector<float> out(20000, NAN);
    p.addParam(0, kStaticValuePort, 0.3);
    EXPECT_EQ(p.process(out.data(), 100), V3_OK);
    EXPECT_EQ(out[99], 0.0f) << "silence before activation";
    EXPECT_FALSE(p.activate(0.0) || p.activate(1e7));
    ASSERT_TRUE(p.activate(kEngineRate));
    auto *c = v3_cpp_obj(p.controller);
    EXPECT_EQ(c->set_parameter_normalised(p.controller, kSustainPort, NAN), V3_INVALID_ARG);
    EXPECT_EQ(c->set_parameter_normalised(p.controller, kLevelPort, 0.5), V3_INVALID_ARG);
    p.clearEvents();
    const uint8_t note[] = {0x90, 60, 127};
    p.addMidi(0, note, sizeof note);
    ASSERT_EQ(p.process(out.data(), 20000), V3_OK) << "8192 frames were announced";
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float s) { return std::isfinite(s); }));
    EXPECT_GT(rms(out, 0, out.size()), 0.01);
    EXPECT_NE(p.saveState().find("static_value 30\nattack 1\ndecay 1000\nsustain 50\n"),
              std::string::npos);
}

// The panel opens in the host's window (the screen's root here) through the
// frame's run loop, at the scale the host sets, and refuses a second attach,
// a missing parent or no frame; a drag on a slider reaches the host as
// beginEdit, performEdit and endEdit, in order and paired, a click as one edit.
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
    EXPECT_EQ(v->removed(view), V3_FALSE);
    EXPECT_EQ(v->attached(view, root, x11), V3_FALSE) << "no frame, no run loop";
    v->set_frame(view, p.frame);
    EXPECT_EQ(v->attached(view, reinterpret_cast<void *>(0x1ffffff0), x11), V3_FALSE);
    v3_plugin_view_content_scale **scale = nullptr;
    ASSERT_EQ(v3_cpp_obj_query_interface(view, v3_plugin_view_content_scale_iid, &scale), V3_OK);
    EXPECT_EQ(v3_cpp_obj(scale)->set_content_scale_factor(scale, 100.0f), V3_FALSE);
    ASSERT_EQ(v3_cpp_obj(scale)->set_content_scale_factor(scale, 2.0f), V3_OK);
    v3_view_rect size{};
    v->get_size(view, &size);
    EXPECT_EQ(std::pair(size.right, size.bottom), std::pair(1792, 860));
    v3_cpp_obj(scale)->set_content_scale_factor(scale, 1.0f);
    ASSERT_EQ(v->attached(view, root, x11), V3_OK);
    EXPECT_EQ(v->attached(view, root, x11), V3_FALSE);
    EXPECT_EQ(p.calls.at(0).id, 30u) << "a timer every 30 ms";
    const auto tickUntil = [&p](size_t calls) {
        for (int i = 0; i < 100 && (i < 3 || p.calls.size() < calls); ++i, sleepMs(30))
            p.tick();
    };
    tickUntil(0);
    std::filesystem::create_directories(testOutDir());
    const Image shot = screenshot(display, testOutDir() + "/vst3-panel.png");
    EXPECT_EQ(shot.at(4, 4), (Rgb{0xEC, 0xEC, 0xEC})) << "the panel's face";
    xdotool(display, "mousemove 500 64 click 1"); // the operation AND
    tickUntil(5);
    xdotool(display, "mousemove 200 325 mousedown 1"); // into the static value's slider
    tickUntil(7);
    xdotool(display, "mousemove 260 325");
    tickUntil(8);
    xdotool(display, "mouseup 1");
    tickUntil(9);
    EXPECT_EQ(v->removed(view), V3_OK);
    EXPECT_EQ(p.kinds, "TFbpebppetf");
    EXPECT_EQ(std::tuple(p.calls.at(3).id, p.calls.at(3).value), std::tuple(2u, 1.0 / 12));
    for (size_t i = 5; i < 9; ++i)
        EXPECT_EQ(p.calls.at(i).id, static_cast<uint64_t>(kStaticValuePort)) << i;
    EXPECT_EQ(p.plain(kStaticValuePort), std::lrint(p.calls.at(7).value * 100));
    for (void **object : {reinterpret_cast<void **>(scale), reinterpret_cast<void **>(view)})
        static_cast<v3_funknown *>(*object)->unref(object);
}

} // namespace
