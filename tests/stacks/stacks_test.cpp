// The real ondrilux on the desktop stacks people run: PipeWire (its ALSA
// plugin and JACK layer), PulseAudio, and Wayland with no X server. Each test
// runs inside scripts/run-on-stack.sh, which starts its stack for it alone;
// the note it plays must sound sample for sample as ondrilux-render renders it.
#include "tests/support/desktop.h"
#include "tests/renderer/renderer_process.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>

namespace {

constexpr int kRate = 48000;
constexpr int kNote = 69;
// Attack and decay at the default controls: the envelope's every stage but release.
constexpr size_t kCompared = kRate + kRate / 10;

// ondrilux-render's samples for kNote held from frame 0, from its first sound on.
std::vector<float> referenceNote() {
    ScratchFolder dir;
    writeFile(dir / "note.mid",
              header(0, 1, 96) +
                  track({{0, {0x90, kNote, 100}}, {384, {0x80, kNote, 0}}, {0, kEndOfTrack}}));
    const RendererRun run =
        runRenderer({(dir / "note.mid").string(), (dir / "note.wav").string()}, dir.path);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    std::vector<float> samples = readWav(dir / "note.wav");
    size_t first = 0;
    while (first < samples.size() && samples[first] == 0.0f)
        ++first;
    samples.erase(samples.begin(), samples.begin() + static_cast<long>(first));
    return samples;
}

// The first sample of what was heard from the note's first sound on that
// differs from the reference, or "" when all of kCompared are equal. A
// dropout is silence where the render sounds.
struct Difference {
    std::string text;
    bool dropout = false;
};
Difference firstDifference(const std::vector<float> &heard) {
    static const std::vector<float> reference = referenceNote();
    if (reference.size() < kCompared || heard.size() < kCompared)
        return {"too short: " + std::to_string(heard.size()) + " samples recorded"};
    for (size_t i = 0; i < kCompared; ++i)
        if (heard[i] != reference[i]) {
            char text[96];
            std::snprintf(text, sizeof text, "sample %zu: %.9g, rendered %.9g", i, heard[i],
                          reference[i]);
            return {text, heard[i] == 0.0f};
        }
    return {};
}

std::string env(const char *name) {
    const char *value = std::getenv(name);
    return value ? value : "";
}

// The program on the stack that scripts/run-on-stack.sh has started; the test
// skips itself elsewhere.
class Stack : public ProgramTest {
  protected:
    void SetUp() override {
        // The suite's name is the stack's, as scripts/run-on-stack.sh spells it.
        std::string stack =
            ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name();
        std::transform(stack.begin(), stack.end(), stack.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (const std::string why = notOnStack(stack); !why.empty())
            GTEST_SKIP() << why;
        // PipeWire's JACK layer needs no JACK_DEFAULT_SERVER, which the
        // fixture's own SetUp asks for.
        display_ = env("DISPLAY");
        std::filesystem::create_directories(testOutDir());
    }
    // Starts the program and waits until it listens to `keys`' first port,
    // the first JACK MIDI port there is.
    void start(const JackProbe &keys, const std::vector<std::string> &unset = {}) {
        launchProgram({}, unset);
        keys.waitListening(0);
    }
    // Plays the note and records it; what was heard from its first sound on
    // (nothing when it was not heard).
    std::vector<float> recordNote(JackProbe &keys) {
        keys.startRecording();
        sleepMs(500);
        const uint64_t before = keys.sentCount();
        keys.noteOn(0, kNote);
        const size_t sent = keys.waitSent(before + 1) - keys.recordStart();
        keys.waitRecorded(kCompared + kRate / 2);
        keys.noteOff(0, kNote);
        const long onset = keys.firstLoud(sent);
        if (onset < 0)
            return {};
        std::printf("note-on to sound: %.1f ms\n", (onset - sent) * 1000.0 / kRate);
        return {keys.samples() + onset, keys.samples() + keys.recordedCount()};
    }
    // `take` plays the note once and returns what was heard. A take with a
    // dropout shows the machine falling behind (the suite runs under
    // sanitizers too), not a wrong sample: it is played again, three takes at
    // most, once the note before has died away.
    void expectSoundsAsRendered(const std::function<std::vector<float>()> &take) {
        Difference difference;
        for (int attempt = 1; attempt <= 3; ++attempt) {
            const std::vector<float> heard = take();
            ASSERT_FALSE(heard.empty()) << "the note is not heard";
            difference = firstDifference(heard);
            if (!difference.dropout)
                break;
            std::printf("take %d: a dropout (%s): again\n", attempt, difference.text.c_str());
            sleepMs(2000);
        }
        EXPECT_EQ(difference.text, "");
    }
};

class PipeWire : public Stack {};
class PulseAudio : public Stack {};
class Wayland : public Stack {};

TEST_F(PipeWire, NoteFromAJackClientSoundsAsRendered) {
    // Under pw-jack this client and the program's JACK MIDI input are
    // PipeWire's; the program's sound comes through PipeWire's ALSA plugin.
    JackProbe keys("ondrilux-keys", {"keys"}, 6.0);
    ASSERT_TRUE(keys.ok());
    start(keys);
    ASSERT_TRUE(keys.programListens(0)) << readFile(program_.errPath);
    ASSERT_TRUE(keys.listenTo("Null Sink:monitor_FL"));
    expectSoundsAsRendered([&] { return recordNote(keys); });
}

// parec's recording of the PulseAudio sink's monitor: left channel, from the
// first sound on.
TEST_F(PulseAudio, NoteFromAJackClientSoundsAsRendered) {
    JackProbe keys("ondrilux-keys", {"keys"});
    ASSERT_TRUE(keys.ok());
    start(keys);
    ASSERT_TRUE(keys.programListens(0)) << readFile(program_.errPath);
    expectSoundsAsRendered([&] {
        const std::string raw = testOutDir() + "/pulse.raw";
        const pid_t parec = fork();
        if (parec == 0) {
            execlp("parec", "parec", "-d", "null.monitor", "--format=float32le", "--rate=48000",
                   "--channels=2", "--latency-msec=5", raw.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        sleepMs(500);
        keys.noteOn(0, kNote);
        sleepMs(3000);
        keys.noteOff(0, kNote);
        kill(parec, SIGINT);
        waitpid(parec, nullptr, 0);
        const std::string bytes = readFile(raw);
        std::vector<float> frames(bytes.size() / sizeof(float));
        std::memcpy(frames.data(), bytes.data(), frames.size() * sizeof(float));
        std::vector<float> left;
        for (size_t i = 0; i < frames.size(); i += 2)
            if (!left.empty() || frames[i] != 0.0f)
                left.push_back(frames[i]);
        return left;
    });
}

TEST_F(Wayland, WindowShowsTheRangeBarAndANotePlays) {
    JackProbe keys("ondrilux-keys", {"keys"}, 4.0);
    ASSERT_TRUE(keys.ok());
    start(keys, {"DISPLAY"});
    ASSERT_TRUE(keys.programListens(0)) << readFile(program_.errPath);
    ASSERT_TRUE(keys.listenTo(keys.programOutput(program_.pid, 5)));

    // The range bar's picture at the default range: surface rows 0-39 grey,
    // 40-89 green, the rest grey; found by its first green pixel, in a
    // screenshot taken once the window has been drawn.
    const std::string shots = testOutDir() + "/wayland";
    std::string path;
    Image shot;
    int x = -1, y = -1;
    for (int attempt = 0; attempt < 20 && x < 0; ++attempt, sleepMs(500)) {
        std::filesystem::remove_all(shots);
        std::filesystem::create_directories(shots);
        shell("", "cd " + shots + " && weston-screenshooter >/dev/null 2>&1");
        for (const auto &entry : std::filesystem::directory_iterator(shots))
            path = entry.path().string();
        shot = readImage(path);
        for (int row = 0; row < shot.height && x < 0; ++row)
            for (int column = 0; column < shot.width; ++column)
                if (shot.at(column, row) == kGreen) {
                    x = column + 8, y = row;
                    break;
                }
    }
    ASSERT_GE(x, 0) << "no range bar in " << path;
    for (int row = -40; row < 206; ++row)
        ASSERT_EQ(shot.at(x, y + row), (row >= 0 && row < 50) ? kGreen : kGrey)
            << "surface row " << row + 40 << " in " << path;

    expectSoundsAsRendered([&] { return recordNote(keys); });
    EXPECT_TRUE(stillRunning(program_.pid));
    std::printf("program's stderr on Wayland: %s\n", readFile(program_.errPath).c_str());
}

} // namespace
