// ondrilux-jack on a real JACK server (dummy driver): a probe client plays
// notes, a program change and controllers at chosen frames inside periods and
// records the instrument's output on the same clock.
#include "tests/support/desktop.h"
#include "tests/support/jack_probe.h"
#include "tests/support/steps.h"
#include "tests/support/pitch_measure.h"

#include "engine/synth_state.h"
#include "midi/note_handling.h"
#include "midi/short_messages.h"
#include "midi/tuning_messages.h"
#include "engine_driving/engine_driving.h"
#include "engine_driving/live_control.h"
#include "jack_instrument/jack_instrument.h"
#include "tuning_files/scala_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <tuple>

namespace {

const std::string kProgram = ONDRILUX_JACK_PATH;
const std::string kOutDir = testOutDir();
// A note-on at frame f sounds from f + 1 (the attack's first frame is silent),
// or without quick start after the engine's fade of the previous note, from
// f + 1002.
constexpr long kQuickNoteToSoundFrames = 1;
constexpr long kNoteToSoundFrames = kFadeOutFrames + 2;

// Starting values on the command line, then every live control at least once,
// and notes at offsets all over their periods.
const std::vector<std::string> kSoundArgs = {"--operation", "3", "--release", "20", "--top", "30"};
const std::vector<TimedMessage> kScript = {
    {{0xB0, 73, 3}, 0.1, 0},     // attack 48
    {{0xB0, 75, 2}, 0.2, 0},     // decay 80 ms
    {{0xB0, 79, 110}, 0.3, 0},   // sustain 87 %
    {{0xC0, 6}, 0.5, 0},         // operation 7
    {{0x90, 60, 100}, 0.9, 120}, // the first note, near the period's end
    {{0xB0, 74, 10}, 0.0, 60},   // range top 21 while it sounds
    {{0xB0, 70, 127}, 0.4, 60},  // range bottom 245
    {{0xB0, 71, 100}, 0.7, 0},   // static value 79
    {{0xC0, 1}, 0.8, 80},        // operation 2
    {{0xB0, 72, 0}, 0.3, 0},     // release 1 ms, from the next note on
    {{0xB0, 73, 0}, 0.4, 0},     // attack 1, from the next note on
    {{0x80, 60, 0}, 0.5, 150},   // released
    {{0xC0, 13}, 0.5, 0},        // no such program: ignored
    {{0x91, 64, 100}, 0.5, 0},   // channel 2: ignored
    {{0xC0, 0}, 0.6, 50},        // operation 1
    {{0x90, 69, 100}, 0.0, 100}, // three notes of A4 from silence
    {{0xF0, 0x7F, 0, 8, 2, 0, 1, 69, 69, 0x30, 0, 0xF7}, 0.45, 50}, // tuned 37.5 cents up at once
    {{0x90, 69, 0}, 0.6, 150},   // (velocity 0: released)
    {{0x90, 69, 100}, 0.33, 100}, {{0x80, 69, 0}, 0.6, 150},
    {{0x90, 69, 100}, 0.77, 100}, {{0x80, 69, 0}, 0.6, 150},
    {{0x90, 64, 100}, 0.2, 100}, // touching notes: an event with a note-off and a note-on
    {{0x80, 64, 0, 0x90, 67, 100}, 0.4, 100}, {{0x80, 67, 0}, 0.5, 150},
};

std::string serverFromEnvironment() {
    const char *name = std::getenv("JACK_DEFAULT_SERVER");
    return name ? name : "";
}

// What the engine renders for the script's messages at the same frames,
// from frame `from` on, `count` frames.
std::vector<float> reference(const std::vector<TimedMessage> &script,
                             const std::vector<uint32_t> &frames, uint32_t from, size_t count,
                             bool quickStart, const Tuning &tuning) {
    SoundOptions sound{.quickStart = quickStart, .expressive = true, .tuning = tuning};
    std::string error;
    for (size_t i = 0; i + 1 < kSoundArgs.size(); i += 2)
        EXPECT_EQ(setSoundOption(kSoundArgs[i].substr(2), kSoundArgs[i + 1], sound, error),
                  SoundOptionResult::set);
    static DrivenEngine engine;
    prepareEngine(engine, sound);
    std::vector<float> out(count);
    renderAroundEvents(
        engine, out.data(), static_cast<uint32_t>(count), static_cast<uint32_t>(script.size()),
        [&](uint32_t i) { return frames[i] - from; },
        [&](uint32_t i) {
            const std::vector<uint8_t> &b = script[i].bytes;
            forEachMidiMessage(
                b.data(), b.size(), [](uint32_t m) { playLiveMessage(engine, m); },
                [](const uint8_t *m, size_t n) { onSystemExclusive(engine.state, m, n); });
        });
    return out;
}

long firstNonZero(const float *samples, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
        if (samples[i] != 0.0f)
            return static_cast<long>(i);
    return -1;
}

class Instrument : public ::testing::Test {
  protected:
    void SetUp() override {
        if (serverFromEnvironment().empty())
            GTEST_SKIP() << "needs the test services (JACK_DEFAULT_SERVER)";
        std::filesystem::create_directories(kOutDir);
    }
    void TearDown() override {
        for (const Launched &l : running_)
            if (stillRunning(l.pid)) {
                kill(l.pid, SIGTERM);
                waitExit(l.pid, 5);
            }
    }
    // A server of the test's own, up and answering.
    void ownServer(int period, int rate = 48000) {
        server_ = std::make_unique<PrivateJackServer>(kOutDir + "/jackd.log", period, rate);
        ASSERT_TRUE(server_->up(10)) << readFile(kOutDir + "/jackd.log");
    }
    std::string serverName() const { return server_ ? server_->name() : serverFromEnvironment(); }
    std::unique_ptr<JackProbe> probe(const std::string &name,
                                     std::vector<std::string> ports = {"keys"}) {
        return std::make_unique<JackProbe>(name, ports, 20.0, server_ ? server_->name() : "");
    }
    // Starts ondrilux-jack wired to the probe's MIDI port `port` and audio input.
    Launched start(const JackProbe &p, const std::string &name, int port = 0,
                   std::vector<std::string> args = kSoundArgs) {
        const std::string probeName = p.midiPortName(port);
        args.insert(args.end(), {"--name", name, "--connect-midi", probeName, "--connect-audio",
                                 probeName.substr(0, probeName.find(':')) + ":in"});
        Env env;
        if (!serverName().empty()) // PipeWire's JACK layer names none
            env.push_back({"JACK_DEFAULT_SERVER", serverName()});
        const Launched l = launch(kProgram, kOutDir, env, {}, args);
        running_.push_back(l);
        p.waitListening(port, 5);
        sleepMs(100); // the audio connection follows the MIDI one
        return l;
    }

