// The real ondrilux under load and faults: a MIDI flood, a keyboard unplugged
// while a key is held, hundreds of device switches, and the JACK server dying
// under it. Each test drives the program from JACK clients of its own (which
// send MIDI and record the program's audio on one clock) and through xdotool.
#include "../app/desktop.h"
#include "jack_probe.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace {

const std::string kProgram = ONDRILUX_PROGRAM;
const std::string kOutDir = ONDRILUX_OUT_DIR;
constexpr int kRate = 48000;
// The default release: 1500 ms.
constexpr size_t kReleaseFrames = 72000;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double rms(const JackProbe &p, size_t from, size_t to) {
    to = std::min(to, p.recordedCount());
    double sum = 0.0;
    for (size_t i = from; i < to; ++i)
        sum += static_cast<double>(p.samples()[i]) * p.samples()[i];
    return to > from ? std::sqrt(sum / static_cast<double>(to - from)) : 0.0;
}

size_t indexOf(const JackProbe &p, uint32_t frame) {
    return static_cast<uint32_t>(frame - p.recordStart());
}

// Waits until the recording holds `frames` more samples than now.
void recordFor(const JackProbe &p, size_t frames) {
    const size_t until = p.recordedCount() + frames;
    for (int i = 0; i < 4000 && p.recordedCount() < until; ++i)
        sleepMs(5);
}

class Stress : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY") || !std::getenv("JACK_DEFAULT_SERVER"))
            GTEST_SKIP() << "needs the test services (DISPLAY, JACK_DEFAULT_SERVER)";
        std::filesystem::create_directories(kOutDir);
        display_ = std::getenv("DISPLAY");
    }
    void TearDown() override {
        if (program_.pid > 0 && stillRunning(program_.pid))
            waitExit(program_.pid, 0);
    }

    // Starts the program and waits for its window and for its MIDI input to
    // listen to `keys`' first port.
    WindowBox start(const JackProbe &keys,
                    std::vector<std::pair<std::string, std::string>> env = {}) {
        env.insert(
            env.end(),
            {{"DISPLAY", display_}, {"QT_STYLE_OVERRIDE", "Fusion"}, {"QT_SCALE_FACTOR", "1"}});
        program_ = launch(kProgram, kOutDir, env);
        const WindowBox box = findWindow(display_, "Ondrilux");
        for (int i = 0; i < 100 && !keys.programListens(0); ++i)
            sleepMs(50);
        return box;
    }
    // Records the program's output from now on.
    bool listen(JackProbe &ears) {
        const std::string port = ears.programOutput(program_.pid, 5);
        if (port.empty() || !ears.listenTo(port))
            return false;
        ears.startRecording();
        return true;
    }
    Image shot(const std::string &name) const {
        return screenshot(display_, kOutDir + "/" + name + ".png");
    }
    // Escape to the main window; the seconds until the program has ended.
    double quitWithEscape(const WindowBox &box, int &status) {
        const auto start = Clock::now();
        xdotool(display_, "windowfocus --sync " + std::to_string(box.id) + " key Escape");
        status = waitExit(program_.pid, 10);
        return secondsSince(start);
    }
    // Opens the device list and takes its highlighted entry, as a user
    // re-picking the same device does.
    void repickDevice(const WindowBox &box, int clientTop) {
        xdotool(display_, "mousemove " + std::to_string(box.x + 250) + " " +
                              std::to_string(clientTop + 20) + " click 1");
        sleepMs(400);
        xdotool(display_, "key Return");
    }

    std::string display_;
    Launched program_;
};

