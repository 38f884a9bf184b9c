// The audio stream for real: PortAudio's default output plays through ALSA's
// jack plugin into the test services' JACK server, where the tests' JACK probe
// plays the note over JACK MIDI and records what sounds.

#include "app/audio_stream.h"
#include "ui/synth_record.h"
#include "midi/midi_input.h"
#include "midi/note_handling.h"
#include "tests/support/jack_probe.h"
#include "tests/support/window_probe.h"
#include "toolkit/toolkit.h"

#include <gtest/gtest.h>
#include <portaudio.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Normalised autocorrelation of x[from, from + length) at `lag`.
double correlation(const float *x, size_t from, size_t length, size_t lag) {
    double xy = 0, xx = 0, yy = 0;
    for (size_t i = from; i < from + length; ++i) {
        xy += double(x[i]) * x[i + lag];
        xx += double(x[i]) * x[i];
        yy += double(x[i + lag]) * x[i + lag];
    }
    return xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0.0;
}

class AudioStreamTest : public testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("JACK_DEFAULT_SERVER"))
            GTEST_SKIP() << "needs the JACK server of scripts/test-services.sh";
        ASSERT_TRUE(openDeviceWindow());
    }
    void TearDown() override {
        if (synthState.midiHandle) {
            tk::setState(kMainWindow, kDeviceList, -1);
            switchMidiInput(synthState);
        }
        closeDeviceWindow();
    }
};

TEST_F(AudioStreamTest, ANoteOverJackMidiPlaysItsPitchAfterSilence) {
    JackProbe keyboard("keyboard", {"port"}, 4.0);
    ASSERT_TRUE(keyboard.ok());

    ASSERT_TRUE(openAudio(synthState));
    ASSERT_NE(synthState.stream, nullptr);
    ASSERT_TRUE(startAudio(synthState));
    EXPECT_EQ(synthState.gate.get(), 0);

    // The stream shows up as a JACK client of this process with one port per channel.
    const std::string streamPort = keyboard.programOutput(getpid(), 3);
    ASSERT_FALSE(streamPort.empty());
    ASSERT_EQ(keyboard.programOutputs(getpid()).size(), 1u) << "a mono stream has one output port";
    ASSERT_TRUE(keyboard.listenTo(streamPort));

    ASSERT_TRUE(listOpenAndHear("keyboard:port", [&] { keyboard.send(0, {0xFE}); }));

    keyboard.startRecording();
    takeEvents(300);
    const uint64_t sent = keyboard.sentCount() + 1;
    keyboard.noteOn(0, 69);
    const size_t noteSentAt =
        static_cast<uint32_t>(keyboard.waitSent(sent) - keyboard.recordStart());
    takeEvents(1000);
    keyboard.stopRecording();

    const auto shutdownStarted = std::chrono::steady_clock::now();
    shutdownAudio(synthState);
    const auto shutdownTook = std::chrono::steady_clock::now() - shutdownStarted;
    EXPECT_EQ(synthState.stream, nullptr);
    EXPECT_LT(shutdownTook, 500ms);
    EXPECT_TRUE(keyboard.programOutputs(getpid()).empty()) << "the device was not released";

    const float *x = keyboard.samples();
    const size_t recorded = keyboard.recordedCount();
    ASSERT_GT(noteSentAt, 4800u) << "too little recorded before the note";
    ASSERT_GT(recorded, noteSentAt + 24000);
    if (const char *keep = std::getenv("ONDRILUX_KEEP_RECORDING")) {
        std::ofstream(keep, std::ios::binary)
            .write(reinterpret_cast<const char *>(x), recorded * sizeof(float));
    }

    // Silence until the note: before the first note the oscillator gives 0.
    for (size_t i = 0; i < noteSentAt; ++i)
        ASSERT_EQ(x[i], 0.0f) << "frame " << i;
    size_t onset = noteSentAt;
    while (onset < recorded && x[onset] == 0.0f)
        ++onset;
    ASSERT_LT(onset, recorded) << "the note was never heard";
    const double latencyMs = (onset - noteSentAt) / 48.0;
    EXPECT_LT(latencyMs, 400.0);

    // 100 ms into the note the waveform repeats every round(48000 / 440) =
    // 109 frames, the oscillator's period. A buffer the scheduler played late
    // on a busy machine breaks one window; the best of three that fit counts.
    constexpr size_t length = 9600;
    size_t from = onset + 4800, bestLag = 0;
    double best = -1;
    for (size_t start = from; start + length + 200 < recorded && start <= onset + 24000;
         start += length) {
        for (size_t lag = 40; lag <= 200; ++lag) {
            const double r = correlation(x, start, length, lag);
            if (r > best) {
                best = r;
                bestLag = lag;
                from = start;
            }
        }
    }
    ASSERT_NE(bestLag, 0u) << "too little recorded after the note";
    double energy = 0;
    for (size_t i = from; i < from + length; ++i)
        energy += double(x[i]) * x[i];
    const double rms = std::sqrt(energy / length);
    std::printf("note heard %.1f ms after it was sent; period %zu frames (r = %.5f), rms %.4f; "
                "shutdown %.1f ms\n",
                latencyMs, bestLag, best, rms,
                std::chrono::duration<double, std::milli>(shutdownTook).count());
    EXPECT_EQ(bestLag, 109u);
    EXPECT_GT(best, 0.99);
    EXPECT_GT(rms, 0.01);
}

// The open without an output device, in a process of its own: ALSA keeps its
// configuration per process, and PortAudio trips over a change of it while
// listing devices. Prints what the box said and exits with 0 when the open
// failed.
[[noreturn]] void openWithoutDevice() {
    // ALSA's only PCM plays into a JACK server that is not there. (An ALSA
    // without any PCM trips an assertion inside PortAudio.)
    char folder[] = "/tmp/ondrilux-noaudio.XXXXXX";
    if (!mkdtemp(folder))
        _exit(3);
    const std::string config = std::string(folder) + "/asound.conf";
    std::ofstream(config) << "pcm.!default {\n type jack\n playback_ports { 0 system:playback_1 }\n"
                             " capture_ports { 0 system:capture_1 }\n}\n";
    setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
    setenv("JACK_DEFAULT_SERVER", "ondrilux-no-such-server", 1);
    setenv("JACK_NO_START_SERVER", "1", 1);

    initSynthState(synthState);
    dismissNextMessageBox(20);
    const bool opened = openAudio(synthState);
    std::remove(config.c_str());
    rmdir(folder);

    const MessageBoxSeen box = lastMessageBox();
    std::fprintf(stderr, "\n%d box(es), last \"%s\": \"%s\"; stream %s\n", box.count,
                 box.title.c_str(), box.text.c_str(), synthState.stream ? "set" : "none");
    std::fflush(stderr);
    _exit(opened ? 1 : 0);
}

// With no output device the open fails, and the user is told in the box.
TEST(AudioStreamDeathTest, OpenWithoutOutputDeviceShowsThePortAudioBox) {
    if (access("/dev/snd", F_OK) == 0)
        GTEST_SKIP() << "a sound card is present: there is always an output device";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string expected = std::string("1 box\\(es\\), last \"PortAudio\": \"") +
                                 Pa_GetErrorText(paInvalidDevice) + "\"; stream none";
    EXPECT_EXIT(openWithoutDevice(), testing::ExitedWithCode(0), expected);
}

} // namespace