    // Plays kScript into ondrilux-jack and checks the recording against the
    // engine's render of the same messages at the same frames; `period` 0:
    // whatever the server's is; under the Scala scale `scale`, if any. A take
    // that fails while the server reported an xrun is played again with a fresh
    // program, three takes at most.
    void playScriptAndCompare(int period = 0, bool quickStart = true, std::string scale = "") {
        std::vector<std::string> args = kSoundArgs;
        if (!quickStart)
            args.push_back("--no-quick-start");
        Tuning tuning;
        std::string error;
        ASSERT_TRUE(readTuningFiles(scale, "", tuning, error)) << error;
        if (!scale.empty())
            args.insert(args.end(), {"--scale", scale});
        constexpr int kTakes = 3;
        for (int take = 1; take <= kTakes; ++take) {
            auto keys = probe("ondrilux-keys");
            ASSERT_TRUE(keys->ok());
            if (period) {
                ASSERT_EQ(keys->bufferSize(), period);
            }
            const Launched program = start(*keys, "ondrilux-timed", 0, args);
            ASSERT_TRUE(keys->programListens(0));
            const std::string fault = playScriptOnce(*keys, quickStart, tuning);
            if (!fault.empty() && keys->xruns() > 0 && take < kTakes) {
                std::printf("take %d: %s, with %d xruns: again\n", take, fault.c_str(),
                            keys->xruns());
                kill(program.pid, SIGTERM);
                waitExit(program.pid, 5);
                continue;
            }
            EXPECT_EQ(fault, "") << keys->xruns() << " xruns";
            return;
        }
    }

