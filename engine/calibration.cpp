// The one-time noise measurement on the reference frame and the report that replaces it while
// `print` is set.
#include <cstdio>

#include "engine/filter_engine.h"

namespace dunmorel {

namespace {

bool inside(const ConstPlaneView& plane, const WindowRect& r) {
    return r.first_col >= 0 && r.first_row >= 0 && r.first_col <= r.last_col && r.first_row <= r.last_row &&
           r.last_col < plane.width && r.last_row < plane.height;
}

// The rectangle measured in plane p, for a window in plane 0 coordinates.
WindowRect measured_rect(PlaneLayout layout, int p, const WindowRect& w) {
    if (p == 0 || layout == PlaneLayout::rgb) return w;
    if (layout == PlaneLayout::yuy2) return {w.first_col / 2, w.first_row, w.last_col / 2, w.last_row};
    return {w.first_col / 2, w.first_row / 2, w.last_col / 2, w.last_row / 2};
}

[[noreturn]] void fail(const std::string& text) { throw FilterError(FilterError::Kind::failure, text); }

std::string outside_message(int plane) {
    return "Dunmorel: noise window lies outside plane " + std::to_string(plane) + " of the frame";
}

}  // namespace

void FilterEngine::calibrate_noise(std::int32_t n, const ConstFramePlanes& input, std::int32_t height,
                                   FrameHost& host) {
    const PlaneLayout layout = layout_;
    {
        const ConstFramePlanes reference = n != nf ? host.reference_frame(nf) : input;
        const ConstPlaneView(&planes)[3] = reference.plane;

        // RGB searches the middle byte of each pixel, YUV the luma.
        const int search_plane = layout == PlaneLayout::rgb ? 1 : 0;
        if (autow) {
            WindowRect found{lx, win_top, rx, win_bottom};
            const std::int64_t variance =
                find_flat_window(planes[search_plane], win_height, win_width, ygrid, xgrid, found);
            // No block fits: the window would be whatever it held before the search, which
            // need not lie inside the frame, so the request is refused instead.
            if (variance > max_sample_variance) fail(kNoSearchBlock);
            lx = found.first_col;
            rx = found.last_col;
            win_top = found.first_row;
            win_bottom = found.last_row;
            variance_table[0][search_plane] = static_cast<std::int32_t>(variance);
        }

        const WindowRect window{lx, win_top, rx, win_bottom};
        for (int p = 0; p < 3; ++p) {
            if (autow && p == search_plane) continue;
            const WindowRect rect = measured_rect(layout, p, window);
            // Checks and search keep the window inside every plane of a well-formed frame; a
            // frame whose planes disagree with its clip (odd chroma sizes) is refused rather
            // than read outside.
            if (!inside(planes[p], rect)) fail(outside_message(p));
            variance_table[0][p] = window_variance(planes[p], rect);
        }

        for (int p = 0; p < 3; ++p) {
            const bool chroma = p > 0 && layout != PlaneLayout::rgb;
            const bool half_rows = chroma && layout == PlaneLayout::planar;
            const std::int32_t first_col = (chroma ? lx / 2 : lx) - xgrid / 2;
            const std::int32_t first_row = (half_rows ? win_top / 2 : win_top) - ygrid / 2;
            const std::int32_t w = chroma ? win_width / 2 : win_width;
            const std::int32_t h = half_rows ? win_height / 2 : win_height;
            const std::int32_t cols = w + xgrid;
            const std::int32_t rows = h + ygrid;
            const WindowRect copy{first_col, first_row, first_col + cols - 1, first_row + rows - 1};
            if (w < 1 || h < 1 || !inside(planes[p], copy)) fail(outside_message(p));

            const ConstPlaneView& plane = planes[p];
            if (half_rows) {
                const std::uint8_t* src = &plane.at(first_row, first_col);
                host.copy_rows(scratch_a, cols, src, plane.pitch, cols, rows);
                host.copy_rows(scratch_b, cols, scratch_a, cols, cols, rows);
            } else {
                for (std::int32_t r = 0; r < rows; ++r) {
                    for (std::int32_t c = 0; c < cols; ++c) {
                        const std::uint8_t sample = plane.at(first_row + r, first_col + c);
                        scratch_a[static_cast<std::size_t>(r) * cols + c] = sample;
                        scratch_b[static_cast<std::size_t>(r) * cols + c] = sample;
                    }
                }
            }
            calibrate_passes(scratch_a, scratch_b, cols, h, w, ygrid, xgrid, pass_count[p], variance_table, p, limit);
        }
    }
    if (n != nf) host.release_reference();

    if (print) report_calibration(height);  // the filter stays uncalibrated

    const std::int32_t strength[3] = {ry, gu, bv};
    for (int p = 0; p < 3; ++p) {
        if (variance_table[0][p] == 0 || strength[p] == 0) pass_count[p] = 0;
        for (std::int32_t i = 0; i < pass_count[p]; ++i) variance_table[i][p] *= strength[p];
    }
    calibrated.store(true, std::memory_order_release);
}

void FilterEngine::report_calibration(std::int32_t frame_height) const {
    const bool rgb = layout_ == PlaneLayout::rgb;
    const char* format = rgb ? "window lx = %d, rx = %d, ty = %d, by = %d, Variance R  iter %d in %d out %d  G  "
                               "iter %d in %d out %d  B  iter %d in %d out %d  "
                             : "window lx = %d, rx = %d, ty = %d, by = %d,Variance Y  iter %d in %d out %d  U  "
                               "iter %d in %d out %d  V  iter %d in %d out %d  ";
    const std::int32_t top = rgb ? frame_height - win_bottom - 1 : win_top;
    const std::int32_t bottom = rgb ? frame_height - win_top - 1 : win_bottom;
    // A plane left with no pass has no "last pass"; it reports the variance it was measured
    // with, the noise estimate it keeps.
    auto out = [this](int p) { return variance_table[pass_count[p] > 0 ? pass_count[p] - 1 : 0][p]; };
    char text[512];
    std::snprintf(text, sizeof text, format, lx, rx, top, bottom, pass_count[0], variance_table[0][0], out(0),
                  pass_count[1], variance_table[0][1], out(1), pass_count[2], variance_table[0][2], out(2));
    throw FilterError(FilterError::Kind::report, text);
}

}  // namespace dunmorel
