#pragma once

#include <cstdint>
#include <cstring>

// The engine's few transcendental functions, as one algorithm built from
// IEEE additions, multiplications and divisions only, so that every target
// computes the same bits: a WebAssembly module's math library is not glibc,
// and the two differ in the last bit for some inputs. Each is evaluated in
// double-double precision (about 100 bits) and rounded once, which gives the
// correctly rounded value; where glibc's result is not that value, for an
// input the engine uses, a short table holds glibc's. Only the exp2 of a
// glide, whose inputs cannot be listed, repeats glibc's steps instead (built
// from the same operations, so the same on every target). The native
// programs keep calling glibc (see engine/engine_math.h); the tests check
// these against it for every input the engine can give them.

// sin(x) for 0 <= x <= 7.
double portableSin(double x);
// base^exponent for a whole exponent from 0 to 4096.
double portablePowInt(double base, int32_t exponent);
// 2^x for |x| <= 16.
double portableExp2(double x);
// log2(x) for 1/64 <= x <= 64.
double portableLog2(double x);
// 2^x for |x| <= 64 as glibc's exp2 computes it: by its own steps and table,
// so equal to it for every input, not only a known set (a glide's pitches
// are too many to list), though not always correctly rounded.
double portableExp2Continuous(double x);
// x^5 rounded to single precision, for 0 <= x <= 1.
float portablePow5(float x);

// lrint(x) for |x| < 2^31, rounding to nearest, ties to even: adding
// 1.5 * 2^52 leaves x rounded to a whole number in the sum's last place, and
// the sum's low 32 bits hold that number in two's complement. One addition,
// where the module's lrint rounds and then checks its conversion's range.
inline int32_t portableLrint(double x) {
    const double shifted = x + 0x1.8p52;
    uint64_t bits;
    std::memcpy(&bits, &shifted, sizeof bits);
    return static_cast<int32_t>(bits);
}
