// Entry points of the x86-64 vector kernels. Each set lives in a translation unit compiled for
// its own instruction set; only the dispatcher calls them, and only on a processor that has
// that instruction set.
#pragma once

#include <cstdint>

#include "kernels/plane.h"

namespace dunmorel::x86 {

namespace sse41 {
void smooth_interior(PlaneView dst, ConstPlaneView src, std::int32_t noise, std::int32_t rows,
                     std::int32_t cols, std::int32_t ygrid, std::int32_t xgrid, std::int32_t step);
void smooth_borders(PlaneView dst, ConstPlaneView src, std::int32_t noise, std::int32_t rows,
                    std::int32_t cols, std::int32_t ygrid, std::int32_t xgrid, std::int32_t step);
void smooth_plane(PlaneView dst, ConstPlaneView src, std::int32_t noise, std::int32_t rows,
                  std::int32_t cols, std::int32_t ygrid, std::int32_t xgrid, std::int32_t step);
}  // namespace sse41

namespace avx2 {
void smooth_interior(PlaneView dst, ConstPlaneView src, std::int32_t noise, std::int32_t rows,
                     std::int32_t cols, std::int32_t ygrid, std::int32_t xgrid, std::int32_t step);
void smooth_borders(PlaneView dst, ConstPlaneView src, std::int32_t noise, std::int32_t rows,
                    std::int32_t cols, std::int32_t ygrid, std::int32_t xgrid, std::int32_t step);
void smooth_plane(PlaneView dst, ConstPlaneView src, std::int32_t noise, std::int32_t rows,
                  std::int32_t cols, std::int32_t ygrid, std::int32_t xgrid, std::int32_t step);
}  // namespace avx2

}  // namespace dunmorel::x86
