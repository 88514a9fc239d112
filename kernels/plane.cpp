#include "kernels/plane.h"

#include "kernels/dispatch.h"
#include "kernels/reference.h"
#include "kernels/sample_math.h"

namespace dunmorel {

// The smoothing kernels go through the implementation chosen at run time for this processor;
// everything else in this file calls these entry points, never an implementation directly.
// window_variance has no vector version: it measures a few windows per calibration and
// searches the reference frame once per clip, never per frame.

std::int32_t window_variance(ConstPlaneView view, WindowRect rect) { return reference::window_variance(view, rect); }

void smooth_interior(const SmoothArgs& args) { dispatch::best().table.smooth_interior(args); }

void smooth_rows(const SmoothArgs& args) { dispatch::best().table.smooth_rows(args); }

void smooth_plane(const SmoothArgs& args) {
    SmoothArgs all = args;
    all.first_row = 0;
    all.end_row = args.rows;
    dispatch::best().table.smooth_rows(all);
}

void fill_margins(PlaneView view, std::int32_t rows, std::int32_t cols, std::int32_t ygrid, std::int32_t xgrid) {
    const std::int32_t hx = xgrid / 2;
    const std::int32_t hy = ygrid / 2;
    // A region narrower than both margins would make them reach outside it; nothing is
    // rewritten then.
    if (rows < 2 * hy || cols < 2 * hx) return;
    auto x = [&](std::int32_t r, std::int32_t c) -> std::uint8_t& { return detail::sample_at(view, r, c); };
    // A shift by the margin width, not a mirror: column 0 takes column hx. The order (columns
    // first, then rows over the full width) makes each corner take the sample hy rows and hx
    // columns further in.
    for (std::int32_t r = 0; r < rows; ++r) {
        for (std::int32_t k = 0; k < hx; ++k) {
            x(r, k) = x(r, hx + k);
            x(r, cols - 1 - k) = x(r, cols - 1 - hx - k);
        }
    }
    for (std::int32_t c = 0; c < cols; ++c) {
        for (std::int32_t k = 0; k < hy; ++k) {
            x(k, c) = x(hy + k, c);
            x(rows - 1 - k, c) = x(rows - 1 - hy - k, c);
        }
    }
}

void calibrate_passes(std::uint8_t* first, std::uint8_t* second, std::int32_t pitch, std::int32_t height,
                      std::int32_t width, std::int32_t ygrid, std::int32_t xgrid, std::int32_t& pass_count,
                      VarianceTable& table, int plane, std::int32_t limit) {
    // An empty window or a plane outside the table is outside the contract; the count and the
    // table are then left as they are rather than indexing past the table.
    if (height < 1 || width < 1 || plane < 0 || plane >= static_cast<int>(table[0].size())) {
        return;
    }
    constexpr std::int32_t max_passes = 10;
    const std::int32_t rows = height + ygrid;
    const std::int32_t cols = width + xgrid;
    const std::int32_t hx = xgrid / 2;
    const std::int32_t hy = ygrid / 2;
    const PlaneView buffers[2] = {{first, pitch, 1, cols, rows}, {second, pitch, 1, cols, rows}};

    // The count is read afresh before every trial: a trial that raised it allows the next one,
    // a trial that lowered it ends the loop.
    for (std::int32_t i = 0; i < max_passes && i < pass_count; ++i) {
        const PlaneView src = buffers[i % 2];
        const PlaneView dst = buffers[1 - i % 2];
        fill_margins(src, rows, cols, ygrid, xgrid);
        const std::int32_t noise = table[i][plane];
        smooth_interior(
            {.dst = dst, .src = src, .noise = noise, .rows = rows, .cols = cols, .ygrid = ygrid, .xgrid = xgrid});
        const ConstPlaneView window{&detail::sample_at(dst, hy, hx), pitch, 1, width, height};
        const std::int32_t measured = window_variance(window, {0, 0, width - 1, height - 1});
        table[i + 1][plane] = measured;
        pass_count += detail::pass_count_change(measured, noise, limit);
    }
    // Only a raise by the tenth trial can get here.
    if (pass_count > max_passes) pass_count = max_passes;
}

std::int64_t no_flat_window_result(std::int32_t block_height, std::int32_t block_width) {
    // Blocks of 131072 samples or more would overflow 32 bits here; the value is reported in
    // 64 bits instead, and callers recognise it as anything above max_sample_variance.
    return static_cast<std::int64_t>(block_width) * block_height * 16384;
}

std::int64_t find_flat_window(ConstPlaneView plane, std::int32_t block_height, std::int32_t block_width,
                              std::int32_t ygrid, std::int32_t xgrid, WindowRect& window) {
    bool found = false;
    std::int32_t best = 0;
    // Empty blocks or negative margins would never advance the scan or would start it outside
    // the plane; they find nothing.
    if (block_height >= 1 && block_width >= 1 && ygrid >= 0 && xgrid >= 0) {
        // Bounds are strict and taken in 64 bits so that no plane size can wrap them.
        const std::int64_t row_end = static_cast<std::int64_t>(plane.height) - block_height - ygrid;
        const std::int64_t col_end = static_cast<std::int64_t>(plane.width) - block_width - xgrid;
        for (std::int64_t r = ygrid; r < row_end; r += block_height) {
            for (std::int64_t c = xgrid; c < col_end; c += block_width) {
                const auto row = static_cast<std::int32_t>(r);
                const auto col = static_cast<std::int32_t>(c);
                const ConstPlaneView block{&detail::sample_at(plane, row, col), plane.pitch, 1, block_width,
                                           block_height};
                const std::int32_t v = window_variance(block, {0, 0, block_width - 1, block_height - 1});
                // Strictly smaller only: the first block in scan order wins a tie.
                if (!found || v < best) {
                    found = true;
                    best = v;
                    window = {col, row, col + block_width - 1, row + block_height - 1};
                }
                if (best == 0) return 0;  // nothing can be flatter
            }
        }
    }
    // No block fits: the window keeps its previous value.
    return found ? best : no_flat_window_result(block_height, block_width);
}

}  // namespace dunmorel
