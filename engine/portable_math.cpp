#include "engine/portable_math.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

// Built with floating-point contraction off (as is every part of the engine):
// a fused multiply-add would change the error terms below.

namespace {

// An unevaluated sum hi + lo with |lo| <= half an ulp of hi.
struct Dd {
    double hi;
    double lo;
};

Dd quickTwoSum(double a, double b) { // |a| >= |b|
    const double s = a + b;
    return {s, b - (s - a)};
}

Dd twoSum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// Veltkamp's split: a = hi + lo, each with at most 26 significant bits.
Dd split(double a) {
    const double c = 134217729.0 * a; // 2^27 + 1
    const double hi = c - (c - a);
    return {hi, a - hi};
}

// Dekker's exact product: a * b = hi + lo.
Dd twoProduct(double a, double b) {
    const double p = a * b;
    const Dd x = split(a), y = split(b);
    return {p, ((x.hi * y.hi - p) + x.hi * y.lo + x.lo * y.hi) + x.lo * y.lo};
}

Dd add(Dd a, Dd b) {
    Dd s = twoSum(a.hi, b.hi);
    const Dd t = twoSum(a.lo, b.lo);
    s.lo += t.hi;
    s = quickTwoSum(s.hi, s.lo);
    s.lo += t.lo;
    return quickTwoSum(s.hi, s.lo);
}

Dd negate(Dd a) { return {-a.hi, -a.lo}; }

Dd mul(Dd a, Dd b) {
    Dd p = twoProduct(a.hi, b.hi);
    p.lo += a.hi * b.lo + a.lo * b.hi;
    return quickTwoSum(p.hi, p.lo);
}

Dd divide(Dd a, double d) {
    const double q = a.hi / d;
    const Dd p = twoProduct(q, d);
    const double e = (((a.hi - p.hi) - p.lo) + a.lo) / d;
    return quickTwoSum(q, e);
}

// Long division: three quotient digits, each taking off what it accounts for.
Dd divide(Dd a, Dd b) {
    const double q1 = a.hi / b.hi;
    Dd r = add(a, negate(mul(b, Dd{q1, 0.0})));
    const double q2 = r.hi / b.hi;
    r = add(r, negate(mul(b, Dd{q2, 0.0})));
    return add(quickTwoSum(q1, q2), Dd{r.hi / b.hi, 0.0});
}

// π/2 to about 160 bits, and ln 2 to about 107.
constexpr double kHalfPi1 = 0x1.921fb54442d18p0;
constexpr double kHalfPi2 = 0x1.1a62633145c07p-54;
constexpr double kHalfPi3 = -0x1.f1976b7ed8fbcp-110;
constexpr Dd kLn2{0x1.62e42fefa39efp-1, 0x1.abc9e3b39803fp-56};
constexpr Dd kInverseLn2{0x1.71547652b82fep0, 0x1.777d0ffda0d24p-56};

// sin r and cos r for |r| <= π/4 + a little, by their nested Taylor series:
// 1 - r²/(2·3)(1 - r²/(4·5)(1 - ...)); the last term is below 2^-110.
constexpr int kSeriesTerms = 16;

Dd sineSeries(Dd r) {
    const Dd r2 = mul(r, r);
    Dd s{1.0, 0.0};
    for (int j = kSeriesTerms; j >= 1; --j)
        s = add(Dd{1.0, 0.0}, negate(divide(mul(r2, s), (2.0 * j) * (2.0 * j + 1.0))));
    return mul(r, s);
}

Dd cosineSeries(Dd r) {
    const Dd r2 = mul(r, r);
    Dd c{1.0, 0.0};
    for (int j = kSeriesTerms; j >= 1; --j)
        c = add(Dd{1.0, 0.0}, negate(divide(mul(r2, c), (2.0 * j - 1.0) * (2.0 * j))));
    return c;
}

// e^y for |y| <= 0.35: 1 + y(1 + y/2(1 + y/3(...))), the last term below 2^-110.
Dd expSeries(Dd y) {
    Dd e{1.0, 0.0};
    for (int j = 26; j >= 1; --j)
        e = add(Dd{1.0, 0.0}, divide(mul(y, e), j));
    return e;
}

// ln m for sqrt(1/2) <= m <= sqrt(2): 2·atanh s with s = (m - 1)/(m + 1),
// |s| <= 0.172, as 2s(1 + s²/3 + s⁴/5 + ...); the last term is below 2^-110.
Dd logSeries(double m) {
    const Dd s = divide(Dd{m - 1.0, 0.0}, twoSum(m, 1.0)); // m - 1 is exact
    const Dd s2 = mul(s, s);
    constexpr int kTerms = 23;
    Dd sum = divide(Dd{1.0, 0.0}, 2.0 * kTerms + 1.0);
    for (int j = kTerms - 1; j >= 0; --j)
        sum = add(divide(Dd{1.0, 0.0}, 2.0 * j + 1.0), mul(s2, sum));
    return mul(Dd{2.0 * s.hi, 2.0 * s.lo}, sum);
}

// The inputs the engine uses for which glibc's result is not the correctly
// rounded one: the argument's bits and glibc's result, sorted by argument.
struct Exception {
    uint64_t argument;
    double result;
};

constexpr Exception kSinExceptions[] = {
#include "engine/portable_math_sin.inc"
};

struct PowException {
    double base;
    int32_t exponent;
    double result;
};

constexpr PowException kPowExceptions[] = {
#include "engine/portable_math_pow.inc"
};

// 2^(k/128) for k from 0 to 127, as the double nearest it and the relative
// rest (2^(k/128) - scale) / scale, both rounded from an 80-digit computation.
struct Exp2Entry {
    double scale;
    double tail;
};

constexpr Exp2Entry kExp2Table[] = {
#include "engine/portable_math_exp2.inc"
};

template <size_t N> const Exception *find(const Exception (&table)[N], uint64_t argument) {
    const Exception *e = std::lower_bound(
        std::begin(table), std::end(table), argument,
        [](const Exception &x, uint64_t a) { return x.argument < a; });
    return e != std::end(table) && e->argument == argument ? e : nullptr;
}

} // namespace

