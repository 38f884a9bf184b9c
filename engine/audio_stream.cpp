#include "engine/audio_stream.h"

#include "engine/render_callback.h"
#include "engine/synth_state.h"
#include "toolkit/toolkit.h"

#include <portaudio.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

// A failing Pa_Terminate must not stop the shutdown. PortAudio's JACK host
// API asserts that closing its JACK client succeeds, which it does not once
// the JACK server has died: the abort is that failure, and the process ends
// as it would have after terminating. Main thread, inside Pa_Terminate.
[[noreturn]] void endAfterFailedTerminate(int) {
    _exit(0);
}

// Frames the stream has rendered since it started. Written on the audio
// thread, read by the watch of the start.
Relaxed<uint64_t> framesRendered;
// Set when the shutdown begins: a stream stopped on purpose is no fault.
Relaxed<bool> shuttingDown;

// Audio thread: counts the frames, then renders them. No allocation, no lock.
int countAndRender(const void *input, void *output, unsigned long frameCount,
                   const PaStreamCallbackTimeInfo *timeInfo, PaStreamCallbackFlags statusFlags,
                   void *userData) {
    framesRendered.set(framesRendered.get() + frameCount);
    return renderCallback(input, output, frameCount, timeInfo, statusFlags, userData);
}

// JACK's client library can leave the JACK client that carries the stream
// (ALSA's jack plugin) waiting on another client's futex for good: the server
// then skips the whole graph every cycle and nothing plays. The program cannot
// prevent it; it says so, once, two seconds after the start, when less than a
// second has been rendered by then (a sink that takes a while to wake up
// still renders far more). A thread of its own, so that the event loop starts
// at once.
void watchTheStart() {
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        if (!shuttingDown.get() && framesRendered.get() < static_cast<uint64_t>(kSampleRate))
            std::fputs("ondrilux: the audio stream is not running (less than a second was "
                       "rendered in its first two); under JACK, start ondrilux again: see the "
                       "README, \"A silent start under JACK\".\n",
                       stderr);
    }).detach();
}

} // namespace

bool openAudio(SynthState &s) {
    PaError error = Pa_Initialize();
    if (error != paNoError) {
        reportAudioError(error);
        return false;
    }

    PaStreamParameters output{};
    output.channelCount = kChannelCount;
    // Not examined: without a usable default device the open below fails,
    // and that failure is the one the user sees.
    output.device = Pa_GetDefaultOutputDevice();
    output.sampleFormat = kSampleFormat;
    output.suggestedLatency = kSuggestedLatency;
    output.hostApiSpecificStreamInfo = nullptr;

    PaStream *stream = nullptr;
    error = Pa_OpenStream(&stream, nullptr, &output, kSampleRate, kFramesPerBuffer, kStreamFlags,
                          countAndRender, &s);
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
    shuttingDown.set(true);
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
    Pa_Terminate();
    std::signal(SIGABRT, SIG_DFL);
    s.stream = nullptr;
}

void reportAudioError(int error) {
    tk::messageBox("PortAudio", Pa_GetErrorText(error));
}
