// Held notes under Scala files and the MIDI Tuning Standard's messages,
// rendered and measured from the WAV file: every pitch within 0.1 cent of a
// frequency worked out here by hand.
#include "midi_bytes.h"
#include "renderer_process.h"
#include "tests/support/pitch_measure.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr double kC4 = 261.6255653; // key 60 without a keyboard map
constexpr uint32_t kHeld = 24000;   // frames a note is held: 96 ticks
const std::vector<std::string> kSteadySine = {"--sustain=100", "--decay=1", "--static=0",
                                              "--top=243", "--tail=0"};

// The renderer's WAV of a track (96 ticks a half second), as a steady sine,
// with `options` and the files given (after the option naming each).
std::vector<float> render(const Bytes &track, std::vector<std::string> options,
                          const std::vector<std::pair<std::string, std::string>> &files = {}) {
    ScratchFolder dir, logs;
    writeFile(dir / "in.mid", header(0, 1, 96) + chunk("MTrk", track + kEndOfTrack));
    for (const auto &[option, text] : files)
        if (!text.empty()) {
            writeFile(dir / option.substr(2), Bytes(text.begin(), text.end()));
            options.insert(options.end(), {option, (dir / option.substr(2)).string()});
        }
    options.insert(options.end(), kSteadySine.begin(), kSteadySine.end());
    options.insert(options.end(), {(dir / "in.mid").string(), (dir / "out.wav").string()});
    const RendererRun run = runRenderer(options, logs.path);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    return readWav(dir / "out.wav");
}

// A scale's degrees as its file writes them: cents when they hold a period.
double ratioOf(const std::string &degree) {
    const size_t slash = degree.find('/');
    return degree.find('.') != std::string::npos ? std::exp2(std::stod(degree) / 1200)
           : slash == std::string::npos          ? std::stod(degree)
                                        : std::stod(degree) / std::stod(degree.substr(slash + 1));
}

std::vector<std::string> edo(int steps) {
    std::vector<std::string> degrees;
    for (int i = 1; i < steps; ++i)
        degrees.push_back(std::to_string(1200.0 * i / steps));
    return degrees.push_back("2/1"), degrees;
}

struct TunedCase {
    const char *name;
    std::vector<std::string> degrees; // of the scale; none: equal temperament
    std::string map;                  // "": none
    int firstKey, lastKey;
    double (*hz)(int key) = nullptr; // 0: silent; none: degree 0 on key 60 at kC4, a key a degree
};

const std::vector<std::string> kEqualTemperament,
    kJust = {"16/15", "9/8", "6/5", "5/4", "4/3", "45/32", "3/2", "8/5", "5/3", "9/5", "15/8", "2"},
    kBohlenPierce = {"27/25", "25/21", "9/7", "7/5",   "75/49", "5/3", "9/5",
                     "49/25", "15/7",  "7/3", "63/25", "25/9",  "3/1"};
const std::string kA432 = "12\n0\n127\n60\n69\n432.0\n12\n0\n1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n",
                  kWhiteKeys =
                      "! C D E F G A\n12\n0\n127\n60\n69\n440\n12\n0\nx\n2\nx\n4\n5\nx\n7\nx\n9\n",
                  kSevenKeys = "7\n0\n127\n60\n60\n261.6255653\n12\n0\n2\n4\n5\n7\n9\n11\n";

const TunedCase kTunedCases[] = {
    {"TwelveToneAsAScale", edo(12), "", 48, 72, [](int k) { return noteHz(k); }},
    {"NineteenEdoInCents", edo(19), "", 48, 72},
    {"JustScaleInRatios", kJust, "", 48, 72},
    {"BohlenPierce", kBohlenPierce, "", 47, 73},
    {"KeyboardMapA432", edo(12), kA432, 48, 72, [](int k) { return noteHz(k) * 432 / 440; }},
    {"UnmappedKeysSilent", kEqualTemperament, kWhiteKeys, 55, 72,
     [](int k) { return (0x2B5 >> (k % 12) & 1) ? noteHz(k) : 0.0; }},
    {"MapSizeSeven", edo(12), kSevenKeys, 46, 74,
     [](int k) {
         const int white[] = {0, 2, 4, 5, 7, 9, 11}, octaves = (k - 60 + 70) / 7 - 10;
         return kC4 * std::exp2((white[k - 60 - 7 * octaves] + 12 * octaves) / 12.0);
     }},
};

