// The scalar 16-bit kernels, every formula written out in integers; the vector paths are
// checked against these.
#pragma once

#include "kernels/plane16.h"

namespace dunmorel::reference16 {

// Source rows 0 .. rows - 1, destination rows hy .. rows - ygrid + hy - 1, as smooth_interior.
Smooth16Kernel smooth_interior;
// The edge strips and corner blocks of a whole pass that lie in rows first_row .. end_row - 1.
Smooth16Kernel smooth_border_rows;
Smooth16Kernel smooth_rows;
Smooth16Kernel smooth_plane;

// The output rule at b bits, shared with the vector paths for the samples they do one at a
// time.
std::uint16_t smoothed16(std::int64_t c, std::int64_t m, std::int64_t v, std::int64_t noise, std::int32_t max);

}  // namespace dunmorel::reference16
