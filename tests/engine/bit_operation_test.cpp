#include "engine/operation_names.h"
#include "engine/waveshaper.h"
#include "tests/engine/engine_fixture.h"

#include <gtest/gtest.h>

#include <array>
#include <bitset>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace {

constexpr std::array<int8_t, 11> kInputs{0, 1, 20, 46, 100, 127, -1, -20, -46, -100, -128};

// Result of each operation (row) for each input byte above, static byte 50.
constexpr std::array<std::array<int, 11>, 13> kExpected{{
    {50, 51, 54, 62, 118, 127, -1, -2, -14, -66, -78},
    {0, 0, 16, 34, 32, 50, 50, 32, 18, 16, 0},
    {50, 51, 38, 28, 86, 77, -51, -34, -32, -82, -78},
    {0, 4, 80, -72, -112, -4, -4, -80, 72, 112, 0},
    {0, 4, 80, 57, 19, 127, -1, -77, -54, -16, -128},
    {0, 0, 16, 32, 96, 112, -16, -32, -48, -112, -128},
    {0, 0, 4, 0, 0, 95, -33, 0, -62, -116, 0},
    {24, 25, 0, 0, 124, 0, 0, 0, 0, 0, -104},
    {124, 125, 20, 46, 100, 127, -1, -20, -46, -100, -4},
    {8, 9, 28, 38, 108, 119, -9, -28, -38, -108, -120},
    {0, 1, 68, 46, 52, 127, -1, -68, -46, -52, -128},
    {0, 1, 16, 42, 108, 127, -1, -20, -42, -112, -128},
    {0, 1, 48, 102, 44, 127, -1, -20, -102, -16, -128},
}};

TEST(BitOperation, WholeTableWithStaticFifty) {
    for (int op = 1; op <= kOperationCount; ++op)
        for (size_t i = 0; i < kInputs.size(); ++i)
            EXPECT_EQ(applyBitOperation(op, kInputs[i], 50), kExpected[op - 1][i])
                << "operation " << op << ", byte " << int{kInputs[i]};
}

TEST(BitOperation, SingleCases) {
    struct Case {
        int op;
        int8_t b;
        int expected;
    };
    const Case cases[] = {
        {6, 127, 112},   // position 4 survives
        {7, 100, 0},     // position 4 clear: 0, not the byte
        {8, 20, 0},      // positions 4-5 not both clear: 0
        {9, 20, 20},     // condition fails: the byte unchanged
        {8, -128, -104}, // only positions 4 and 5 are tested, also when negative
        {13, -46, -102}, {11, -46, -46}, {4, 32, -128}, // the output can reach -128
    };
    for (const Case &c : cases)
        EXPECT_EQ(applyBitOperation(c.op, c.b, 50), c.expected) << "operation " << c.op;
}

