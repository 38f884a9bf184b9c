// The MIDI input service against a real JACK server (the test services'),
// with senders that are RtMidi JACK clients, and the real toolkit's window.

#include "ui/synth_record.h"
#include "midi/jack_midi_input.h"
#include "midi/midi_input.h"
#include "midi/note_handling.h"
#include "tests/support/allocation_counter.h"
#include "tests/support/window_probe.h"
#include "toolkit/toolkit.h"

#include <gtest/gtest.h>
#include <rtmidi/RtMidi.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A test keyboard: a JACK MIDI output port named "<client>:port".
struct Sender {
    explicit Sender(const std::string &client) : out(RtMidi::UNIX_JACK, client) {
        out.openVirtualPort("port");
    }
    void send(std::vector<unsigned char> bytes) { out.sendMessage(&bytes); }
    RtMidiOut out;
};

// Sends active sensing from `sender` until the route carries it.
bool waitUntilHeard(Sender &sender) {
    return ::waitUntilHeard([&] { sender.send({0xFE}); });
}

// Picks entry `entry` as the user would and lets the program switch to it.
void pick(int entry) {
    tk::setState(kMainWindow, kDeviceList, entry);
    switchMidiInput(synthState);
}

// Lists the ports, opens `port` as start-up does and waits until `sender` is
// heard through it.
bool listOpenAndHear(Sender &sender, const std::string &port) {
    return ::listOpenAndHear(port, [&] { sender.send({0xFE}); });
}

class MidiInputTest : public testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("JACK_DEFAULT_SERVER"))
            GTEST_SKIP() << "needs the JACK server of scripts/test-services.sh";
        ASSERT_TRUE(openDeviceWindow());
    }
    void TearDown() override {
        if (synthState.midiHandle)
            pick(-1);
        closeDeviceWindow();
    }
};

TEST_F(MidiInputTest, ListsJackPortsWithNamesCutTo31Characters) {
    Sender shortName("keys");
    Sender longName("a-rather-long-keyboard-client-name");

    const int reported = listMidiInputs();

    const std::vector<std::string> items = listItems(kMainWindow, kDeviceList);
    EXPECT_EQ(reported, static_cast<int>(items.size()));
    EXPECT_NE(deviceEntry("keys:port"), -1);
    const std::string cut = std::string("a-rather-long-keyboard-client-name:port").substr(0, 31);
    EXPECT_NE(deviceEntry(cut), -1);
    for (const std::string &item : items)
        EXPECT_LE(item.size(), 31u) << item;
}

TEST_F(MidiInputTest, NoteOn69OpensTheGateAt440Hz) {
    Sender keys("keys");
    listMidiInputs();
    synthState.midiDevice = deviceEntry("keys:port");
    ASSERT_NE(synthState.midiDevice, -1);

    openMidiInput(synthState);
    EXPECT_EQ(statusText(kMainWindow, kMidiStatusField), "MIDI IN");
    ASSERT_NE(synthState.midiHandle, nullptr);
    ASSERT_TRUE(waitUntilHeard(keys));

    keys.send({0x90, 69, 100});
    ASSERT_TRUE(waitUntil([] { return synthState.gate.get() == 1; }));
    EXPECT_EQ(synthState.noteFrequency.get(), 440.0);
    EXPECT_EQ(synthState.heldNoteCount.get(), 1);
    EXPECT_TRUE(waitUntil([] { return statusText(kMainWindow, kGateStatusField) == "On"; }));

    keys.send({0x80, 69, 0});
    ASSERT_TRUE(waitUntil([] { return synthState.gate.get() == 0; }));
    EXPECT_EQ(synthState.heldFrequency.get(), 440.0);
}

TEST_F(MidiInputTest, SwitchingClosesTheOldDeviceAndReleasesItsKeys) {
    Sender first("first");
    Sender second("second");
    ASSERT_TRUE(listOpenAndHear(first, "first:port"));
    first.send({0x90, 69, 100});
    first.send({0x90, 72, 100});
    ASSERT_TRUE(waitUntil([] { return synthState.heldNoteCount.get() == 2; }));
    // As the audio thread leaves them while a note sounds.
    synthState.envelopeArmed.set(1);
    synthState.attackStarted.set(1);
    const double previousPitch = synthState.heldFrequency.get();

    pick(deviceEntry("second:port"));

    // The close ran inside the switch: nothing is held any more.
    EXPECT_EQ(synthState.heldNoteCount.get(), 0);
    EXPECT_EQ(synthState.gate.get(), 0);
    // The close touches nothing else of the envelope's.
    EXPECT_EQ(synthState.envelopeArmed.get(), 1);
    EXPECT_EQ(synthState.attackStarted.get(), 1);
    EXPECT_EQ(synthState.heldFrequency.get(), previousPitch);
    EXPECT_EQ(synthState.midiDevice, deviceEntry("second:port"));
    EXPECT_EQ(statusText(kMainWindow, kMidiStatusField), "MIDI IN");
    EXPECT_TRUE(waitUntil([] { return statusText(kMainWindow, kGateStatusField) == "Off"; }));

    // Only the new device is heard.
    ASSERT_TRUE(waitUntilHeard(second));
    first.send({0x90, 81, 100});
    second.send({0x90, 60, 100});
    ASSERT_TRUE(waitUntil([] { return synthState.gate.get() == 1; }));
    EXPECT_NEAR(synthState.noteFrequency.get(), 261.6256, 1e-4);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(synthState.heldNoteCount.get(), 1);
}

