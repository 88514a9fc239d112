// Vector kernels for processors with AVX-512 (foundation, byte/word, doubleword/quadword and
// vector-length extensions): sixteen 32-bit lanes, eight doubles, comparisons into mask
// registers. This unit is compiled with the matching -mavx512* flags and its functions run
// only after the dispatcher has found all four on the processor; it defines no function with
// external linkage other than its entry points.
//
// The shared kernel code treats a comparison result as a vector of all-ones or all-zero
// lanes; here that vector is made from the mask register and turned back into one where a
// blend needs it, which costs one instruction each way and keeps the shared code unchanged.
//
// GCC 12's AVX-512 intrinsics start many results from a self-initialised "undefined" vector,
// which its own uninitialised-use warnings then report at every call. Those two warnings are
// off in this unit only; the shared kernel code is still checked by them in the other units.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/reference.h"
#include "kernels/x86/exact_math.h"
#include "kernels/x86/x86_kernels.h"

namespace dunmorel::x86::avx512 {
namespace {

struct Vec {
    static constexpr std::int32_t lanes = 16;
    using I = __m512i;
    using D = __m512d;
    using F = __m512;

    static I load(const std::int32_t* p) { return _mm512_loadu_si512(p); }
    static void store(std::int32_t* p, I v) { _mm512_storeu_si512(p, v); }
    static I set1(std::int32_t x) { return _mm512_set1_epi32(x); }
    static I add(I a, I b) { return _mm512_add_epi32(a, b); }
    static I sub(I a, I b) { return _mm512_sub_epi32(a, b); }
    static I mullo(I a, I b) { return _mm512_mullo_epi32(a, b); }
    // a * b for 0 <= a < 2^15 and |b| <= 2^15 - 1 (exact_math.h): one multiply-add of 16-bit halves.
    static I mul16(I a, I b) { return _mm512_madd_epi16(a, b); }
    static I shr_mean(I a) { return _mm512_srli_epi32(a, mean_shift); }
    static I select(I mask, I if_set, I if_clear) {
        return _mm512_mask_blend_epi32(_mm512_movepi32_mask(mask), if_clear, if_set);
    }
    static std::int32_t first(I v) { return _mm_cvtsi128_si32(_mm512_castsi512_si128(v)); }

    // Lane i of `x`, moved up by `by` lanes, zeros below.
    template <int by>
    static I up(I x) {
        return _mm512_alignr_epi32(x, _mm512_setzero_si512(), 16 - by);
    }
    // Inclusive prefix sum across the sixteen lanes.
    static I prefix(I x) {
        x = _mm512_add_epi32(x, up<1>(x));
        x = _mm512_add_epi32(x, up<2>(x));
        x = _mm512_add_epi32(x, up<4>(x));
        return _mm512_add_epi32(x, up<8>(x));
    }
    static I last(I x) { return _mm512_permutexvar_epi32(_mm512_set1_epi32(15), x); }
    // Lanes by .. 15 of lo, then lanes 0 .. by - 1 of hi: one shuffle, where an unaligned load
    // of sixteen lanes straddles two cache lines and loads at half the rate.
    template <int by>
    static I align(I lo, I hi) {
        return _mm512_alignr_epi32(hi, lo, by);
    }
    // Lanes of x moved up by one, lane 0 taking the last lane of `before`.
    static I shift_in(I x, I before) { return align<15>(before, x); }
    static constexpr bool window_in_registers = true;

    static I bytes(const std::uint8_t* p) {
        return _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
    // Low byte of each lane.
    static void store_bytes(std::uint8_t* p, I v) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm512_cvtepi32_epi8(v));
    }

    static D dset1(double x) { return _mm512_set1_pd(x); }
    static D lo(I v) { return _mm512_cvtepi32_pd(_mm512_castsi512_si256(v)); }
    static D hi(I v) { return _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(v, 1)); }
    static I trunc2(D lo, D hi) {
        return _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvttpd_epi32(lo)), _mm512_cvttpd_epi32(hi), 1);
    }
    static D dadd(D a, D b) { return _mm512_add_pd(a, b); }
    static D dmul(D a, D b) { return _mm512_mul_pd(a, b); }
    static D madd(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
    static D ddiv(D a, D b) { return _mm512_div_pd(a, b); }
    static D dmax(D a, D b) { return _mm512_max_pd(a, b); }
    static D dfloor(D a) { return _mm512_roundscale_pd(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
    // Lanes of lo then hi where the value exceeds `than`, as a mask of sixteen 32-bit lanes.
    static I dgt2(D lo, D hi, D than) {
        const auto low = static_cast<unsigned>(_mm512_cmp_pd_mask(lo, than, _CMP_GT_OQ));
        const auto high = static_cast<unsigned>(_mm512_cmp_pd_mask(hi, than, _CMP_GT_OQ));
        return _mm512_movm_epi32(static_cast<__mmask16>(low | (high << 8)));
    }

    static F fset1(float x) { return _mm512_set1_ps(x); }
    static F narrow(D lo, D hi) {
        return _mm512_insertf32x8(_mm512_castps256_ps512(_mm512_cvtpd_ps(lo)), _mm512_cvtpd_ps(hi), 1);
    }
    static bool all_below(F a, F limit) { return _mm512_cmp_ps_mask(a, limit, _CMP_LT_OQ) == 0xFFFF; }
    // if_above where a > than, otherwise `otherwise`; the comparison stays in a mask register.
    static I select_above(F a, F than, I if_above, I otherwise) {
        return _mm512_mask_blend_epi32(_mm512_cmp_ps_mask(a, than, _CMP_GT_OQ), otherwise, if_above);
    }
    static F to_float(I a) { return _mm512_cvtepi32_ps(a); }
    static F fmax(F a, F b) { return _mm512_max_ps(a, b); }
    static F fdiv(F a, F b) { return _mm512_div_ps(a, b); }
    static I ftrunc(F a) { return _mm512_cvttps_epi32(a); }
    static bool all_not_above(I a, I limit) { return _mm512_cmpgt_epi32_mask(a, limit) == 0; }
    static F fmadd(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }
    static F ffloor(F a) { return _mm512_roundscale_ps(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
    static I max(I a, I b) { return _mm512_max_epi32(a, b); }
    // Sixty-four lanes, each already within 0..255, as sixty-four bytes.
    static void store_bytes4(std::uint8_t* p, I a, I b, I c, I d) {
        const I bytes = _mm512_packus_epi16(_mm512_packus_epi32(a, b), _mm512_packus_epi32(c, d));
        const I order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
        _mm512_storeu_si512(p, _mm512_permutexvar_epi32(order, bytes));
    }
    // Thirty-two lanes, each already within 0..255, as thirty-two bytes.
    static void store_bytes2(std::uint8_t* p, I a, I b) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm512_cvtepi32_epi8(a));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16), _mm512_cvtepi32_epi8(b));
    }
};

}  // namespace

#include "kernels/x86/smooth_impl.inc"

}  // namespace dunmorel::x86::avx512
