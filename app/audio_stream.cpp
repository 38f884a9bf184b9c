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

void sayTheStreamDoesNotRun() {
    std::fputs("ondrilux: the audio stream is not running (it played nothing in the first "
               "second of four starts); start ondrilux again: see the README, \"A silent start "
               "under JACK\".\n",
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
    if (shuttingDown || !stream || rendered >= kPlayingFrames)
        return;
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
    Pa_AbortStream(stream);
    Pa_CloseStream(stream);
    s.stream = nullptr;
    framesRendered.set(0);
    renderedAtLastLook = 0;
    PaStream *again = nullptr;
    if (openStream(again) != paNoError) {
        sayTheStreamDoesNotRun();
        return;
    }
    s.stream = again;
    if (Pa_StartStream(again) != paNoError) {
        sayTheStreamDoesNotRun();
        return;
    }
    watchTheStart();
}

// Looks a second from now; the event loop goes on meanwhile.
void watchTheStart() {
    tk::callAfter(kWatchMs, checkTheStart);
}

// JACK's client library can hang PortAudio's initialisation too, for good:
// closing the client with which ALSA's jack device was looked at waits on a
// lock that never comes free (another program's short-lived client came and
// went meanwhile). Nothing is on the screen yet, so the program starts itself
// afresh, three times at most; its JACK connections close with the old image.
constexpr int kOpenHangMs = 4000;
constexpr int kMaxFreshStarts = 3;
constexpr const char *kFreshStartsVariable = "ONDRILUX_FRESH_STARTS";
std::atomic<bool> openReturned{false};

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
    if (freshStarts >= kMaxFreshStarts || args.empty())
        return;
    // Everything the exec needs is made here: the main thread may be stuck
    // anywhere when the watch acts.
    const std::string next = std::to_string(freshStarts + 1);
    std::thread([args = std::move(args), next] {
        std::vector<char *> argv;
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        for (int ms = 0; ms < kOpenHangMs; ms += 10) {
            if (openReturned.load())
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
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
    startAfreshIfTheOpenHangs();
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

void setAudioFaultSink(void (*sink)(const char *text)) {
    faultSink = sink;
}

void reportAudioError(int error) {
    tk::messageBox("PortAudio", Pa_GetErrorText(error));
}
