#pragma once

#include <cstdint>

struct SynthState;

inline constexpr int32_t kOperationCount = 13;

// The sine at `phase` (fraction of the period), with 2π as the single-precision
// constant 6.2831855 and everything else in double precision.
double sineOfPhase(float phase);

// Audio thread: the waveshaper for a sine value already computed (what
// shapeSample does after its sine).
float shapeSine(SynthState &st, double sine);

// Audio thread: scales the sine at `phase` (fraction of the period) into the
// range-bar window for the current envelope level, quantises it to a signed
// byte, applies the selected bit operation and returns the byte / 127.
float shapeSample(SynthState &st, float phase);

// Pure: bit operation `operation` (1 to 13) on sample byte b with static byte s.
// Bit positions count from the left, 1 being the sign bit (weight 128).
// Any other operation number gives 0.
int8_t applyBitOperation(int32_t operation, int8_t b, int8_t s);
