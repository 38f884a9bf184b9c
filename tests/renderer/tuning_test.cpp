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
const std::vector<std::string> kSteadySine = {"--sustain", "100",   "--decay", "1",      "--static",
                                              "0",         "--top", "243",     "--tail", "0"};

std::string scl(const std::vector<std::string> &degrees) {
    std::string text = "! test.scl\n!\nA test scale\n " + std::to_string(degrees.size()) + "\n!\n";
    for (const std::string &d : degrees)
        text += " " + d + " ! a comment\n";
    return text;
}

std::string edo(int steps) {
    std::vector<std::string> degrees;
    for (int i = 1; i < steps; ++i)
        degrees.push_back(std::to_string(1200.0 * i / steps));
    degrees.push_back("2/1");
    return scl(degrees);
}

double tet(int key) {
    return 440.0 * std::exp2((key - 69) / 12.0);
}

// The frequency of a ratio scale's key: ratio[degree] times the period per octave.
template <size_t N> double ratioKey(const double (&ratio)[N], double period, int key) {
    const int d = key - 60, periods = static_cast<int>(std::floor(d / double(N)));
    return kC4 * ratio[d - periods * static_cast<int>(N)] * std::pow(period, periods);
}

struct TunedCase {
    const char *name;
    std::string scale, map; // "" for none
    int firstKey, lastKey;
    double (*hz)(int key); // 0: silent
};

const TunedCase kTunedCases[] = {
    {"TwelveToneAsAScale", edo(12), "", 48, 72, tet},
    {"NineteenEdoInCents", edo(19), "", 48, 72,
     [](int k) { return kC4 * std::exp2((k - 60) / 19.0); }},
    {"JustScaleInRatios",
     scl({"16/15", "9/8", "6/5", "5/4", "4/3", "45/32", "3/2", "8/5", "5/3", "9/5", "15/8", "2"}),
     "", 48, 72,
     [](int k) {
         const double r[] = {1,        16. / 15, 9. / 8, 6. / 5, 5. / 4, 4. / 3,
                             45. / 32, 3. / 2,   8. / 5, 5. / 3, 9. / 5, 15. / 8};
         return ratioKey(r, 2.0, k);
     }},
    {"BohlenPierce",
     scl({"27/25", "25/21", "9/7", "7/5", "75/49", "5/3", "9/5", "49/25", "15/7", "7/3", "63/25",
          "25/9", "3/1"}),
     "", 47, 73,
     [](int k) {
         const double r[] = {1,      27. / 25, 25. / 21, 9. / 7, 7. / 5,   75. / 49, 5. / 3,
                             9. / 5, 49. / 25, 15. / 7,  7. / 3, 63. / 25, 25. / 9};
         return ratioKey(r, 3.0, k);
     }},
    {"KeyboardMapA432", edo(12),
     "12\n0\n127\n60\n69\n432.0\n12\n0\n1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n", 48, 72,
     [](int k) { return 432.0 * std::exp2((k - 69) / 12.0); }},
    {"UnmappedKeysSilent", "",
     "! white keys\n12\n0\n127\n60\n69\n440\n12\n0\nx\n2\nx\n4\n5\nx\n7\nx\n9\n", 55, 72,
     [](int k) {
         const int pitchClass = k % 12;
         return pitchClass == 1 || pitchClass == 3 || pitchClass == 6 || pitchClass == 8 ||
                        pitchClass >= 10
                    ? 0.0
                    : tet(k);
     }},
    {"MapSizeSeven", edo(12), "7\n0\n127\n60\n60\n261.6255653\n12\n0\n2\n4\n5\n7\n9\n11\n", 46, 74,
     [](int k) {
         const int white[] = {0, 2, 4, 5, 7, 9, 11}, j = k - 60,
                   octaves = static_cast<int>(std::floor(j / 7.0));
         return kC4 * std::exp2((white[j - 7 * octaves] + 12 * octaves) / 12.0);
     }},
};

void PrintTo(const TunedCase &c, std::ostream *os) {
    *os << c.name;
}

class TunedRender : public testing::TestWithParam<TunedCase> {};

