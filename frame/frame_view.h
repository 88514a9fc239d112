// Where the three planes of each pixel format lie in a frame.
#pragma once

#include <cstdint>

#include "avisynth/interface.h"
#include "kernels/plane.h"

namespace dunmorel {

// Addresses and pitches of one frame; owns nothing. The frame handle it came from is held for
// as long as the view is used.
template <typename Sample>
struct BasicFrameView {
    Sample* base_y = nullptr;
    std::int32_t pitch_y = 0;
    Sample* base_u = nullptr;
    Sample* base_v = nullptr;
    std::int32_t pitch_uv = 0;

    // A writable view is also a read-only one.
    operator BasicFrameView<const Sample>() const { return {base_y, pitch_y, base_u, base_v, pitch_uv}; }
};
using FrameView = BasicFrameView<std::uint8_t>;
using ConstFrameView = BasicFrameView<const std::uint8_t>;

enum class PlaneLayout { rgb, yuy2, planar, unsupported };

// Bytes per pixel of the exact pixel type, 0 for any other value.
std::int32_t pixel_step(int pixel_type);

// The format family, tested in the order RGB, YUY2, planar.
PlaneLayout plane_layout(int pixel_type);

ConstFrameView read_view(const VideoFrame& frame);
// Only valid while the frame is held once (writable); the caller checks.
FrameView write_view(const VideoFrame& frame);

// Plane p (0, 1, 2) of a frame of width W pixels and height H rows.
template <typename Sample>
BasicPlaneView<Sample> plane_of(const BasicFrameView<Sample>& frame, int pixel_type, int p,
                                std::int32_t width, std::int32_t height) {
    switch (plane_layout(pixel_type)) {
        case PlaneLayout::rgb:
            return {frame.base_y + p, frame.pitch_y, pixel_step(pixel_type), width, height};
        case PlaneLayout::yuy2:
            if (p == 0) return {frame.base_y, frame.pitch_y, 2, width, height};
            return {frame.base_y + (p == 1 ? 1 : 3), frame.pitch_y, 4, width / 2, height};
        case PlaneLayout::planar:
            if (p == 0) return {frame.base_y, frame.pitch_y, 1, width, height};
            return {p == 1 ? frame.base_u : frame.base_v, frame.pitch_uv, 1, width / 2, height / 2};
        case PlaneLayout::unsupported: break;
    }
    return {};
}

}  // namespace dunmorel
