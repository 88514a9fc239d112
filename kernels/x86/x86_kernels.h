// Entry points of the x86-64 vector kernels. Each set lives in a translation unit compiled for
// its own instruction set; only the dispatcher calls them, and only on a processor that has
// that instruction set.
#pragma once

#include "kernels/plane.h"

namespace dunmorel::x86 {

namespace sse41 {
SmoothKernel smooth_interior, smooth_rows;
}  // namespace sse41

namespace avx2 {
SmoothKernel smooth_interior, smooth_rows;
}  // namespace avx2

namespace avx512 {
SmoothKernel smooth_interior, smooth_rows;
}  // namespace avx512

}  // namespace dunmorel::x86
