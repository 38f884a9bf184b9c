#include "app/audio_stream.h"

#include "app/stream_callback.h"
#include "engine/synth_state.h"
#include "toolkit/toolkit.h"

#include <portaudio.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <linux/close_range.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A failing Pa_Terminate must not stop the shutdown. PortAudio's JACK host
// API asserts that closing its JACK client succeeds, which it does not once
// the JACK server has died, and libjack itself crashes closing a client of a
// dead server once another client's open has failed since (as the MIDI
// input's does while it looks for a new server): the abort or the fault is
// that failure, and the process ends as it would have after terminating.
// Main thread, inside Pa_Terminate.
[[noreturn]] void endAfterFailedTerminate(int) {
    _exit(0);
}

// The start is looked at a second after it, and again a second later while
// the stream has played less than a quarter of a second: a stream that has
// rendered nothing since the last look is stalled. A stalled sink may still
// have taken the first buffer's worth (PortAudio fills its buffer before the
// sink takes a frame; 0.075 s asked for); a sink that is slow to wake up
// still takes more within each second.
constexpr int kWatchMs = 1000;
constexpr uint64_t kPlayingFrames = static_cast<uint64_t>(kSampleRate) / 4;
constexpr int kMaxRestarts = 3;

// Frames the stream has rendered since it started. Written on the audio
// thread, read by the watch of the start.
Relaxed<uint64_t> framesRendered;
// GUI thread only: the parameters of the first open, for each open again; how
// often the stream was opened again; set when the shutdown begins (a stream
// stopped on purpose is no fault).
PaStreamParameters outputParameters{};
SynthState *streamRecord = nullptr; // what the stream renders
int restarts = 0;
uint64_t renderedAtLastLook = 0;
bool shuttingDown = false;
void (*faultSink)(const char *) = nullptr;

// Audio thread: counts the frames, then renders them. No allocation, no lock.
int countAndRender(const void *input, void *output, unsigned long frameCount,
                   const PaStreamCallbackTimeInfo *timeInfo, PaStreamCallbackFlags statusFlags,
                   void *userData) {
    framesRendered.set(framesRendered.get() + frameCount);
    return renderCallback(input, output, frameCount, timeInfo, statusFlags, userData);
}

PaError openStream(PaStream *&stream) {
    return Pa_OpenStream(&stream, nullptr, &outputParameters, kSampleRate, kFramesPerBuffer,
                         kStreamFlags, countAndRender, streamRecord);
}

// For the start-up tests: how often the stream had to be opened again.
void traceRestart() {
    if (std::getenv("ONDRILUX_TRACE_RETRIES"))
        std::fputs("ondrilux: retried the audio stream\n", stderr);
}

void watchThePlay();

// Frames rendered, counted afresh for a stream opened again.
void forgetTheCount() {
    framesRendered.set(0);
    renderedAtLastLook = 0;
}

void closeTheStream(SynthState &s) {
    Pa_AbortStream(s.stream);
    Pa_CloseStream(s.stream);
    s.stream = nullptr;
}

// PortAudio's ALSA host API prints every failing step of an open on stderr;
// an open tried every few seconds while no server runs would fill the
// console. Its words go to /dev/null meanwhile.
PaError openStreamQuietly(PaStream *&stream) {
    std::fflush(stderr);
    const int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDERR_FILENO);
        close(null);
    }
    const PaError error = openStream(stream);
    if (saved >= 0) {
        dup2(saved, STDERR_FILENO);
        close(saved);
    }
    return error;
}

bool openAndStartAgain(SynthState &s) {
    forgetTheCount();
    PaStream *again = nullptr;
    if (openStreamQuietly(again) != paNoError)
        return false;
    s.stream = again;
    return Pa_StartStream(again) == paNoError;
}

void sayTheStreamDoesNotRun() {
    std::fputs("ondrilux: the audio stream is not running (it played nothing in the first "
               "second of four starts); start ondrilux again: see docs/troubleshooting.md, "
               "\"A silent start under JACK\".\n",
               stderr);
    if (faultSink)
        faultSink("No sound");
}

void watchTheStart();

