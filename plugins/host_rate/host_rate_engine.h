#pragma once

#include "engine_driving/engine_driving.h"
#include "plugins/controls/control_ports.h"
#include "plugins/host_rate/host_notes.h"
#include "plugins/host_rate/host_tuning.h"
#include "resampling/resampler.h"

#include <cstdint>
#include <vector>

// The engine as a plugin plays it, for every plugin format alike: at
// the host's rate, converted from 48000 frames/s where that differs, its
// controls handed over as a host gives them.
struct HostRateEngine {
    DrivenEngine engine;
    uint32_t hostRate = 0;
    // When the host is not at the engine's rate: the engine renders each
    // span's time here and the resampler converts it.
    bool resampling = false;
    Resampler resampler;
    std::vector<float> engineFrames;
    uint64_t hostFrames = 0; // frames of the host's clock played since the start
    // Each control as last applied, by port index: MIDI sets some of the same
    // values (RPN 0 the bend range, CC 5 the glide, the sound controllers where
    // a format plays them), so a control acts only when it changes.
    int32_t applied[kPortCount] = {};
    HostNotesPlayed notes;
    // The tuning in force, which each fresh engine (an activation, a reset)
    // plays again: the thread that renders keeps it, from the tunings handed
    // over and what tuning messages made of them.
    Tuning tuning;
    // Tunings from the plugin's other side (a state, the panel, a worker),
    // and the one taken that waits for the note state.
    TuningHandover handedTuning;
    const Tuning *tuningWaiting = nullptr;
};

// Not the audio thread (it allocates): a fresh engine for a host at `rate`
// frames/s, as at the synth's start: silence, no note held over, the clock at
// 0. False for a rate no converter can serve.
bool startHostRateEngine(HostRateEngine &h, double rate);
void stopHostRateEngine(HostRateEngine &h);

// Audio thread: a fresh engine at the same rate, without allocating: the
// converter emptied of what it held, as at the start; the host's clock goes on.
void resetHostRateEngine(HostRateEngine &h);

// One thread other than the audio thread at a time (the main thread, an LV2
// worker): `t`, whole, in force from the next note once the thread that
// renders takes it (takeHostTuning).
inline void handHostTuning(HostRateEngine &h, const Tuning &t) {
    h.handedTuning.give(t);
}

// Audio thread, at each block's start (and wherever a tuning may just have
// been handed over): the latest tuning handed over in force from the next
// note. While the note state is busy it waits for the next call.
void takeHostTuning(HostRateEngine &h);

// Audio thread: a system-exclusive message (F0 to F7) played as
// onSystemExclusive plays it; the tuning it makes is kept for fresh engines.
void playHostSystemExclusive(HostRateEngine &h, const uint8_t *bytes, size_t size);

// Audio thread: control c at v (a value from controlPortValue), from the next
// frame on; nothing when it is at v already.
void applyHostControl(HostRateEngine &h, const ControlPort &c, int32_t v);

// Audio thread: renders host frames [from, to) of the current block into out.
// No allocation, lock or I/O.
void renderHostSpan(HostRateEngine &h, float *out, uint32_t from, uint32_t to);

// Audio thread: the block of `frameCount` frames is played.
inline void endHostBlock(HostRateEngine &h, uint32_t frameCount) {
    h.hostFrames += frameCount;
}

// Host frames by which the sound comes later than its notes: the converter's.
inline double hostLatencyFrames(const HostRateEngine &h) {
    return h.resampling ? h.resampler.delayFrames : 0.0;
}

// What the panel's live picture needs: how far the envelope, times the note's
// velocity, has taken the byte at the last frame rendered.
inline float pictureLevel(const HostRateEngine &h) {
    return static_cast<float>(h.engine.state.envelope.level * h.engine.state.velocityGain);
}
