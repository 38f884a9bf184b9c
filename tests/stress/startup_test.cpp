// The real ondrilux on the classic JACK desktop path: ALSA's default PCM plays
// into the JACK server and a JACK MIDI keyboard is there before the program
// starts. Started again and again while another process polls JACK with
// short-lived clients, every start must play the first note; and a cut-off
// system-exclusive message must not swallow the notes after it.
#include "tests/support/desktop.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

// ONDRILUX_STARTS runs the start-up test more often.
const int kStarts = std::getenv("ONDRILUX_STARTS") ? std::atoi(std::getenv("ONDRILUX_STARTS")) : 20;
constexpr size_t kNoteFrames = 24000;

int count(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class JackDesktop : public ProgramTest {
  protected:
    // Plays a note into the program once it listens to `keys`, and records its
    // output; again until it sounds or `seconds` have passed since the start
    // (the program opens a stalled stream or MIDI client again a second after
    // it started). What went wrong last, or "".
    std::string playTheFirstNote(JackProbe &keys, int seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        std::string fault = "the program did not open the keyboard";
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string output = keys.programOutput(program_.pid, 1);
            if (!keys.programListens(0) || output.empty() || !keys.listenTo(output)) {
                sleepMs(100);
                continue;
            }
            keys.startRecording();
            keys.noteOn(0, 69);
            // A stalled graph records nothing at all.
            for (int i = 0; i < 300 && keys.recordedCount() < kNoteFrames; ++i)
                sleepMs(5);
            keys.noteOff(0, 69);
            const size_t recorded = keys.recordedCount();
            const double level = keys.rms(0, recorded);
            if (recorded >= kNoteFrames && level >= 0.02)
                return "";
            fault = recorded < kNoteFrames ? "the JACK graph stalled (" +
                                                 std::to_string(recorded) + " frames recorded)"
                                           : "silent (rms " + std::to_string(level) + ")";
            sleepMs(300); // the release of the note
        }
        return fault;
    }
    void stop(const JackProbe &keys) {
        kill(program_.pid, SIGTERM);
        waitExit(program_.pid, 5);
        // The next start must not take this program's connection for its own.
        for (int i = 0; i < 100 && keys.programListens(0); ++i)
            sleepMs(50);
    }
};

// JACK's client library can leave a JACK client of the program stuck at a
// start when another process's JACK client comes and goes meanwhile, as
// jack_lsp does here: the stream's (nothing renders) or the MIDI input's (no
// note arrives). The program opens a stuck one again by itself and says
// nothing; every start must play. ONDRILUX_TRACE_RETRIES makes it tell the
// test how often it had to.
TEST_F(JackDesktop, EveryStartPlaysTheFirstNoteWhileJackIsPolled) {
    JackProbe keys("ondrilux-startup", {"keys"}, 2.0);
    ASSERT_TRUE(keys.ok());
    // What users' scripts and patchbays do throughout: look at JACK with
    // jack_lsp, a short-lived client of another process, again and again (a
    // stalled server can keep it waiting for good).
    std::atomic<bool> polling{true};
    std::thread poller([&] {
        while (polling.load())
            shell("", "timeout 2 jack_lsp >/dev/null 2>&1");
    });
    int silent = 0, streamRetries = 0, midiRetries = 0, startsRetried = 0;
    for (int round = 1; round <= kStarts; ++round) {
        launchProgram({{"ONDRILUX_TRACE_RETRIES", "1"}});
        const std::string fault = playTheFirstNote(keys, 10);
        stop(keys);
        const std::string said = readFile(program_.errPath);
        const int stream = count(said, "retried the audio stream");
        const int midi = count(said, "retried the JACK MIDI client");
        std::printf("start %2d: %s; audio stream opened again %d times, MIDI client %d\n", round,
                    fault.empty() ? "sound" : fault.c_str(), stream, midi);
        std::fflush(stdout);
        silent += !fault.empty();
        streamRetries += stream;
        midiRetries += midi;
        startsRetried += stream + midi > 0;
        EXPECT_EQ(count(said, "ondrilux:"), stream + midi) << said;
        if (keys.serverGone()) {
            ADD_FAILURE() << "the JACK server went away";
            break;
        }
    }
    polling.store(false);
    poller.join();
    std::printf("%d of %d starts silent; %d needed a retry: %d of the audio stream, %d of the "
                "JACK MIDI client\n",
                silent, kStarts, startsRetried, streamRetries, midiRetries);
    EXPECT_EQ(silent, 0);
}

// A start of the sound system that stands still is started afresh three
// times; then the program says so in one line and waits, and plays once the
// start goes on. A slow start that keeps working is never started afresh.
struct SlowStart {
    const char *name, *variable, *ms;
    int freshStarts, linesSaid;
};

class StartWatch : public JackDesktop, public ::testing::WithParamInterface<SlowStart> {};

TEST_P(StartWatch, OnlyAStartThatStandsStillIsStartedAfresh) {
    const SlowStart &c = GetParam();
    JackProbe keys("ondrilux-slow", {"keys"}, 2.0);
    ASSERT_TRUE(keys.ok());
    launchProgram({{c.variable, c.ms}, {"ONDRILUX_TRACE_RETRIES", "1"}});
    EXPECT_NE(findWindow(display_, "Ondrilux", 40).id, 0u) << readFile(program_.errPath);
    EXPECT_EQ(playTheFirstNote(keys, 10), "");
    stop(keys);
    const std::string said = readFile(program_.errPath);
    EXPECT_EQ(count(said, "from a fresh start"), c.freshStarts) << said;
    EXPECT_EQ(count(said, "ondrilux:"), c.freshStarts + c.linesSaid) << said;
    EXPECT_EQ(count(said, "start hangs (the program was started afresh three times)"),
              c.linesSaid);
}

INSTANTIATE_TEST_SUITE_P(JackDesktop, StartWatch,
                         ::testing::Values(
                             SlowStart{"Hung", "ONDRILUX_TEST_HUNG_START_MS", "6000", 3, 1},
                             SlowStart{"Slow", "ONDRILUX_TEST_SLOW_START_MS", "5000", 0, 0}),
                         [](const auto &c) { return std::string(c.param.name); });

// F0 41 10 and no F7, then a note in an event of its own, or inside the
// fragment's event: each note sounds.
TEST_F(JackDesktop, AnUnterminatedSysexLosesNoNote) {
    JackProbe keys("ondrilux-sysex", {"keys"}, 12.0);
    ASSERT_TRUE(keys.ok());
    start(&keys);
    ASSERT_TRUE(keys.programListens(0));
    ASSERT_TRUE(listen(keys));
    const std::vector<std::vector<std::vector<uint8_t>>> cases = {
        {{0xF0, 0x41, 0x10}, {0x90, 69, 100}},
        {{0xF0, 0x41, 0x10, 0x90, 69, 100}},
    };
    for (const auto &events : cases) {
        SCOPED_TRACE(events.size() == 1 ? "note inside the fragment" : "note after the fragment");
        // The release of the note before (1.5 s) has ended.
        sleepMs(2000);
        const size_t before = keys.recordedCount();
        for (const auto &event : events)
            keys.send(0, event);
        sleepMs(500);
        EXPECT_LT(keys.rms(before - 4800, before), 1e-4) << "sound before the note";
        EXPECT_GT(keys.rms(before, keys.recordedCount()), 0.02) << "the note was lost";
        keys.noteOff(0, 69);
    }
    stop(keys);
}

} // namespace