// JACK's client library can leave the JACK client that carries the stream
// (ALSA's jack plugin) waiting on a dead client's wake-up slot for good: the
// server then skips the whole graph every cycle and nothing plays. Closing
// the stream frees the slot, and a stream opened again plays: so a stream that
// has played nothing a second after its start is opened and started again,
// three times at most, saying nothing unless the last one fails too. GUI
// thread, from the toolkit's timer.
void checkTheStart() {
    SynthState &s = *streamRecord;
    PaStream *stream = s.stream;
    const uint64_t rendered = framesRendered.get();
    if (shuttingDown || !stream)
        return;
    if (rendered >= kPlayingFrames) {
        renderedAtLastLook = rendered;
        watchThePlay();
        return;
    }
    if (rendered > renderedAtLastLook) { // under way, slowly: look again
        renderedAtLastLook = rendered;
        watchTheStart();
        return;
    }
    if (restarts == kMaxRestarts) {
        sayTheStreamDoesNotRun();
        return;
    }
    ++restarts;
    traceRestart();
    closeTheStream(s);
    if (!openAndStartAgain(s)) {
        sayTheStreamDoesNotRun();
        return;
    }
    watchTheStart();
}

// Looks a second from now; the event loop goes on meanwhile.
void watchTheStart() {
    tk::callAfter(kWatchMs, checkTheStart);
}

// A stream that has played is looked at every second for good. One that
// rendered nothing since the last look has lost its sink: the JACK server
// that ALSA's default plays into stopped, and its port does not come back
// with a new server. It is stopped and left open (closing it makes ALSA's
// jack plugin deactivate the dead server's client, and libjack crashes
// there; Pa_Terminate meets it at the end, see endAfterFailedTerminate), and
// a new one is opened every 3 seconds until a sink takes it; "No sound"
// shows meanwhile. GUI thread, from the toolkit's timer.
constexpr int kReopenMs = 3000;
bool soundLost = false;

void abandonTheStream(SynthState &s) {
    Pa_AbortStream(s.stream);
    s.stream = nullptr;
}

void checkThePlay() {
    SynthState &s = *streamRecord;
    if (shuttingDown)
        return;
    const uint64_t rendered = framesRendered.get();
    if (s.stream && rendered != renderedAtLastLook) {
        renderedAtLastLook = rendered;
        // A stream that stalls again takes its first buffer still: back only
        // once it has played a quarter of a second.
        if (soundLost && rendered >= kPlayingFrames) {
            soundLost = false;
            if (faultSink)
                faultSink(nullptr);
        }
        watchThePlay();
        return;
    }
    // The stream that played has lost its server; one opened since, with a
    // server there, is stuck as a start can be, and is closed.
    if (s.stream && !soundLost)
        abandonTheStream(s);
    else if (s.stream)
        closeTheStream(s);
    if (!soundLost && faultSink)
        faultSink("No sound");
    soundLost = true;
    if (openAndStartAgain(s)) {
        watchThePlay();
        return;
    }
    if (s.stream) // opened but refused to start
        abandonTheStream(s);
    tk::callAfter(kReopenMs, checkThePlay);
}

void watchThePlay() {
    tk::callAfter(kWatchMs, checkThePlay);
}

// JACK's client library can hang PortAudio's initialisation too, for good:
// closing the client with which ALSA's jack device was looked at waits on a
// lock that never comes free (another program's short-lived client came and
// went meanwhile). Nothing is on the screen yet, so the program starts itself
// afresh, three times at most; its JACK connections close with the old image.
// Only a start that stands still is hung: one that has made no progress for
// 4 seconds inside the same step of the open. A slow one (a slow machine, a
// sound system slow to answer) keeps running or waking up, and is left to
// finish. When the fresh starts are used up, that is said once, and the start
// is waited for.
constexpr int kOpenHangMs = 4000;
constexpr int kMaxFreshStarts = 3;
constexpr const char *kFreshStartsVariable = "ONDRILUX_FRESH_STARTS";
std::atomic<bool> openReturned{false};
// The step of the open the main thread is in: 1 initialising PortAudio, 2
// opening the stream.
std::atomic<int> openStep{0};

// The main thread's progress as the kernel counts it: its CPU time, its wait
// for a CPU and how often it ran (/proc's schedstat), with the step of the
// open. A thread blocked on a lock for good changes none of them.
std::string openProgress(const std::string &schedstat) {
    std::ifstream file(schedstat);
    std::string counts;
    std::getline(file, counts);
    return std::to_string(openStep.load()) + " " + counts;
}

