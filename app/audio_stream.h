#pragma once

// The one PortAudio output stream: default output device, mono 32-bit float,
// 48000 frames per second, rendered by renderCallback for the record `s`
// (the stream handle is kept there too). GUI thread only.

struct SynthState;

// Initialises PortAudio and opens the stream, not yet started. On failure it
// has shown the "PortAudio" box (reportAudioError) and returns false; the
// caller then ends the process with status 1.
bool openAudio(SynthState &s);

// Closes the gate and starts the stream; from here on the audio thread runs.
// A failing start is reported like a failing open, and returns false. A
// stream that has played less than a quarter of a second a second after its
// start is opened and started again, three times at most; only when the last one stalls too is
// that said, on stderr and through the fault sink. A stream that has played
// and then renders nothing for a second (its sound server stopped) is opened
// again every 3 seconds until it plays, with "No sound" in the fault sink
// meanwhile.
bool startAudio(SynthState &s);

// Where a stream that does not run is shown ("No sound"; nullptr: it runs
// again), on the GUI thread.
void setAudioFaultSink(void (*sink)(const char *text));

// Aborts the stream at once (no draining), keeps the windows painted while
// PortAudio still reports it active, and terminates PortAudio.
void shutdownAudio(SynthState &s);

// Aborts the stream at once, for a process about to end without its windows:
// nothing waits, PortAudio is left to the process end. The GUI thread, or
// whichever finds the windows gone.
void stopAudioAtOnce(SynthState &s);

// Shows the modal "PortAudio" box with PortAudio's text for `error`.
void reportAudioError(int error);