TEST_F(Stress, MidiFloodLeavesNoStuckNoteAndEscapeStillQuitsAtOnce) {
    JackProbe keys("ondrilux-flood", {"keys"}, 24.0);
    ASSERT_TRUE(keys.ok());
    const WindowBox box = start(keys);
    ASSERT_NE(box.id, 0u) << readFile(program_.errPath);
    ASSERT_TRUE(keys.programListens(0)) << "the program did not open the flooding device";
    ASSERT_TRUE(listen(keys));
    recordFor(keys, kRate / 5);

    // 24000 messages a second for 10 seconds.
    const size_t floodStart = keys.recordedCount();
    keys.startFlood(24000);
    recordFor(keys, 10 * kRate);
    const uint32_t offFrame = keys.stopFlood();
    ASSERT_TRUE(stillRunning(program_.pid)) << "the flood ended the program";
    std::printf("flood: %llu messages sent, %llu refused by the JACK port\n",
                static_cast<unsigned long long>(keys.floodSent()),
                static_cast<unsigned long long>(keys.floodRefused()));
    EXPECT_GE(keys.floodSent(), 200000u);
    EXPECT_EQ(keys.floodRefused(), 0u);

    const size_t offAt = indexOf(keys, offFrame);
    EXPECT_GT(rms(keys, floodStart + kRate, offAt), 0.02) << "the flood's notes were not heard";
    // The last note-off, then the release, then silence: nothing stuck.
    recordFor(keys, kReleaseFrames + kRate);
    const size_t end = keys.endOfSound(offAt, 1e-4f);
    std::printf("sound ended %.3f s after the last note-off (release 1.5 s)\n",
                static_cast<double>(end - offAt) / kRate);
    EXPECT_LT(end, offAt + kReleaseFrames + kRate / 4) << "a note is stuck";
    EXPECT_GT(keys.recordedCount(), end + kRate / 2);

    // Escape in the middle of another flood ends the program at once.
    keys.startFlood(24000);
    sleepMs(1000);
    int status = -1;
    const double seconds = quitWithEscape(box, status);
    keys.stopFlood();
    std::printf("Escape during a flood: ended after %.3f s\n", seconds);
    EXPECT_EQ(status, 0);
    EXPECT_LT(seconds, 1.0);
    EXPECT_EQ(readFile(program_.errPath), "");
}

TEST_F(Stress, KeyboardUnpluggedWhileAKeyIsHeldThenPluggedInAndPickedAgain) {
    JackProbe ears("ondrilux-ears", {}, 20.0);
    auto keys = std::make_unique<JackProbe>("ondrilux-keys", std::vector<std::string>{"keys"});
    ASSERT_TRUE(ears.ok() && keys->ok());
    const WindowBox box = start(*keys);
    ASSERT_NE(box.id, 0u) << readFile(program_.errPath);
    ASSERT_TRUE(keys->programListens(0));
    ASSERT_TRUE(listen(ears));

    keys->noteOn(0, 69);
    recordFor(ears, kRate / 2);
    ASSERT_GT(rms(ears, 0, ears.recordedCount()), 0.02) << "the held key is not heard";
    keys->close();
    recordFor(ears, kRate);
    ASSERT_TRUE(stillRunning(program_.pid)) << "unplugging the keyboard ended the program";

    // The same keyboard comes back under the same name; the user picks it.
    keys = std::make_unique<JackProbe>("ondrilux-keys", std::vector<std::string>{"keys"});
    ASSERT_TRUE(keys->ok());
    sleepMs(300);
    const int clientTop = clientAreaTop(shot("unplugged"), box);
    ASSERT_GT(clientTop, box.y);
    repickDevice(box, clientTop);
    for (int i = 0; i < 100 && !keys->programListens(0); ++i)
        sleepMs(50);
    ASSERT_TRUE(keys->programListens(0)) << "picking the device again did not open it";
    sleepMs(300);
    const Image picked = shot("picked-again");
    const int midiIn = statusFieldInk(picked, box, 0);
    EXPECT_GT(midiIn, 30) << "status field 0 is empty";
    EXPECT_LT(midiIn, 55) << "status field 0 shows \"No MIDI IN\"";

    // Closing the old device released the key that was held when it vanished.
    const size_t pickedAt = ears.recordedCount();
    recordFor(ears, kReleaseFrames + kRate / 2);
    EXPECT_LT(ears.endOfSound(pickedAt, 1e-4f), pickedAt + kReleaseFrames + kRate / 4)
        << "the key held while the keyboard vanished is stuck";
    const size_t before = ears.recordedCount();
    keys->noteOn(0, 72);
    recordFor(ears, kRate / 2);
    EXPECT_GT(rms(ears, before, ears.recordedCount()), 0.02)
        << "the keyboard picked again is not heard";
    keys->noteOff(0, 72);

    int status = -1;
    quitWithEscape(box, status);
    EXPECT_EQ(status, 0);
    std::printf("program's stderr: %s\n", readFile(program_.errPath).c_str());
}

