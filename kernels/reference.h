// The portable scalar kernels: straight code that follows the arithmetic to the letter. Every
// faster path is checked against these.
#pragma once

#include "kernels/plane.h"

namespace dunmorel::reference {

std::int32_t window_variance(ConstPlaneView view, WindowRect rect);
SmoothKernel smooth_interior;
// The edge strips of a pass, from mirrored neighbourhoods; the corner blocks are copied.
SmoothKernel smooth_borders;
SmoothKernel smooth_rows;

}  // namespace dunmorel::reference
