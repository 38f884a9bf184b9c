// Ondrilux: start-up, the event loop and shutdown, in that order, on the
// main thread.
#include "app/quiet_sound_libraries.h"
#include "app/audio_stream.h"
#include "ui/synth_record.h"
#include "midi/midi_input.h"
#include "midi/note_handling.h"
#include "toolkit/toolkit.h"
#include "ui/event_loop.h"
#include "ui/main_window.h"
#include "version.h"

#include <cstdio>

namespace {
void reportNoDisplay(const char *reason) {
    std::fprintf(stderr, "ondrilux: no display to open the window on (%s)\n", reason);
}

// The display went away under the window (the X server ended): as after the
// close box, the stream stops first; the rest ends with the process.
void endWithoutDisplay() {
    stopAudioAtOnce(synthState);
    std::fputs("ondrilux: the connection to the display broke\n", stderr);
}
} // namespace

int main(int argc, char **argv) {
    silenceSoundLibraries();
    initSynthState(synthState);
    loopState = LoopState{};
    // Before openAudio: its failure box needs the application.
    if (!tk::init(argc, argv, reportNoDisplay))
        return 1;
    tk::setApplicationIdentity(kOndriluxAppId);
    if (!openAudio(synthState)) {
        // The "PortAudio" box has been shown and dismissed.
        tk::shutdown();
        return 1;
    }

    synthState.midiDevice = 0;
    synthState.midiHandle = nullptr;

    // Without a main window there is nothing to run: straight to the shutdown,
    // with the stream opened but never started.
    if (createMainWindow()) {
        // A stream that never runs is shown where the note state would be.
        setAudioFaultSink([](const char *text) { showFaultInsteadOfGate(synthState, text); });
        tk::setDisplayLostHandler(endWithoutDisplay);
        openMidiInput(synthState);
        if (!startAudio(synthState)) {
            tk::shutdown();
            return 1;
        }
        loopState.quitRequested = 0;
        runEventLoop();
    }
    shutdownAudio(synthState);
    // The MIDI input stays open: the process end releases it. The windows go
    // with the application, before static destruction could meet them.
    tk::shutdown();
    return 0;
}
