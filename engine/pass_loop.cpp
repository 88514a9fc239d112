// Every frame request after the calibration: up to ten smoothing passes per plane over two work
// frames.
#include "engine/filter_engine.h"

namespace dunmorel {

namespace {

constexpr int kIterations = 10;

bool fits_grid(const ConstPlaneView& plane, std::int32_t xgrid, std::int32_t ygrid) {
    return plane.width >= xgrid && plane.height >= ygrid;
}

void copy_samples(const PlaneView& dst, const ConstPlaneView& src, std::int32_t width, FrameHost& host) {
    // Contiguous rows go through the host's own copy.
    if (src.step == 1 && dst.step == 1) {
        host.copy_rows(dst.base, dst.pitch, src.base, src.pitch, width, src.height);
        return;
    }
    for (std::int32_t r = 0; r < src.height; ++r)
        for (std::int32_t c = 0; c < width; ++c) dst.at(r, c) = src.at(r, c);
}

}  // namespace

void FilterEngine::run_passes(const ConstFramePlanes& input, FrameHost& host) const {
    // A plane smaller than the neighbourhood cannot be smoothed without reading outside it; it
    // is carried over unchanged. Validation and the block search keep every plane of a real
    // clip at least that large, so this only guards against clips that slip past them.
    std::int32_t passes[3];
    for (int p = 0; p < 3; ++p) passes[p] = fits_grid(input.plane[p], xgrid, ygrid) ? pass_count[p] : 0;

    ConstFramePlanes source = input;
    FramePlanes frame_a;
    FramePlanes frame_b;
    for (int i = 0; i < kIterations; ++i) {
        FramePlanes destination;
        if (i == 0) {
            frame_a = host.work_frame(0);
            destination = frame_a;
        } else if (i == 1) {
            frame_b = host.work_frame(1);
            source = frame_a;
            destination = frame_b;
        } else if (i % 2 == 0) {
            source = frame_b;
            destination = frame_a;
        } else {
            source = frame_a;
            destination = frame_b;
        }

        for (int p = 0; p < 3; ++p) {
            const ConstPlaneView& src = source.plane[p];
            const PlaneView& dst = destination.plane[p];
            if (i < passes[p]) {
                smooth_plane(dst, src, variance_table[i][p], src.height, src.width, ygrid, xgrid, src.step);
            } else if (i < 2 || (i == passes[p] && (passes[p] - 1) % 2 == 0)) {
                // The plane's latest result is not in the destination yet: its last pass wrote
                // frame A, or the frame is new.
                const std::int32_t copy_width =
                    layout_ == PlaneLayout::yuy2 && p > 0 ? (clip_.width + 1) / 2 : src.width;
                copy_samples(dst, src, copy_width, host);
            }
        }
        if (i < 2 && destination.extra.base)
            copy_samples(destination.extra, source.extra, destination.extra.width, host);
    }
}

}  // namespace dunmorel
