#include "kernels/plane16.h"

#include <vector>

#include "kernels/dispatch.h"
#include "kernels/dispatch16.h"
#include "kernels/reference16.h"
#include "kernels/sample_math.h"
#if DUNMOREL_X86_SIMD
#include "kernels/x86/x86_kernels16.h"
#endif

namespace dunmorel {

bool smooth16_args_valid(const Smooth16Args& a) {
    // A grid below 1 divides by zero and a plane smaller than it sends neighbourhoods outside;
    // a depth outside 9..16 or a noise past max_noise16 leaves the proven widths. None of these
    // is ever passed; if one is, nothing is written.
    return a.xgrid >= 1 && a.ygrid >= 1 && a.xgrid <= 11 && a.ygrid <= 11 && a.rows >= a.ygrid && a.cols >= a.xgrid &&
           a.cols <= max_columns16 && a.bits >= 9 && a.bits <= 16 && a.noise >= 0 && a.noise <= max_noise16;
}

void round_to_8_bits(PlaneView dst, ConstPlane16View src, std::int32_t bits) {
    for (std::int32_t r = 0; r < src.height; ++r)
        for (std::int32_t c = 0; c < src.width; ++c)
            detail::sample_at(dst, r, c) = to_8_bits(detail::sample_at(src, r, c), bits);
}

namespace dispatch16 {
namespace {

std::vector<Implementation16> build_list() {
    std::vector<Implementation16> list{{"reference", true, reference16::smooth_rows}};
#if DUNMOREL_X86_SIMD
    // Each needs what the 8-bit path of its name needs (AVX2 with FMA, AVX-512 F/BW/DQ/VL).
    const auto runs = [](const char* name) {
        const dispatch::Implementation* impl = dispatch::find(name);
        return impl != nullptr && impl->supported;
    };
    list.push_back({"sse41", runs("sse41"), x86::sse41_16::smooth_rows16});
    list.push_back({"avx2", runs("avx2"), x86::avx2_16::smooth_rows16});
    list.push_back({"avx512", runs("avx512"), x86::avx512_16::smooth_rows16});
#endif
    return list;
}

const std::vector<Implementation16>& list() {
    static const std::vector<Implementation16> all = build_list();
    return all;
}

}  // namespace

std::span<const Implementation16> implementations() { return list(); }

const Implementation16* find(std::string_view name) {
    for (const Implementation16& impl : list())
        if (name == impl.name) return &impl;
    return nullptr;
}

const Implementation16& best() {
    static const Implementation16& chosen = []() -> const Implementation16& {
        const Implementation16* impl = find(dispatch::best().name);
        return impl != nullptr && impl->supported ? *impl : list().front();
    }();
    return chosen;
}

}  // namespace dispatch16

void smooth_rows16(const Smooth16Args& a) { dispatch16::best().smooth_rows(a); }

void smooth_plane16(const Smooth16Args& a) {
    Smooth16Args all = a;
    all.first_row = 0;
    all.end_row = a.rows;
    smooth_rows16(all);
}

}  // namespace dunmorel