    // One take of playScriptAndCompare: what differs, or "".
    std::string playScriptOnce(JackProbe &keys, bool quickStart, const Tuning &tuning) {
        const long period = keys.bufferSize();
        std::vector<uint32_t> frames;
        // PipeWire's JACK layer names no server, and plays its own freewheel.
        const size_t recorded =
            keys.playFreewheeling(kScript, 4800, frames, !serverName().empty());
        const float *rec = keys.samples();

        // Frames from a little before the first message to the end of the recording.
        const uint32_t from = frames.front() - 2000;
        const size_t start = from - keys.recordStart();
        if (start >= recorded)
            return "the recording ends before the script";
        const std::vector<float> ref =
            reference(kScript, frames, from, recorded - start, quickStart, tuning);
        const long refFirst = firstNonZero(ref.data(), 0, ref.size());
        const long recFirst = firstNonZero(rec, start, recorded);
        if (refFirst < 0 || recFirst < 0)
            return "nothing heard";
        // The graph's constant delay: whole periods (the probe both feeds and hears).
        const long delay = recFirst - static_cast<long>(start) - refFirst;
        if (delay < 0 || delay % period != 0)
            return "delay " + std::to_string(delay);
        // Every sample carries the same bits, except that silence may be zero of
        // either sign: a silent frame's sign is no part of the sound, and it
        // follows state the two runs need not share (the idle oscillator's phase).
        for (size_t i = 0; i + static_cast<size_t>(delay) < ref.size(); ++i) {
            const float a = ref[i], b = rec[start + static_cast<size_t>(delay) + i];
            if (std::memcmp(&a, &b, sizeof a) != 0 && !(a == 0.0f && b == 0.0f))
                return "the recording differs from the engine's render, first at frame " +
                       std::to_string(i) + " of " + std::to_string(ref.size());
        }

        // Touching notes hand over without a click.
        for (size_t i = 0; i < kScript.size(); ++i)
            if (kScript[i].bytes.size() == 6) {
                const size_t at = frames[i] - keys.recordStart() + static_cast<size_t>(delay);
                if (const double ratio = stepAtHandOver(rec, at); !(ratio <= 3.0))
                    return "touching notes: a step " + std::to_string(ratio) + " times the note's";
            }

        // Note-on to sound, for the three notes of A4 played from silence.
        const long engineFrames = quickStart ? kQuickNoteToSoundFrames : kNoteToSoundFrames;
        std::string delays;
        int notes = 0;
        for (size_t i = 0; i < kScript.size(); ++i)
            if (kScript[i].bytes[0] == 0x90 && kScript[i].bytes[1] == 69 && kScript[i].bytes[2]) {
                const size_t at = frames[i] - keys.recordStart();
                const long d = firstNonZero(rec, at, recorded) - static_cast<long>(at);
                delays += " " + std::to_string(d);
                ++notes;
                if (d != engineFrames + delay)
                    return "note-on to sound:" + delays + " frames";
            }
        if (notes != 3)
            return std::to_string(notes) + " notes of A4 found";
        std::printf("period %ld, quick start %s: graph delay %ld frames, note-on to sound%s "
                    "frames\n",
                    period, quickStart ? "on" : "off", delay, delays.c_str());
        return "";
    }