// For the tests of this watch (named in the manual page): the start stands
// still, or keeps working, this many milliseconds longer.
void simulateAHungOrSlowStart() {
    if (const char *hung = std::getenv("ONDRILUX_TEST_HUNG_START_MS"))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(hung)));
    if (const char *slow = std::getenv("ONDRILUX_TEST_SLOW_START_MS")) {
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atoi(slow));
        while (std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::vector<std::string> commandLine() {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> args;
    for (std::string arg; std::getline(file, arg, '\0');)
        args.push_back(arg);
    return args;
}

void startAfreshIfTheOpenHangs() {
    const char *done = std::getenv(kFreshStartsVariable);
    const int freshStarts = done ? std::atoi(done) : 0;
    std::vector<std::string> args = commandLine();
    if (args.empty())
        return;
    // Everything the exec needs is made here: the main thread may be stuck
    // anywhere when the watch acts.
    const std::string next = std::to_string(freshStarts + 1);
    const std::string schedstat = "/proc/self/task/" + std::to_string(getpid()) + "/schedstat";
    std::thread([args = std::move(args), next, schedstat, freshStarts] {
        std::vector<char *> argv;
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        std::string progress = openProgress(schedstat);
        // Stillness is measured on the clock: on a busy machine each look
        // comes later than asked, and counting looks would let a hung start
        // outlast the watch.
        using Clock = std::chrono::steady_clock;
        auto stillSince = Clock::now();
        while (Clock::now() - stillSince < std::chrono::milliseconds(kOpenHangMs)) {
            if (openReturned.load())
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::string now = openProgress(schedstat);
            if (now != progress) {
                progress = std::move(now);
                stillSince = Clock::now();
            }
        }
        if (freshStarts >= kMaxFreshStarts) {
            std::fputs("ondrilux: the sound system's start hangs (the program was started "
                       "afresh three times); still waiting for it: see docs/troubleshooting.md, "
                       "\"A silent start under JACK\".\n",
                       stderr);
            return;
        }
        if (openReturned.load())
            return;
        if (std::getenv("ONDRILUX_TRACE_RETRIES"))
            std::fputs("ondrilux: retried the audio stream from a fresh start\n", stderr);
        setenv(kFreshStartsVariable, next.c_str(), 1);
        // Only standard input, output and error go on into the fresh start.
        if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
            for (int fd = 3; fd < 1024; ++fd)
                fcntl(fd, F_SETFD, FD_CLOEXEC);
        execv("/proc/self/exe", argv.data());
    }).detach();
}

} // namespace

bool openAudio(SynthState &s) {
    openStep.store(1);
    startAfreshIfTheOpenHangs();
    simulateAHungOrSlowStart();
    PaError error = Pa_Initialize();
    if (error != paNoError) {
        openReturned.store(true);
        reportAudioError(error);
        return false;
    }

    PaStreamParameters &output = outputParameters;
    output.channelCount = kChannelCount;
    // Not examined: without a usable default device the open below fails,
    // and that failure is the one the user sees.
    output.device = Pa_GetDefaultOutputDevice();
    output.sampleFormat = kSampleFormat;
    output.suggestedLatency = kSuggestedLatency;
    output.hostApiSpecificStreamInfo = nullptr;

    PaStream *stream = nullptr;
    streamRecord = &s;
    openStep.store(2);
    error = openStream(stream);
    openReturned.store(true);
    if (error != paNoError) {
        reportAudioError(error);
        return false;
    }
    s.stream = stream;
    return true;
}

bool startAudio(SynthState &s) {
    // From here on only the MIDI thread opens and closes the gate.
    s.gate.set(0);
    const PaError error = Pa_StartStream(s.stream);
    if (error != paNoError) {
        reportAudioError(error);
        return false;
    }
    watchTheStart();
    return true;
}

void shutdownAudio(SynthState &s) {
    shuttingDown = true;
    PaStream *stream = s.stream;
    if (stream) {
        // Abort, not stop: a sounding note is cut at once instead of playing
        // out the buffers already queued.
        Pa_AbortStream(stream);
        // Keep the windows answering while PortAudio winds down; the events
        // are only taken, not acted on. An error result ends the wait too.
        while (Pa_IsStreamActive(stream) > 0)
            tk::waitEvent(1);
    }
    std::signal(SIGABRT, endAfterFailedTerminate);
    std::signal(SIGSEGV, endAfterFailedTerminate);
    Pa_Terminate();
    std::signal(SIGSEGV, SIG_DFL);
    std::signal(SIGABRT, SIG_DFL);
    s.stream = nullptr;
}

void stopAudioAtOnce(SynthState &s) {
    if (s.stream)
        Pa_AbortStream(s.stream);
}

void setAudioFaultSink(void (*sink)(const char *text)) {
    faultSink = sink;
}

void reportAudioError(int error) {
    tk::messageBox("PortAudio", Pa_GetErrorText(error));
}