TEST_F(Stress, TwoHundredDeviceSwitchesWhileNotesArrive) {
    JackProbe keys("ondrilux-switch", {"a", "b"}, 60.0);
    ASSERT_TRUE(keys.ok());
    const WindowBox box = start(keys);
    ASSERT_NE(box.id, 0u) << readFile(program_.errPath);
    ASSERT_TRUE(keys.programListens(0));
    ASSERT_TRUE(listen(keys));
    const int clientTop = clientAreaTop(shot("switch-start"), box);
    ASSERT_GT(clientTop, box.y);

    // Notes and everything else on both devices all the time.
    keys.startFlood(4000, 0b11);
    // The wheel over the closed list moves to the next or previous entry, and
    // each move switches the device. Moves come in bursts, faster than the
    // program can switch; it takes them in turn.
    const int opened = keys.midiConnections();
    const std::string over =
        "mousemove " + std::to_string(box.x + 250) + " " + std::to_string(clientTop + 20);
    std::string burst;
    for (int i = 0; i < 20; ++i)
        burst += " click 5 sleep 0.01 click 4 sleep 0.01";
    const auto started = Clock::now();
    int switches = 0;
    while (switches < 200 && secondsSince(started) < 60 && stillRunning(program_.pid)) {
        xdotool(display_, over + burst);
        // Until the burst has been taken up.
        int seen = -1;
        for (int i = 0; i < 100 && seen != keys.midiConnections(); ++i) {
            seen = keys.midiConnections();
            sleepMs(200);
        }
        switches = keys.midiConnections() - opened;
        std::printf("%d device switches after %.1f s\n", switches, secondsSince(started));
    }
    EXPECT_GE(switches, 200);
    ASSERT_TRUE(stillRunning(program_.pid)) << "switching devices ended the program";
    keys.stopFlood();

    // One of the two devices is open, and it plays.
    sleepMs(300);
    const int port = keys.programListens(0) ? 0 : 1;
    EXPECT_TRUE(keys.programListens(port) && !keys.programListens(1 - port));
    const int midiIn = statusFieldInk(shot("switched"), box, 0);
    EXPECT_GT(midiIn, 30);
    EXPECT_LT(midiIn, 55) << "status field 0 shows \"No MIDI IN\"";
    recordFor(keys, kReleaseFrames + kRate / 4);
    const size_t before = keys.recordedCount();
    keys.noteOn(port, 60);
    recordFor(keys, kRate / 2);
    EXPECT_GT(rms(keys, before, keys.recordedCount()), 0.02) << "no sound after the switches";
    keys.noteOff(port, 60);

    int status = -1;
    quitWithEscape(box, status);
    // Under the address sanitizer a leak shows here: status and report.
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(program_.errPath), "");
}

// The name the test services set aside for a test's own server: a name from
// their fixed set, so that a killed server's registry entry is taken back by
// the next run (JACK's registry has room for only 8 servers).
std::string spareServerName() {
    const char *name = std::getenv("ONDRILUX_SPARE_JACK_SERVER");
    return name ? name : "ondrilux-test-spare";
}

// A JACK server of the test's own, so that killing it spares the shared one.
class PrivateJackServer {
  public:
    PrivateJackServer() : name_(spareServerName()) { pid_ = run(); }
    ~PrivateJackServer() { kill(SIGTERM); }
    void kill(int signal) {
        if (pid_ <= 0)
            return;
        ::kill(pid_, signal);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        if (signal == SIGKILL)
            reclaim();
        removeLeftovers();
    }
    const std::string &name() const { return name_; }

