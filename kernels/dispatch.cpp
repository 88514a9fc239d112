#include "kernels/dispatch.h"

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

std::vector<Implementation> build_list() {
    std::vector<Implementation> list;
    list.push_back({"reference", "nothing", true, {reference::smooth_interior, reference::smooth_rows}});
#if DUNMOREL_X86_SIMD
    list.push_back({"sse41", "sse4.1", cpu_has("sse4.1"), {x86::sse41::smooth_interior, x86::sse41::smooth_rows}});
    list.push_back({"avx2", "avx2+fma", cpu_has("avx2+fma"), {x86::avx2::smooth_interior, x86::avx2::smooth_rows}});
    list.push_back({"avx512",
                    "avx512f+bw+dq+vl",
                    cpu_has("avx512f+bw+dq+vl"),
                    {x86::avx512::smooth_interior, x86::avx512::smooth_rows}});
#endif
    return list;
}

const std::vector<Implementation>& list() {
    static const std::vector<Implementation> all = build_list();
    return all;
}

}  // namespace

std::span<const Implementation> implementations() { return list(); }

const Implementation* find(std::string_view name) {
    for (const Implementation& impl : list()) {
        if (name == impl.name) return &impl;
    }
    return nullptr;
}

const Implementation& best() {
    // Chosen on first use; a static's initialisation is safe when threads race to it.
    static const Implementation* const chosen = [] {
        const Implementation* pick = &list().front();
        for (const Implementation& impl : list()) {
            if (impl.supported) pick = &impl;
        }
        return pick;
    }();
    return *chosen;
}

}  // namespace dunmorel::dispatch
