// The 16-bit kernel for processors with AVX2 and FMA: four doubles per vector. Compiled with
// -mavx2 -mfma, run only after the dispatcher has found both.
#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels/reference16.h"
#include "kernels/x86/exact_math.h"
#include "kernels/x86/x86_kernels16.h"

namespace dunmorel::x86::avx2_16 {
namespace {

struct Vec16 {
    using S = double;
    static constexpr bool narrow = false;
    static constexpr std::int32_t lanes = 4;
    using D = __m256d;
    static D set1(double x) { return _mm256_set1_pd(x); }
    static D load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, D v) { _mm256_storeu_pd(p, v); }
    static D add(D a, D b) { return _mm256_add_pd(a, b); }
    static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
    static D madd(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
    static D div(D a, D b) { return _mm256_div_pd(a, b); }
    static D max(D a, D b) { return _mm256_max_pd(a, b); }
    static D min(D a, D b) { return _mm256_min_pd(a, b); }
    static D abs(D a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
    static D floor(D a) { return _mm256_floor_pd(a); }
    static D trunc(D a) { return _mm256_round_pd(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
    static double first(D a) { return _mm256_cvtsd_f64(a); }
    static double largest(D a) {
        const __m128d two = _mm_max_pd(_mm256_castpd256_pd128(a), _mm256_extractf128_pd(a, 1));
        return _mm_cvtsd_f64(_mm_max_sd(two, _mm_unpackhi_pd(two, two)));
    }
    // Lanes 0 .. count - 1 of a, the others 0.
    static D first_lanes(D a, std::int32_t count) {
        const __m256i keep = _mm256_cmpgt_epi64(_mm256_set1_epi64x(count), _mm256_setr_epi64x(0, 1, 2, 3));
        return _mm256_and_pd(a, _mm256_castsi256_pd(keep));
    }
    // if_above where a > b, otherwise `otherwise`.
    static D select_gt(D a, D b, D if_above, D otherwise) {
        return _mm256_blendv_pd(otherwise, if_above, _mm256_cmp_pd(a, b, _CMP_GT_OQ));
    }
    static bool any_ge(D a, double limit) {
        return _mm256_movemask_pd(_mm256_cmp_pd(a, _mm256_set1_pd(limit), _CMP_GE_OQ)) != 0;
    }
    // Inclusive prefix sum across the lanes.
    static D prefix(D x) {
        x = _mm256_add_pd(x, _mm256_blend_pd(_mm256_permute4x64_pd(x, 0x90), _mm256_setzero_pd(), 0x1));
        return _mm256_add_pd(x, _mm256_permute2f128_pd(x, x, 0x08));
    }
    // Lanes of x moved up by one, lane 0 taking lane 0 of `before`.
    static D shift_in(D x, D before) { return _mm256_blend_pd(_mm256_permute4x64_pd(x, 0x90), before, 0x1); }
    // The last lane in every lane.
    static D last(D x) { return _mm256_permute4x64_pd(x, 0xFF); }
    static D from_u16(const std::uint16_t* p) {
        return _mm256_cvtepi32_pd(_mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
    }
    // Lanes holding integers 0 .. 65535, as four samples.
    static void store_u16(std::uint16_t* p, D v) {
        const __m128i i = _mm256_cvttpd_epi32(v);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi32(i, i));
    }
};

// Eight singles per vector for bands of samples below 2^10 (exact_math.h), with the running sum
// of squares in 32-bit integers.
struct Narrow16 {
    using S = float;
    static constexpr bool narrow = true;
    static constexpr std::int32_t lanes = 8;
    using D = __m256;
    using I = __m256i;
    static D set1(double x) { return _mm256_set1_ps(static_cast<float>(x)); }
    static D load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, D v) { _mm256_storeu_ps(p, v); }
    static D add(D a, D b) { return _mm256_add_ps(a, b); }
    static D sub(D a, D b) { return _mm256_sub_ps(a, b); }
    static D mul(D a, D b) { return _mm256_mul_ps(a, b); }
    static D nmadd(D a, D b, D c) { return _mm256_fnmadd_ps(a, b, c); }
    static D div(D a, D b) { return _mm256_div_ps(a, b); }
    static D trunc(D a) { return _mm256_round_ps(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
    static D max(D a, D b) { return _mm256_max_ps(a, b); }
    static D min(D a, D b) { return _mm256_min_ps(a, b); }
    static D abs(D a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a); }
    static double largest(D a) {
        __m128 four = _mm_max_ps(_mm256_castps256_ps128(a), _mm256_extractf128_ps(a, 1));
        four = _mm_max_ps(four, _mm_movehl_ps(four, four));
        return _mm_cvtss_f32(_mm_max_ss(four, _mm_shuffle_ps(four, four, 0x1)));
    }
    static D first_lanes(D a, std::int32_t count) {
        const __m256i keep = _mm256_cmpgt_epi32(_mm256_set1_epi32(count), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        return _mm256_and_ps(a, _mm256_castsi256_ps(keep));
    }
    static D floor(D a) { return _mm256_floor_ps(a); }
    static D select_gt(D a, D b, D if_above, D otherwise) {
        return _mm256_blendv_ps(otherwise, if_above, _mm256_cmp_ps(a, b, _CMP_GT_OQ));
    }
    static bool any_ge(D a, float limit) {
        return _mm256_movemask_ps(_mm256_cmp_ps(a, _mm256_set1_ps(limit), _CMP_GE_OQ)) != 0;
    }
    static D shift_in(D x, D before) {
        return _mm256_blend_ps(_mm256_permutevar8x32_ps(x, _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6)), before, 0x1);
    }
    static D last(D x) { return _mm256_permutevar8x32_ps(x, _mm256_set1_epi32(7)); }
    static D from_u16(const std::uint16_t* p) {
        return _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
    }
    static void store_u16(std::uint16_t* p, D v) {
        const __m256i i = _mm256_cvttps_epi32(v);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p),
                         _mm_packus_epi32(_mm256_castsi256_si128(i), _mm256_extracti128_si256(i, 1)));
    }
    static I set1_i(std::int32_t x) { return _mm256_set1_epi32(x); }
    static I add_i(I a, I b) { return _mm256_add_epi32(a, b); }
    static I to_int(D a) { return _mm256_cvttps_epi32(a); }
    static void store_i(std::int32_t* p, I v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static I prefix_i(I x) {
        x = _mm256_add_epi32(x, _mm256_slli_si256(x, 4));
        x = _mm256_add_epi32(x, _mm256_slli_si256(x, 8));
        // The low half's last sum into every lane of the high half.
        return _mm256_add_epi32(x, _mm256_shuffle_epi32(_mm256_permute2x128_si256(x, x, 0x08), 0xFF));
    }
    static I last_i(I x) { return _mm256_permutevar8x32_epi32(x, _mm256_set1_epi32(7)); }
    static I max_i(I a, I b) { return _mm256_max_epi32(a, b); }
    static bool all_le_i(I a, std::int32_t limit) {
        return _mm256_movemask_epi8(_mm256_cmpgt_epi32(a, _mm256_set1_epi32(limit))) == 0;
    }
    // The same in singles, for sums of squares whose variance lies below 2^14 (exact_math.h).
    static D variance_single(const std::int32_t* q, D inv_area, D bias) {
        return floor(_mm256_fmadd_ps(_mm256_cvtepi32_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q))),
                                     inv_area, bias));
    }
    // floor((Q + A / 2) / A) of eight sums of squares, in doubles, as singles.
    static D variance(const std::int32_t* q, double inv_area, double bias) {
        const __m256d r = _mm256_set1_pd(inv_area);
        const __m256d b = _mm256_set1_pd(bias);
        const auto half = [&](const std::int32_t* at) {
            const __m256d x = _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
            return _mm256_cvtpd_ps(_mm256_floor_pd(_mm256_fmadd_pd(x, r, b)));
        };
        return _mm256_set_m128(half(q + 4), half(q));
    }
};

}  // namespace

#include "kernels/x86/smooth16_impl.inc"

}  // namespace dunmorel::x86::avx2_16
