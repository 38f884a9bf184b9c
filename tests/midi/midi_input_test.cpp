// The MIDI input service against a real JACK server (the test services'),
// with senders that are RtMidi JACK clients, and the real toolkit's window.

#include "ui/synth_record.h"
#include "midi/jack_midi_input.h"
#include "midi/midi_input.h"
#include "midi/note_handling.h"
#include "tests/support/allocation_counter.h"
#include "tests/support/jack_probe.h"
#include "tests/support/window_probe.h"
#include "toolkit/toolkit.h"

#include <gtest/gtest.h>
#include <rtmidi/RtMidi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A test keyboard: a MIDI output port named "<client>:port" (JACK), or
// "<client>:port C:P" as RtMidi lists an ALSA port.
struct Sender {
    explicit Sender(const std::string &client, RtMidi::Api api = RtMidi::UNIX_JACK)
        : out(api, client), prefix(client + ":port") {
        out.openVirtualPort("port");
    }
    void send(std::vector<unsigned char> bytes) { out.sendMessage(&bytes); }
    // Its entry in the device list; -1 when there is none.
    int entry() const {
        const std::vector<std::string> items = listItems(kMainWindow, kDeviceList);
        for (size_t i = 0; i < items.size(); ++i)
            if (items[i].rfind(prefix, 0) == 0)
                return static_cast<int>(i);
        return -1;
    }
    RtMidiOut out;
    std::string prefix;
};

bool gateIs(int32_t value) {
    return waitUntil([value] { return synthState.gate.get() == value; });
}
bool midiStatusIs(const std::string &text, int ms = 1000) {
    return waitUntil([&] { return statusText(kMainWindow, kMidiStatusField) == text; }, ms);
}

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

    pick(deviceEntry("second:port"));

    // The close ran inside the switch as the last note-off: nothing is held,
    // and the next note fades this one out and attacks afresh.
    EXPECT_EQ(synthState.heldNoteCount.get(), 0);
    EXPECT_EQ(synthState.gate.get(), 0);
    EXPECT_EQ(synthState.envelopeArmed.get(), 0);
    EXPECT_EQ(synthState.attackStarted.get(), 0);
    EXPECT_EQ(synthState.heldFrequency.get(), noteToFrequency(72));
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

// Ports that come and go after the listing, on each back end the machine has.
class FollowingPorts : public MidiInputTest, public testing::WithParamInterface<RtMidi::Api> {
  protected:
    void SetUp() override {
        if (GetParam() == RtMidi::LINUX_ALSA && access("/dev/snd/seq", R_OK | W_OK) != 0)
            GTEST_SKIP() << "no ALSA sequencer (/dev/snd/seq)";
        MidiInputTest::SetUp();
    }
};

// A keyboard plugged in after the start shows up and plays when picked;
// unplugged while a key is held, it releases the key and stays the choice;
// plugged in again, it plays without a click in the window.
TEST_P(FollowingPorts, AKeyboardPluggedInAfterTheStartPlaysAndComesBackByItself) {
    Sender other("other", GetParam());
    listMidiInputs();
    auto keys = std::make_unique<Sender>("keys", GetParam());
    ASSERT_TRUE(waitUntil([&] { return keys->entry() != -1; }, 1000));
    pick(keys->entry());
    ASSERT_TRUE(waitUntilHeard(*keys));
    keys->send({0x90, 69, 100});
    ASSERT_TRUE(gateIs(1));

    keys.reset();
    ASSERT_TRUE(midiStatusIs("No MIDI IN"));
    EXPECT_EQ(synthState.heldNoteCount.get(), 0);
    EXPECT_EQ(synthState.gate.get(), 0);
    const int kept = tk::getState(kMainWindow, kDeviceList);
    ASSERT_NE(kept, -1) << "the choice is no longer shown";
    EXPECT_EQ(listItems(kMainWindow, kDeviceList)[static_cast<size_t>(kept)].rfind("keys:port", 0),
              0u);
    EXPECT_EQ(synthState.midiDevice, kept);

    keys = std::make_unique<Sender>("keys", GetParam());
    ASSERT_TRUE(midiStatusIs("MIDI IN"));
    EXPECT_EQ(tk::getState(kMainWindow, kDeviceList), keys->entry());
    ASSERT_TRUE(waitUntilHeard(*keys));
    keys->send({0x90, 60, 100});
    EXPECT_TRUE(gateIs(1));
}

INSTANTIATE_TEST_SUITE_P(BackEnds, FollowingPorts,
                         testing::Values(RtMidi::UNIX_JACK, RtMidi::LINUX_ALSA),
                         [](const auto &api) {
                             return std::string(api.param == RtMidi::UNIX_JACK ? "Jack" : "Alsa");
                         });

