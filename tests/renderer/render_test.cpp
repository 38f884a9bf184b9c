// Renders of small MIDI files, frame by frame against the engine driven directly.
#include "midi_bytes.h"
#include "renderer_process.h"
#include "tests/support/steps.h"

#include "engine/envelope.h"
#include "app/stream_callback.h"
#include "engine/synth_state.h"
#include "midi/note_handling.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>

namespace {

struct Settings {
    int32_t operation = 1;
    int32_t staticValue = 50;
    int32_t top = 40;
    int32_t bottom = 90;
    EnvelopeSliders sliders = kDefaultEnvelopeSliders;
    bool quickStart = false;
    bool expressive = false;
    int32_t glide = 0, channel = 1, velocity = 0, bendRange = 2;
};

struct FrameMessage {
    int64_t frame;
    uint32_t message;
};

// The engine as the stream would run it, one frame per callback, each message
// handed to the note handling just before its frame.
std::vector<float> engineRender(const Settings &s, const std::vector<FrameMessage> &messages,
                                int64_t frames) {
    static SynthState synthState;
    static EnvelopeSliders sliders;
    sliders = s.sliders;
    initSynthState(synthState);
    synthState.operation.set(s.operation);
    synthState.staticOperand.set(s.staticValue);
    synthState.rangeTop.set(s.top);
    synthState.rangeBottom.set(s.bottom);
    synthState.quickStart.set(s.quickStart ? 1 : 0);
    synthState.expressive.set(s.expressive ? 1 : 0);
    synthState.glideMilliseconds.set(s.glide);
    synthState.channel.set(s.channel);
    synthState.velocityPercent.set(s.velocity);
    synthState.bendRangeCents.set(s.bendRange * 100);
    synthState.sliderSource = slidersFrom(sliders);

    std::vector<float> out(static_cast<size_t>(frames));
    size_t next = 0;
    for (int64_t f = 0; f < frames; ++f) {
        while (next < messages.size() && messages[next].frame == f)
            onMidiInput(synthState, kMidiInData, messages[next++].message);
        renderCallback(nullptr, &out[static_cast<size_t>(f)], 1, nullptr, 0, &synthState);
    }
    return out;
}

constexpr uint32_t on(uint8_t note, uint8_t velocity = 100, uint8_t status = 0x90) {
    return shortMessage(status, note, velocity);
}
constexpr uint32_t off(uint8_t note) {
    return shortMessage(0x80, note, 0);
}

// The default release of 1.5 s.
constexpr int64_t kTail = 72000;

struct RenderCase {
    const char *name;
    Bytes file;
    std::vector<std::string> options;
    Settings settings;
    std::vector<FrameMessage> expected; // frame and message, in the order played
    int64_t frames;
};

// 96 ticks per quarter note at the default 120 beats per minute: one tick is
// 1/192 s, 250 frames.
const RenderCase kCases[] = {
    {"OneNote",
     header(0, 1, 96) + track({{0, {0x90, 60, 100}}, {96, {0x80, 60, 0}}, {0, kEndOfTrack}}),
     {},
     {},
     {{0, on(60)}, {24000, off(60)}},
     24000 + kTail},
    {"LegatoNoteOnBeforeNoteOff",
     header(0, 1, 96) + track({{0, {0x90, 60, 100}},
                               {96, {0x90, 64, 90}},
                               {0, {0x80, 60, 0}},
                               {96, {0x90, 64, 0}},
                               {0, kEndOfTrack}}),
     {},
     {},
     {{0, on(60)}, {24000, on(64, 90)}, {24000, off(60)}, {48000, on(64, 0)}},
     48000 + kTail},
    {"OverlappingNotes",
     header(0, 1, 96) + track({{0, {0x90, 60, 100}},
                               {48, {0x90, 67, 100}},
                               {48, {0x80, 60, 0}},
                               {48, {0x90, 72, 100}},
                               {48, {0x80, 67, 0}},
                               {48, {0x80, 72, 0}},
                               {48, kEndOfTrack}}),
     {},
     {},
     {{0, on(60)},
      {12000, on(67)},
      {24000, off(60)},
      {36000, on(72)},
      {48000, off(67)},
      {60000, off(72)}},
     72000 + kTail},
    {"RunningStatusAcrossMetaEvents",
     header(0, 1, 96) + track({{0, {0x90, 60, 100}},
                               {96, {62, 100}},
                               {0, {0xFF, 0x01, 0x02, 'h', 'i'}},
                               {96, {60, 0}},
                               {0, {62, 0}},
                               {0, {0xC0, 5}},
                               {10, {6}},
                               {0, kEndOfTrack}}),
     {},
     {},
     {{0, on(60)},
      {24000, on(62)},
      {48000, on(60, 0)},
      {48000, on(62, 0)},
      {48000, shortMessage(0xC0, 5)},
      {50500, shortMessage(0xC0, 6)}},
     50500 + kTail},
    // The note-off of track 1 and the note-on of track 2 share a tick: in track
    // order the second note re-arms the envelope, in the other it would be legato.
    // Track 1's tempo change (60 beats per minute from tick 48) times both tracks.
    {"FormatOneTwoTracksWithTempoChange",
     header(1, 2, 96) +
         track(
             {{0, {0x90, 60, 100}}, {48, tempo(1000000)}, {48, {0x80, 60, 0}}, {0, kEndOfTrack}}) +
         track({{96, {0x90, 67, 100}}, {96, {0x80, 67, 0}}, {0, kEndOfTrack}}),
     {},
     {},
     {{0, on(60)}, {36000, off(60)}, {36000, on(67)}, {84000, off(67)}},
     84000 + kTail},
    {"TempoChangeMidNote",
     header(0, 1, 96) + track({{0, tempo(500000)},
                               {0, {0x90, 60, 100}},
                               {96, tempo(250000)},
                               {96, {0x80, 60, 0}},
                               {96, {0x90, 62, 100}},
                               {1, {0x80, 62, 0}},
                               {0, kEndOfTrack}}),
     {},
     {},
     {{0, on(60)}, {36000, off(60)}, {48000, on(62)}, {48125, off(62)}},
     48125 + kTail},
    // 7 ticks per quarter: tick 1 falls at 3428.57 frames, tick 2 at 6857.14.
    {"EventTimesRoundToFrames",
     header(0, 1, 7) + track({{1, {0x90, 69, 100}}, {1, {0x80, 69, 0}}, {0, kEndOfTrack}}),
     {},
     {},
     {{3429, on(69)}, {6857, off(69)}},
     6857 + kTail},
    // Sysex is skipped; other channels and controllers reach the note handling,
    // which ignores them. The last event is a meta event after the last note.
    {"SysexAndOtherMessages",
     header(0, 1, 96) + track({{0, {0xF0, 0x03, 0x7E, 0x01, 0xF7}},
                               {0, {0x91, 60, 100}},
                               {0, {0xB0, 7, 127}},
                               {0, {0x90, 57, 100}},
                               {96, {0xE0, 0, 64}},
                               {0, {0x80, 57, 0}},
                               {96, {0xFF, 0x01, 0x01, 'x'}},
                               {0, kEndOfTrack}}),
     {},
     {},
     {{0, shortMessage(0x91, 60, 100)},
      {0, shortMessage(0xB0, 7, 127)},
      {0, on(57)},
      {24000, shortMessage(0xE0, 0, 64)},
      {24000, off(57)}},
     48000 + kTail},
    // Chunks of unknown type are skipped, a track may lack its end-of-track
    // event, bytes after one are no events, and chunks after the declared
    // tracks are not read. The last event is track 2's end at tick 144.
    {"UnusualButValidLayout",
     header(1, 2, 96) + chunk("XFIH", {1, 2, 3}) +
         track({{0, {0x90, 60, 100}}, {96, {0x80, 60, 0}}}) +
         chunk("MTrk", trackBody({{144, kEndOfTrack}}) + Bytes{0x90, 0x12}) +
         track({{0, {0x90, 70, 100}}, {0, kEndOfTrack}}),
     {},
     {},
     {{0, on(60)}, {24000, off(60)}},
     36000 + kTail},
    {"EverySetting",
     header(0, 1, 96) + track({{0, {0x90, 45, 100}}, {192, {0x80, 45, 0}}, {0, kEndOfTrack}}),
     {"--operation", "7", "--static", "20", "--top", "200", "--bottom", "30", "--attack", "500",
      "--decay", "200", "--sustain", "80", "--release", "100", "--tail=0.25"},
     {7, 20, 200, 30, {500, 200, 80, 100}},
     {{0, on(45)}, {48000, off(45)}},
     48000 + 12000},
    // Without --tail the tail is the release time; the note-off falls in it.
    {"TailFollowsRelease",
     header(0, 1, 96) + track({{0, {0x90, 81, 100}}, {96, {0x80, 81, 0}}, {0, kEndOfTrack}}),
     {"--release", "250", "--operation", "13"},
     {13, 50, 40, 90, {1, 1000, 50, 250}},
     {{0, on(81)}, {24000, off(81)}},
     24000 + 12000},
    // The first note starts at once, the second (in the first's release) fades
    // that out first.
    {"QuickStart",
     header(0, 1, 96) + track({{0, {0x90, 60, 100}},
                               {96, {0x80, 60, 0}},
                               {48, {0x90, 64, 100}},
                               {96, {0x80, 64, 0}},
                               {0, kEndOfTrack}}),
     {"--quick-start", "--release", "500"},
     {1, 50, 40, 90, {1, 1000, 50, 500}, true},
     {{0, on(60)}, {24000, off(60)}, {36000, on(64)}, {60000, off(64)}},
     60000 + 24000},
    // Touching notes, the second's note-on at the first's note-off (a soft
    // sine): the fade-out starts from the level that sounded.
    {"TouchingNotes",
     header(0, 1, 96) + track({{0, {0x90, 60, 100}},
                               {48, {0x80, 60, 0}},
                               {0, {0x90, 64, 100}},
                               {48, {0x80, 64, 0}},
                               {0, {0x90, 67, 100}},
                               {48, {0x80, 67, 0}},
                               {0, kEndOfTrack}}),
     {"--static", "0", "--sustain", "70", "--release", "400"},
     {1, 0, 40, 90, {1, 1000, 70, 400}},
     {{0, on(60)}, {12000, off(60)}, {12000, on(64)}, {24000, off(64)}, {24000, on(67)},
      {36000, off(67)}},
     36000 + 19200},
    // With --expressive, on the channel chosen: the bend, the pedal holding the
    // first note, the second gliding to it, played softer.
    {"Expressive",
     header(0, 1, 96) + track({{0, {0x91, 57, 100}},
                               {48, {0xE1, 0, 80}},
                               {0, {0xB1, 64, 127}},
                               {0, {0x81, 57, 0}},
                               {48, {0x91, 69, 60}},
                               {48, {0x81, 69, 0}},
                               {48, {0xB1, 64, 0}},
                               {0, kEndOfTrack}}),
     {"--expressive", "--quick-start", "--glide", "100", "--velocity", "50", "--channel", "2",
      "--bend-range", "5"},
     {1, 50, 40, 90, kDefaultEnvelopeSliders, true, true, 100, 2, 50, 5},
     {{0, on(57, 100, 0x91)},
      {12000, shortMessage(0xE1, 0, 80)},
      {12000, shortMessage(0xB1, 64, 127)},
      {12000, shortMessage(0x81, 57, 0)},
      {24000, on(69, 60, 0x91)},
      {36000, shortMessage(0x81, 69, 0)},
      {48000, shortMessage(0xB1, 64, 0)}},
     48000 + kTail},
    // A tail of 0 ends the render at the last event, which is then never played.
    {"NoTail",
     header(0, 1, 96) + track({{0, {0x90, 60, 100}}, {96, {0x80, 60, 0}}, {0, kEndOfTrack}}),
     {"--tail", "0"},
     {},
     {{0, on(60)}},
     24000},
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const RenderCase &c, std::ostream *os) {
    *os << c.name;
}

class RenderMatchesEngine : public testing::TestWithParam<RenderCase> {};

TEST_P(RenderMatchesEngine, FrameByFrame) {
    const RenderCase &c = GetParam();
    ScratchFolder dir, logs;
    writeFile(dir / "in.mid", c.file);
    writeFile(dir / "out.wav", {'o', 'l', 'd'}); // replaced whole
    std::vector<std::string> args = c.options;
    args.push_back((dir / "in.mid").string());
    args.push_back((dir / "out.wav").string());

    const RendererRun run = runRenderer(args, logs.path);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, ""); // no progress bar when stderr is no terminal
    EXPECT_EQ(dir.listing(), (std::vector<std::string>{"in.mid", "out.wav"}));
    struct stat st;
    ASSERT_EQ(stat((dir / "out.wav").c_str(), &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

    const std::vector<float> rendered = readWav(dir / "out.wav");
    const std::vector<float> expected = engineRender(c.settings, c.expected, c.frames);
    ASSERT_EQ(rendered.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(rendered[i], expected[i]) << "first difference at frame " << i;

    // Touching notes (a note-off, then a note-on at its frame) hand over
    // without a click.
    for (size_t i = 1; i < c.expected.size(); ++i) {
        const uint32_t a = c.expected[i - 1].message, b = c.expected[i].message;
        const bool off = (a & 0xFF) == 0x80 || ((a & 0xFF) == 0x90 && (a >> 16) == 0);
        const bool on = (b & 0xFF) == 0x90 && (b >> 16) != 0;
        const auto at = static_cast<size_t>(c.expected[i].frame);
        if (off && on && c.expected[i - 1].frame == c.expected[i].frame && at >= 4800) {
            EXPECT_LE(stepAtHandOver(rendered.data(), at), 3.0) << "touching notes at " << at;
        }
    }

    float peak = 0.0f;
    for (float v : expected)
        peak = std::max(peak, std::fabs(v));
    EXPECT_GT(peak, 0.05f) << "the case should make sound";
}

INSTANTIATE_TEST_SUITE_P(Files, RenderMatchesEngine, testing::ValuesIn(kCases),
                         [](const auto &p) { return std::string(p.param.name); });

} // namespace