  private:
    pid_t run() const {
        const pid_t pid = fork();
        if (pid == 0) {
            if (!std::freopen("/dev/null", "w", stdout) ||
                !std::freopen((kOutDir + "/jackd.log").c_str(), "w", stderr))
                _exit(127);
            execlp("jackd", "jackd", "-n", name_.c_str(), "-d", "dummy", "-r", "48000", "-p", "256",
                   static_cast<char *>(nullptr));
            _exit(127);
        }
        return pid;
    }
    // A server that dies unannounced keeps its slot in JACK's registry of
    // servers, which has only 8 for the whole machine. A server started under
    // the same name takes the slot over and, stopped in order, frees it.
    void reclaim() const {
        const pid_t again = run();
        const std::string probe = "jack_lsp -s " + name_ + " >/dev/null 2>&1";
        for (int i = 0; i < 50 && std::system(probe.c_str()) != 0; ++i)
            sleepMs(100);
        ::kill(again, SIGTERM);
        waitpid(again, nullptr, 0);
    }
    // The semaphores of clients that outlived the server.
    void removeLeftovers() const {
        std::error_code error;
        for (const auto &entry : std::filesystem::directory_iterator("/dev/shm", error))
            if (entry.path().filename().string().find("_" + name_ + "_") != std::string::npos)
                std::filesystem::remove(entry.path(), error);
    }

    std::string name_;
    pid_t pid_ = -1;
};

// The server crashing (SIGKILL) or shutting down in order (SIGTERM).
class JackServerKilled : public Stress, public ::testing::WithParamInterface<int> {};

TEST_P(JackServerKilled, WhileANoteSoundsLeavesTheWindowWorking) {
    PrivateJackServer server;
    std::unique_ptr<JackProbe> keys;
    for (int i = 0; i < 100 && !(keys && keys->ok()); ++i) {
        sleepMs(50);
        keys = std::make_unique<JackProbe>("ondrilux-doomed", std::vector<std::string>{"keys"},
                                           10.0, server.name());
    }
    ASSERT_TRUE(keys && keys->ok()) << "the private JACK server did not come up";
    const WindowBox box = start(*keys, {{"JACK_DEFAULT_SERVER", server.name()}});
    ASSERT_NE(box.id, 0u) << readFile(program_.errPath);
    ASSERT_TRUE(keys->programListens(0));
    ASSERT_TRUE(listen(*keys));
    keys->noteOn(0, 69);
    recordFor(*keys, kRate / 2);
    ASSERT_GT(rms(*keys, 0, keys->recordedCount()), 0.02) << "the note is not heard";

    server.kill(GetParam());
    sleepMs(1000);
    ASSERT_TRUE(stillRunning(program_.pid)) << "the JACK server took the program with it";

    // The window still answers: an option button repaints when clicked...
    const Image before = shot("jack-gone");
    const int clientTop = clientAreaTop(before, box);
    ASSERT_GT(clientTop, box.y);
    const int buttonX = box.x + 90 + 8, buttonY = clientTop + 320 + 10;
    xdotool(display_,
            "mousemove " + std::to_string(buttonX) + " " + std::to_string(buttonY) + " click 1");
    sleepMs(300);
    const Image after = shot("jack-gone-clicked");
    int changed = 0;
    for (int y = buttonY - 8; y < buttonY + 8; ++y)
        for (int x = buttonX - 8; x < buttonX + 8; ++x)
            changed += !(before.at(x, y) == after.at(x, y));
    EXPECT_GT(changed, 4) << "the option button did not repaint";

    // ...and the About box opens from the menu and closes again.
    xdotool(display_, "mousemove " + std::to_string(box.x + 10) + " " +
                          std::to_string((box.y + clientTop) / 2) + " click 1");
    sleepMs(300);
    xdotool(display_, "key Down Return");
    const WindowBox about = findWindow(display_, "About", 5);
    ASSERT_NE(about.id, 0u) << "no About box";
    xdotool(display_, "windowfocus --sync " + std::to_string(about.id) + " key Return");
    for (int i = 0; i < 40 && windowExists(display_, "About"); ++i)
        sleepMs(50);

    int status = -1;
    const double seconds = quitWithEscape(box, status);
    std::printf("Escape without a JACK server: ended after %.3f s\n", seconds);
    EXPECT_EQ(status, 0);
    std::printf("program's stderr: %s\n", readFile(program_.errPath).c_str());
}

INSTANTIATE_TEST_SUITE_P(Stress, JackServerKilled, ::testing::Values(SIGKILL, SIGTERM),
                         [](const ::testing::TestParamInfo<int> &param) {
                             return std::string(param.param == SIGKILL ? "Crash" : "Shutdown");
                         });

} // namespace
