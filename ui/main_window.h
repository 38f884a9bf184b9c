#pragma once

// Creates the main window "Ondrilux" with its menu, controls and status bar,
// fills the device list (listMidiInputs, which also sets synthState.midiDevice)
// and draws the range bar's first picture. Makes sliders 3-6 the envelope's
// slider source and status field 1 the note handling's text sink.
// Returns false, having made nothing, when the window cannot be opened.
// GUI thread, once, after openAudio.
bool createMainWindow();
