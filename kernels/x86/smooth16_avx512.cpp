// The 16-bit kernel for processors with AVX-512 (F, BW, DQ, VL): eight doubles per vector.
// GCC 12's AVX-512 intrinsics trip its uninitialised-use warnings (see avx512.cpp); they are
// off in this unit only.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels/reference16.h"
#include "kernels/x86/exact_math.h"
#include "kernels/x86/x86_kernels16.h"

namespace dunmorel::x86::avx512_16 {
namespace {

struct Vec16 {
    using S = double;
    static constexpr bool narrow = false;
    static constexpr std::int32_t lanes = 8;
    using D = __m512d;
    static D set1(double x) { return _mm512_set1_pd(x); }
    static D load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, D v) { _mm512_storeu_pd(p, v); }
    static D add(D a, D b) { return _mm512_add_pd(a, b); }
    static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
    static D madd(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
    static D div(D a, D b) { return _mm512_div_pd(a, b); }
    static D max(D a, D b) { return _mm512_max_pd(a, b); }
    static D min(D a, D b) { return _mm512_min_pd(a, b); }
    static D abs(D a) { return _mm512_abs_pd(a); }
    static D floor(D a) { return _mm512_roundscale_pd(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
    static D trunc(D a) { return _mm512_roundscale_pd(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
    static double first(D a) { return _mm512_cvtsd_f64(a); }
    static double largest(D a) { return _mm512_reduce_max_pd(a); }
    // Lanes 0 .. count - 1 of a, the others 0.
    static D first_lanes(D a, std::int32_t count) {
        return _mm512_maskz_mov_pd(static_cast<__mmask8>((1u << count) - 1), a);
    }
    static D select_gt(D a, D b, D if_above, D otherwise) {
        return _mm512_mask_blend_pd(_mm512_cmp_pd_mask(a, b, _CMP_GT_OQ), otherwise, if_above);
    }
    static bool any_ge(D a, double limit) { return _mm512_cmp_pd_mask(a, _mm512_set1_pd(limit), _CMP_GE_OQ) != 0; }
    static D shifted(D x, std::int64_t by, __mmask8 keep) {
        const __m512i idx = _mm512_sub_epi64(_mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7), _mm512_set1_epi64(by));
        return _mm512_maskz_permutexvar_pd(keep, idx, x);
    }
    static D prefix(D x) {
        x = _mm512_add_pd(x, shifted(x, 1, 0xFE));
        x = _mm512_add_pd(x, shifted(x, 2, 0xFC));
        return _mm512_add_pd(x, shifted(x, 4, 0xF0));
    }
    static D shift_in(D x, D before) {
        const __m512i idx = _mm512_setr_epi64(0, 0, 1, 2, 3, 4, 5, 6);
        return _mm512_mask_permutexvar_pd(before, 0xFE, idx, x);
    }
    static D last(D x) { return _mm512_permutexvar_pd(_mm512_set1_epi64(7), x); }
    static D from_u16(const std::uint16_t* p) {
        return _mm512_cvtepi32_pd(_mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
    }
    static void store_u16(std::uint16_t* p, D v) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_cvtepi32_epi16(_mm512_cvttpd_epi32(v)));
    }
};

// Sixteen singles per vector for bands of samples below 2^10 (exact_math.h), with the running
// sum of squares in 32-bit integers.
struct Narrow16 {
    using S = float;
    static constexpr bool narrow = true;
    static constexpr std::int32_t lanes = 16;
    using D = __m512;
    using I = __m512i;
    static D set1(double x) { return _mm512_set1_ps(static_cast<float>(x)); }
    static D load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, D v) { _mm512_storeu_ps(p, v); }
    static D add(D a, D b) { return _mm512_add_ps(a, b); }
    static D sub(D a, D b) { return _mm512_sub_ps(a, b); }
    static D mul(D a, D b) { return _mm512_mul_ps(a, b); }
    static D nmadd(D a, D b, D c) { return _mm512_fnmadd_ps(a, b, c); }
    static D div(D a, D b) { return _mm512_div_ps(a, b); }
    static D trunc(D a) { return _mm512_roundscale_ps(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
    static D max(D a, D b) { return _mm512_max_ps(a, b); }
    static D min(D a, D b) { return _mm512_min_ps(a, b); }
    static D abs(D a) { return _mm512_abs_ps(a); }
    static double largest(D a) { return _mm512_reduce_max_ps(a); }
    static D first_lanes(D a, std::int32_t count) {
        return _mm512_maskz_mov_ps(static_cast<__mmask16>((1u << count) - 1), a);
    }
    static D floor(D a) { return _mm512_roundscale_ps(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
    static D select_gt(D a, D b, D if_above, D otherwise) {
        return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(a, b, _CMP_GT_OQ), otherwise, if_above);
    }
    static bool any_ge(D a, float limit) { return _mm512_cmp_ps_mask(a, _mm512_set1_ps(limit), _CMP_GE_OQ) != 0; }
    static D shift_in(D x, D before) {
        const __m512i idx = _mm512_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14);
        return _mm512_mask_permutexvar_ps(before, 0xFFFE, idx, x);
    }
    static D last(D x) { return _mm512_permutexvar_ps(_mm512_set1_epi32(15), x); }
    static D from_u16(const std::uint16_t* p) {
        return _mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))));
    }
    static void store_u16(std::uint16_t* p, D v) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm512_cvtepi32_epi16(_mm512_cvttps_epi32(v)));
    }
    static I set1_i(std::int32_t x) { return _mm512_set1_epi32(x); }
    static I add_i(I a, I b) { return _mm512_add_epi32(a, b); }
    static I to_int(D a) { return _mm512_cvttps_epi32(a); }
    static void store_i(std::int32_t* p, I v) { _mm512_storeu_si512(p, v); }
    static I prefix_i(I x) {
        const __m512i zero = _mm512_setzero_si512();
        x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 15));
        x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 14));
        x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 12));
        return _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 8));
    }
    static I last_i(I x) { return _mm512_permutexvar_epi32(_mm512_set1_epi32(15), x); }
    static I max_i(I a, I b) { return _mm512_max_epi32(a, b); }
    static bool all_le_i(I a, std::int32_t limit) { return _mm512_cmpgt_epi32_mask(a, _mm512_set1_epi32(limit)) == 0; }
    // The same in singles, for sums of squares whose variance lies below 2^14 (exact_math.h).
    static D variance_single(const std::int32_t* q, D inv_area, D bias) {
        return floor(_mm512_fmadd_ps(_mm512_cvtepi32_ps(_mm512_loadu_si512(q)), inv_area, bias));
    }
    // floor((Q + A / 2) / A) of sixteen sums of squares, in doubles, as singles.
    static D variance(const std::int32_t* q, double inv_area, double bias) {
        const __m512d r = _mm512_set1_pd(inv_area);
        const __m512d b = _mm512_set1_pd(bias);
        const auto half = [&](const std::int32_t* at) {
            const __m512d x = _mm512_cvtepi32_pd(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)));
            return _mm512_cvtpd_ps(
                _mm512_roundscale_pd(_mm512_fmadd_pd(x, r, b), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
        };
        return _mm512_insertf32x8(_mm512_castps256_ps512(half(q)), half(q + 8), 1);
    }
};

}  // namespace

#include "kernels/x86/smooth16_impl.inc"

}  // namespace dunmorel::x86::avx512_16
