// The real ondrilux under load and faults: a MIDI flood, a keyboard unplugged
// while a key is held, hundreds of device switches, and the JACK server dying
// under it. Each test drives the program from JACK clients of its own (which
// send MIDI and record the program's audio on one clock) and through xdotool.
#include "tests/support/desktop.h"

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

constexpr int kRate = 48000;
// The default release: 1500 ms.
constexpr size_t kReleaseFrames = 72000;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

size_t indexOf(const JackProbe &p, uint32_t frame) {
    return static_cast<uint32_t>(frame - p.recordStart());
}

class Stress : public ProgramTest {
  protected:
    // Opens the device list and takes its highlighted entry, as a user
    // re-picking the same device does.
    void repickDevice(const Layout &l) {
        xdotool(display_, "mousemove " + std::to_string(l.x(250)) + " " + std::to_string(l.y(20)) +
                              " click 1");
        sleepMs(400);
        xdotool(display_, "key Return");
    }
};

TEST_F(Stress, MidiFloodLeavesNoStuckNoteAndEscapeStillQuitsAtOnce) {
    JackProbe keys("ondrilux-flood", {"keys"}, 24.0);
    ASSERT_TRUE(keys.ok());
    const WindowBox box = start(&keys);
    ASSERT_NE(box.id, 0u) << readFile(program_.errPath);
    ASSERT_TRUE(keys.programListens(0)) << "the program did not open the flooding device";
    ASSERT_TRUE(listen(keys));
    keys.waitRecorded(kRate / 5);

    // 24000 messages a second for 10 seconds.
    const size_t floodStart = keys.recordedCount();
    keys.startFlood(24000);
    keys.waitRecorded(10 * kRate);
    const uint32_t offFrame = keys.stopFlood();
    ASSERT_TRUE(stillRunning(program_.pid)) << "the flood ended the program";
    std::printf("flood: %llu messages sent, %llu refused by the JACK port\n",
                static_cast<unsigned long long>(keys.floodSent()),
                static_cast<unsigned long long>(keys.floodRefused()));
    EXPECT_GE(keys.floodSent(), 200000u);
    EXPECT_EQ(keys.floodRefused(), 0u);

    const size_t offAt = indexOf(keys, offFrame);
    EXPECT_GT(keys.rms(floodStart + kRate, offAt), 0.02) << "the flood's notes were not heard";
    // The last note-off, then the release, then silence: nothing stuck.
    keys.waitRecorded(kReleaseFrames + kRate);
    const size_t end = keys.endOfSound(offAt, 1e-4f);
    std::printf("sound ended %.3f s after the last note-off (release 1.5 s)\n",
                static_cast<double>(end - offAt) / kRate);
    EXPECT_LT(end, offAt + kReleaseFrames + kRate / 4) << "a note is stuck";
    EXPECT_GT(keys.recordedCount(), end + kRate / 2);

    // Escape in the middle of another flood ends the program at once.
    keys.startFlood(24000);
    sleepMs(1000);
    double seconds = 0;
    const int status = quitWithEscape(box, &seconds);
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
    const WindowBox box = start(keys.get());
    ASSERT_NE(box.id, 0u) << readFile(program_.errPath);
    ASSERT_TRUE(keys->programListens(0));
    ASSERT_TRUE(listen(ears));

    keys->noteOn(0, 69);
    ears.waitRecorded(kRate / 2);
    ASSERT_GT(ears.rms(0, ears.recordedCount()), 0.02) << "the held key is not heard";
    keys->close();
    ears.waitRecorded(kRate);
    ASSERT_TRUE(stillRunning(program_.pid)) << "unplugging the keyboard ended the program";

    // The same keyboard comes back under the same name; the user picks it.
    keys = std::make_unique<JackProbe>("ondrilux-keys", std::vector<std::string>{"keys"});
    ASSERT_TRUE(keys->ok());
    sleepMs(300);
    const Layout l = measureLayout(shot("unplugged"), box);
    ASSERT_GT(l.clientTop, box.y);
    repickDevice(l);
    ASSERT_TRUE(keys->waitListening(0, 5)) << "picking the device again did not open it";
    sleepMs(300);
    const Image picked = shot("picked-again");
    const int midiIn = statusFieldInk(picked, box, l, 0);
    EXPECT_GT(midiIn, 30) << "status field 0 is empty";
    EXPECT_LT(midiIn, 55) << "status field 0 shows \"No MIDI IN\"";

    // Closing the old device released the key that was held when it vanished.
    const size_t pickedAt = ears.recordedCount();
    ears.waitRecorded(kReleaseFrames + kRate / 2);
    EXPECT_LT(ears.endOfSound(pickedAt, 1e-4f), pickedAt + kReleaseFrames + kRate / 4)
        << "the key held while the keyboard vanished is stuck";
    const size_t before = ears.recordedCount();
    keys->noteOn(0, 72);
    ears.waitRecorded(kRate / 2);
    EXPECT_GT(ears.rms(before, ears.recordedCount()), 0.02)
        << "the keyboard picked again is not heard";
    keys->noteOff(0, 72);

    EXPECT_EQ(quitWithEscape(box), 0);
    std::printf("program's stderr: %s\n", readFile(program_.errPath).c_str());
}

