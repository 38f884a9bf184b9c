// The portable functions, which the browser's module uses, equal glibc's for
// every input the engine can give them: so the module renders what the
// native programs render.
#include "engine/portable_math.h"
#include "midi/note_handling.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <random>
#include <set>
#include <vector>

TEST(PortableMath, SineEqualsGlibcAtEveryPhaseOfEveryNote) {
    const double twoPi = static_cast<double>(6.2831855f); // as the waveshaper widens it
    std::set<int> periods{static_cast<int>(std::lrint(48000.0 / 100.0))}; // the first pitch
    for (int note = 0; note < 128; ++note)
        periods.insert(static_cast<int>(std::lrint(48000.0 / noteToFrequency(note))));
    int differences = 0;
    for (int period : periods)
        for (int i = 0; i < period; ++i) {
            const double x = static_cast<float>(static_cast<double>(i) / period) * twoPi;
            if (portableSin(x) != std::sin(x) && ++differences < 5)
                ADD_FAILURE() << std::hexfloat << "sin(" << x << "): glibc " << std::sin(x)
                              << ", portable " << portableSin(x);
        }
    EXPECT_EQ(differences, 0);
}

TEST(PortableMath, PowersEqualGlibcForEveryNoteAttackAndFadeIn) {
    for (int note = 0; note < 128; ++note) {
        const double x = (note + (-69.0)) / 12.0;
        EXPECT_EQ(portableExp2(x), std::pow(2.0, x)) << "note " << note;
    }
    for (int attack = 1; attack <= 2000; ++attack)
        EXPECT_EQ(portablePowInt(1.00517037535, attack), std::pow(1.00517037535, attack))
            << "attack " << attack;
    for (int c = 0; c < 100; ++c) {
        const float x = static_cast<float>(c) / 100.0f;
        EXPECT_EQ(portablePow5(x), std::pow(x, 5.0f)) << "frame " << c;
    }
}

// The smooth pitch's pitches, in semitones: of every note frequency (and the
// 100 Hz that plays before the first note) and of its whole-frame period.
struct PitchOfFrequency {
    double exact;
    double period;
    double unbent; // as the pitch before the bend takes it, the wheel at the centre
};

std::vector<PitchOfFrequency> pitchesOfFrequencies() {
    std::vector<double> frequencies{100.0};
    for (int note = 0; note < 128; ++note)
        frequencies.push_back(noteToFrequency(note));
    std::vector<PitchOfFrequency> pitches;
    for (double f : frequencies) {
        const auto period = static_cast<int>(std::lrint(48000.0 / f));
        const double exact = 69.0 + 12.0 * std::log2(f / 440.0);
        const double ofPeriod = 69.0 + 12.0 * std::log2(48000.0 / period / 440.0);
        pitches.push_back({exact, ofPeriod, exact + (ofPeriod - exact) * 1.0});
    }
    return pitches;
}

TEST(PortableMath, Log2EqualsGlibcForEveryFrequencyAndPeriod) {
    std::vector<double> frequencies{100.0};
    for (int note = 0; note < 128; ++note)
        frequencies.push_back(noteToFrequency(note));
    for (double f : frequencies)
        for (double x : {f / 440.0, 48000.0 / static_cast<int>(std::lrint(48000.0 / f)) / 440.0})
            EXPECT_EQ(portableLog2(x), std::log2(x))
                << std::hexfloat << "{0x" << std::hex << std::bit_cast<uint64_t>(x) << "u, "
                << std::hexfloat << std::log2(x) << "}, log2 of " << x;
}

// Every pitch a bend plays (each wheel position at each range, on each note),
// every frame of a 1 ms glide between each two notes, and a million pitches
// at random: glibc's exp2 is not correctly rounded, so only its own steps
// give its results.
TEST(PortableMath, Exp2EqualsGlibcForEveryBendAndGlide) {
    int differences = 0;
    const auto check = [&](double semitones) {
        const double x = (semitones - 69.0) / 12.0;
        if (portableExp2Continuous(x) != std::exp2(x) && ++differences < 5)
            ADD_FAILURE() << std::hexfloat << "exp2(" << x << "): glibc " << std::exp2(x)
                          << ", portable " << portableExp2Continuous(x);
    };
    const std::vector<PitchOfFrequency> pitches = pitchesOfFrequencies();
    for (const PitchOfFrequency &p : pitches)
        for (int range = 0; range <= 24; ++range)
            for (int bend = -8192; bend < 8192; ++bend) {
                const double wheel = range != 0 ? std::abs(bend) / 8192.0 : 0.0;
                const double base = p.exact + (p.period - p.exact) * (1.0 - wheel);
                check(base + bend * (range * 100 / 100.0) / 8192.0);
            }
    for (const PitchOfFrequency &from : pitches)
        for (const PitchOfFrequency &to : pitches) {
            const double glideFrom = from.period - to.unbent;
            for (int left = 47; left >= 0; --left)
                check(to.unbent + glideFrom * left / 48);
        }
    std::mt19937_64 random(28);
    std::uniform_real_distribution<double> semitones(-30.0, 160.0);
    for (int i = 0; i < 1000000; ++i)
        check(semitones(random));
    EXPECT_EQ(differences, 0);
}
