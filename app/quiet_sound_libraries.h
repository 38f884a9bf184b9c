#pragma once

// Makes libjack and alsa-lib keep their diagnostics to themselves. Both print
// to stderr by default whenever they look for a server or a sound card that
// is not there, which PortAudio and RtMidi do at every start; the program
// reports what matters in its own window and writes nothing to the console.
// Call first thing in main, before anything opens audio or MIDI.
void silenceSoundLibraries();
