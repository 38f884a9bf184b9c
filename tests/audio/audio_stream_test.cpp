// The audio stream for real: PortAudio's default output plays through ALSA's
// jack plugin into the test services' JACK server, where a small JACK client
// of this test records it, while a JACK MIDI sender plays the note.

#include "engine/audio_stream.h"
#include "engine/synth_state.h"
#include "midi/midi_input.h"
#include "midi/note_handling.h"
#include "tests/midi/window_probe.h"
#include "toolkit/toolkit.h"

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <portaudio.h>
#include <rtmidi/RtMidi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Records one JACK input port into a buffer allocated up front.
struct Recorder {
    jack_client_t *client = nullptr;
    jack_port_t *input = nullptr;
    std::vector<float> samples = std::vector<float>(4 * 48000);
    std::atomic<size_t> recorded{0};
    std::atomic<bool> recording{false};

    bool open() {
        client = jack_client_open("recorder", JackNoStartServer, nullptr);
        if (!client)
            return false;
        input = jack_port_register(client, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        return input && jack_set_process_callback(client, process, this) == 0 &&
               jack_activate(client) == 0;
    }
    ~Recorder() {
        if (client)
            jack_client_close(client);
    }

    // JACK's process thread.
    static int process(jack_nframes_t frames, void *self) {
        auto *r = static_cast<Recorder *>(self);
        if (!r->recording.load(std::memory_order_acquire))
            return 0;
        const auto *in = static_cast<const float *>(jack_port_get_buffer(r->input, frames));
        const size_t at = r->recorded.load(std::memory_order_relaxed);
        const size_t n = std::min<size_t>(frames, r->samples.size() - at);
        std::memcpy(r->samples.data() + at, in, n * sizeof(float));
        r->recorded.store(at + n, std::memory_order_release);
        return 0;
    }

    std::set<std::string> audioOutputs() const {
        std::set<std::string> names;
        if (const char **ports =
                jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput)) {
            for (const char **p = ports; *p; ++p)
                names.insert(*p);
            jack_free(ports);
        }
        return names;
    }
};

// Counts the data messages that reach the note handling.
std::atomic<int> messagesHeard;
void countMessage(const char *) {
    messagesHeard.fetch_add(1);
}

// JACK puts a new connection into its graph a cycle or so after making it,
// and a message sent before that is lost: active sensing, which changes no
// state, is sent until one arrives.
bool waitUntilHeard(RtMidiOut &sender) {
    setGateTextSink(countMessage);
    const int before = messagesHeard.load();
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    std::vector<unsigned char> activeSensing{0xFE};
    while (messagesHeard.load() == before && std::chrono::steady_clock::now() < deadline) {
        sender.sendMessage(&activeSensing);
        tk::waitEvent(5);
    }
    setGateTextSink(nullptr);
    return messagesHeard.load() != before;
}

// Normalised autocorrelation of x[from, from + length) at `lag`.
double correlation(const std::vector<float> &x, size_t from, size_t length, size_t lag) {
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
            switchMidiInput();
        }
        closeDeviceWindow();
    }
};

TEST_F(AudioStreamTest, ANoteOverJackMidiPlaysItsPitchAfterSilence) {
    Recorder recorder;
    ASSERT_TRUE(recorder.open());
    const std::set<std::string> before = recorder.audioOutputs();

    ASSERT_TRUE(openAudio());
    ASSERT_NE(synthState.stream, nullptr);
    ASSERT_TRUE(startAudio());
    EXPECT_EQ(synthState.gate.get(), 0);

    // The stream shows up as a new JACK client with one port per channel.
    std::vector<std::string> streamPorts;
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (streamPorts.empty() && std::chrono::steady_clock::now() < deadline) {
        for (const std::string &port : recorder.audioOutputs())
            if (!before.count(port))
                streamPorts.push_back(port);
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(streamPorts.size(), 1u) << "a mono stream has one output port";
    ASSERT_EQ(jack_connect(recorder.client, streamPorts[0].c_str(), jack_port_name(recorder.input)),
              0);

    RtMidiOut keyboard(RtMidi::UNIX_JACK, "keyboard");
    keyboard.openVirtualPort("port");
    listMidiInputs();
    const std::vector<std::string> entries = listItems(kMainWindow, kDeviceList);
    const auto entry = std::find(entries.begin(), entries.end(), "keyboard:port");
    ASSERT_NE(entry, entries.end());
    synthState.midiDevice = static_cast<int>(entry - entries.begin());
    openMidiInput();
    ASSERT_NE(synthState.midiHandle, nullptr);
    ASSERT_TRUE(waitUntilHeard(keyboard));

    recorder.recording.store(true, std::memory_order_release);
    takeEvents(300);
    const size_t noteSentAt = recorder.recorded.load(std::memory_order_acquire);
    std::vector<unsigned char> noteOn{0x90, 69, 100};
    keyboard.sendMessage(&noteOn);
    takeEvents(1000);
    recorder.recording.store(false, std::memory_order_release);

    const auto shutdownStarted = std::chrono::steady_clock::now();
    shutdownAudio();
    const auto shutdownTook = std::chrono::steady_clock::now() - shutdownStarted;
    EXPECT_EQ(synthState.stream, nullptr);
    EXPECT_LT(shutdownTook, 500ms);
    EXPECT_FALSE(recorder.audioOutputs().count(streamPorts[0])) << "the device was not released";

    const std::vector<float> &x = recorder.samples;
    const size_t recorded = recorder.recorded.load(std::memory_order_acquire);
    ASSERT_GT(noteSentAt, 4800u) << "too little recorded before the note";
    ASSERT_GT(recorded, noteSentAt + 24000);
    if (const char *keep = std::getenv("ONDRILUX_KEEP_RECORDING")) {
        std::ofstream(keep, std::ios::binary)
            .write(reinterpret_cast<const char *>(x.data()), recorded * sizeof(float));
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
    // 109 frames, the oscillator's period.
    const size_t from = onset + 4800, length = 9600;
    ASSERT_LT(from + length + 200, recorded);
    size_t bestLag = 0;
    double best = -1;
    for (size_t lag = 40; lag <= 200; ++lag) {
        const double r = correlation(x, from, length, lag);
        if (r > best) {
            best = r;
            bestLag = lag;
        }
    }
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

    initSynthState();
    dismissNextMessageBox(20);
    const bool opened = openAudio();
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