TEST_F(MidiInputTest, ADeviceThatCannotBeOpenedShowsNoMidiIn) {
    auto gone = std::make_unique<Sender>("gone");
    Sender stays("stays");
    const int count = listMidiInputs();
    const int goneEntry = deviceEntry("gone:port");
    const int staysEntry = deviceEntry("stays:port");
    ASSERT_NE(goneEntry, -1);
    ASSERT_NE(staysEntry, -1);
    gone.reset();

    // Each way to fail, from a working device: the program must not hold on
    // to the old one or claim the new one.
    struct Case {
        const char *what;
        void (*open)(int vanished, int listed);
    };
    const Case cases[] = {
        {"no device", [](int, int) { pick(-1); }},
        {"the sender vanished", [](int vanished, int) { pick(vanished); }},
        {"past the list at start-up",
         [](int, int listed) {
             pick(-1);
             synthState.midiDevice = listed;
             openMidiInput(synthState);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        pick(staysEntry);
        ASSERT_EQ(statusText(kMainWindow, kMidiStatusField), "MIDI IN");
        c.open(goneEntry, count);
        EXPECT_EQ(statusText(kMainWindow, kMidiStatusField), "No MIDI IN");
        EXPECT_EQ(synthState.midiHandle, nullptr);
    }

    // A port that vanished shifts the ports after it; their entries still
    // open their own port.
    pick(staysEntry);
    EXPECT_EQ(statusText(kMainWindow, kMidiStatusField), "MIDI IN");
    ASSERT_TRUE(waitUntilHeard(stays));
    stays.send({0x90, 69, 100});
    EXPECT_TRUE(waitUntil([] { return synthState.gate.get() == 1; }));
}

TEST_F(MidiInputTest, ClockAndActiveSensingReachTheNoteHandlingButSysexDoesNot) {
    Sender clock("clock");
    ASSERT_TRUE(listOpenAndHear(clock, "clock:port"));
    resetGateTextsHeard();

    clock.send({0xF8});
    EXPECT_TRUE(waitUntil([] { return gateTextsHeard() == 1; }));
    clock.send({0xFE});
    EXPECT_TRUE(waitUntil([] { return gateTextsHeard() == 2; }));
    clock.send({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
    clock.send({0xF8});
    EXPECT_TRUE(waitUntil([] { return gateTextsHeard() >= 3; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(gateTextsHeard(), 3);

    // No state changed: the field still shows the empty start-up text.
    EXPECT_EQ(synthState.gate.get(), 0);
    EXPECT_EQ(synthState.heldNoteCount.get(), 0);
    EXPECT_EQ(synthState.noteFrequency.get(), 0.0);
    takeEvents(20);
    EXPECT_EQ(statusText(kMainWindow, kGateStatusField), "");
}

TEST_F(MidiInputTest, ListingAgainKeepsEntriesAndPortsInStep) {
    Sender first("first");
    listMidiInputs();
    Sender second("second");
    const int count = listMidiInputs();

    EXPECT_EQ(listItems(kMainWindow, kDeviceList).size(), static_cast<size_t>(count));
    pick(deviceEntry("second:port"));
    EXPECT_EQ(statusText(kMainWindow, kMidiStatusField), "MIDI IN");
    EXPECT_TRUE(waitUntilHeard(second));
}

// A system-exclusive message that never gets its F7 (a cut-off transfer),
// then a note: in its own event, or inside the fragment's event, where its
// status byte ends the system-exclusive message.
TEST_F(MidiInputTest, AnUnterminatedSysexLosesNoNote) {
    Sender keys("keys");
    ASSERT_TRUE(listOpenAndHear(keys, "keys:port"));

    const std::vector<std::vector<std::vector<unsigned char>>> cases = {
        {{0xF0, 0x41, 0x10}, {0x90, 69, 100}},
        {{0xF0, 0x41, 0x10, 0x90, 69, 100}},
    };
    for (const auto &events : cases) {
        SCOPED_TRACE(events.size() == 1 ? "note inside the fragment" : "note after the fragment");
        for (const auto &event : events)
            keys.send(event);
        ASSERT_TRUE(waitUntil([] { return synthState.gate.get() == 1; }));
        EXPECT_EQ(synthState.noteFrequency.get(), 440.0);
        keys.send({0x80, 69, 0});
        ASSERT_TRUE(waitUntil([] { return synthState.gate.get() == 0; }));
    }
}

// JACK's process thread: what reaches the note handling there.
std::atomic<pthread_t> jackThread;
std::atomic<int> seenOnJackThread;
void countOnJackThread(const char *) {
    if (pthread_equal(pthread_self(), jackThread.load()))
        seenOnJackThread.fetch_add(1);
}

TEST_F(MidiInputTest, TheJackProcessCallbackNeverAllocates) {
    Sender keys("keys");
    ASSERT_TRUE(listOpenAndHear(keys, "keys:port"));
    pthread_t thread;
    ASSERT_TRUE(jackMidiThread(thread));
    jackThread = thread;
    synthState.gateTextSink.set(countOnJackThread);
    seenOnJackThread = 0;

    // Every kind of event the callback splits: 12 data messages a round.
    const std::vector<std::vector<unsigned char>> events = {{0xF0, 0x41, 0x10},
                                                            {0x90, 60, 100, 64, 100},
                                                            {0xF8},
                                                            {0xF0, 0x7E, 0xF7},
                                                            {0xF0, 0x41, 0x80, 60, 0},
                                                            {0x80, 64, 0},
                                                            {0xB0, 7, 100, 0xFE},
                                                            {0x41, 0x10},
                                                            {0xE0, 0, 64},
                                                            {0x90, 0x3C, 0xF8, 0x64},
                                                            {0x80, 60, 0},
                                                            {0xC0, 1}};
    const int perRound = 12;
    watchAllocations(thread);
    for (int round = 0; round < 20; ++round) {
        for (const auto &event : events)
            keys.send(event);
        std::this_thread::sleep_for(5ms);
    }
    // A slow run (a sanitizer's) may lose a cycle's events to an xrun: what
    // counts is that the callback delivered and allocated nothing meanwhile.
    waitUntil([] { return seenOnJackThread.load() >= 20 * perRound; });
    const long allocations = stopWatchingAllocations();
    EXPECT_GE(seenOnJackThread.load(), 10 * perRound);
    EXPECT_EQ(allocations, 0);
}

// Needs no server: the point is what happens when there is none.
TEST(MidiInputWithoutServices, MissingBackEndsListNothingAndPrintNothing) {
    ASSERT_TRUE(openDeviceWindow());
    const char *saved = std::getenv("JACK_DEFAULT_SERVER");
    const std::string previous = saved ? saved : "";
    setenv("JACK_DEFAULT_SERVER", "ondrilux-no-such-server", 1);
    setenv("JACK_NO_START_SERVER", "1", 1);

    testing::internal::CaptureStderr();
    const int reported = listMidiInputs();
    synthState.midiDevice = 0;
    openMidiInput(synthState);
    const std::string printed = testing::internal::GetCapturedStderr();

    if (saved)
        setenv("JACK_DEFAULT_SERVER", previous.c_str(), 1);
    else
        unsetenv("JACK_DEFAULT_SERVER");
    EXPECT_EQ(reported, 0);
    EXPECT_TRUE(listItems(kMainWindow, kDeviceList).empty());
    EXPECT_EQ(statusText(kMainWindow, kMidiStatusField), "No MIDI IN");
    EXPECT_EQ(printed, "");
    closeDeviceWindow();
}

#ifdef ONDRILUX_RACY_TEST
// Built only with -DONDRILUX_RACY_TEST=ON: a race of ours on the MIDI thread,
// where libjack and RtMidi are on the stack. ThreadSanitizer must report it
// (the test then fails), whatever the suppressions say about those libraries.
int racyCount = 0;
// The MIDI thread.
void countRacily(const char *) {
    ++racyCount;
}

TEST_F(MidiInputTest, RaceOnPurposeOnTheMidiThread) {
    Sender keys("racy");
    ASSERT_TRUE(listOpenAndHear(keys, "racy:port"));
    synthState.gateTextSink.set(countRacily);
    keys.send({0xF8});
    EXPECT_TRUE(waitUntil([] { return racyCount > 0; }));
}
#endif

} // namespace
