// Vector kernels for processors with AVX2 and FMA: eight 32-bit lanes, four doubles. This unit
// is compiled with -mavx2 -mfma and its functions run only after the dispatcher has found
// both on the processor; it defines no function with external linkage other than its entry
// points, so no code of it can stand in for a same-named function elsewhere.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/reference.h"
#include "kernels/x86/exact_math.h"
#include "kernels/x86/x86_kernels.h"

namespace dunmorel::x86::avx2 {
namespace {

struct Vec {
    static constexpr std::int32_t lanes = 8;
    using I = __m256i;
    using D = __m256d;
    using F = __m256;

    static I load(const std::int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static void store(std::int32_t* p, I v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static I set1(std::int32_t x) { return _mm256_set1_epi32(x); }
    static I add(I a, I b) { return _mm256_add_epi32(a, b); }
    static I sub(I a, I b) { return _mm256_sub_epi32(a, b); }
    static I mullo(I a, I b) { return _mm256_mullo_epi32(a, b); }
    // a * b for 0 <= a < 2^15 and |b| <= 2^15 - 1 (exact_math.h): one multiply-add of 16-bit halves.
    static I mul16(I a, I b) { return _mm256_madd_epi16(a, b); }
    static I shr_mean(I a) { return _mm256_srli_epi32(a, mean_shift); }
    static I select(I mask, I if_set, I if_clear) { return _mm256_blendv_epi8(if_clear, if_set, mask); }
    static std::int32_t first(I v) { return _mm_cvtsi128_si32(_mm256_castsi256_si128(v)); }

    // Inclusive prefix sum across the eight lanes.
    static I prefix(I x) {
        x = _mm256_add_epi32(x, _mm256_slli_si256(x, 4));
        x = _mm256_add_epi32(x, _mm256_slli_si256(x, 8));
        const I low_total = _mm256_shuffle_epi32(x, 0xFF);
        return _mm256_add_epi32(x, _mm256_permute2x128_si256(low_total, low_total, 0x08));
    }
    static I last(I x) { return _mm256_permutevar8x32_epi32(x, _mm256_set1_epi32(7)); }
    // Lanes of x moved up by one, lane 0 taking the last lane of `before`.
    static I shift_in(I x, I before) { return _mm256_alignr_epi8(x, _mm256_permute2x128_si256(before, x, 0x21), 12); }
    // Loads at each column offset: lane shifts across 128-bit halves take two shuffles here, and
    // measured slower than the loads they would replace.
    static constexpr bool window_in_registers = false;

    static I bytes(const std::uint8_t* p) {
        return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    }
    // Low byte of each lane.
    static void store_bytes(std::uint8_t* p, I v) {
        const I pick = _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8, 12, -1,
                                        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
        const I packed =
            _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(v, pick), _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(packed));
    }

    static D dset1(double x) { return _mm256_set1_pd(x); }
    static D lo(I v) { return _mm256_cvtepi32_pd(_mm256_castsi256_si128(v)); }
    static D hi(I v) { return _mm256_cvtepi32_pd(_mm256_extracti128_si256(v, 1)); }
    static I trunc2(D lo, D hi) { return _mm256_set_m128i(_mm256_cvttpd_epi32(hi), _mm256_cvttpd_epi32(lo)); }
    static D dadd(D a, D b) { return _mm256_add_pd(a, b); }
    static D dmul(D a, D b) { return _mm256_mul_pd(a, b); }
    static D madd(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
    static D ddiv(D a, D b) { return _mm256_div_pd(a, b); }
    static D dmax(D a, D b) { return _mm256_max_pd(a, b); }
    static D dfloor(D a) { return _mm256_floor_pd(a); }
    // Lanes of lo then hi where the value exceeds `than`, as a mask of eight 32-bit lanes.
    static I dgt2(D lo, D hi, D than) {
        const __m256 both = _mm256_shuffle_ps(_mm256_castpd_ps(_mm256_cmp_pd(lo, than, _CMP_GT_OQ)),
                                              _mm256_castpd_ps(_mm256_cmp_pd(hi, than, _CMP_GT_OQ)), 0x88);
        return _mm256_permute4x64_epi64(_mm256_castps_si256(both), 0xD8);
    }

    static F fset1(float x) { return _mm256_set1_ps(x); }
    static F narrow(D lo, D hi) { return _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo)); }
    static bool all_below(F a, F limit) { return _mm256_movemask_ps(_mm256_cmp_ps(a, limit, _CMP_LT_OQ)) == 0xFF; }
    // if_above where a > than, otherwise `otherwise`.
    static I select_above(F a, F than, I if_above, I otherwise) {
        return _mm256_blendv_epi8(otherwise, if_above, _mm256_castps_si256(_mm256_cmp_ps(a, than, _CMP_GT_OQ)));
    }
    static F to_float(I a) { return _mm256_cvtepi32_ps(a); }
    static F fmax(F a, F b) { return _mm256_max_ps(a, b); }
    static F fdiv(F a, F b) { return _mm256_div_ps(a, b); }
    static I ftrunc(F a) { return _mm256_cvttps_epi32(a); }
    static bool all_not_above(I a, I limit) {
        return _mm256_testz_si256(_mm256_cmpgt_epi32(a, limit), _mm256_cmpgt_epi32(a, limit)) != 0;
    }
    static F fmadd(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
    static F ffloor(F a) { return _mm256_floor_ps(a); }
    static I max(I a, I b) { return _mm256_max_epi32(a, b); }
    // Thirty-two lanes, each already within 0..255, as thirty-two bytes.
    static void store_bytes4(std::uint8_t* p, I a, I b, I c, I d) {
        const I bytes = _mm256_packus_epi16(_mm256_packus_epi32(a, b), _mm256_packus_epi32(c, d));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p),
                            _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
    }
    // Sixteen lanes, each already within 0..255, as sixteen bytes.
    static void store_bytes2(std::uint8_t* p, I a, I b) {
        const I bytes = _mm256_packus_epi16(_mm256_packus_epi32(a, b), _mm256_setzero_si256());
        const I ordered = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 0, 0, 0, 0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(ordered));
    }
};

}  // namespace

#include "kernels/x86/smooth_impl.inc"

}  // namespace dunmorel::x86::avx2