double portableSin(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    if (const Exception *e = find(kSinExceptions, bits))
        return e->result;
    // x = k·π/2 + r, r in double-double; x - k·hi is exact (Sterbenz), as x
    // lies within π/4 of k·π/2 and k is at most 4.
    const double k = std::nearbyint(x / kHalfPi1);
    const Dd t = twoProduct(k, kHalfPi1);
    Dd r = add(Dd{x - t.hi, 0.0}, Dd{-t.lo, 0.0});
    r = add(r, negate(twoProduct(k, kHalfPi2)));
    r = add(r, Dd{-(k * kHalfPi3), 0.0});
    Dd s;
    switch (static_cast<int>(k) & 3) {
    case 0: s = sineSeries(r); break;
    case 1: s = cosineSeries(r); break;
    case 2: s = negate(sineSeries(r)); break;
    default: s = negate(cosineSeries(r)); break;
    }
    return s.hi;
}

double portablePowInt(double base, int32_t exponent) {
    // Exponentiation by squaring in double-double: a dozen products at most.
    Dd result{1.0, 0.0}, power{base, 0.0};
    for (uint32_t n = static_cast<uint32_t>(exponent); n != 0; n >>= 1) {
        if (n & 1u)
            result = mul(result, power);
        power = mul(power, power);
    }
    for (const PowException &e : kPowExceptions)
        if (e.base == base && e.exponent == exponent)
            return e.result;
    return result.hi;
}

double portableExp2(double x) {
    // 2^x = 2^m · e^(f·ln 2), with m the nearest whole number and f = x - m
    // exact; the power of two scales without rounding.
    const double m = std::nearbyint(x);
    const double f = x - m;
    const Dd y = add(twoProduct(f, kLn2.hi), Dd{f * kLn2.lo, 0.0});
    return std::ldexp(expSeries(y).hi, static_cast<int>(m));
}

float portablePow5(float x) {
    const double x2 = static_cast<double>(x) * x; // exact: 48 bits
    return static_cast<float>(x2 * x2 * x);
}

double portableLog2(double x) {
    // glibc's log2 is correctly rounded for every input the engine uses:
    // no table. x = 2^e · m with sqrt(1/2) <= m < sqrt(2), both exact.
    int e;
    double m = std::frexp(x, &e);
    if (m < 0x1.6a09e667f3bcdp-1) {
        m *= 2.0;
        --e;
    }
    return add(Dd{static_cast<double>(e), 0.0}, mul(logSeries(m), kInverseLn2)).hi;
}

double portableExp2Continuous(double x) {
    // glibc's steps, in the same order: x = k/128 + r with |r| <= 1/256,
    // 2^x = 2^(k/128) · 2^r, 2^r - 1 by a polynomial of degree 5.
    constexpr double kShift = 0x1.8p52 / 128; // x + kShift rounds x to a 128th
    constexpr double c1 = 0x1.62e42fefa39efp-1, c2 = 0x1.ebfbdff82c424p-3,
                     c3 = 0x1.c6b08d70cf4b5p-5, c4 = 0x1.3b2abd24650ccp-7,
                     c5 = 0x1.5d7e09b4e3a84p-10;
    if (std::fabs(x) < 0x1p-54)
        return 1.0 + x;
    const double kd = (x + kShift) - kShift;
    const auto k = static_cast<int32_t>(kd * 128.0); // exact
    const double r = x - kd;
    const Exp2Entry &t = kExp2Table[k & 127];
    const double scale = std::ldexp(t.scale, k >> 7); // exact: k >> 7 rounds down
    const double r2 = r * r;
    const double tmp = t.tail + r * c1 + r2 * (c2 + r * c3) + r2 * r2 * (c4 + r * c5);
    return scale + scale * tmp;
}
