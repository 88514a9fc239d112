// Vector kernels for processors with SSE4.1: four 32-bit lanes, two doubles, no fused
// multiply-add. This unit is compiled with -msse4.1 and its functions run only after the
// dispatcher has found SSE4.1 on the processor; it defines no function with external linkage
// other than its entry points.
#include <smmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/reference.h"
#include "kernels/x86/exact_math.h"
#include "kernels/x86/x86_kernels.h"

namespace dunmorel::x86::sse41 {
namespace {

struct Vec {
    static constexpr std::int32_t lanes = 4;
    using I = __m128i;
    using D = __m128d;
    using F = __m128;

    static I load(const std::int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static void store(std::int32_t* p, I v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    static I set1(std::int32_t x) { return _mm_set1_epi32(x); }
    static I add(I a, I b) { return _mm_add_epi32(a, b); }
    static I sub(I a, I b) { return _mm_sub_epi32(a, b); }
    static I mullo(I a, I b) { return _mm_mullo_epi32(a, b); }
    // a * b for 0 <= a < 2^15 and |b| <= 2^15 - 1 (exact_math.h): one multiply-add of 16-bit halves.
    static I mul16(I a, I b) { return _mm_madd_epi16(a, b); }
    static I shr_mean(I a) { return _mm_srli_epi32(a, mean_shift); }
    static I select(I mask, I if_set, I if_clear) { return _mm_blendv_epi8(if_clear, if_set, mask); }
    static std::int32_t first(I v) { return _mm_cvtsi128_si32(v); }

    static I prefix(I x) {
        x = _mm_add_epi32(x, _mm_slli_si128(x, 4));
        return _mm_add_epi32(x, _mm_slli_si128(x, 8));
    }
    static I last(I x) { return _mm_shuffle_epi32(x, 0xFF); }
    // Lanes of x moved up by one, lane 0 taking the last lane of `before`.
    static I shift_in(I x, I before) { return _mm_alignr_epi8(x, before, 12); }
    // Loads at each column offset: few sixteen-byte loads straddle a cache line, and the lane
    // shifts that would replace them measured slower.
    static constexpr bool window_in_registers = false;

    static I bytes(const std::uint8_t* p) {
        std::int32_t word;
        std::memcpy(&word, p, sizeof word);
        return _mm_cvtepu8_epi32(_mm_cvtsi32_si128(word));
    }
    static void store_bytes(std::uint8_t* p, I v) {
        const I pick = _mm_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
        const std::int32_t word = _mm_cvtsi128_si32(_mm_shuffle_epi8(v, pick));
        std::memcpy(p, &word, sizeof word);
    }

    static D dset1(double x) { return _mm_set1_pd(x); }
    static D lo(I v) { return _mm_cvtepi32_pd(v); }
    static D hi(I v) { return _mm_cvtepi32_pd(_mm_shuffle_epi32(v, 0xEE)); }
    static I trunc2(D lo, D hi) { return _mm_unpacklo_epi64(_mm_cvttpd_epi32(lo), _mm_cvttpd_epi32(hi)); }
    static D dadd(D a, D b) { return _mm_add_pd(a, b); }
    static D dmul(D a, D b) { return _mm_mul_pd(a, b); }
    // Two roundings instead of one; the variance rounding leaves room for both.
    static D madd(D a, D b, D c) { return _mm_add_pd(_mm_mul_pd(a, b), c); }
    static D ddiv(D a, D b) { return _mm_div_pd(a, b); }
    static D dmax(D a, D b) { return _mm_max_pd(a, b); }
    static D dfloor(D a) { return _mm_floor_pd(a); }
    static I dgt2(D lo, D hi, D than) {
        return _mm_castps_si128(
            _mm_shuffle_ps(_mm_castpd_ps(_mm_cmpgt_pd(lo, than)), _mm_castpd_ps(_mm_cmpgt_pd(hi, than)), 0x88));
    }

    static F fset1(float x) { return _mm_set1_ps(x); }
    static F narrow(D lo, D hi) { return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi)); }
    static bool all_below(F a, F limit) { return _mm_movemask_ps(_mm_cmplt_ps(a, limit)) == 0xF; }
    // if_above where a > than, otherwise `otherwise`.
    static I select_above(F a, F than, I if_above, I otherwise) {
        return _mm_blendv_epi8(otherwise, if_above, _mm_castps_si128(_mm_cmpgt_ps(a, than)));
    }
    static F to_float(I a) { return _mm_cvtepi32_ps(a); }
    static F fmax(F a, F b) { return _mm_max_ps(a, b); }
    static F fdiv(F a, F b) { return _mm_div_ps(a, b); }
    static I ftrunc(F a) { return _mm_cvttps_epi32(a); }
    static bool all_not_above(I a, I limit) {
        const I above = _mm_cmpgt_epi32(a, limit);
        return _mm_testz_si128(above, above) != 0;
    }
    // Two roundings; the single-precision variance rounding leaves room for both.
    static F fmadd(F a, F b, F c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
    static F ffloor(F a) { return _mm_floor_ps(a); }
    static I max(I a, I b) { return _mm_max_epi32(a, b); }
    // Sixteen lanes, each already within 0..255, as sixteen bytes.
    static void store_bytes4(std::uint8_t* p, I a, I b, I c, I d) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p),
                         _mm_packus_epi16(_mm_packus_epi32(a, b), _mm_packus_epi32(c, d)));
    }
    // Eight lanes, each already within 0..255, as eight bytes.
    static void store_bytes2(std::uint8_t* p, I a, I b) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(_mm_packus_epi32(a, b), _mm_setzero_si128()));
    }
};

}  // namespace

#include "kernels/x86/smooth_impl.inc"

}  // namespace dunmorel::x86::sse41