// The README's table of the operations: each row names the operation as the
// window and the hosts do, and its worked example, bits written out, is what
// the operation does with the static value 50.
// The words of a line, split at spaces.
std::vector<std::string> words(const std::string &text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

TEST(BitOperation, ReadmeTableAgreesWithTheEngine) {
    std::ifstream readme(ONDRILUX_SOURCE_DIR "/README.md");
    const auto bits = [](int v) { return std::bitset<8>(static_cast<uint8_t>(v)).to_string(); };
    int rows = 0;
    // A row: | n | caption | short name | what it does: IN (BITS) → OUT (BITS) |
    for (std::string line; std::getline(readme, line);) {
        std::vector<std::string> cell;
        for (size_t at = 2, bar; line.starts_with("| ") && (bar = line.find(" | ", at)) != line.npos;
             at = bar + 3)
            cell.push_back(line.substr(at, bar - at));
        if (cell.size() != 3 || !line.ends_with(" |") || cell[0].empty() ||
            cell[0].find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string what = line.substr(line.rfind(" | ") + 3);
        const size_t arrow = what.find(" → ");
        ASSERT_NE(arrow, std::string::npos) << line;
        const std::vector<std::string> before = words(what.substr(0, arrow));
        const std::vector<std::string> after = words(what.substr(arrow + std::strlen(" → ")));
        ASSERT_GE(before.size(), 2u) << line;
        ASSERT_EQ(after.size(), 3u) << line; // OUT (BITS) |
        const int op = std::stoi(cell[0]), in = std::stoi(before[before.size() - 2]),
                  out = std::stoi(after[0]);
        ASSERT_EQ(op, ++rows) << line;
        EXPECT_EQ(cell[1], operationName(op).caption);
        EXPECT_EQ(cell[2], operationName(op).shortName);
        EXPECT_EQ(before.back(), "(" + bits(in) + ")") << line;
        EXPECT_EQ(after[1], "(" + bits(out) + ")") << line;
        EXPECT_EQ(applyBitOperation(op, static_cast<int8_t>(in), 50), out) << line;
    }
    EXPECT_EQ(rows, kOperationCount);
}

TEST(BitOperation, UnknownOperationGivesZero) {
    for (int op : {0, 14, -1, 1000})
        for (int8_t b : kInputs)
            EXPECT_EQ(applyBitOperation(op, b, 50), 0);
}

// OR, AND, XOR and the shift are their plain arithmetic on all 256 bytes; the
// flip and the two exchanges of bit positions undo themselves.
TEST(BitOperation, AgreesWithItsArithmeticForAllBytes) {
    for (int b = -128; b <= 127; ++b) {
        const auto u = static_cast<uint8_t>(b);
        for (int s = 0; s <= 100; ++s) {
            EXPECT_EQ(applyBitOperation(1, b, s), static_cast<int8_t>(u | s));
            EXPECT_EQ(applyBitOperation(2, b, s), static_cast<int8_t>(u & s));
            EXPECT_EQ(applyBitOperation(3, b, s), static_cast<int8_t>(u ^ s));
        }
        EXPECT_EQ(applyBitOperation(4, b, 0), static_cast<int8_t>((u * 4) % 256));
        EXPECT_EQ(applyBitOperation(11, applyBitOperation(11, b, 0), 0), b);
        EXPECT_EQ(applyBitOperation(13, applyBitOperation(13, b, 0), 0), b);
        EXPECT_EQ(applyBitOperation(10, applyBitOperation(10, b, 0), 0), b);
    }
}

class Waveshaper : public ::testing::Test {
  protected:
    void SetUp() override { initSynthState(synthState); }
};

TEST_F(Waveshaper, WorkedSampleA4) {
    synthState.envelope.level = 0.5;
    // Period 109, phase index 27, default edges and static value, operation OR.
    const float phase = static_cast<float>(27.0 / 109.0);
    EXPECT_FLOAT_EQ(phase, 0.24770643f);
    EXPECT_EQ(shapeSample(synthState, phase), static_cast<float>(51 / 127.0));
    EXPECT_EQ(synthState.shapedSample, 0.4015748f);
}

TEST_F(Waveshaper, PhaseZeroGivesTheOperationOfByteZero) {
    const int expected[13] = {50, 0, 50, 0, 0, 0, 0, 24, 124, 8, 0, 0, 0};
    for (int op = 1; op <= 13; ++op) {
        synthState.operation.set(op);
        EXPECT_EQ(shapeSample(synthState, 0.0f), static_cast<float>(expected[op - 1] / 127.0))
            << op;
    }
}

TEST_F(Waveshaper, AmplitudeFollowsTheEdgesAndTheLevel) {
    synthState.operation.set(3);
    synthState.staticOperand.set(0.0); // XOR 0 passes the byte through
    struct Case {
        int top, bottom;
        double level;
        int peak; // byte at phase 0.25
    };
    const Case cases[] = {
        {40, 90, 0.0, 46},         // 0.36 * 127 = 45.7
        {40, 90, 1.0, 20},         // 0.16 * 127 = 20.3
        {70, 70, 0.3, 36},         // equal edges: 0.28 whatever the level
        {90, 40, 1.0, 46},         // upside down: grows with the level
        {40, 245, 0.0, 124},       // largest in the normal level range
        {243, 4, 1.0875237, -122}, // v = 134 wraps to the opposite sign
    };
    for (const Case &c : cases) {
        synthState.rangeTop.set(c.top);
        synthState.rangeBottom.set(c.bottom);
        synthState.envelope.level = c.level;
        EXPECT_EQ(shapeSample(synthState, 0.25f), static_cast<float>(c.peak / 127.0))
            << c.top << "/" << c.bottom << " at " << c.level;
    }
}

// Phase 0 is byte 0, and OR passes the static byte through: every byte r
// comes out as r / 127, from -128/127 to exactly 1.0.
TEST_F(Waveshaper, EveryByteComesOutAsItsValueOver127) {
    synthState.operation.set(1);
    for (int r = -128; r <= 127; ++r) {
        synthState.staticOperand.set(r);
        EXPECT_EQ(shapeSample(synthState, 0.0f), static_cast<float>(r / 127.0)) << r;
    }
}

TEST_F(Waveshaper, StaticValueIsRoundedTiesToEven) {
    synthState.operation.set(1);
    synthState.staticOperand.set(2.5); // rounds to 2
    EXPECT_EQ(shapeSample(synthState, 0.0f), static_cast<float>(2 / 127.0));
    synthState.staticOperand.set(3.5); // rounds to 4
    EXPECT_EQ(shapeSample(synthState, 0.0f), static_cast<float>(4 / 127.0));
}

TEST_F(Waveshaper, OutputStaysWithinOneByteScaleForEveryPhase) {
    for (int op = 1; op <= 13; ++op) {
        synthState.operation.set(op);
        for (int i = 0; i < 480; ++i) {
            const float v = shapeSample(synthState, static_cast<float>(i / 480.0));
            EXPECT_TRUE(std::isfinite(v));
            EXPECT_LE(std::fabs(v), 128.0f / 127.0f);
        }
    }
}

} // namespace
