#include "engine/portable_math.hpp"

#include <bit>
#include <cstring>

// The lane helpers below pass vectors by value between inlined functions
// only, so the calling convention GCC warns about never applies.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace Core::Kvrn {
namespace {

// Four lanes at a time, written with the compilers' generic vector types so
// that every operation is the elementwise IEEE operation the scalar code
// performs: the same products, sums and quotients in the same order, hence
// the same bits. Without wide registers the compiler splits each operation
// into narrower ones, which changes the speed and nothing else.
using Doubles = double __attribute__((vector_size(32)));
using Words = std::int64_t __attribute__((vector_size(32)));  // per lane; masks are 0 or -1
using UnsignedWords = std::uint64_t __attribute__((vector_size(32)));
using Ints = std::int32_t __attribute__((vector_size(16)));
constexpr std::size_t kLanes = 4;

[[gnu::always_inline]] inline Doubles splat(double c) { return Doubles{c, c, c, c}; }
[[gnu::always_inline]] inline Words splatWord(std::int64_t c) { return Words{c, c, c, c}; }
[[gnu::always_inline]] inline Words bitsOf(Doubles x) { return std::bit_cast<Words>(x); }
[[gnu::always_inline]] inline Doubles fromBits(Words w) { return std::bit_cast<Doubles>(w); }
// Per lane, `a` where the mask is set and `b` elsewhere.
[[gnu::always_inline]] inline Doubles select(Words mask, Doubles a, Doubles b) {
    return fromBits((bitsOf(a) & mask) | (bitsOf(b) & ~mask));
}
[[gnu::always_inline]] inline Words selectWord(Words mask, Words a, Words b) {
    return (a & mask) | (b & ~mask);
}
// w >> n with zeros shifted in, which every vector unit has (an arithmetic
// shift of 64-bit lanes needs AVX-512); the callers' lanes are never
// negative, or want the sign bit gone.
[[gnu::always_inline]] inline Words shiftedRight(Words w, int n) {
    return std::bit_cast<Words>(std::bit_cast<UnsignedWords>(w) >> n);
}

// portableExp of four lanes. Lanes the scalar code handles by an early return
// other than |x| < 2^-28 (NaN, overflow, underflow) or by scaling into the
// subnormals are marked in `scalar` and left to the caller.
[[gnu::always_inline]] inline Doubles expLanes(Doubles in, Words& scalar) {
    using namespace detail::math;
    // NaN fails both comparisons and goes to the scalar code. Those lanes
    // compute e^0 here, so that no conversion below sees a value out of range.
    scalar = ~((in <= splat(kExpOverflow)) & (in >= splat(kExpUnderflow)));
    const Doubles x = select(scalar, splat(0.0), in);
    const Words bits = bitsOf(x);
    const Words hx = shiftedRight(bits, 32) & splatWord(0x7fffffff);
    const Words negative = bits < splatWord(0);

    const Words reduced = hx > splatWord(0x3fd62e42);            // |x| > ln2 / 2
    const Words tiny = ~reduced & (hx < splatWord(0x3e300000));  // |x| < 2^-28

    // Argument reduction x = k ln2 + r. The scalar code has a short form for
    // ln2 / 2 < |x| < 1.5 ln2 (k = +-1, hi = x -+ ln2hi, lo = +-ln2lo); the
    // general form gives k = +-1 there too, and multiplying by t = +-1 is
    // exact, so one form serves every lane.
    const Doubles half = select(negative, splat(-0.5), splat(0.5));
    const Ints kWide = __builtin_convertvector(splat(kInvLn2) * x + half, Ints);
    const Doubles t = __builtin_convertvector(kWide, Doubles);
    const Doubles hi = x - t * splat(kLn2Hi);
    const Doubles lo = t * splat(kLn2Lo);
    const Words k = __builtin_convertvector(kWide, Words);
    const Doubles r = select(reduced, hi - lo, x);

    const Doubles tt = r * r;
    const Doubles c =
        r - tt * (splat(P1) + tt * (splat(P2) + tt * (splat(P3) + tt * (splat(P4) + tt * splat(P5)))));
    // One quotient serves both formulas: (r c) / (c - 2) is exactly the
    // negated (r c) / (2 - c), as c - 2 is the negated 2 - c and rounding to
    // nearest is symmetric in sign.
    const Doubles quotient = (r * c) / (splat(2.0) - c);
    const Doubles unscaled = splat(1.0) - (-quotient - r);
    const Doubles y = splat(1.0) - ((lo - quotient) - hi);
    // y x 2^k by exponent arithmetic; the scalar code scales differently
    // where the result would be subnormal.
    const Doubles scaled = fromBits(bitsOf(y) + (k << 52));
    scalar |= reduced & (k < splatWord(-1021));

    return select(tiny, splat(1.0) + x, select(reduced, scaled, unscaled));
}

// portableLog of four lanes. Lanes outside the positive normal numbers and
// lanes within 2^-20 of a power of two (the scalar code's short formula) are
// marked in `scalar` and left to the caller.
[[gnu::always_inline]] inline Doubles logLanes(Doubles in, Words& scalar) {
    using namespace detail::math;
    const Words inBits = bitsOf(in);
    // The high word read without its sign: negative numbers look larger than
    // infinity and join NaN, infinity, zero and the subnormals.
    const Words high = shiftedRight(inBits, 32);
    scalar = (high < splatWord(0x00100000)) | (high >= splatWord(0x7ff00000));
    // Those lanes compute log(1) here.
    const Words bits = selectWord(scalar, bitsOf(splat(1.0)), inBits);
    const Words hxFull = shiftedRight(bits, 32);

    // x = 2^k (1 + f) with 1 + f in [sqrt(2)/2, sqrt(2)).
    const Words hx = hxFull & splatWord(0x000fffff);
    const Words i = (hx + splatWord(0x95f64)) & splatWord(0x100000);
    const Words k = (shiftedRight(hxFull, 20) - splatWord(1023)) + shiftedRight(i, 20);
    const Words normalised = ((hx | (i ^ splatWord(0x3ff00000))) << 32) | (bits & splatWord(0xffffffff));
    const Doubles f = fromBits(normalised) - splat(1.0);
    const Doubles dk = __builtin_convertvector(__builtin_convertvector(k, Ints), Doubles);
    scalar |= (splatWord(0x000fffff) & (splatWord(2) + hx)) < splatWord(3);

    const Doubles s = f / (splat(2.0) + f);
    const Doubles z = s * s;
    const Doubles w = z * z;
    const Doubles t1 = w * (splat(Lg2) + w * (splat(Lg4) + w * splat(Lg6)));
    const Doubles t2 = z * (splat(Lg1) + w * (splat(Lg3) + w * (splat(Lg5) + w * splat(Lg7))));
    const Doubles r = t2 + t1;
    const Doubles halfSquare = splat(0.5) * f * f;
    const Doubles hiK = dk * splat(kLn2Hi);
    const Doubles loK = dk * splat(kLn2Lo);

    // The scalar code's four endings: with or without the half square, for
    // k = 0 or not.
    const Words squared = ((hx - splatWord(0x6147a)) | (splatWord(0x6b851) - hx)) > splatWord(0);
    const Words zeroK = k == splatWord(0);
    const Doubles squaredZero = f - (halfSquare - s * (halfSquare + r));
    const Doubles squaredScaled = hiK - ((halfSquare - (s * (halfSquare + r) + loK)) - f);
    const Doubles plainZero = f - s * (f - r);
    const Doubles plainScaled = hiK - ((s * (f - r) - loK) - f);
    return select(squared, select(zeroK, squaredZero, squaredScaled), select(zeroK, plainZero, plainScaled));
}

// One group of lanes from `x` into `y` (which may be `x`); lanes the vector
// code leaves to the scalar code are redone one by one.
template <Doubles (*lanes)(Doubles, Words&), double (*one)(double)>
[[gnu::always_inline]] inline void eachGroup(const double* x, double* y) {
    Doubles in;
    std::memcpy(&in, x, sizeof in);
    Words scalar;
    const Doubles out = lanes(in, scalar);
    std::memcpy(y, &out, sizeof out);
    std::int64_t flags[kLanes];
    std::memcpy(flags, &scalar, sizeof flags);
    if ((flags[0] | flags[1] | flags[2] | flags[3]) != 0) {
        double arguments[kLanes];
        std::memcpy(arguments, &in, sizeof arguments);
        for (std::size_t lane = 0; lane < kLanes; ++lane)
            if (flags[lane] != 0) y[lane] = one(arguments[lane]);
    }
}

template <Doubles (*lanes)(Doubles, Words&), double (*one)(double)>
[[gnu::always_inline]] inline void each(std::span<const double> x, std::span<double> y) {
    const std::size_t n = x.size();
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) eachGroup<lanes, one>(x.data() + i, y.data() + i);
    if (i < n) {
        // The last, partial group, padded with ones (a value both functions
        // take in their vector code).
        double in[kLanes] = {1, 1, 1, 1};
        double out[kLanes];
        std::memcpy(in, x.data() + i, (n - i) * sizeof(double));
        eachGroup<lanes, one>(in, out);
        std::memcpy(y.data() + i, out, (n - i) * sizeof(double));
    }
}

