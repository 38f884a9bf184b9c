// The portable functions, which the browser's module uses, equal glibc's for
// every input the engine can give them: so the module renders what the
// native programs render.
#include "engine/portable_math.h"
#include "midi/note_handling.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
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