// Each key held half a second in turn, measured over its last 0.4 s.
TEST_P(TunedRender, EveryKeyWithinATenthOfACent) {
    const TunedCase &c = GetParam();
    ScratchFolder dir, logs;
    Bytes body;
    for (int k = c.firstKey; k <= c.lastKey; ++k)
        body = body +
               Bytes{0, 0x90, static_cast<uint8_t>(k), 100, 96, 0x80, static_cast<uint8_t>(k), 0};
    writeFile(dir / "in.mid", header(0, 1, 96) + chunk("MTrk", body + Bytes{0} + kEndOfTrack));
    std::vector<std::string> args = kSteadySine;
    for (const auto &[text, option, file] :
         {std::tuple{c.scale, "--scale", "t.scl"}, std::tuple{c.map, "--keyboard-map", "t.kbm"}})
        if (!text.empty()) {
            writeFile(dir / file, Bytes(text.begin(), text.end()));
            args.insert(args.end(), {option, (dir / file).string()});
        }
    args.insert(args.end(), {(dir / "in.mid").string(), (dir / "out.wav").string()});
    const RendererRun run = runRenderer(args, logs.path);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const std::vector<float> x = readWav(dir / "out.wav");
    for (int k = c.firstKey; k <= c.lastKey; ++k) {
        const float *held = x.data() + (k - c.firstKey) * kHeld + 4800;
        if (c.hz(k) == 0.0)
            EXPECT_EQ(largestStep(held, kHeld - 4800), 0.0f) << "key " << k << " sounds";
        else
            EXPECT_NEAR(centsFrom(steadyPitchHz(held, kHeld - 4800), c.hz(k)), 0.0, 0.1)
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
    const int whole = static_cast<int>(semitones);
    const auto fraction = static_cast<int>(std::lround((semitones - whole) * 16384));
    return {static_cast<uint8_t>(whole), static_cast<uint8_t>(fraction >> 7),
            static_cast<uint8_t>(fraction & 0x7F)};
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

const Bytes kOff69{0x80, 69, 0}, kOn69{0x90, 69, 100}, kOn60{0x90, 60, 100};

struct MessageCase {
    const char *name;
    std::vector<TrackEvent> events; // after A4's note-on at tick 0, until tick 192
    std::vector<std::string> options;
    struct {
        uint32_t from, to;
        double hz;
    } checks[2];
};

const std::vector<std::string> kExpressive = {"--expressive"};
const MessageCase kMessageCases[] = {
    {"RealTimeKeyChangeFromItsFrame",
     {{96, keyChange(0x7F, false, 69, 69.5)}},
     kExpressive,
     {{4800, kHeld, period(69)}, {kHeld, 2 * kHeld, noteHz(69.5)}}},
    {"AnotherKeyChangedPlaysTheHeldNoteExact",
     {{96, keyChange(0x7F, true, 70, 70.5)}},
     kExpressive,
     {{4800, kHeld, period(69)}, {kHeld, 2 * kHeld, noteHz(69)}}},
    {"NonRealTimeFromTheNextNote",
     {{48, keyChange(0x7E, true, 69, 68.75)}, {48, kOff69}, {0, kOn69}},
     kExpressive,
     {{12000, kHeld, noteHz(69)}, {28800, 2 * kHeld, noteHz(68.75)}}},
    {"BulkDump",
     {{48, bulkDump(25, false)}, {48, kOff69}, {0, kOn60}},
     kExpressive,
     {{12000, kHeld, noteHz(69)}, {28800, 2 * kHeld, noteHz(60.25)}}},
    {"BulkDumpSummedAsFluidSynthSums",
     {{48, bulkDump(40, true)}, {48, kOff69}, {0, kOn60}},
     kExpressive,
     {{12000, kHeld, noteHz(69)}, {28800, 2 * kHeld, noteHz(60.4)}}},
    {"BulkDumpWithAWrongChecksumIgnored",
     {{48, bulkDump(25, false, true)}, {48, kOff69}, {0, kOn60}},
     kExpressive,
     {{12000, kHeld, period(69)}, {28800, 2 * kHeld, period(60)}}},
    {"OctaveInBytesRealTime",
     {{96, octave(0x7F, 0x01, {0x40 + 20})}},
     kExpressive,
     {{4800, kHeld, period(69)}, {kHeld, 2 * kHeld, noteHz(69.2)}}},
    {"OctaveForAnotherChannelIgnored",
     {{96, octave(0x7F, 0x02, {0x40 + 20})}},
     kExpressive,
     {{4800, kHeld, period(69)}, {kHeld, 2 * kHeld, period(69)}}},
    {"OctaveInWordsFromTheNextNote",
     {{48, octave(0x7E, 0x7F, {87, 87})}, {48, kOff69}, {0, kOn69}},
     kExpressive,
     {{12000, kHeld, noteHz(69)}, {28800, 2 * kHeld, noteHz(69 + 3031 / 8192.0)}}},
    {"BentFromTheTunedPitch",
     {{0, keyChange(0x7F, false, 69, 69.5)}, {96, {0xE0, 0x7F, 0x7F}}},
     kExpressive,
     {{4800, kHeld, noteHz(69.5)}, {kHeld, 2 * kHeld, noteHz(69.5 + 2 * 8191 / 8192.0)}}},
    {"GlidesToTheTunedPitch",
     {{0, keyChange(0x7F, false, 64, 63.7)}, {96, {0x90, 64, 100}}},
     {"--expressive", "--glide", "100"},
     {{4800, kHeld, noteHz(69)}, {30000, 2 * kHeld, noteHz(63.7)}}},
    {"IgnoredWithoutExpressive",
     {{96, keyChange(0x7F, false, 69, 69.5)}},
     {},
     {{4800, kHeld, period(69)}, {kHeld, 2 * kHeld, period(69)}}},
};

void PrintTo(const MessageCase &c, std::ostream *os) {
    *os << c.name;
}

class TuningMessage : public testing::TestWithParam<MessageCase> {};

TEST_P(TuningMessage, InAMidiFileUnderExpressive) {
    const MessageCase &c = GetParam();
    ScratchFolder dir, logs;
    Bytes body = varLength(0) + kOn69;
    uint32_t ticks = 0;
    for (const TrackEvent &e : c.events) {
        body = body + varLength(e.delta) + e.bytes;
        ticks += e.delta;
    }
    writeFile(dir / "in.mid",
              header(0, 1, 96) + chunk("MTrk", body + varLength(192 - ticks) + kEndOfTrack));
    std::vector<std::string> args = kSteadySine;
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {(dir / "in.mid").string(), (dir / "out.wav").string()});
    const RendererRun run = runRenderer(args, logs.path);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const std::vector<float> x = readWav(dir / "out.wav");
    for (const auto &check : c.checks)
        EXPECT_NEAR(
            centsFrom(steadyPitchHz(x.data() + check.from, check.to - check.from), check.hz), 0.0,
            0.1)
            << "frames " << check.from << " to " << check.to;
}

INSTANTIATE_TEST_SUITE_P(Mts, TuningMessage, testing::ValuesIn(kMessageCases),
                         [](const auto &p) { return std::string(p.param.name); });

} // namespace
