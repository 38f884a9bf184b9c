#include "engine/audio_stream.h"

#include "engine/render_callback.h"
#include "engine/synth_state.h"
#include "toolkit/toolkit.h"

#include <portaudio.h>

#include <csignal>
#include <unistd.h>

namespace {

// A failing Pa_Terminate must not stop the shutdown. PortAudio's JACK host
// API asserts that closing its JACK client succeeds, which it does not once
// the JACK server has died: the abort is that failure, and the process ends
// as it would have after terminating. Main thread, inside Pa_Terminate.
[[noreturn]] void endAfterFailedTerminate(int) {
    _exit(0);
}

} // namespace

bool openAudio() {
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
                          renderCallback, nullptr);
    if (error != paNoError) {
        reportAudioError(error);
        return false;
    }
    synthState.stream = stream;
    return true;
}

bool startAudio() {
    // From here on only the MIDI thread opens and closes the gate.
    synthState.gate.set(0);
    const PaError error = Pa_StartStream(synthState.stream);
    if (error != paNoError) {
        reportAudioError(error);
        return false;
    }
    return true;
}

void shutdownAudio() {
    PaStream *stream = synthState.stream;
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
    synthState.stream = nullptr;
}

void reportAudioError(int error) {
    tk::messageBox("PortAudio", Pa_GetErrorText(error));
}