#if defined(__x86_64__)
// The same code built twice: for processors with 256-bit registers (four
// lanes per instruction) and for the baseline instruction set (two).
[[gnu::target("avx2")]] void expEachWide(std::span<const double> x, std::span<double> y) {
    each<expLanes, portableExp>(x, y);
}
[[gnu::target("avx2")]] void logEachWide(std::span<const double> x, std::span<double> y) {
    each<logLanes, portableLog>(x, y);
}
bool wideRegisters() {
    static const bool wide = __builtin_cpu_supports("avx2");
    return wide;
}
#endif

}  // namespace

void detail::math::portableExpEachBaseline(std::span<const double> x, std::span<double> y) {
    each<expLanes, portableExp>(x, y);
}

void detail::math::portableLogEachBaseline(std::span<const double> x, std::span<double> y) {
    each<logLanes, portableLog>(x, y);
}

void portableExpEach(std::span<const double> x, std::span<double> y) {
#if defined(__x86_64__)
    if (wideRegisters()) return expEachWide(x, y);
#endif
    detail::math::portableExpEachBaseline(x, y);
}

void portableLogEach(std::span<const double> x, std::span<double> y) {
#if defined(__x86_64__)
    if (wideRegisters()) return logEachWide(x, y);
#endif
    detail::math::portableLogEachBaseline(x, y);
}

}  // namespace Core::Kvrn
