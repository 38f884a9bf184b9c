#include "engine/smooth_pitch.h"

#include "engine/engine_math.h"
#include "engine/synth_state.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <numbers>

namespace {

constexpr double kA4 = 440.0;
constexpr double kA4Semitones = 69.0;
constexpr double kSemitonesPerOctave = 12.0;
constexpr double kCentsPerSemitone = 100.0;
constexpr double kBendSpan = 8192.0; // the wheel's travel to either end

// One period of the sine at equal steps, read between them by straight lines:
// within 1.2e-6 of the sine, far below a byte's step, and much cheaper per
// frame than the sine itself (a continuous phase has no period to cache).
constexpr int32_t kTableSize = 2048;
const auto kSineTable = [] {
    std::array<double, kTableSize + 1> table{};
    for (int32_t i = 0; i <= kTableSize; ++i)
        table[static_cast<size_t>(i)] = engineSin(2.0 * std::numbers::pi * i / kTableSize);
    return table;
}();

double tableSine(double phase) {
    const double x = phase * kTableSize;
    const auto i = static_cast<int32_t>(x); // one instruction, where a size_t takes several
    const double between = x - i;
    const double *at = kSineTable.data() + i;
    return at[0] + between * (at[1] - at[0]);
}

double semitonesOf(double frequency) {
    return kA4Semitones + kSemitonesPerOctave * engineLog2(frequency / kA4);
}

// The note's pitch before bend and glide. Unbent, the synth plays a note at
// its whole-frame period's pitch, which high up lies far from the note's
// (C8 sounds 72 cents sharp): the wheel moves the pitch from there to the
// note's own as it leaves the centre, so its first touch makes no step and
// a full bend lands on the bent note in tune. A tuned note plays its own
// pitch throughout.
double basePitch(double frequency, int32_t bend, int32_t range, bool tuned) {
    const double exact = semitonesOf(frequency);
    if (tuned)
        return exact;
    const auto period = static_cast<int32_t>(std::lrint(kSampleRate / frequency));
    if (period <= 0)
        return exact;
    const double wheel = range != 0 ? std::abs(bend) / kBendSpan : 0.0;
    return exact + (semitonesOf(kSampleRate / period) - exact) * (1.0 - wheel);
}

// At a note-on: the glide it asked for starts from the pitch sounding now.
void startGlide(SynthState &s, SmoothPitch &p) {
    p.glideLeft = 0;
    p.glideOffset = 0.0;
    p.glides = false;
    const int32_t frames = s.glideFrames.get();
    const double note = s.noteFrequency.get();
    if (frames <= 0 || !(note > 0.0))
        return;
    double from;
    if (p.active)
        from = p.pitch;
    else if (s.periodSamples > 0)
        from = semitonesOf(kSampleRate / s.periodSamples);
    else
        return;
    p.glideFrom =
        from - basePitch(note, s.pitchBend.get(), s.bendRangeCents.get(), s.tuned.get() != 0);
    p.glideOffset = p.glideFrom;
    p.glideFrames = frames;
    p.glideLeft = frames;
    p.glides = true;
}

// A frame whose note, bend or glide moved, or that starts or enters the
// accumulator: the pitch worked out afresh. False: the period plays it.
[[gnu::cold]] bool retune(SynthState &s, double frequency, bool fading) {
    SmoothPitch &p = s.smoothPitch;
    if (const uint32_t serial = s.noteOnSerial.get(); serial != p.serial) {
        p.serial = serial;
        startGlide(s, p);
    }
    // A glide's time counts from its note-on: under the previous note's
    // fade-out the pitch glides too, from where that note sounded, rather than
    // holding that note's pitch and jumping into the glide at the attack.
    if (fading && p.glides)
        frequency = s.noteFrequency.get();
    const int32_t bend = s.pitchBend.get();
    const int32_t range = s.bendRangeCents.get();
    const int32_t tuned = s.tuned.get(); // 1: every note plays from the table
    const int32_t noteTuning = s.noteTuning.get();
    const bool moving =
        (bend != 0 && range != 0) || p.glideLeft > 0 || tuned != 0 || noteTuning != 0;
    // The envelope restarts the phase for a new note: it starts at phase 0,
    // on the whole-frame period unless bent or gliding from its first frame.
    const bool restarted = s.phaseIndex == -1;
    if (restarted)
        p.active = false;
    if (!p.active) {
        if (!moving)
            return false;
        p.active = true;
        // Go on from the phase the period has reached, or start at 0.
        p.phase = s.periodSamples > 0 && !restarted
                      ? static_cast<double>(s.phaseIndex) / s.periodSamples
                      : -1.0;
        s.phaseIndex = 0; // taken: the next frames are no restart
    }
    if (frequency != p.frequency || bend != p.bend || range != p.range || tuned != p.tuned) {
        p.frequency = frequency;
        p.bend = bend;
        p.range = range;
        p.tuned = tuned;
        p.base = basePitch(frequency, bend, range, tuned != 0);
        p.bendSemitones = bend * (range / kCentsPerSemitone) / kBendSpan;
    }
    if (p.glideLeft > 0) { // evenly in semitones, on the note's pitch after glideFrames
        --p.glideLeft;
        p.glideOffset = p.glideFrom * p.glideLeft / p.glideFrames;
    }
    p.fading = fading;
    p.pitch = p.base + p.glideOffset;
    p.noteTuning = noteTuning; // on top of the bend, as a second wheel
    if (const double sounding =
            p.pitch + p.bendSemitones + static_cast<double>(noteTuning) / kNoteTuningSteps;
        sounding != p.sounding) {
        p.sounding = sounding;
        p.step = kA4 / kSampleRate *
                 engineExp2Continuous((sounding - kA4Semitones) / kSemitonesPerOctave);
    }
    return true;
}

} // namespace

bool smoothPitchSine(SynthState &s, double frequency, bool fading, double &sine) {
    SmoothPitch &p = s.smoothPitch;
    // A note never bent nor glided nor tuned, with no new note-on: the period plays it.
    if (!p.active && (s.pitchBend.get() | s.tuned.get() | s.noteTuning.get()) == 0 &&
        s.noteOnSerial.get() == p.serial)
        return false;
    // Most frames of a held note find nothing moved but the phase.
    const bool steady = p.active && p.glideLeft == 0 && s.noteOnSerial.get() == p.serial &&
                        s.pitchBend.get() == p.bend && s.bendRangeCents.get() == p.range &&
                        frequency == p.frequency && fading == p.fading && s.phaseIndex != -1 &&
                        s.tuned.get() == p.tuned && s.noteTuning.get() == p.noteTuning;
    if (!steady && !retune(s, frequency, fading))
        return false;
    if (p.phase < 0.0) { // a new note's first frame
        p.phase = 0.0;
    } else {
        p.phase += p.step;
        if (p.phase >= 1.0) // a step can pass 1 only above 48 kHz
            p.phase -= static_cast<double>(static_cast<int64_t>(p.phase));
    }
    sine = tableSine(p.phase);
    return true;
}
