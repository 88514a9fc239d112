// Plane views and the plane kernels: integer statistics and adaptive smoothing on one plane
// of 8-bit samples. No host types, no state, no allocation.
#pragma once

#include <array>
#include <cstdint>

namespace dunmorel {

// One plane of 8-bit samples inside a frame or buffer; owns nothing. The sample at column c,
// row r lies at base + r * pitch + c * step. The kernels below read and write only planes whose
// samples are adjacent and never consult step: interleaved frames are gathered into planes of
// their own before any kernel sees them. The pitch may be negative (bottom-up frames).
template <typename Sample>
struct BasicPlaneView {
    Sample* base = nullptr;
    std::int32_t pitch = 0;
    std::int32_t step = 1;
    std::int32_t width = 0;
    std::int32_t height = 0;

    Sample& at(std::int32_t row, std::int32_t col) const {
        return base[static_cast<std::ptrdiff_t>(row) * pitch + static_cast<std::ptrdiff_t>(col) * step];
    }
    // A writable view is also a read-only one.
    operator BasicPlaneView<const Sample>() const { return {base, pitch, step, width, height}; }
};

using PlaneView = BasicPlaneView<std::uint8_t>;
using ConstPlaneView = BasicPlaneView<const std::uint8_t>;

// Inclusive rectangle of samples.
struct WindowRect {
    std::int32_t first_col = 0;
    std::int32_t first_row = 0;
    std::int32_t last_col = 0;
    std::int32_t last_row = 0;

    std::int32_t width() const { return last_col - first_col + 1; }
    std::int32_t height() const { return last_row - first_row + 1; }
    bool operator==(const WindowRect&) const = default;
};

// Twelve rows (row 0: measured window variance, rows 1..10: after each trial pass) by three planes.
using VarianceTable = std::array<std::array<std::int32_t, 3>, 12>;

// The largest variance that 8-bit samples can have (half 0, half 255).
inline constexpr std::int32_t max_sample_variance = 16257;

// Rounded variance (about the rounded mean) of the samples of `view` inside `rect`.
// Only base and pitch of the view are used.
std::int32_t window_variance(ConstPlaneView view, WindowRect rect);

// What one smoothing pass reads and writes: a rows x cols source and destination (distinct
// planes of the same geometry), the xgrid x ygrid neighbourhood and the noise the pass runs
// with. first_row and end_row are the rows wanted from smooth_rows; the other kernels ignore
// them.
struct SmoothArgs {
    PlaneView dst;
    ConstPlaneView src;
    std::int32_t noise = 0;
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    std::int32_t ygrid = 0;
    std::int32_t xgrid = 0;
    std::int32_t first_row = 0;
    std::int32_t end_row = 0;
};

// The one signature of every smoothing kernel, in every implementation: each declares its
// entry points from it.
using SmoothKernel = void(const SmoothArgs& args);

// One adaptive pass over every sample whose xgrid x ygrid neighbourhood lies inside the
// rows x cols source, except the last such row; running sums along each row.
SmoothKernel smooth_interior;

// Rows first_row .. end_row - 1 (clipped to the plane) of a whole pass: the interior, then the
// edge strips from mirrored neighbourhoods, the corner blocks copied. Reads only the source
// rows within ygrid / 2 of them and touches no other destination row, so a pass split into
// row ranges on several threads gives the bytes of the whole.
SmoothKernel smooth_rows;

// A whole pass: smooth_rows over every row.
SmoothKernel smooth_plane;

// Refreshes the outer xgrid/2 columns and ygrid/2 rows of a rows x cols region in place by
// shifting in the strip just inside them.
void fill_margins(PlaneView view, std::int32_t rows, std::int32_t cols, std::int32_t ygrid, std::int32_t xgrid);

// Trial passes on a margin-padded copy of the window held identically in `first` and
// `second` ((height + ygrid) rows of (width + xgrid) samples, `pitch` apart). Adjusts
// pass_count in place and fills rows 1.. of column `plane` of `table`.
void calibrate_passes(std::uint8_t* first, std::uint8_t* second, std::int32_t pitch, std::int32_t height,
                      std::int32_t width, std::int32_t ygrid, std::int32_t xgrid, std::int32_t& pass_count,
                      VarianceTable& table, int plane, std::int32_t limit);

// Result of find_flat_window when no block fits: block_width * block_height * 16384, which can
// exceed 32 bits, so the search reports in 64 bits. Any value above max_sample_variance means
// that no block was found and the window was left as it was.
std::int64_t no_flat_window_result(std::int32_t block_height, std::int32_t block_width);

// Tiles the plane with block_width x block_height blocks anchored at (xgrid, ygrid) and writes the
// flattest one into `window`. Returns its variance, or no_flat_window_result() when none fits.
std::int64_t find_flat_window(ConstPlaneView plane, std::int32_t block_height, std::int32_t block_width,
                              std::int32_t ygrid, std::int32_t xgrid, WindowRect& window);

}  // namespace dunmorel
