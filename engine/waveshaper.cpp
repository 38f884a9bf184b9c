#include "engine/waveshaper.h"

#include "engine/synth_state.h"

#include "engine/engine_math.h"

#include <array>

namespace {

// 2π as the single-precision constant 6.2831855, widened for the angle.
constexpr double kTwoPi = static_cast<double>(6.2831855f);
// The range bar is 250 pixels tall: an edge at row y is amplitude y / 250.
constexpr double kWindowScale = 250.0;
constexpr double kByteScale = 127.0;

// Bit masks by position from the left.
constexpr uint8_t kPos1 = 0x80, kPos2 = 0x40, kPos3 = 0x20, kPos4 = 0x10, kPos5 = 0x08,
                  kPos6 = 0x04;

uint8_t operate(int32_t operation, uint8_t b, uint8_t s) {
    switch (operation) {
    case 1:
        return b | s;
    case 2:
        return b & s;
    case 3:
        return b ^ s;
    case 4:
        return static_cast<uint8_t>(b << 2);
    case 5: // keep the sign bit, rotate the other seven left by 2: 46 (00101110) -> 57 (00111001)
        return (b & kPos1) | ((b & 0x1F) << 2) | ((b & 0x60) >> 5);
    case 6:
        return b & 0xF0; // clears positions 5-8; position 4 survives
    case 7:              // 127 (01111111) -> 95 (01011111); position 4 clear -> 0
        if (!(b & kPos3) && (b & kPos4))
            return b & ~kPos4;
        if ((b & kPos3) && (b & kPos4))
            return b & ~kPos3;
        return 0;
    case 8:
        return (b & (kPos4 | kPos5)) == 0 ? (b | kPos4 | kPos5) : 0;
    case 9:
        return (b & (kPos3 | kPos4 | kPos5)) == 0 ? (b | 0x7C) : b;
    case 10:
        return b ^ kPos5;
    case 11: // exchange positions 2 and 4: 20 (00010100) -> 68 (01000100)
        return (b & ~(kPos2 | kPos4)) | ((b & kPos2) >> 2) | ((b & kPos4) << 2);
    case 12: // positions 4-6 receive old 4, 3, 2: 46 (00101110) -> 42 (00101010)
        return (b & ~(kPos5 | kPos6)) | ((b & kPos3) >> 2) | ((b & kPos2) >> 4);
    case 13: // pattern 1 5 6 4 2 3 7 8: 20 (00010100) -> 48 (00110000)
        return (b & (kPos1 | kPos4 | 0x03)) | ((b & (kPos5 | kPos6)) << 3) |
               ((b & (kPos2 | kPos3)) >> 3);
    default:
        return 0;
    }
}

// r / 127 rounded to single precision, for every byte r (indexed by its bit
// pattern): the same values as the division, without dividing every frame.
const auto kByteToSample = [] {
    std::array<float, 256> table{};
    for (int r = -128; r <= 127; ++r)
        table[static_cast<uint8_t>(r)] = static_cast<float>(r / kByteScale);
    return table;
}();

// Low 8 bits of v read as a signed byte.
int8_t lowByte(int32_t v) {
    return static_cast<int8_t>(static_cast<uint8_t>(v & 0xFF));
}

} // namespace

int8_t applyBitOperation(int32_t operation, int8_t b, int8_t s) {
    return static_cast<int8_t>(
        operate(operation, static_cast<uint8_t>(b), static_cast<uint8_t>(s)));
}

double sineOfPhase(float phase) {
    return engineSin(phase * kTwoPi);
}

float shapeSample(SynthState &st, float phase) {
    return shapeSine(st, sineOfPhase(phase));
}

float shapeSine(SynthState &st, double sine) {
    const int32_t top = st.rangeTop.get();
    const int32_t bottom = st.rangeBottom.get();
    // Level 0 gives the bottom edge's amplitude, level 1 the top edge's.
    // The velocity's gain (1.0 unless velocity counts) sets how far into the window it goes.
    const double amplitude =
        (bottom + st.envelope.level * (top - bottom)) / kWindowScale * st.velocityGain;
    const float x = static_cast<float>(sine * amplitude);
    const int8_t b = lowByte(engineLrint(x * kByteScale));
    const int8_t s = lowByte(engineLrint(st.staticOperand.get()));
    const int8_t r = applyBitOperation(st.operation.get(), b, s);
    st.shapedSample = kByteToSample[static_cast<uint8_t>(r)];
    return st.shapedSample;
}
