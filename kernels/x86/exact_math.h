// Integer and floating-point shortcuts that the vector kernels take in place of the divisions
// of the scalar code, with the reasons why each gives exactly the same integer.
//
// Everything here has internal linkage on purpose: this header is included by translation
// units compiled for different instruction sets, and an inline function with external linkage
// could be emitted by each of them and merged by the linker into one copy that uses
// instructions the running processor lacks.
#pragma once

#include <cstdint>

namespace dunmorel::x86 {
namespace {

// Grid sides that the vector kernels take; others go to the scalar reference.
constexpr std::int32_t min_grid = 3;
constexpr std::int32_t max_grid = 11;

// Widest plane that the vector kernels take. It bounds the running sum of squares by
// 65025 * 11 * 2^20 < 2^40, which the variance rounding below relies on; wider planes go to
// the scalar reference.
constexpr std::int32_t max_columns = 1 << 20;

// ---- Neighbourhood mean: (T + A / 2) / A as a multiply and a shift ----
//
// With M = ceil(2^22 / A) and e = M * A - 2^22 (0 <= e <= A - 1):
//   n * M / 2^22 = n / A + n * e / (A * 2^22).
// Write n / A = q + f / A with 0 <= f <= A - 1. The second term is below 1 / A as long as
// n * e < 2^22, and then q + (f + that) / A < q + 1, so floor(n * M / 2^22) = q. With
// A <= 121 we have e <= 120, so every n below 2^22 / 120 = 34952 is exact. The dividend is a
// sum of at most 121 samples plus A / 2, at most 255 * 121 + 60 = 30915. The product has to
// stay below 2^32 for the 32-bit lane multiply: n * M <= (255 * S + A / 2) * (2^22 / A + 1),
// where S is the number of samples summed, at most 1.5625 * A for the mirrored
// neighbourhoods of even grids (5 x 5 samples over A = 16), which stays below 1.7e9.
// mean_divisor_is_exact() in the tests checks every dividend for every area exhaustively.
constexpr int mean_shift = 22;

constexpr std::uint32_t mean_multiplier(std::int32_t area) {
    return static_cast<std::uint32_t>(((std::uint64_t{1} << mean_shift) + area - 1) / area);
}

constexpr std::int32_t mean_by_multiply(std::int32_t dividend, std::uint32_t multiplier) {
    return static_cast<std::int32_t>((static_cast<std::uint32_t>(dividend) * multiplier) >> mean_shift);
}

// ---- Products of small lanes: one 16-bit multiply-add instead of a 32-bit multiply ----
//
// The multiply-add of 16-bit halves gives, in each 32-bit lane, a_lo * b_lo + a_hi * b_hi with
// every half read as a signed 16-bit number. For 0 <= a <= 2^15 - 1 the high half of a is 0 and
// its low half is a; for -2^15 <= b <= 2^15 - 1 the low half of b, read as signed, is b. So the
// lane is a * b exactly, and |a * b| < 2^30 cannot overflow. The kernels use it where both
// bounds hold by construction: samples and their sums of two (0 .. 510) times sample
// differences (-255 .. 255), a mean (0 .. 255) times the column height or times
// 2 * S1 - m * height of one column (at most 2 * 255 * 11 = 5610 in magnitude), and a noise
// below 2^15 times centre - mean. simd_check_tests checks the bound case by case.
constexpr std::int32_t mul16_limit = (1 << 15) - 1;

// ---- Neighbourhood variance: (Q + A / 2) / A in double precision ----
//
// The kernels evaluate floor(Q * r + b) with r = 1/A and b = (A / 2 + 1/2) / A, both rounded
// to double. Exactly, Q / A + b = (2 * Q + 2 * (A / 2) + 1) / (2 * A): an odd numerator over an
// even denominator, so never an integer, and at least 1 / (2 * A) away from every integer.
// Its floor is floor((Q + A / 2) / A) because adding 1/2 to an integer numerator cannot reach
// the next multiple of A. The rounding errors (r, b, and the one fused multiply-add, or one
// product and one sum without FMA) are below 2^-50 * (|Q| / A + 1), far below 1 / (2 * A) for
// any |Q| < 2^40; each slide moves the running sum of squares by at most
// 65025 * ygrid, so it stays below 65025 * ygrid * cols < 2^40 for cols <= max_columns.
// For Q + A / 2 >= 0 the floor equals the truncating division of the scalar code. For a
// negative dividend the two can differ, but both are <= 0, and a variance of 0 or less is
// never above the (non-negative) noise, so only the choice "take the mean" is used from it.
inline double variance_bias(std::int32_t area) {
    return (static_cast<double>(area / 2) + 0.5) / static_cast<double>(area);
}

// The same rounding in single precision, floor(Q * r + b) with r and b rounded to float, is
// exact while Q + A / 2 < 16384 * A, that is while v < 2^14, as every true variance is:
// Q is then exact in float (|Q| < 2^21), the product is off by at most |Q| / A * 2^-24 <= 2^-10,
// the one rounding of the sum (below 16385) by at most 2^-10 more (another 2^-10 without FMA),
// and b by 2^-25: below 2^-8.4 in all, while the margin is 1 / (2 * A) >= 1 / 242 > 2^-7.92.
// For very negative Q (down to -2^31) the float may be inexact, but the error is at most
// 0.12 and the result stays below 1, hence 0 or less: "take the mean", as it must.
inline float variance_bias_single(std::int32_t area) { return static_cast<float>(variance_bias(area)); }
constexpr std::int32_t single_squares_limit(std::int32_t area) { return 16384 * area - area / 2 - 1; }

// ---- The pull towards the mean: ((c - m) * noise) / v in double precision ----
//
// Used only when v > noise >= 0, so v >= 1. The numerator is an integer below 2^39 in
// magnitude (|c - m| < 512, noise < 2^31), exact in double, and so is v. The true quotient
// has magnitude |c - m| * noise / v < |c - m| < 512. If it is an integer, the correctly
// rounded division returns it exactly. Otherwise it lies at least 1 / v from every integer,
// while the rounding error is at most 2^-53 * 512 = 2^-44, which is smaller than 1 / v for
// every v < 2^44. So the truncation of the double quotient equals the truncating integer
// division. (Single precision would not do: its error, 2^-24 * 512, exceeds 1 / v as soon as
// v passes 2^15.)
//
// Single precision does do under narrower conditions, which hold nearly always: if
// |numerator| < 2^24 and 1 <= v < 2^14, both are exact in single precision, the true quotient
// is still below 512 in magnitude, and the error of one correctly rounded single division is
// below 2^-24 * 512 = 2^-15 < 1 / v, so by the same argument its truncation is exact. With
// |c - m| < 512 the numerator condition holds for every noise below 2^15. The variance of
// 8-bit samples never exceeds 16257 < 2^14; only a running sum of squares that has drifted
// far can give a larger v, and the kernels then take the double division for that vector.
constexpr std::int32_t single_noise_limit = 1 << 15;
constexpr float single_variance_limit = 16384.0f;

// ---- Samples of at most ten bits in single-precision and 32-bit lanes ----
//
// Where every sample x of a band is at most 2^10 - 1 (the kernels check the band's words, as a
// host may hand over bits above the declared depth), the 16-bit kernel's quantities fit single
// precision (24-bit significand) or 32-bit integers for every grid up to 11 x 11, so its AVX2
// and AVX-512 paths run twice the lanes of the double-precision path:
// * column sums of h <= 11 samples: S1 <= 11 * 1023 < 2^14, S2 <= 11 * 1023^2 < 2^24, and a
//   slide adds (e - l)(e + l) < 2^20 to a sum that stays in 0 .. 2^24: all exact in singles.
//   (At 11 bits S2 < 2^24 holds only for h <= 4, at 12 bits for no grid: those stay in doubles.)
// * the neighbourhood sum T < 121 * 2^10 < 2^17, and T + A / 2 + 1/2 needs 18 bits: exact. The
//   mean floor((T + A / 2 + 1/2) * (1 / A)) errs by less than 2 * 2^-24 * 2^10 = 2^-13 (the
//   rounded 1 / A and the product) while the exact value lies at least 1 / (2 A) >= 2^-8 from
//   every integer (see the variance rounding above), so it is (T + A / 2) / A.
// * one column's squares about a mean m <= 1023: S2 - m (2 S1 - h m). Here 2 S1 - h m is exact
//   (|.| < 2^15), but the product m (2 S1 - h m) may reach 2^25 for h > 8, so the last step is
//   one fused multiply-add: its one rounding is of the exact result, the sum of (x - m)^2 over
//   the column, an integer in 0 .. 11 * 1023^2 < 2^24, hence none. (This is why only the units
//   with FMA have these lanes.) A slide term, the difference of two such, is below 2^24.
// * the running sum of squares Q in 32-bit integer lanes: a chunk of n <= 128 terms starts
//   from the carried Q and is taken only while |Q| + n * max |term| < 2^31, so no partial sum
//   wraps; otherwise the row finishes in 64-bit integers.
// * v = (Q + A / 2) / A: where every Q of a chunk is at most single_squares_limit(A), by the
//   single-precision rounding above (its proof holds for any 32-bit Q, whatever the depth);
//   otherwise by the double-precision rounding (|Q| < 2^31 < 2^40), then held in singles, exact
//   below 2^24, and a vector with any v >= 2^23 takes the scalar rule lane by lane.
// * the pull ((c - m) noise) / v with noise < 2^14 and 1 <= v < 2^23, used only where v > noise:
//   |c - m| <= 1023, so the numerator n is an integer below 2^24 in magnitude, exact, as is v.
//   One correctly rounded single division returns x = |n| / v times (1 + d), |d| <= 2^-24, so
//   its error is below |n| / v * 2^-24 < 1 / v. If x is an integer the result is x itself;
//   otherwise x lies at least 1 / v from the integers on either side, so the result stays
//   strictly between them and its truncation is floor(|n| / v), with the numerator's sign: the
//   truncating division. (The bound needs |n| < 2^24, not a small quotient, which is why it
//   holds for every v that singles carry.) Bands with a larger noise take the double path.
constexpr std::int64_t narrow16_noise_limit = 1 << 14;
constexpr float narrow16_variance_limit = 8388608.0f;  // 2^23

}  // namespace
}  // namespace dunmorel::x86
