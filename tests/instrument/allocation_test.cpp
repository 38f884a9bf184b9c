// The instrument's process callback, in this process on a real JACK server,
// with the heap allocations of its thread counted while it runs (malloc too,
// so JACK's and libsamplerate's C code counts).
#include "tests/support/allocation_counter.h"
#include "tests/support/desktop.h"
#include "tests/support/jack_probe.h"

#include "jack_instrument/jack_instrument.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>

namespace {

std::atomic<long> allocations{0};
std::atomic<long> cycles{0};

// JACK's process thread: the instrument's cycle with counting on.
int countingProcess(jack_nframes_t frames, void *instrument) {
    countAllocations(true);
    const long before = countedAllocations();
    processJackInstrument(frames, instrument);
    const long made = countedAllocations() - before;
    countAllocations(false);
    allocations.fetch_add(made);
    cycles.fetch_add(1);
    return 0;
}

// At the engine's rate, and at another, through the resampler.
class ProcessCallback : public ::testing::TestWithParam<int> {};

TEST_P(ProcessCallback, NeverAllocates) {
    if (!std::getenv("JACK_DEFAULT_SERVER"))
        GTEST_SKIP() << "needs the test services (JACK_DEFAULT_SERVER)";
    std::unique_ptr<PrivateJackServer> server;
    if (GetParam() != 48000) {
        server = std::make_unique<PrivateJackServer>(testOutDir() + "/jackd.log", 256, GetParam());
        ASSERT_TRUE(server->up(10));
        setenv("JACK_DEFAULT_SERVER", server->name().c_str(), 1);
    }
    JackProbe keys("ondrilux-alloc-keys", {"keys"}, 2.0, server ? server->name() : "");
    ASSERT_TRUE(keys.ok());

    static JackInstrument instrument;
    InstrumentOptions options;
    options.name = "ondrilux-alloc";
    options.midiSources = {keys.midiPortName(0)};
    options.audioTargets = {"ondrilux-alloc-keys:in"};
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(openJackInstrument(instrument, options, error)) << error;
    jack_set_process_callback(instrument.client, countingProcess, &instrument);
    allocations = 0;
    cycles = 0;
    ASSERT_TRUE(startJackInstrument(instrument, options, warnings, error)) << error;
    EXPECT_TRUE(warnings.empty());
    ASSERT_EQ(instrument.resampling, GetParam() != 48000);
    keys.startRecording();

    // Notes, every live control, a program change and messages it ignores,
    // at offsets all over the periods.
    for (int i = 0; i < 20; ++i) {
        const uint32_t offset = static_cast<uint32_t>(i * 37 % 256);
        keys.send(0, {0x90, static_cast<uint8_t>(48 + i % 24), 100}, offset);
        keys.send(0, {0xB0, static_cast<uint8_t>(70 + i % 10), static_cast<uint8_t>(i * 3)},
                  offset);
        keys.send(0, {0xC0, static_cast<uint8_t>(i % 16)}, offset + 1);
        keys.send(0, {0xF8}, offset + 2);
        if (i > 0) // held for a while, so that it sounds
            keys.send(0, {0x80, static_cast<uint8_t>(48 + (i - 1) % 24), 0}, offset + 5);
        sleepMs(30);
    }
    keys.waitSent(99);
    sleepMs(100);
    if (server)
        unsetenv("JACK_DEFAULT_SERVER");
    closeJackInstrument(instrument);

    EXPECT_GT(keys.firstLoud(0), 0) << "the instrument was not heard";
    EXPECT_GT(cycles.load(), 50);
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_EQ(instrument.resampler.shortCycles, 0u) << "the resampler ran dry";
}

INSTANTIATE_TEST_SUITE_P(Rates, ProcessCallback, ::testing::Values(48000, 44100));

} // namespace
