// The portable functions, which the browser's module uses, equal glibc's for
// every input the engine can give them: so the module renders what the
// native programs render.
#include "engine/portable_math.h"
#include "midi/note_handling.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <numbers>
#include <random>
#include <set>
#include <vector>

TEST(PortableMath, SineEqualsGlibcAtEveryPhaseOfEveryNoteAndInTheBendTable) {
    const double twoPi = static_cast<double>(6.2831855f); // as the waveshaper widens it
    std::set<int> periods{static_cast<int>(std::lrint(48000.0 / 100.0))}; // the first pitch
    for (int note = 0; note < 128; ++note)
        periods.insert(static_cast<int>(std::lrint(48000.0 / noteToFrequency(note))));
    std::vector<double> xs;
    for (int period : periods)
        for (int i = 0; i < period; ++i)
            xs.push_back(static_cast<float>(static_cast<double>(i) / period) * twoPi);
    for (int i = 0; i <= 2048; ++i) // the table of a bent or gliding note's sine
        xs.push_back(2.0 * std::numbers::pi * i / 2048);
    int differences = 0;
    for (const double x : xs)
        if (portableSin(x) != std::sin(x) && ++differences < 5)
            ADD_FAILURE() << std::hexfloat << "sin(" << x << "): glibc " << std::sin(x)
                          << ", portable " << portableSin(x);
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

// log2 of every note's frequency (and the 100 Hz before the first note) and of
// its period; exp2 of every bent pitch (each wheel position and range on each
// note), every frame of a 1 ms glide between two notes and a million at random.
TEST(PortableMath, Log2AndExp2EqualGlibcForEveryBendAndGlide) {
    int differences = 0;
    const auto check = [&](double x, double portable, double glibc) {
        if (portable != glibc && ++differences < 5)
            ADD_FAILURE() << std::hexfloat << x << ": glibc " << glibc << ", portable " << portable;
    };
    const auto semitones = [&](double f) {
        check(f / 440.0, portableLog2(f / 440.0), std::log2(f / 440.0));
        return 69.0 + 12.0 * std::log2(f / 440.0);
    };
    const auto exp2 = [&](double pitch) {
        check(pitch, portableExp2Continuous((pitch - 69.0) / 12.0),
              std::exp2((pitch - 69.0) / 12.0));
    };
    std::vector<double> exact, ofPeriod, unbent;
    for (int note = -1; note < 128; ++note) {
        const double f = note < 0 ? 100.0 : noteToFrequency(note);
        exact.push_back(semitones(f));
        ofPeriod.push_back(semitones(48000.0 / static_cast<int>(std::lrint(48000.0 / f))));
        unbent.push_back(exact.back() + (ofPeriod.back() - exact.back()) * 1.0);
    }
    for (size_t i = 0; i < exact.size(); ++i)
        for (int range = 0; range <= 24; ++range)
            for (int bend = -8192; bend < 8192; ++bend)
                exp2(exact[i] +
                     (ofPeriod[i] - exact[i]) * (1.0 - (range ? std::abs(bend) / 8192.0 : 0.0)) +
                     bend * (range * 100 / 100.0) / 8192.0);
    for (double from : ofPeriod)
        for (double to : unbent)
            for (int left = 47; left >= 0; --left)
                exp2(to + (from - to) * left / 48);
    std::mt19937_64 random(28);
    for (int i = 0; i < 1000000; ++i)
        exp2(std::uniform_real_distribution<double>(-30.0, 160.0)(random));
    EXPECT_EQ(differences, 0);
}

// Whole numbers as the waveshaper's bytes and the envelope's frames take them:
// halves round to even, both signs, up to the ends of the 32-bit range.
TEST(PortableMath, LrintEqualsGlibcOnHalvesAndAcrossTheRange) {
    std::vector<double> xs{0.5, 1.5, 2.5, 126.5, 127.5, 0x1.fffffffffffffp-2, 2147483647.0};
    std::mt19937_64 random(35);
    std::uniform_real_distribution<double> bytes(-128.0, 128.0), frames(1.0 - 0x1p31, 0x1p31 - 1.0);
    for (int i = 0; i < 100000; ++i)
        xs.insert(xs.end(), {bytes(random), frames(random)});
    int differences = 0;
    for (const double x : xs)
        for (const double value : {x, -x})
            if (portableLrint(value) != std::lrint(value) && ++differences < 5)
                ADD_FAILURE() << std::hexfloat << value << ": glibc " << std::lrint(value)
                              << ", portable " << portableLrint(value);
    EXPECT_EQ(differences, 0);
}
