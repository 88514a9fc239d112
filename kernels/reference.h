// The portable scalar kernels: straight code that follows the arithmetic to the letter. Every
// faster path is checked against these.
#pragma once

#include "kernels/plane.h"

namespace dunmorel::reference {

std::int32_t window_variance(ConstPlaneView view, WindowRect rect);
void smooth_interior(PlaneView dst, ConstPlaneView src, std::int32_t noise, std::int32_t rows, std::int32_t cols,
                     std::int32_t ygrid, std::int32_t xgrid, std::int32_t step);
void smooth_borders(PlaneView dst, ConstPlaneView src, std::int32_t noise, std::int32_t rows, std::int32_t cols,
                    std::int32_t ygrid, std::int32_t xgrid, std::int32_t step);
void smooth_rows(PlaneView dst, ConstPlaneView src, std::int32_t noise, std::int32_t rows, std::int32_t cols,
                 std::int32_t ygrid, std::int32_t xgrid, std::int32_t step, std::int32_t first_row,
                 std::int32_t end_row);

}  // namespace dunmorel::reference
