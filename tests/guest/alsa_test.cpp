// The real ondrilux on a real kernel's ALSA, inside the guest of
// scripts/run-in-guest.sh: a bare sound card (snd-aloop, recorded from its
// capture side), virtual raw MIDI keyboards (snd-virmidi, unplugged by
// unbinding their driver) and sequencer clients of the test's own. Elsewhere
// every test skips. The guest runs some twenty times slower than the host, so
// every wait is generous.
#include "tests/renderer/renderer_process.h"
#include "tests/support/desktop.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr int kNote = 69;
// Attack and decay at the default controls.
constexpr size_t kCompared = kRate + kRate / 10;
constexpr const char *kDisplay = ":7";
constexpr const char *kKeyboard = "/dev/snd/midiC1D0";
constexpr const char *kVirmidi = "/sys/bus/platform/drivers/snd_virmidi";
// PortAudio's initialisation outlasts the program's watch on a hung start in
// the slow guest: the fresh starts are taken as spent.
const Env kNoFreshStart{{"ONDRILUX_FRESH_STARTS", "3"}};

bool waitFor(const std::function<bool()> &condition, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        sleepMs(100);
    }
    return true;
}

std::string run(const std::string &command) {
    return shell(kDisplay, command + " 2>&1");
}

// What the sequencer's client Ondrilux is connected from ("20:0" ...), as
// aconnect lists it; "" when that client does not exist.
std::string ondriluxSources() {
    const std::string list = run("aconnect -l");
    const size_t client = list.find("'Ondrilux'");
    if (client == std::string::npos)
        return "";
    const size_t next = list.find("client ", client);
    const std::string block = list.substr(client, next == std::string::npos ? next : next - client);
    const size_t from = block.find("Connected From:");
    return from == std::string::npos ? "none" : block.substr(from + 16, block.find('\n', from) - from - 16);
}

// The keyboard's cable: its platform device bound to snd_virmidi or not.
void plugKeyboard(bool in) {
    const std::string device = "snd_virmidi.0";
    const std::string path = std::string(kVirmidi) + (in ? "/bind" : "/unbind");
    run("echo " + device + " > " + path);
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(kKeyboard) == in; }, 20)) << path;
}

void playOnKeyboard(const std::vector<uint8_t> &bytes) {
    const int fd = open(kKeyboard, O_WRONLY);
    ASSERT_GE(fd, 0) << kKeyboard;
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
}

