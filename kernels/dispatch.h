// Run-time choice among the implementations of the smoothing kernels. The scalar reference is
// always built and always available; vector paths are built where the target allows and
// offered only on a processor that runs them. The product's kernel functions (plane.h) use
// the best one, chosen once; tests and benchmarks name the implementation they want and call
// its table directly.
#pragma once

#include <span>
#include <string_view>

#include "kernels/plane.h"

namespace dunmorel::dispatch {

// What the product calls per implementation: the calibration's trial passes and the pass
// loop's row ranges. A whole pass is smooth_rows over every row.
struct KernelTable {
    SmoothKernel* smooth_interior;
    SmoothKernel* smooth_rows;
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

// The most demanding implementation that this processor runs, which the product's kernel
// functions use.
const Implementation& best();

}  // namespace dunmorel::dispatch
