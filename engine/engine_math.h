#pragma once

#include "engine/portable_math.h"

#include <cmath>
#include <cstdint>

// Where the engine calls a transcendental function or rounds to a whole
// number. Natively glibc (every native output is checked against fixed
// results); in the browser's module the portable functions, which equal
// glibc for every input the engine uses.
#if defined(__EMSCRIPTEN__)
inline double engineSin(double x) { return portableSin(x); }
inline double enginePowInt(double base, int32_t exponent) { return portablePowInt(base, exponent); }
inline double engineExp2(double x) { return portableExp2(x); }
inline double engineExp2Continuous(double x) { return portableExp2Continuous(x); }
inline double engineLog2(double x) { return portableLog2(x); }
inline float enginePow5(float x) { return portablePow5(x); }
inline int32_t engineLrint(double x) { return portableLrint(x); }
#else
inline double engineSin(double x) { return std::sin(x); }
inline double enginePowInt(double base, int32_t exponent) { return std::pow(base, exponent); }
inline double engineExp2(double x) { return std::pow(2.0, x); }
// glibc's exp2, whose last bit is not always pow(2, x)'s: for a glide's pitches.
inline double engineExp2Continuous(double x) { return std::exp2(x); }
inline double engineLog2(double x) { return std::log2(x); }
inline float enginePow5(float x) { return std::pow(x, 5.0f); }
inline int32_t engineLrint(double x) { return static_cast<int32_t>(std::lrint(x)); }
#endif