// Other ports appear and vanish, 200 times, while a key is held on the open
// device: each change shows in the list, and the note and the choice stay.
TEST_F(MidiInputTest, PortsComingAndGoingLeaveAHeldNoteAndTheChoiceAlone) {
    Sender keys("keys");
    ASSERT_TRUE(listOpenAndHear(keys, "keys:port"));
    keys.send({0x90, 69, 100});
    ASSERT_TRUE(gateIs(1));
    jack_client_t *churn = jack_client_open("churn", JackNoStartServer, nullptr);
    ASSERT_TRUE(churn && jack_activate(churn) == 0);
    const auto listed = [](bool there) {
        return waitUntil([there] { return (deviceEntry("churn:other") != -1) == there; }, 1000);
    };
    for (int cycle = 0; cycle < 200; ++cycle) {
        SCOPED_TRACE(cycle);
        jack_port_t *port =
            jack_port_register(churn, "other", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        ASSERT_TRUE(port && listed(true));
        jack_port_unregister(churn, port);
        ASSERT_TRUE(listed(false));
        const int entry = deviceEntry("keys:port");
        ASSERT_TRUE(entry != -1 && tk::getState(kMainWindow, kDeviceList) == entry &&
                    synthState.midiDevice == entry && synthState.gate.get() == 1 &&
                    synthState.heldNoteCount.get() == 1);
    }
    jack_client_close(churn);
}

// A patchbay's connection to the synth's JACK port plays whatever the list
// shows (an ALSA entry when the sequencer has one, else none), also after the
// client was opened again (as a stuck one is), and the list's entries drop
// only the connection they made.
TEST_F(MidiInputTest, AConnectionFromOutsidePlaysWhateverTheListShows) {
    Sender outside("outside");
    Sender listed("listed");
    listMidiInputs();
    pick(deviceEntry("listed:port"));
    ASSERT_EQ(std::system(("jack_connect outside:port '" + jackMidiInputName() + "'").c_str()), 0);
    ASSERT_TRUE(reopenJackMidiClient());
    const std::vector<std::string> items = listItems(kMainWindow, kDeviceList);
    const auto alsa = std::find_if(items.begin(), items.end(), [](const std::string &item) {
        return item.find(':') != item.rfind(':'); // RtMidi's ALSA names end in " C:P"
    });
    pick(alsa == items.end() ? -1 : static_cast<int>(alsa - items.begin()));

    ASSERT_TRUE(waitUntilHeard(outside));
    outside.send({0x90, 69, 100});
    ASSERT_TRUE(gateIs(1));
    outside.send({0x80, 69, 0});
    ASSERT_TRUE(gateIs(0));
    listed.send({0x90, 60, 100});
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(synthState.gate.get(), 0) << "the list's old connection plays on";
}

// A probe of a dead server, never closed (see below).
std::atomic<JackProbe *> keptOpen{nullptr};

// A JACK server that dies while a key is held: the key goes up, the status
// says so, nothing of JACK's own reaches stderr, and when a server is back
// the choice is opened again by itself. The synth's JACK client lives as long
// as the process, so the test needs a process of its own, as ctest runs it.
TEST(MidiInputServerDeath, AKeyHeldWhenTheServerDiesGoesUpAndTheChoiceComesBack) {
    if (!std::getenv("JACK_DEFAULT_SERVER") || !jackMidiInputName().empty())
        GTEST_SKIP() << "needs the test services and a process of its own (as ctest runs it)";
    const std::string previous = std::getenv("JACK_DEFAULT_SERVER");
    const std::string log = std::string(ONDRILUX_TEST_OUT_DIR) + "/jackd-death.log";
    auto server = std::make_unique<PrivateJackServer>(log);
    ASSERT_TRUE(server->up(10));
    setenv("JACK_DEFAULT_SERVER", server->name().c_str(), 1);
    ASSERT_TRUE(openDeviceWindow());
    auto keys = std::make_unique<JackProbe>("keys", std::vector<std::string>{"port"});
    const auto sense = [&] { keys->send(0, {0xFE}); };
    ASSERT_TRUE(::listOpenAndHear("keys:port", sense));
    keys->noteOn(0, 69);
    ASSERT_TRUE(gateIs(1));

    testing::internal::CaptureStderr();
    server->kill(SIGTERM);
    const bool released = midiStatusIs("No MIDI IN", 3000);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(released);
    EXPECT_EQ(synthState.gate.get(), 0);
    EXPECT_EQ(synthState.heldNoteCount.get(), 0);
    EXPECT_EQ(deviceEntry("keys:port"), tk::getState(kMainWindow, kDeviceList));
    // Left open, and kept: libjack crashes closing a client of a dead server
    // once another client's open has failed since, as the synth's does here.
    keptOpen.store(keys.release());

    server = std::make_unique<PrivateJackServer>(log);
    ASSERT_TRUE(server->up(10));
    keys = std::make_unique<JackProbe>("keys", std::vector<std::string>{"port"});
    EXPECT_TRUE(midiStatusIs("MIDI IN", 8000));
    EXPECT_TRUE(::waitUntilHeard(sense));
    keys->noteOn(0, 60);
    EXPECT_TRUE(gateIs(1));

    keys.reset();
    pick(-1);
    // The server goes before the process ends: the client sees it and closes.
    server->kill(SIGTERM);
    EXPECT_TRUE(waitUntil([] { return jackMidiInputName().empty(); }));
    closeDeviceWindow();
    setenv("JACK_DEFAULT_SERVER", previous.c_str(), 1);
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
