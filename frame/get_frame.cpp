// Every frame request: calibrate once, then up to ten smoothing passes per plane over two work
// frames.
#include "avisynth/filter.h"

namespace dunmorel {

namespace {

constexpr int kIterations = 10;

bool fits_grid(const ConstPlaneView& plane, std::int32_t xgrid, std::int32_t ygrid) {
    return plane.width >= xgrid && plane.height >= ygrid;
}

// Byte 3 of each RGB32 pixel belongs to no plane and is carried over as it is.
void copy_alpha(const FrameView& dst, const ConstFrameView& src, std::int32_t width,
                std::int32_t height) {
    for (std::int32_t r = 0; r < height; ++r) {
        const std::uint8_t* s = src.base_y + static_cast<std::ptrdiff_t>(r) * src.pitch_y + 3;
        std::uint8_t* d = dst.base_y + static_cast<std::ptrdiff_t>(r) * dst.pitch_y + 3;
        for (std::int32_t c = 0; c < width; ++c) d[4 * c] = s[4 * c];
    }
}

}  // namespace

void DunmorelFilter::copy_plane(const PlaneView& dst, const ConstPlaneView& src,
                                std::int32_t copy_width, IScriptEnvironment* env) const {
    if (plane_layout(vi.pixel_type) == PlaneLayout::planar) {
        env->BitBlt(dst.base, dst.pitch, src.base, src.pitch, copy_width, src.height);
        return;
    }
    for (std::int32_t r = 0; r < src.height; ++r)
        for (std::int32_t c = 0; c < copy_width; ++c) dst.at(r, c) = src.at(r, c);
}

PVideoFrame DUNMOREL_STDCALL DunmorelFilter::GetFrame(int n, IScriptEnvironment* env) {
    PVideoFrame input = child->GetFrame(n, env);
    const std::int32_t width = vi.width;
    const std::int32_t height = input->GetHeight();

    if (!calibrated.load(std::memory_order_acquire)) {
        // Calibration writes the window, the table and the pass counts; requests that arrive
        // meanwhile wait here and then only read them.
        std::lock_guard<std::mutex> lock(calibration_mutex);
        if (!calibrated.load(std::memory_order_relaxed)) calibrate_noise(n, input, env);
    }
    if (pass_count[0] == 0 && pass_count[1] == 0 && pass_count[2] == 0) return input;

    const ConstFrameView in_view = read_view(*input);
    const int type = vi.pixel_type;
    const PlaneLayout layout = plane_layout(type);

    // A plane smaller than the neighbourhood cannot be smoothed without reading outside it; it
    // is carried over unchanged. Validation and the block search keep every plane of a real
    // clip at least that large, so this only guards against clips that slip past them.
    std::int32_t passes[3];
    for (int p = 0; p < 3; ++p)
        passes[p] = fits_grid(plane_of(in_view, type, p, width, height), xgrid, ygrid) ? pass_count[p] : 0;

    PVideoFrame frame_a;
    PVideoFrame frame_b;
    ConstFrameView source = in_view;
    FrameView view_a;
    FrameView view_b;
    for (int i = 0; i < kIterations; ++i) {
        FrameView destination;
        if (i == 0) {
            frame_a = env->NewVideoFrame(vi, 16);
            view_a = write_view(*frame_a);
            if (!view_a.base_y) env->ThrowError("Dunmorel: the host returned a work frame that cannot be written");
            destination = view_a;
        } else if (i == 1) {
            frame_b = env->NewVideoFrame(vi, 16);
            view_b = write_view(*frame_b);
            if (!view_b.base_y) env->ThrowError("Dunmorel: the host returned a work frame that cannot be written");
            source = view_a;
            destination = view_b;
        } else if (i % 2 == 0) {
            source = view_b;
            destination = view_a;
        } else {
            source = view_a;
            destination = view_b;
        }

        for (int p = 0; p < 3; ++p) {
            const ConstPlaneView src = plane_of(source, type, p, width, height);
            const PlaneView dst = plane_of(destination, type, p, width, height);
            if (i < passes[p]) {
                smooth_plane(dst, src, variance_table[i][p], src.height, src.width, ygrid, xgrid, src.step);
            } else if (i < 2 || (i == passes[p] && (passes[p] - 1) % 2 == 0)) {
                // The plane's latest result is not in the destination yet: its last pass wrote
                // frame A, or the frame is new.
                const std::int32_t copy_width = layout == PlaneLayout::yuy2 && p > 0 ? (width + 1) / 2 : src.width;
                copy_plane(dst, src, copy_width, env);
            }
        }
        if (type == VideoInfo::CS_BGR32 && i < 2) copy_alpha(destination, source, width, height);
    }
    return frame_b;
}

}  // namespace dunmorel