// The loopback card's capture side, stereo at 48000 Hz, for `seconds`: what
// the program plays into its playback side, in the format it plays (32-bit
// integers through ALSA's default device, floats from JACK's driver); the
// samples in units of the integers' lowest bit.
class Recording {
  public:
    explicit Recording(int seconds, bool floats = false)
        : path_(testOutDir() + "/loopback.raw"), floats_(floats) {
        std::filesystem::remove(path_);
        pid_ = fork();
        if (pid_ == 0) {
            const std::string d = std::to_string(seconds);
            execlp("arecord", "arecord", "-q", "-D", "hw:Loopback,1,0", "-f",
                   floats ? "FLOAT_LE" : "S32_LE", "-r",
                   "48000", "-c", "2", "-t", "raw", "-d", d.c_str(), path_.c_str(),
                   static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    // Waits until the card delivers (a process starts slowly in the guest).
    bool started() const {
        return waitFor([&] { return std::filesystem::exists(path_) && std::filesystem::file_size(path_) > 0; },
                       30);
    }
    // The left channel, from the first sound on when `fromSound`.
    std::vector<double> left(bool fromSound) {
        waitpid(pid_, nullptr, 0);
        const std::string bytes = readFile(path_);
        std::vector<double> out;
        for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
            int32_t integer;
            float real;
            std::memcpy(&integer, bytes.data() + i, 4);
            std::memcpy(&real, bytes.data() + i, 4);
            const double sample = floats_ ? real * 2147483648.0 : integer;
            if (!fromSound || !out.empty() || sample != 0)
                out.push_back(sample);
        }
        return out;
    }

  private:
    std::string path_;
    bool floats_;
    pid_t pid_;
};

bool sounds(const std::vector<double> &samples) {
    for (const double s : samples)
        if (s != 0)
            return true;
    return false;
}

// ondrilux-render's samples for kNote held.
std::vector<float> renderedNote() {
    ScratchFolder dir;
    writeFile(dir / "note.mid", header(0, 1, 96) + track({{0, {0x90, kNote, 100}},
                                                          {384, {0x80, kNote, 0}},
                                                          {0, kEndOfTrack}}));
    const RendererRun r =
        runRenderer({(dir / "note.mid").string(), (dir / "note.wav").string()}, dir.path);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    return readWav(dir / "note.wav");
}

// ondrilux-render's samples for kNote held, from its first sound on the card
// (a float card carries them whole, an integer one truncated).
const std::vector<float> &referenceNote(bool floats) {
    if (floats) {
        static const std::vector<float> whole = [] {
            std::vector<float> s = renderedNote();
            s.erase(s.begin(), std::find_if(s.begin(), s.end(), [](float x) { return x != 0.0f; }));
            return s;
        }();
        return whole;
    }
    static const std::vector<float> samples = [] {
        std::vector<float> s = renderedNote();
        // From the first sample that the card's integers do not truncate to 0.
        size_t first = 0;
        while (first < s.size() && std::abs(s[first]) * 2147483648.0 < 1.0)
            ++first;
        return std::vector<float>(s.begin() + static_cast<long>(first), s.end());
    }();
    return samples;
}

// The first of kCompared samples that differs from the render by more than the
// card carries (nothing for floats, below the lowest bit for integers), or "".
std::string differenceFromRender(const std::vector<double> &heard, bool floats = false) {
    const std::vector<float> &reference = referenceNote(floats);
    const double precision = floats ? 0.0 : 1.0;
    if (heard.size() < kCompared || reference.size() < kCompared)
        return "too short: " + std::to_string(heard.size()) + " samples recorded";
    for (size_t i = 0; i < kCompared; ++i) {
        const double expected = static_cast<double>(reference[i]) * 2147483648.0;
        if (std::abs(heard[i] - expected) > precision) {
            char text[96];
            std::snprintf(text, sizeof text, "sample %zu: %.1f, rendered %.1f", i, heard[i],
                          expected);
            return text;
        }
    }
    return "";
}

// The guest's X display, started once for all the tests.
class GuestDisplay : public ::testing::Environment {
  public:
    void SetUp() override {
        if (!std::getenv("ONDRILUX_GUEST"))
            return;
        xvfb_ = fork();
        if (xvfb_ == 0) {
            execlp("Xvfb", "Xvfb", kDisplay, "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                   static_cast<char *>(nullptr));
            _exit(127);
        }
        waitFor([] { return run("xdpyinfo >/dev/null && echo up") == "up\n"; }, 120);
    }
    void TearDown() override {
        if (xvfb_ > 0) {
            kill(xvfb_, SIGTERM);
            waitpid(xvfb_, nullptr, 0);
        }
    }

  private:
    pid_t xvfb_ = -1;
};
const auto *const display = ::testing::AddGlobalTestEnvironment(new GuestDisplay);

class Alsa : public ProgramTest {
  protected:
    void SetUp() override {
        if (!std::getenv("ONDRILUX_GUEST"))
            GTEST_SKIP() << "runs in the guest only: scripts/run-in-guest.sh";
        display_ = kDisplay;
        std::filesystem::create_directories(testOutDir());
    }
    void TearDown() override {
        if (program_.pid > 0 && stillRunning(program_.pid)) {
            kill(program_.pid, SIGTERM);
            waitExit(program_.pid, 20);
        }
    }
    // Starts the program and waits for its window, its stream and its ALSA port.
    WindowBox startOnCard() {
        launchProgram(kNoFreshStart);
        const WindowBox box = findWindow(display_, "Ondrilux", 240);
        EXPECT_NE(box.id, 0u) << readFile(program_.errPath);
        EXPECT_TRUE(waitFor([] { return ondriluxSources() != ""; }, 60)) << "no ALSA port";
        EXPECT_TRUE(waitFor(
            [] { return run("cat /proc/asound/Loopback/pcm0p/sub0/status").find("RUNNING") !=
                        std::string::npos; },
            60))
            << "the stream does not run";
        return box;
    }
    // Picks the list's entry through the keyboard: `keys` pressed on the list,
    // which has the focus first.
    void pick(const WindowBox &box, const std::string &keys) {
        xdotool(display_, "windowfocus --sync " + std::to_string(box.id) + " key " + keys);
    }
    // What the kernel and the program say, for a failure's message.
    std::string state() const {
        return run("cat /proc/asound/Loopback/pcm0p/sub0/status; aconnect -l; ls /dev/snd") +
               readFile(program_.errPath);
    }
    // Status field 0's ink width: "No MIDI IN" is wider than "MIDI IN".
    int midiInInk(const WindowBox &box, const std::string &name) {
        sleepMs(1500);
        const Image image = shot(name);
        const Layout l = measureLayout(image, box);
        return statusFieldInk(image, box, l, 0);
    }
    // Plays kNote on the raw MIDI keyboard for three seconds while recording.
    std::vector<double> noteFromKeyboard(bool floats = false) {
        Recording recording(5, floats);
        EXPECT_TRUE(recording.started());
        sleepMs(300);
        playOnKeyboard({0x90, kNote, 100});
        sleepMs(3000);
        playOnKeyboard({0x80, kNote, 0});
        return recording.left(true);
    }
};

TEST_F(Alsa, KeyboardPluggedInLaterPlaysAsRenderedIsReleasedWhenUnpluggedAndComesBack) {
    plugKeyboard(false);
    const WindowBox box = startOnCard();
    ASSERT_NE(box.id, 0u);
    // Midi Through alone is listed, and open.
    EXPECT_EQ(ondriluxSources(), "14:0");
    const int open = midiInInk(box, "alsa-start");

    plugKeyboard(true);
    sleepMs(5000);
    pick(box, "Down");
    ASSERT_TRUE(waitFor([] { return ondriluxSources() == "20:0"; }, 30))
        << "the keyboard plugged in is not listed: " << ondriluxSources();

    // On the bare card, sample for sample as rendered; a take that fell
    // behind (a dropout) is played again.
    std::string difference;
    for (int take = 0; take < 3; ++take) {
        const std::vector<double> heard = noteFromKeyboard();
        ASSERT_TRUE(sounds(heard)) << "the note is not heard: " << state();
        difference = differenceFromRender(heard);
        if (difference.empty())
            break;
        std::printf("take %d: %s\n", take + 1, difference.c_str());
        sleepMs(3000);
    }
    EXPECT_EQ(difference, "");

    // Unplugged with the key held: the note dies away within its release.
    playOnKeyboard({0x90, kNote, 100});
    sleepMs(1500);
    plugKeyboard(false);
    sleepMs(4000);
    {
        Recording silence(2);
        EXPECT_FALSE(sounds(silence.left(false)))
            << "the note held on the unplugged keyboard sounds on: " << state();
    }
    EXPECT_GT(midiInInk(box, "alsa-unplugged"), open) << "\"No MIDI IN\" is not shown";

    // Plugged in again: opened by itself, and it plays.
    plugKeyboard(true);
    ASSERT_TRUE(waitFor([] { return ondriluxSources() == "20:0"; }, 30))
        << "not opened again: " << ondriluxSources();
    EXPECT_TRUE(sounds(noteFromKeyboard()));
    EXPECT_EQ(midiInInk(box, "alsa-plugged-again"), open);
}

// A sequencer client of the test's own, with one port that others read from.
class SoftwareKeyboard {
  public:
    SoftwareKeyboard() {
        if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_OUTPUT, 0) < 0)
            return;
        snd_seq_set_client_name(seq_, "Guest Keys");
        port_ = snd_seq_create_simple_port(seq_, "keys",
                                           SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                           SND_SEQ_PORT_TYPE_MIDI_GENERIC |
                                               SND_SEQ_PORT_TYPE_APPLICATION);
    }
    ~SoftwareKeyboard() {
        if (seq_)
            snd_seq_close(seq_);
    }
    bool ok() const { return seq_ && port_ >= 0; }
    int client() const { return snd_seq_client_id(seq_); }
    void note(bool on) {
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        snd_seq_ev_set_source(&ev, port_);
        snd_seq_ev_set_subs(&ev);
        snd_seq_ev_set_direct(&ev);
        if (on)
            snd_seq_ev_set_noteon(&ev, 0, kNote, 100);
        else
            snd_seq_ev_set_noteoff(&ev, 0, kNote, 0);
        snd_seq_event_output_direct(seq_, &ev);
    }

  private:
    snd_seq_t *seq_ = nullptr;
    int port_ = -1;
};

TEST_F(Alsa, SoftwareKeyboardStartedLaterPlaysAndAconnectToTheProgramsPortPlays) {
    plugKeyboard(true);
    const WindowBox box = startOnCard();
    ASSERT_NE(box.id, 0u);
    SoftwareKeyboard keys;
    ASSERT_TRUE(keys.ok());
    sleepMs(5000);
    // Its entry comes last in the list.
    pick(box, "End");
    const std::string source = std::to_string(keys.client()) + ":0";
    ASSERT_TRUE(waitFor([&] { return ondriluxSources() == source; }, 30))
        << "the software keyboard is not listed: " << ondriluxSources();
    {
        Recording recording(4);
        EXPECT_TRUE(recording.started());
        sleepMs(300);
        keys.note(true);
        sleepMs(1500);
        keys.note(false);
        EXPECT_TRUE(sounds(recording.left(false))) << "the software keyboard is not heard";
    }

    // While an ALSA entry is open, a connection made from outside plays too.
    run("aconnect 20:0 Ondrilux");
    EXPECT_TRUE(sounds(noteFromKeyboard())) << "aconnect's connection is not heard";
}

// A process of the test's own, stopped with SIGTERM at the end of its scope.
struct Child {
    explicit Child(const std::vector<std::string> &args, const Env &env = {}) {
        pid = fork();
        if (pid == 0) {
            for (const auto &[name, value] : env)
                setenv(name.c_str(), value.c_str(), 1);
            // Its chatter goes to a log of its own.
            const std::string log =
                testOutDir() + "/" + std::filesystem::path(args[0]).filename().string() + ".log";
            if (!std::freopen(log.c_str(), "w", stdout) || !std::freopen(log.c_str(), "a", stderr))
                _exit(127);
            std::vector<char *> argv;
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Child() {
        // One that ended has been reaped by stillRunning().
        if (kill(pid, SIGTERM) == 0)
            waitExit(pid, 20);
    }
    pid_t pid;
};

TEST_F(Alsa, JackInstrumentOnJackdsAlsaDriverPlaysABridgedKeyboardAsRendered) {
    plugKeyboard(true);
    // JACK's own ALSA driver on the loopback card, playback only, with the
    // sequencer's ports bridged in as physical MIDI capture ports. The guest
    // has no session bus to reserve the card through.
    Child jackd({"jackd", "--name", "guest", "-d", "alsa", "-d", "hw:Loopback,0", "-P", "-r",
                 "48000", "-p", "1024", "-n", "3", "-o", "2", "-X", "seq"},
                {{"JACK_NO_AUDIO_RESERVATION", "1"}});
    ASSERT_TRUE(waitFor(
        [&] { return !stillRunning(jackd.pid) ||
                     run("JACK_DEFAULT_SERVER=guest jack_lsp").find("system:playback_1") !=
                         std::string::npos; },
        120) && stillRunning(jackd.pid))
        << run("JACK_DEFAULT_SERVER=guest jack_lsp");
    Child instrument({ONDRILUX_JACK_PROGRAM}, {{"JACK_DEFAULT_SERVER", "guest"}});
    ASSERT_TRUE(waitFor(
        [] { return run("JACK_DEFAULT_SERVER=guest jack_lsp -c ondrilux:midi_in").find("system:midi_capture_2") !=
                    std::string::npos; },
        120))
        << run("JACK_DEFAULT_SERVER=guest jack_lsp -c");
    std::string difference;
    for (int take = 0; take < 3; ++take) {
        const std::vector<double> heard = noteFromKeyboard(true);
        ASSERT_TRUE(sounds(heard)) << "the note is not heard";
        difference = differenceFromRender(heard, true);
        if (difference.empty())
            break;
        std::printf("take %d: %s\n", take + 1, difference.c_str());
        sleepMs(3000);
    }
    EXPECT_EQ(difference, "");
}

TEST_F(Alsa, WithoutASoundCardShowsThePortAudioBoxAndEndsWithStatusOne) {
    ASSERT_EQ(run("rmmod snd_aloop && echo gone"), "gone\n");
    launchProgram(kNoFreshStart);
    const WindowBox box = findWindow(display_, "PortAudio", 240);
    EXPECT_NE(box.id, 0u) << "no \"PortAudio\" box: " << readFile(program_.errPath);
    EXPECT_FALSE(windowExists(display_, "Ondrilux"));
    xdotool(display_, "windowfocus --sync " + std::to_string(box.id) + " key Return");
    EXPECT_EQ(waitExit(program_.pid, 60), 1);
}

} // namespace
