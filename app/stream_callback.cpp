#include "app/stream_callback.h"

#include "engine/synth_state.h"

int renderCallback(const void * /*input*/, void *output, unsigned long frameCount,
                   const PaStreamCallbackTimeInfo * /*timeInfo*/,
                   PaStreamCallbackFlags /*statusFlags*/, void *userData) {
    renderFrames(*static_cast<SynthState *>(userData), static_cast<float *>(output), frameCount);
    return paContinue;
}
