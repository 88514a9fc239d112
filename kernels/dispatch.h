// Run-time choice among the implementations of the hot plane kernels. The scalar reference
// is always built and always available; vector paths are built where the target allows and
// offered only on a processor that runs them. The best one is chosen on first use; tests and
// benchmarks can list the paths, call any of them directly, or force one for the public
// kernel functions.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "kernels/plane.h"

namespace dunmorel::dispatch {

using WindowVarianceFn = std::int32_t (*)(ConstPlaneView view, WindowRect rect);
using SmoothFn = void (*)(PlaneView dst, ConstPlaneView src, std::int32_t noise, std::int32_t rows, std::int32_t cols,
                          std::int32_t ygrid, std::int32_t xgrid, std::int32_t step);

using SmoothRowsFn = void (*)(PlaneView dst, ConstPlaneView src, std::int32_t noise, std::int32_t rows,
                              std::int32_t cols, std::int32_t ygrid, std::int32_t xgrid, std::int32_t step,
                              std::int32_t first_row, std::int32_t end_row);

struct KernelTable {
    WindowVarianceFn window_variance;
    SmoothFn smooth_interior;
    SmoothFn smooth_borders;
    // smooth_interior then smooth_borders, possibly sharing work between the two.
    SmoothFn smooth_plane;
    // Some rows of smooth_plane's result.
    SmoothRowsFn smooth_rows;
};

struct Implementation {
    const char* name;  // "reference", "sse41", "avx2", "avx512"
    const char* needs;  // what the processor must offer, for messages
    bool supported;  // whether this processor runs it
    KernelTable table;
};

// Every implementation built into this binary, the reference first, then in order of
// preference from the least to the most demanding.
std::span<const Implementation> implementations();

// The implementation of that name, or null if none was built.
const Implementation* find(std::string_view name);

// The implementation that the public kernel functions use now.
const Implementation& active();

// Makes the public kernel functions use the named implementation. Returns false, changing
// nothing, if it was not built or this processor cannot run it.
bool force(std::string_view name);

// Back to the best implementation that this processor runs.
void use_best();

}  // namespace dunmorel::dispatch
