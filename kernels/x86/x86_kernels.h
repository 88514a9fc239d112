// Entry points of the x86-64 vector kernels. Each set lives in a translation unit compiled for
// its own instruction set; only the dispatcher calls them, and only on a processor that has
// that instruction set.
#pragma once

#include <cstdint>

#include "kernels/plane.h"

namespace dunmorel::x86 {

namespace sse41 {
#include "kernels/x86/entry_points.inc"
}  // namespace sse41

namespace avx2 {
#include "kernels/x86/entry_points.inc"
}  // namespace avx2

namespace avx512 {
#include "kernels/x86/entry_points.inc"
}  // namespace avx512

}  // namespace dunmorel::x86
