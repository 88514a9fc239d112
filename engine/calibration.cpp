// The one-time noise measurement on the reference frame and the report that replaces it while
// `print` is set.
#include <cstdio>
#include <cstring>
#include <optional>

#include "engine/filter_engine.h"
#include "engine/plane_pool.h"

namespace dunmorel {

namespace {

bool inside(const ConstPlaneView& plane, const WindowRect& r) {
    return r.first_col >= 0 && r.first_row >= 0 && r.first_col <= r.last_col && r.first_row <= r.last_row &&
           r.last_col < plane.width && r.last_row < plane.height;
}

// Plane p's share of a window in plane 0 coordinates: columns and rows divided by the plane's
// subsampling, truncated, as 4:2:0 chroma has always halved them.
WindowRect measured_rect(const FormatTraits& traits, int p, const WindowRect& w) {
    if (p == 0) return w;
    const std::int32_t sx = 1 << traits.sub_w;
    const std::int32_t sy = 1 << traits.sub_h;
    return {w.first_col / sx, w.first_row / sy, w.last_col / sx, w.last_row / sy};
}

[[noreturn]] void fail(const std::string& text) { throw FilterError(FilterError::Kind::failure, text); }

std::string outside_message(int plane) {
    return "Dunmorel: noise window lies outside plane " + std::to_string(plane) + " of the frame";
}

void copy_block(std::uint8_t* dst, std::int32_t dst_pitch, const ConstPlaneView& src, const WindowRect& r) {
    for (std::int32_t row = 0; row < r.height(); ++row)
        std::memcpy(dst + static_cast<std::ptrdiff_t>(row) * dst_pitch, &src.at(r.first_row + row, r.first_col),
                    static_cast<std::size_t>(r.width()));
}

}  // namespace

ConstFramePlanes FilterEngine::rounded_reference(const ConstFramePlanes& reference,
                                                 std::vector<std::uint8_t> (&storage)[3]) const {
    ConstFramePlanes r;
    for (int p = 0; p < 3; ++p) {
        const ConstPlaneView& wide = reference.plane[p];
        if (wide.base == nullptr) continue;
        check_wide_plane(wide);
        storage[p].resize(static_cast<std::size_t>(wide.width) * static_cast<std::size_t>(wide.height));
        const PlaneView own{storage[p].data(), wide.width, 1, wide.width, wide.height};
        round_to_8_bits(own, wide_view(wide), clip_.bits);
        r.plane[p] = own;
    }
    return r;
}

Calibration FilterEngine::measure(const ConstFramePlanes& reference, const Calibration& previous) {
    const std::int32_t xgrid = args_.xgrid;
    const std::int32_t ygrid = args_.ygrid;
    Calibration c = previous;
    ConstFramePlanes planes = reference;
    // A packed frame is measured in planes of its own, so that every kernel sees adjacent samples.
    std::optional<PlanePool::Lease> lease;
    if (is_packed(clip_.format)) {
        lease.emplace(*planes_);
        for (int p = 0; p < 3; ++p) {
            const PlaneView own = (*lease)[0].plane[p];
            if (reference.plane[p].width > own.width || reference.plane[p].height > own.height)
                fail(outside_message(p));
            const PlaneView view{own.base, own.pitch, 1, reference.plane[p].width, reference.plane[p].height};
            copy_plane(view, reference.plane[p]);
            planes.plane[p] = view;
        }
    }
    if (traits_.family == ColorFamily::grey) {
        const std::int32_t w = plane_width(clip_, 1);
        const std::int32_t h = plane_height(clip_, 1);
        for (int p = 1; p < 3; ++p) planes.plane[p] = {neutral_.data(), w, 1, w, h};
    }

    // RGB searches the middle byte of each pixel, YUV the luma.
    const int search_plane = traits_.family == ColorFamily::rgb ? 1 : 0;
    if (args_.autow) {
        WindowRect found = c.window;
        const auto [margin_x, margin_y] = search_margins();
        const std::int64_t variance =
            find_flat_window(planes.plane[search_plane], win_height_, win_width_, margin_y, margin_x, found);
        // No block fits: the window would be whatever it held before the search, which need not
        // lie inside the frame, so the request is refused instead.
        if (variance > max_sample_variance) fail(kNoSearchBlock);
        c.window = found;
        c.variances[0][search_plane] = static_cast<std::int32_t>(variance);
    }

    const WindowRect window = c.window;
    for (int p = 0; p < 3; ++p) {
        if (args_.autow && p == search_plane) continue;
        const WindowRect rect = measured_rect(traits_, p, window);
        // Checks and search keep the window inside every plane of a well-formed frame; a frame
        // whose planes disagree with its clip (odd chroma sizes) is refused rather than read
        // outside.
        if (!inside(planes.plane[p], rect)) fail(outside_message(p));
        c.variances[0][p] = window_variance(planes.plane[p], rect);
    }

    std::uint8_t* const scratch_a = scratch_.get();
    std::uint8_t* const scratch_b = scratch_a + scratch_size_ / 2;
    for (int p = 0; p < 3; ++p) {
        const std::int32_t sx = p == 0 ? 1 : 1 << traits_.sub_w;
        const std::int32_t sy = p == 0 ? 1 : 1 << traits_.sub_h;
        const std::int32_t first_col = window.first_col / sx - xgrid / 2;
        const std::int32_t first_row = window.first_row / sy - ygrid / 2;
        const std::int32_t w = win_width_ / sx;
        const std::int32_t h = win_height_ / sy;
        const std::int32_t cols = w + xgrid;
        const std::int32_t rows = h + ygrid;
        const WindowRect copy{first_col, first_row, first_col + cols - 1, first_row + rows - 1};
        if (w < 1 || h < 1 || !inside(planes.plane[p], copy)) fail(outside_message(p));
        copy_block(scratch_a, cols, planes.plane[p], copy);
        std::memcpy(scratch_b, scratch_a, static_cast<std::size_t>(cols) * static_cast<std::size_t>(rows));
        calibrate_passes(scratch_a, scratch_b, cols, h, w, ygrid, xgrid, c.passes[p], c.variances, p, args_.limit);
    }
    return c;
}

PassPlan FilterEngine::plan_of(const Calibration& calibration) const {
    PassPlan plan;
    const std::int32_t strength[3] = {args_.ry, args_.gu, args_.bv};
    for (int p = 0; p < 3; ++p) {
        plan.passes[p] = calibration.variances[0][p] == 0 || strength[p] == 0 ? 0 : calibration.passes[p];
        for (std::int32_t i = 0; i < plan.passes[p]; ++i) plan.noise[i][p] = calibration.variances[i][p] * strength[p];
    }
    return plan;
}

std::string format_report(const Calibration& c, ColorFamily family, std::int32_t frame_height) {
    const bool rgb = family == ColorFamily::rgb;
    const char* format = rgb ? "window lx = %d, rx = %d, ty = %d, by = %d, Variance R  iter %d in %d out %d  G  "
                               "iter %d in %d out %d  B  iter %d in %d out %d  "
                             : "window lx = %d, rx = %d, ty = %d, by = %d,Variance Y  iter %d in %d out %d  U  "
                               "iter %d in %d out %d  V  iter %d in %d out %d  ";
    const WindowRect& w = c.window;
    const std::int32_t top = rgb ? frame_height - w.last_row - 1 : w.first_row;
    const std::int32_t bottom = rgb ? frame_height - w.first_row - 1 : w.last_row;
    // A plane left with no pass has no "last pass"; it reports the variance it was measured
    // with, the noise estimate it keeps.
    auto out = [&c](int p) { return c.variances[c.passes[p] > 0 ? c.passes[p] - 1 : 0][p]; };
    char text[512];
    std::snprintf(text, sizeof text, format, w.first_col, w.last_col, top, bottom, c.passes[0], c.variances[0][0],
                  out(0), c.passes[1], c.variances[0][1], out(1), c.passes[2], c.variances[0][2], out(2));
    return text;
}

}  // namespace dunmorel