    std::unique_ptr<PrivateJackServer> server_;
    std::vector<Launched> running_;
};

// A period, and quick start on or off.
class SampleAccurate : public Instrument,
                       public ::testing::WithParamInterface<std::tuple<int, bool>> {};

TEST_P(SampleAccurate, RecordingIsTheEngineBitForBitAndEveryNoteSoundsAfterTheSameDelay) {
    const auto [period, quickStart] = GetParam();
    if (period != 256) // the test services' server runs at 256
        ownServer(period);
    playScriptAndCompare(period, quickStart);
}

INSTANTIATE_TEST_SUITE_P(Periods, SampleAccurate,
                         ::testing::Combine(::testing::Values(64, 256, 1024), ::testing::Bool()),
                         [](const auto &p) {
                             return std::to_string(std::get<0>(p.param)) +
                                    (std::get<1>(p.param) ? "QuickStart" : "FullFade");
                         });

// Under PipeWire's JACK layer (pw-jack), started by scripts/run-on-stack.sh
// pipewire; the period is PipeWire's quantum.
class PipeWire : public Instrument {
  protected:
    void SetUp() override {
        if (const std::string why = notOnStack("pipewire"); !why.empty())
            GTEST_SKIP() << why;
        std::filesystem::create_directories(kOutDir);
    }
};

TEST_F(PipeWire, RecordingIsTheEngineBitForBitAndEveryNoteSoundsAfterTheSameDelay) {
    playScriptAndCompare();
}

TEST_F(Instrument, UnderAScaleTheRecordingIsTheTunedEngineBitForBit) {
    playScriptAndCompare(0, true, ONDRILUX_SCALE);
}

// Held notes under --scale at the scale's pitches (19 equal steps an octave
// from key 60 at 261.6255653 Hz), then a real-time tuning message retuning the
// held key 25 cents above A4: each measured over 0.2 s from 0.08 s after it.
TEST_F(Instrument, UnderAScaleHeldNotesAndATuningMessageSoundAtTheirPitches) {
    auto keys = probe("ondrilux-tuned-keys");
    ASSERT_TRUE(keys->ok());
    start(*keys, "ondrilux-tuned", 0,
          {"--scale", ONDRILUX_SCALE, "--decay", "1", "--sustain", "100", "--static", "0", "--top",
           "243"});
    ASSERT_TRUE(keys->programListens(0));
    const auto nineteen = [](int steps) { return 261.6255653 * std::exp2(steps / 19.0); };
    const double hz[] = {nineteen(-5), nineteen(0), nineteen(6), nineteen(19),
                         440 * std::exp2(0.25 / 12)};
    const std::vector<TimedMessage> script = {
        {{0x90, 55, 100}, 0.0, 300},
        {{0x90, 60, 100}, 0.0, 300},
        {{0x90, 66, 100}, 0.0, 300},
        {{0x90, 79, 100}, 0.0, 300},
        {{0xF0, 0x7F, 0x7F, 8, 2, 0, 1, 79, 69, 0x20, 0, 0xF7}, 0.0, 300}};
    std::vector<uint32_t> frames;
    keys->playFreewheeling(script, 14400, frames);
    for (size_t i = 0; i < script.size(); ++i) {
        const float *from = keys->samples() + frames[i] - keys->recordStart() + 4000;
        EXPECT_NEAR(centsFrom(steadyPitchHz(from, 9600), hz[i]), 0.0, 0.1) << hz[i] << " Hz";
    }
}

// The autocorrelation's best lag within [lo, hi], refined between samples.
double fundamentalPeriod(const float *x, size_t n, int lo, int hi) {
    auto corr = [&](int lag) {
        double sum = 0.0;
        for (size_t i = 0; i + static_cast<size_t>(lag) < n; ++i)
            sum += static_cast<double>(x[i]) * x[i + static_cast<size_t>(lag)];
        return sum;
    };
    int best = lo;
    for (int lag = lo; lag <= hi; ++lag)
        if (corr(lag) > corr(best))
            best = lag;
    const double a = corr(best - 1), b = corr(best), c = corr(best + 1);
    return best + 0.5 * (a - c) / (a - 2 * b + c);
}

// The frames by which `recording` lags the engine's `render` (engine frames
// from a note-on at recording frame `noteAt`, linearly interpolated onto the
// server's clock): the best least-squares fit over the note's onset.
double lagBehindEngine(const float *recording, size_t noteAt, const std::vector<float> &render,
                       double serverRate, double lo, double hi) {
    const double enginePerServerFrame = kSampleRate / serverRate;
    const auto renderAt = [&](double k) {
        const auto i = static_cast<size_t>(k);
        const double f = k - static_cast<double>(i);
        return k < 0.0 || i + 1 >= render.size() ? 0.0 : render[i] * (1.0 - f) + render[i + 1] * f;
    };
    double best = lo, bestError = INFINITY;
    for (double lag = lo; lag <= hi; lag += 0.05) {
        double error = 0.0;
        for (size_t n = noteAt; n < noteAt + static_cast<size_t>(hi) + 2000; ++n) {
            const double k = (static_cast<double>(n - noteAt) - lag) * enginePerServerFrame;
            error += std::pow(recording[n] - renderAt(k), 2);
        }
        if (error < bestError)
            best = lag, bestError = error;
    }
    return best;
}

// The capture latency of `port` as jack_lsp shows it, -1 when it shows none.
long captureLatency(const std::string &server, const std::string &port) {
    const std::string out = shell("", "jack_lsp -s " + server + " -l " + port);
    const std::string label = "capture latency = [ ";
    const size_t at = out.find(label);
    return at == std::string::npos ? -1 : std::atol(out.c_str() + at + label.size());
}

// Converted to 44100 Hz, a note plays in tune, and the port's latency tells
// JACK how much later than its note-on the converter lets it sound.
TEST_F(Instrument, PlaysInTuneAndTellsItsDelayOnAServerAt44100Hz) {
    ownServer(256, 44100);
    auto keys = probe("ondrilux-tuner");
    ASSERT_TRUE(keys->ok());
    ASSERT_EQ(keys->sampleRate(), 44100);
    const std::vector<std::string> args = {"--decay", "1", "--sustain", "100"};
    start(*keys, "ondrilux-44k", 0, args);
    ASSERT_TRUE(keys->programListens(0));
    keys->startRecording();
    sleepMs(100);
    keys->noteOn(0, 69);
    keys->waitSent(1);
    sleepMs(800);
    // A4 is a period of round(48000 / 440) = 109 engine frames: 440.37 Hz,
    // 100.14 frames at 44100 (unconverted it would stay 109).
    const size_t from = keys->recordedCount() - 22050;
    const double period = fundamentalPeriod(keys->samples() + from, 22050, 90, 120);
    EXPECT_NEAR(period, 44100.0 / (48000.0 / 109.0), 0.05);

    // The converter's delay: about 24 frames (its filter and 4 frames in hand).
    const long latency = captureLatency(serverName(), "ondrilux-44k:out");
    EXPECT_GT(latency, 10);
    EXPECT_LT(latency, 40);
    SoundOptions sound{.sliders = {1, 1, 100, 1500}, .quickStart = true}; // as `args`
    static DrivenEngine engine;
    prepareEngine(engine, sound);
    playLiveMessage(engine, shortMessage(0x90, 69, 100));
    std::vector<float> render(4000);
    renderEngine(engine, render.data(), 4000);
    // Past the graph's one period (the probe's MIDI out, then its recording),
    // the sound lags the engine's by the port's latency, give or take where
    // the note-on falls between two engine frames.
    const size_t noteAt = keys->sentFrame(0) - keys->recordStart() + keys->bufferSize();
    const double lag = lagBehindEngine(keys->samples(), noteAt, render, 44100.0, -20.0, 80.0);
    std::printf("at 44100 Hz: port latency %ld frames, sound %.2f frames behind the engine\n",
                latency, lag);
    EXPECT_NEAR(lag, latency, 1.0);
}

TEST_F(Instrument, ServerGoneWhileANoteSoundsEndsWithOneLineAndStatus1) {
    ownServer(256);
    auto keys = probe("ondrilux-doomed");
    ASSERT_TRUE(keys->ok());
    const Launched l = start(*keys, "ondrilux-doomed-synth");
    keys->startRecording();
    keys->noteOn(0, 60);
    sleepMs(300);
    ASSERT_GE(keys->firstLoud(0), 0) << "the note is not heard";
    server_->kill(SIGTERM);
    EXPECT_EQ(waitExit(l.pid, 5), 1);
    EXPECT_EQ(readFile(l.errPath), "ondrilux-jack: the JACK server went away\n");
}

TEST_F(Instrument, TwoInstancesPlaySideBySideAndEndOnSignals) {
    auto keys = probe("ondrilux-duo", {"keys", "keys2"});
    ASSERT_TRUE(keys->ok());
    const Launched a = start(*keys, "ondrilux-duo-a", 0);
    const Launched b = start(*keys, "ondrilux-duo-b", 1);
    ASSERT_TRUE(keys->programListens(0) && keys->programListens(1));
    keys->startRecording();
    sleepMs(50);
    // Each instrument hears its own port only: one note each, apart.
    for (int port : {0, 1}) {
        const size_t before = keys->recordedCount();
        keys->noteOn(port, 60 + port);
        sleepMs(150);
        keys->noteOff(port, 60 + port);
        sleepMs(150);
        EXPECT_GE(keys->firstLoud(before), 0) << "instance " << port << " is silent";
    }
    kill(a.pid, SIGINT);
    kill(b.pid, SIGTERM);
    EXPECT_EQ(waitExit(a.pid, 5), 0);
    EXPECT_EQ(waitExit(b.pid, 5), 0);
    EXPECT_EQ(readFile(a.errPath) + readFile(b.errPath), "");
}

struct Refusal {
    const char *name;
    std::vector<std::string> args;
    bool withoutServer;
    int status;
    const char *message;
};

const Refusal kRefusals[] = {
    {"UnknownOption", {"--loud"}, false, 2, "unknown option '--loud'"},
    {"OutOfRange", {"--attack=0"}, false, 2, "--attack: '0' is out of range (1 to 2000)"},
    {"ValueMissing", {"--name"}, false, 2, "option '--name' needs a value"},
    {"BadName", {"--name", "a:b"}, false, 2, "--name: 'a:b' is no JACK client name"},
    // JACK 2 takes 63 characters, though jack_client_name_size() says 65.
    {"NameTooLong", {"--name", std::string(64, 'n')}, false, 2, "(1 to 63 characters, no ':')"},
    {"Argument", {"song.mid"}, false, 2, "unexpected argument 'song.mid'"},
    {"NoServer", {}, true, 1, "no JACK server is running"},
    {"ScaleMissingBeforeAnyServer", {"--scale", "/none.scl"}, true, 2, "/none.scl: No such file"},
};

void PrintTo(const Refusal &r, std::ostream *out) {
    *out << r.name;
}

class Refused : public Instrument, public ::testing::WithParamInterface<Refusal> {};

TEST_P(Refused, OneLineAndTheStatus) {
    const Refusal &r = GetParam();
    // The spare name has no server now; the program must not start one.
    const std::string server = r.withoutServer ? spareServerName() : serverName();
    const Launched l = launch(kProgram, kOutDir, {{"JACK_DEFAULT_SERVER", server}},
                              {"JACK_NO_START_SERVER"}, r.args);
    EXPECT_EQ(waitExit(l.pid, 10), r.status);
    const std::string err = readFile(l.errPath);
    EXPECT_NE(err.find(r.message), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    if (r.withoutServer) {
        EXPECT_NE(std::system(("jack_lsp -s " + server + " >/dev/null 2>&1").c_str()), 0)
            << "a server was started";
    }
}

INSTANTIATE_TEST_SUITE_P(Instrument, Refused, ::testing::ValuesIn(kRefusals),
                         [](const auto &refusal) { return std::string(refusal.param.name); });

// A refused open says in words what JACK refused, and its status in hex.
TEST(JackRefusal, SaysWhatJackRefused) {
    EXPECT_EQ(jackRefusal(static_cast<jack_status_t>(JackFailure | JackNameNotUnique |
                                                     JackServerError)),
              "JACK refused the client: the name is taken; the server refused it (a name too "
              "long or taken, or no room) (status 0x25)");
}

// The keyboard's port goes away while a key is held: with midi_in's last
// connection gone, nothing could release the key, so the instrument does.
TEST_F(Instrument, AKeyHeldWhenTheLastConnectionGoesIsReleased) {
    auto keys = probe("ondrilux-unplugged");
    auto ears = probe("ondrilux-ears", {});
    ASSERT_TRUE(keys->ok() && ears->ok());
    const Launched l = launch(kProgram, kOutDir, {{"JACK_DEFAULT_SERVER", serverName()}}, {},
                              {"--name", "ondrilux-unplugged-synth", "--release", "20",
                               "--connect-midi", keys->midiPortName(0), "--connect-audio",
                               "ondrilux-ears:in"});
    running_.push_back(l);
    ASSERT_TRUE(keys->waitListening(0, 5));
    sleepMs(100);
    ears->startRecording();
    keys->noteOn(0, 60);
    sleepMs(300);
    ASSERT_GE(ears->firstLoud(0), 0) << "the note is not heard";
    keys->close();
    sleepMs(300);
    const size_t end = ears->recordedCount();
    EXPECT_EQ(ears->rms(end - 4800, end), 0.0) << "the note sounds on";
    EXPECT_TRUE(stillRunning(l.pid));
}

// Played as a mono synth, live: a glide of 200 ms from A3 to A4, the notes
// at the wheel's ends unbent, the wheel swept to the top (B4 within a cent,
// and no sample-to-sample step larger than the unbent notes'), RPN 0 to 12
// semitones (A5), and the pedal holding a released note until it is lifted.
// One take: what is wrong, or "".
std::string playExpressiveTake(JackProbe &keys) {
    keys.startRecording();
    sleepMs(100);
    const float *rec = keys.samples();
    const auto sendNow = [&keys](std::vector<uint8_t> bytes) {
        const uint64_t index = keys.sentCount();
        keys.send(0, std::move(bytes));
        return keys.waitSent(index + 1) - keys.recordStart();
    };
    // Cents from `note` of the last second recorded.
    const auto lastSecond = [&](int note) {
        return centsFrom(pitchHz(rec + keys.recordedCount() - 48000, 48000), noteHz(note));
    };

    sendNow({0x90, 57, 100});
    sleepMs(400);
    // The graph's one period: the probe's MIDI goes out in one cycle, its
    // recording of the answer comes back in the next.
    const size_t glideFrom = sendNow({0x90, 69, 100}) + keys.bufferSize();
    sleepMs(500);
    const GlideCourse glide = glideCourse(rec + glideFrom - 9600, 9600 + 19200, 57, 69);
    const double arrivalMs = (glide.arrivalFrame - 9600) / 48.0;

    sendNow({0xB0, 65, 0}); // glide off
    sendNow({0x80, 57, 0});
    sendNow({0x80, 69, 0});
    sleepMs(100);
    float unbent = 0.0f;
    for (uint8_t note : {71, 69}) { // A4 last, legato
        sendNow({0x90, note, 100});
        sleepMs(300);
        unbent = std::max(unbent, largestStep(rec + keys.recordedCount() - 9600, 9600));
    }
    sendNow({0x80, 71, 0});
    const size_t sweepFrom = sendNow({0xE0, 0, 64});
    for (int v = 8192 + 127; v < 16384; v += 128) {
        keys.send(0, {0xE0, static_cast<uint8_t>(v & 0x7F), static_cast<uint8_t>(v >> 7)});
        sleepMs(3);
    }
    sleepMs(1300);
    const double b4 = lastSecond(71);
    const float bent = largestStep(rec + sweepFrom, keys.recordedCount() - sweepFrom);
    sendNow({0xB0, 101, 0});
    sendNow({0xB0, 100, 0});
    sendNow({0xB0, 6, 12});
    sleepMs(1200);
    const double a5 = lastSecond(81);
    sendNow({0xB0, 64, 127});
    sendNow({0x80, 69, 0});
    sleepMs(300);
    const double held = keys.rms(keys.recordedCount() - 4800, keys.recordedCount());
    sendNow({0xB0, 64, 0});
    sleepMs(200);
    const double lifted = keys.rms(keys.recordedCount() - 4800, keys.recordedCount());

    char figures[200];
    std::snprintf(figures, sizeof figures,
                  "glide arrives %.2f ms after the note-on; bent %+.3f cents from B4, %+.3f from "
                  "A5; largest step bent %.4f, unbent %.4f",
                  arrivalMs, b4, a5, bent, unbent);
    std::printf("live: %s\n", figures);
    const bool right = glide.rising && glide.semitonesPassed == 13 &&
                       std::fabs(arrivalMs - 200.0) <= 3.0 && std::fabs(b4) < 1.0 &&
                       std::fabs(a5) < 1.0 && bent <= unbent + 1e-6f && held > 0.01 &&
                       lifted == 0.0;
    return right ? ""
                 : std::string(figures) + (held > 0.01 ? "" : "; the pedal held nothing") +
                       (lifted == 0.0 ? "" : "; the note outlived the pedal");
}

TEST_F(Instrument, PlayedAsAMonoSynthBendGlideAndPedal) {
    constexpr int kTakes = 3;
    for (int take = 1; take <= kTakes; ++take) {
        auto keys = probe("ondrilux-player");
        ASSERT_TRUE(keys->ok());
        const Launched program = start(*keys, "ondrilux-expressive", 0,
                                       {"--decay", "1", "--sustain", "100", "--release", "10",
                                        "--static", "0", "--top", "243", "--glide", "200"});
        ASSERT_TRUE(keys->programListens(0));
        const std::string fault = playExpressiveTake(*keys);
        kill(program.pid, SIGTERM);
        waitExit(program.pid, 5);
        if (!fault.empty() && keys->xruns() > 0 && take < kTakes) {
            std::printf("take %d, with %d xruns: again\n", take, keys->xruns());
            continue;
        }
        EXPECT_EQ(fault, "") << keys->xruns() << " xruns";
        return;
    }
}

TEST(LiveControl, ControllerValuesSpanTheControlsRange) {
    struct Case {
        const ControlRange &range;
        uint8_t v;
        int32_t expected;
    };
    const Case cases[] = {
        {kStaticValueControl, 0, 0},     {kStaticValueControl, 127, 100},
        {kStaticValueControl, 64, 50},                            // 50.39
        {kRangeTopControl, 1, 4},                                 // 3.90
        {kRangeBottomControl, 127, 245}, {kAttackControl, 1, 17}, // 16.74
        {kReleaseControl, 64, 2520},                              // 2519.9
    };
    for (const Case &c : cases)
        EXPECT_EQ(controllerValue(c.range, c.v), c.expected) << int(c.v);
}

} // namespace
