// Entry points of the x86-64 vector kernels for 16-bit samples, one translation unit per
// instruction set; only the 16-bit dispatcher calls them, and only on a processor that has it.
#pragma once

#include "kernels/plane16.h"

namespace dunmorel::x86 {
namespace sse41_16 {
Smooth16Kernel smooth_rows16;
}
namespace avx2_16 {
Smooth16Kernel smooth_rows16;
}
namespace avx512_16 {
Smooth16Kernel smooth_rows16;
}
}  // namespace dunmorel::x86