TEST_F(Stress, TwoHundredDeviceSwitchesWhileNotesArrive) {
    JackProbe keys("ondrilux-switch", {"a", "b"}, 60.0);
    ASSERT_TRUE(keys.ok());
    const WindowBox box = start(&keys);
    ASSERT_NE(box.id, 0u) << readFile(program_.errPath);
    ASSERT_TRUE(keys.programListens(0));
    ASSERT_TRUE(listen(keys));
    const Layout l = measureLayout(shot("switch-start"), box);
    ASSERT_GT(l.clientTop, box.y);

    // Notes and everything else on both devices all the time.
    keys.startFlood(4000, 0b11);
    // The wheel over the closed list moves to the next or previous entry, and
    // each move switches the device. Moves come in bursts, faster than the
    // program can switch; it takes them in turn.
    const int opened = keys.midiConnections();
    const std::string over =
        "mousemove " + std::to_string(l.x(250)) + " " + std::to_string(l.y(20));
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
    const int midiIn = statusFieldInk(shot("switched"), box, l, 0);
    EXPECT_GT(midiIn, 30);
    EXPECT_LT(midiIn, 55) << "status field 0 shows \"No MIDI IN\"";
    keys.waitRecorded(kReleaseFrames + kRate / 4);
    const size_t before = keys.recordedCount();
    keys.noteOn(port, 60);
    keys.waitRecorded(kRate / 2);
    EXPECT_GT(keys.rms(before, keys.recordedCount()), 0.02) << "no sound after the switches";
    keys.noteOff(port, 60);

    // Under the address sanitizer a leak shows here: status and report.
    EXPECT_EQ(quitWithEscape(box), 0);
    EXPECT_EQ(readFile(program_.errPath), "");
}

// The server crashing (SIGKILL) or shutting down in order (SIGTERM).
class JackServerKilled : public Stress, public ::testing::WithParamInterface<int> {};

TEST_P(JackServerKilled, WhileANoteSoundsLeavesTheWindowWorkingUntilItComesBack) {
    PrivateJackServer server(testOutDir() + "/jackd.log");
    ASSERT_TRUE(server.up(10)) << readFile(testOutDir() + "/jackd.log");
    auto keys = std::make_unique<JackProbe>("ondrilux-doomed", std::vector<std::string>{"keys"},
                                            10.0, server.name());
    ASSERT_TRUE(keys->ok()) << "no client on the private JACK server";
    const WindowBox box = start(keys.get(), {{"JACK_DEFAULT_SERVER", server.name()}});
    ASSERT_NE(box.id, 0u) << readFile(program_.errPath);
    ASSERT_TRUE(keys->programListens(0));
    ASSERT_TRUE(listen(*keys));
    keys->noteOn(0, 69);
    keys->waitRecorded(kRate / 2);
    ASSERT_GT(keys->rms(0, keys->recordedCount()), 0.02) << "the note is not heard";

    server.kill(GetParam());
    sleepMs(1000);
    ASSERT_TRUE(stillRunning(program_.pid)) << "the JACK server took the program with it";

    // The window still answers: an option button repaints when clicked...
    const Image before = shot("jack-gone");
    const Layout l = measureLayout(before, box);
    ASSERT_GT(l.clientTop, box.y);
    const int buttonX = l.x(90 + 8), buttonY = l.y(320 + 10);
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
    chooseMenuItem(box, l, "Down");
    const WindowBox about = findWindow(display_, "About", 5);
    ASSERT_NE(about.id, 0u) << "no About box";
    xdotool(display_, "windowfocus --sync " + std::to_string(about.id) + " key Return");
    waitWindowGone("About");

    // ...and "No sound" shows until a server started again under the same
    // name brings the keyboard and the sound back by themselves.
    EXPECT_GT(statusFieldInk(shot("jack-gone-status"), box, l, 1), 40) << "no \"No sound\"";
    keys.reset();
    PrivateJackServer again(testOutDir() + "/jackd-again.log");
    ASSERT_TRUE(again.up(10));
    keys = std::make_unique<JackProbe>("ondrilux-doomed", std::vector<std::string>{"keys"}, 10.0,
                                       again.name());
    ASSERT_TRUE(keys->waitListening(0, 10)) << "the keyboard did not come back";
    // A new stream is tried every 3 s, and one stuck at its start a second later.
    ASSERT_TRUE(keys->listenTo(keys->programOutput(program_.pid, 10))) << "no sound again";
    keys->startRecording();
    keys->noteOn(0, 69);
    keys->waitRecorded(kRate / 2);
    EXPECT_GT(keys->rms(0, keys->recordedCount()), 0.02) << "no sound from the server again";
    int ink = 100; // the stream is looked at every second
    for (int i = 0; i < 10 && ink >= 25; ++i, sleepMs(300))
        ink = statusFieldInk(shot("jack-again"), box, l, 1);
    EXPECT_LT(ink, 25) << "\"No sound\" stays";

    double seconds = 0;
    const int status = quitWithEscape(box, &seconds);
    std::printf("Escape after the JACK server came back: ended after %.3f s\n", seconds);
    EXPECT_EQ(status, 0);
    std::printf("program's stderr: %s\n", readFile(program_.errPath).c_str());
}

INSTANTIATE_TEST_SUITE_P(Stress, JackServerKilled, ::testing::Values(SIGKILL, SIGTERM),
                         [](const ::testing::TestParamInfo<int> &param) {
                             return std::string(param.param == SIGKILL ? "Crash" : "Shutdown");
                         });

} // namespace
