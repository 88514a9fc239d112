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

#include "kernels/reference16.h"
#include "kernels/x86/x86_kernels16.h"

namespace dunmorel::x86::avx512_16 {
namespace {

struct Vec16 {
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

}  // namespace

#include "kernels/x86/smooth16_impl.inc"

}  // namespace dunmorel::x86::avx512_16
