#pragma once

#include <cstdint>

// The four envelope slider values (attack 1-2000, decay 1-5000, sustain 0-100,
// release 1-5000) as the envelope reads them when it arms.
struct EnvelopeSliders {
    int32_t attack;
    int32_t decay;
    int32_t sustain;
    int32_t release;
};

inline constexpr EnvelopeSliders kDefaultEnvelopeSliders{1, 1000, 50, 1500};

// Called on the audio thread at arming: must not wait, lock or allocate.
using EnvelopeSliderSource = EnvelopeSliders (*)();

// Installs where the envelope reads its sliders from (the main window's
// sliders); nullptr restores the defaults. Any thread.
void setEnvelopeSliderSource(EnvelopeSliderSource source);

// Audio thread: one frame of the ADSR envelope for frame clock t. Writes
// synthState.envelope.level; may restart synthState.frameClock at 0.
void envelopeStep(int32_t t);
