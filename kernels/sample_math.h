// Small integer rules shared by the scalar kernels, by any faster path that must agree with
// them to the byte, and by the tests that pin them down.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/plane.h"

namespace dunmorel::detail {

// The kernels see only planes whose samples are adjacent; the step field of a view is the
// engine's, for frames it has not gathered yet, and is not consulted here.
template <typename Sample>
Sample& sample_at(BasicPlaneView<Sample> view, std::int32_t row, std::int32_t col) {
    return view.base[static_cast<std::ptrdiff_t>(row) * view.pitch + col];
}

// Mirrors an index into 0..n-1 without repeating the edge: -1 -> 1, n -> n - 2. Valid for
// indices at most n - 1 beyond either edge, which holds whenever the plane is at least as
// large as the neighbourhood.
inline std::int32_t reflect(std::int32_t t, std::int32_t n) {
    if (t < 0) return -t;
    if (t > n - 1) return 2 * (n - 1) - t;
    return t;
}

// The samples of a whole pass outside smooth_interior's rectangle that lie in rows first .. end - 1,
// for any sample width: compute(r, c) for each sample of the edge strips (left and right strips
// row by row down to the row that smooth_interior leaves out, then the top and the hy + 1 rows high
// bottom strip column by column), then copy(r, c) for each sample of the corner blocks, which are
// never smoothed and take the source over whatever the strips wrote there.
template <typename Compute, typename Copy>
void for_each_border_sample(std::int32_t rows, std::int32_t cols, std::int32_t ygrid, std::int32_t xgrid,
                            std::int32_t first, std::int32_t end, Compute compute, Copy copy) {
    const std::int32_t hx = xgrid / 2;
    const std::int32_t hy = ygrid / 2;
    auto wanted = [&](std::int32_t r) { return r >= first && r < end; };
    for (std::int32_t r = first; r <= rows - hy - 1 && r < end; ++r) {
        for (std::int32_t c = 0; c < hx; ++c) compute(r, c);
        for (std::int32_t c = cols - 1; c >= cols - hx; --c) compute(r, c);
    }
    for (std::int32_t c = 0; c <= cols - hx - 1; ++c) {
        for (std::int32_t r = 0; r < hy; ++r)
            if (wanted(r)) compute(r, c);
        for (std::int32_t r = rows - 1; r >= rows - hy - 1; --r)
            if (wanted(r)) compute(r, c);
    }
    const std::int32_t corner_rows[2] = {0, rows - hy};
    const std::int32_t corner_cols[2] = {0, cols - hx};
    for (const std::int32_t r0 : corner_rows)
        for (const std::int32_t c0 : corner_cols)
            for (std::int32_t r = r0; r < r0 + hy; ++r)
                if (wanted(r))
                    for (std::int32_t c = c0; c < c0 + hx; ++c) copy(r, c);
}

// Neighbourhood mean and variance rounding of the smoothing kernels: half the divisor,
// truncated, is added before a division that truncates towards zero. Not the same rounding as
// window_variance's.
inline std::int64_t neighbourhood_round(std::int64_t sum, std::int32_t area) { return (sum + area / 2) / area; }

// New value of the centre sample `c` of a neighbourhood with rounded mean `m` and rounded
// variance `v`, before its low 8 bits are stored. Where the neighbourhood varies more than the
// noise, the sample moves towards the mean by noise / v; elsewhere (a running variance that has
// drifted to 0 or below included) it becomes the mean.
//
// The product is formed in 64 bits: for noise up to 16257 * 500 it equals the 32-bit product,
// and a larger noise then stays defined. A noise below 0 is outside the callers' contract; with
// it v could pass the test at exactly 0, so v == 0 takes the mean rather than dividing by zero.
inline std::int32_t smoothed_sample(std::int32_t c, std::int64_t m, std::int64_t v, std::int32_t noise) {
    if (v > noise && v != 0) {
        return static_cast<std::int32_t>(c - ((c - m) * noise) / v);
    }
    return static_cast<std::int32_t>(m);
}

// How one calibration trial moves the pass count: -1 if the trial raised the variance above
// the noise it ran with, +1 if it lowered it strictly below (100 - limit) percent of that noise,
// 0 otherwise. The percentage is taken in 64 bits so that no noise value can overflow it; for
// every measured variance the result equals the 32-bit one.
inline std::int32_t pass_count_change(std::int32_t measured, std::int32_t noise, std::int32_t limit) {
    if (measured > noise) return -1;
    const std::int64_t threshold = (static_cast<std::int64_t>(100 - limit) * noise) / 100;
    if (measured < threshold) return 1;
    return 0;
}

}  // namespace dunmorel::detail
