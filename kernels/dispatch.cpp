#include "kernels/dispatch.h"

#include <atomic>
#include <vector>

#include "kernels/reference.h"
#if DUNMOREL_X86_SIMD
#include "kernels/x86/x86_kernels.h"
#endif

namespace dunmorel::dispatch {
namespace {

#if DUNMOREL_X86_SIMD
bool cpu_has(const char* what) {
    __builtin_cpu_init();
    const std::string_view w = what;
    if (w == "sse4.1") return __builtin_cpu_supports("sse4.1");
    if (w == "avx2+fma") return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    if (w == "avx512f+bw+dq+vl") {
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
    }
    return false;
}
#endif

void reference_plane(PlaneView dst, ConstPlaneView src, std::int32_t noise, std::int32_t rows, std::int32_t cols,
                     std::int32_t ygrid, std::int32_t xgrid, std::int32_t step) {
    reference::smooth_interior(dst, src, noise, rows, cols, ygrid, xgrid, step);
    reference::smooth_borders(dst, src, noise, rows, cols, ygrid, xgrid, step);
}

// window_variance keeps the reference in every table: it measures a few windows per
// calibration and searches the reference frame once per clip, never runs per frame, and a
// vector version would save a few milliseconds per clip at most.
std::vector<Implementation> build_list() {
    std::vector<Implementation> list;
    list.push_back({"reference",
                    "nothing",
                    true,
                    {reference::window_variance, reference::smooth_interior, reference::smooth_borders, reference_plane,
                     reference::smooth_rows}});
#if DUNMOREL_X86_SIMD
    list.push_back({"sse41",
                    "sse4.1",
                    cpu_has("sse4.1"),
                    {reference::window_variance, x86::sse41::smooth_interior, x86::sse41::smooth_borders,
                     x86::sse41::smooth_plane, x86::sse41::smooth_rows}});
    list.push_back({"avx2",
                    "avx2+fma",
                    cpu_has("avx2+fma"),
                    {reference::window_variance, x86::avx2::smooth_interior, x86::avx2::smooth_borders,
                     x86::avx2::smooth_plane, x86::avx2::smooth_rows}});
    list.push_back({"avx512",
                    "avx512f+bw+dq+vl",
                    cpu_has("avx512f+bw+dq+vl"),
                    {reference::window_variance, x86::avx512::smooth_interior, x86::avx512::smooth_borders,
                     x86::avx512::smooth_plane, x86::avx512::smooth_rows}});
#endif
    return list;
}

const std::vector<Implementation>& list() {
    static const std::vector<Implementation> all = build_list();
    return all;
}

const Implementation* best() {
    const Implementation* chosen = &list().front();
    for (const Implementation& impl : list()) {
        if (impl.supported) chosen = &impl;
    }
    return chosen;
}

// Read on every kernel call, possibly from several threads; written by the first call and by
// force() / use_best().
std::atomic<const Implementation*> current{nullptr};

}  // namespace

std::span<const Implementation> implementations() { return list(); }

const Implementation* find(std::string_view name) {
    for (const Implementation& impl : list()) {
        if (name == impl.name) return &impl;
    }
    return nullptr;
}

const Implementation& active() {
    const Implementation* impl = current.load(std::memory_order_acquire);
    if (impl == nullptr) {
        // Every thread that races here computes the same answer.
        impl = best();
        current.store(impl, std::memory_order_release);
    }
    return *impl;
}

bool force(std::string_view name) {
    const Implementation* impl = find(name);
    if (impl == nullptr || !impl->supported) return false;
    current.store(impl, std::memory_order_release);
    return true;
}

void use_best() { current.store(best(), std::memory_order_release); }

}  // namespace dunmorel::dispatch
