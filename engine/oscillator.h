#pragma once

// Audio thread: advances the oscillator one frame and returns the shaped
// sample at its phase; 0.0 before the first note.
float oscillatorSample();