// Without a map: degree d above key 60's at kC4, the scale repeating at its last degree.
double expectedHz(const TunedCase &c, int key) {
    if (c.hz)
        return c.hz(key);
    const int n = static_cast<int>(c.degrees.size()), d = key - 60 + 10 * n;
    const double step = d % n ? ratioOf(c.degrees[d % n - 1]) : 1.0;
    return kC4 * step * std::pow(ratioOf(c.degrees.back()), d / n - 10);
}

// Names a case in test listings instead of dumping its bytes.
void PrintTo(const TunedCase &c, std::ostream *os) {
    *os << c.name;
}

class TunedRender : public testing::TestWithParam<TunedCase> {};

// Each key held half a second in turn, measured over its last 0.4 s.
TEST_P(TunedRender, EveryKeyWithinATenthOfACent) {
    const TunedCase &c = GetParam();
    Bytes track;
    for (int k = c.firstKey; k <= c.lastKey; ++k)
        track = track +
                Bytes{0, 0x90, static_cast<uint8_t>(k), 100, 96, 0x80, static_cast<uint8_t>(k), 0};
    std::string scale = "! t.scl\n!\nA scale\n " + std::to_string(c.degrees.size()) + "\n!\n";
    for (const std::string &d : c.degrees)
        scale += " " + d + " ! a comment\n";
    const std::vector<float> x =
        render(track + Bytes{0}, {},
               {{"--scale", c.degrees.empty() ? "" : scale}, {"--keyboard-map", c.map}});
    ASSERT_EQ(x.size(), (c.lastKey - c.firstKey + 1) * size_t{kHeld});
    for (int k = c.firstKey; k <= c.lastKey; ++k) {
        const float *held = x.data() + (k - c.firstKey) * kHeld + 4800;
        if (expectedHz(c, k) == 0.0)
            EXPECT_EQ(largestStep(held, kHeld - 4800), 0.0f) << "key " << k << " sounds";
        else
            EXPECT_NEAR(centsFrom(steadyPitchHz(held, kHeld - 4800), expectedHz(c, k)), 0.0, 0.1)
                << "key " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Scala, TunedRender, testing::ValuesIn(kTunedCases),
                         [](const auto &p) { return std::string(p.param.name); });

// A MIDI file's system-exclusive event: F0, the length, the body, F7.
Bytes sysex(const Bytes &body) {
    return Bytes{0xF0} + varLength(static_cast<uint32_t>(body.size() + 1)) + body + Bytes{0xF7};
}

// A frequency as the MIDI Tuning Standard writes it: semitone, 14 bits of fraction.
Bytes mtsPitch(double semitones) {
    const auto v = static_cast<int>(std::lround(semitones * 16384));
    return {static_cast<uint8_t>(v >> 14), static_cast<uint8_t>(v >> 7 & 0x7F),
            static_cast<uint8_t>(v & 0x7F)};
}

// One key retuned (08 02, or 08 07 in bank 0): real time (7F) or not (7E).
Bytes keyChange(uint8_t time, bool inBank, uint8_t key, double semitones) {
    const Bytes bank = inBank ? Bytes{0x07, 0} : Bytes{0x02};
    return sysex(Bytes{time, 0x33, 0x08} + bank + Bytes{5, 1, key} + mtsPitch(semitones));
}

// Every key `cents` sharp; the checksum over the bytes from 7E on, or as
// FluidSynth writes it (without the device id and the name), or wrong.
Bytes bulkDump(double cents, bool fluidSynth, bool wrong = false) {
    Bytes body = Bytes{0x7E, 0x10, 0x08, 0x01, 3} + Bytes{'T', 'e', 's', 't'} + Bytes(12, ' ');
    for (int k = 0; k < 128; ++k)
        body = body + mtsPitch(k + cents / 100);
    uint8_t sum = 0;
    for (size_t i = 0; i < body.size(); ++i)
        sum ^= fluidSynth && (i == 1 || (i >= 5 && i < 21)) ? 0 : body[i];
    return sysex(body + Bytes{static_cast<uint8_t>((sum & 0x7F) ^ (wrong ? 1 : 0))});
}

// Pitch class A moved in the octave forms: a byte (08 08) or two (08 09) a class.
Bytes octave(uint8_t time, uint8_t channels1To7, const Bytes &a) {
    const Bytes centre = a.size() == 1 ? Bytes{0x40} : Bytes{0x40, 0};
    Bytes body{time, 0x01, 0x08,        static_cast<uint8_t>(a.size() == 1 ? 0x08 : 0x09),
               0,    0,    channels1To7};
    for (int pitchClass = 0; pitchClass < 12; ++pitchClass)
        body = body + (pitchClass == 9 ? a : centre);
    return sysex(body);
}

double period(int key) { // the whole-frame period's pitch, as with no tuning
    return 48000.0 / std::lrint(48000.0 / noteHz(key));
}

const Bytes kOn69{0x90, 69, 100};

// The events after A4's note-on at tick 0, up to tick 192; A4's pitch over
// [12000, 24000) and what sounds from `from` to 48000.
struct MessageCase {
    const char *name;
    std::vector<TrackEvent> events;
    double before, after;
    uint32_t from = kHeld; // 28800 for a note played at 24000, after its fade-in
    bool expressive = true;
    int glideMs = 0;
};

// A message at tick `delta`, and another at tick 96.
std::vector<TrackEvent> at(uint32_t delta, const Bytes &first, const Bytes &second = {}) {
    return second.empty() ? std::vector<TrackEvent>{{delta, first}}
                          : std::vector<TrackEvent>{{delta, first}, {96 - delta, second}};
}
// The message at tick 48, and A4 released and `note` played at tick 96.
std::vector<TrackEvent> nextNote(const Bytes &message, uint8_t note = 69) {
    return {{48, message}, {48, {0x80, 69, 0, /* delta */ 0, 0x90, note, 100}}};
}

const Bytes kBendTop{0xE0, 0x7F, 0x7F}, kOn64{0x90, 64, 100};
const MessageCase kMessageCases[] = {
    {"RealTimeKeyChangeFromItsFrame", at(96, keyChange(0x7F, false, 69, 69.5)), period(69),
     noteHz(69.5)},
    {"AnotherKeyChangedPlaysTheHeldNoteExact", at(96, keyChange(0x7F, true, 70, 70.5)), period(69),
     noteHz(69)},
    {"NonRealTimeFromTheNextNote", nextNote(keyChange(0x7E, true, 69, 68.75)), noteHz(69),
     noteHz(68.75), 28800},
    {"BulkDump", nextNote(bulkDump(25, false), 60), noteHz(69), noteHz(60.25), 28800},
    {"BulkDumpSummedAsFluidSynthSums", nextNote(bulkDump(40, true), 60), noteHz(69), noteHz(60.4),
     28800},
    {"BulkDumpWithAWrongChecksumIgnored", nextNote(bulkDump(25, false, true), 60), period(69),
     period(60), 28800},
    {"OctaveInBytesRealTime", at(96, octave(0x7F, 0x01, {0x40 + 20})), period(69), noteHz(69.2)},
    {"OctaveForAnotherChannelIgnored", at(96, octave(0x7F, 0x02, {0x54})), period(69), period(69)},
    // (87 * 128 + 87 - 8192) / 8192 semitones sharp
    {"OctaveInWordsFromTheNextNote", nextNote(octave(0x7E, 0x7F, {87, 87})), noteHz(69),
     noteHz(69 + 3031 / 8192.0), 28800},
    {"BentFromTheTunedPitch", at(0, keyChange(0x7F, false, 69, 69.5), kBendTop), noteHz(69.5),
     noteHz(69.5 + 2 * 8191 / 8192.0)},
    {"GlidesToTheTunedPitch", at(0, keyChange(0x7F, false, 64, 63.7), kOn64), noteHz(69),
     noteHz(63.7), 30000, true, 100},
    {"IgnoredWithoutExpressive", at(96, keyChange(0x7F, false, 69, 69.5)), period(69), period(69),
     kHeld, false},
};

void PrintTo(const MessageCase &c, std::ostream *os) {
    *os << c.name;
}

class TuningMessage : public testing::TestWithParam<MessageCase> {};

TEST_P(TuningMessage, InAMidiFileUnderExpressive) {
    const MessageCase &c = GetParam();
    Bytes track = varLength(0) + kOn69;
    for (const TrackEvent &e : c.events) // up to tick 96
        track = track + varLength(e.delta) + e.bytes;
    const std::vector<float> x =
        render(track + varLength(96), {"--glide", std::to_string(c.glideMs),
                                       c.expressive ? "--expressive" : "--channel=1"});
    ASSERT_EQ(x.size(), 2 * size_t{kHeld});
    EXPECT_NEAR(centsFrom(steadyPitchHz(x.data() + 12000, 12000), c.before), 0.0, 0.1);
    EXPECT_NEAR(centsFrom(steadyPitchHz(x.data() + c.from, 2 * kHeld - c.from), c.after), 0.0, 0.1);
}

INSTANTIATE_TEST_SUITE_P(Mts, TuningMessage, testing::ValuesIn(kMessageCases),
                         [](const auto &p) { return std::string(p.param.name); });

} // namespace
