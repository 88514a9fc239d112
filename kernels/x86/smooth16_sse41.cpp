// The 16-bit kernel for processors with SSE4.1: two doubles per vector, no fused multiply-add
// (one more rounding, which the bounds of smooth16_impl.inc allow for). Compiled with -msse4.1.
#include <smmintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels/reference16.h"
#include "kernels/x86/exact_math.h"
#include "kernels/x86/x86_kernels16.h"

namespace dunmorel::x86::sse41_16 {
namespace {

struct Vec16 {
    using S = double;
    static constexpr bool narrow = false;
    static constexpr std::int32_t lanes = 2;
    using D = __m128d;
    static D set1(double x) { return _mm_set1_pd(x); }
    static D load(const double* p) { return _mm_loadu_pd(p); }
    static void store(double* p, D v) { _mm_storeu_pd(p, v); }
    static D add(D a, D b) { return _mm_add_pd(a, b); }
    static D sub(D a, D b) { return _mm_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm_mul_pd(a, b); }
    static D madd(D a, D b, D c) { return _mm_add_pd(_mm_mul_pd(a, b), c); }
    static D div(D a, D b) { return _mm_div_pd(a, b); }
    static D max(D a, D b) { return _mm_max_pd(a, b); }
    static D min(D a, D b) { return _mm_min_pd(a, b); }
    static D abs(D a) { return _mm_andnot_pd(_mm_set1_pd(-0.0), a); }
    static D floor(D a) { return _mm_floor_pd(a); }
    static D trunc(D a) { return _mm_round_pd(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
    static double first(D a) { return _mm_cvtsd_f64(a); }
    static double largest(D a) { return _mm_cvtsd_f64(_mm_max_sd(a, _mm_unpackhi_pd(a, a))); }
    // Lanes 0 .. count - 1 of a, the others 0: of two lanes, a partial vector keeps lane 0.
    static D first_lanes(D a, std::int32_t count) { return count >= 2 ? a : _mm_move_sd(_mm_setzero_pd(), a); }
    static D select_gt(D a, D b, D if_above, D otherwise) {
        return _mm_blendv_pd(otherwise, if_above, _mm_cmpgt_pd(a, b));
    }
    static bool any_ge(D a, double limit) { return _mm_movemask_pd(_mm_cmpge_pd(a, _mm_set1_pd(limit))) != 0; }
    static D prefix(D x) { return _mm_add_pd(x, _mm_castsi128_pd(_mm_slli_si128(_mm_castpd_si128(x), 8))); }
    static D shift_in(D x, D before) { return _mm_shuffle_pd(before, x, 0x0); }
    static D last(D x) { return _mm_unpackhi_pd(x, x); }
    static D from_u16(const std::uint16_t* p) {
        std::uint32_t two;
        __builtin_memcpy(&two, p, sizeof two);
        return _mm_cvtepi32_pd(_mm_cvtepu16_epi32(_mm_cvtsi32_si128(static_cast<int>(two))));
    }
    static void store_u16(std::uint16_t* p, D v) {
        const __m128i i = _mm_cvttpd_epi32(v);
        const std::uint32_t two = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi32(i, i)));
        __builtin_memcpy(p, &two, sizeof two);
    }
};

// Without fused multiply-add a column's squares at ten bits are not exact in singles
// (exact_math.h): doubles only.
using Narrow16 = void;

}  // namespace

#include "kernels/x86/smooth16_impl.inc"

}  // namespace dunmorel::x86::sse41_16
