// The pixel formats the filter knows, where their three planes lie, and the frame views that the
// pass loop and the calibration work on. No host types: each host binding maps its own frames
// onto these views.
#pragma once

#include <cstdint>

#include "kernels/plane.h"

namespace dunmorel {

// The five 8-bit layouts the filter accepts; anything else a host offers is `other`.
enum class PixelFormat { rgb24, rgb32, yuy2, yv12, i420, other };

// What the filter needs to know of its clip.
struct ClipFormat {
    PixelFormat format = PixelFormat::other;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t num_frames = 0;
};

// How the planes are sampled: RGB has three full planes with rows stored bottom-up, YUY2 halves
// the chroma columns, planar 4:2:0 halves chroma columns and rows.
enum class PlaneLayout { rgb, yuy2, planar, unsupported };

PlaneLayout plane_layout(PixelFormat format);

// Bytes per pixel of plane 0's memory: 3 or 4 for RGB, 2 for YUY2, 1 for planar.
std::int32_t pixel_step(PixelFormat format);

// width x height, in 64 bits so that no frame size wraps around.
std::int64_t frame_area(const ClipFormat& clip);

// Addresses and pitches of one frame in the host's packed or planar memory; owns nothing.
template <typename Sample>
struct BasicFrameAddresses {
    Sample* base_y = nullptr;
    std::int32_t pitch_y = 0;
    Sample* base_u = nullptr;
    Sample* base_v = nullptr;
    std::int32_t pitch_uv = 0;

    operator BasicFrameAddresses<const Sample>() const { return {base_y, pitch_y, base_u, base_v, pitch_uv}; }
};
using FrameAddresses = BasicFrameAddresses<std::uint8_t>;
using ConstFrameAddresses = BasicFrameAddresses<const std::uint8_t>;

// Plane p (0, 1, 2) of a frame of width W pixels and height H rows stored in the format's own
// memory layout.
template <typename Sample>
BasicPlaneView<Sample> plane_of(const BasicFrameAddresses<Sample>& frame, PixelFormat format, int p, std::int32_t width,
                                std::int32_t height) {
    switch (plane_layout(format)) {
        case PlaneLayout::rgb:
            return {frame.base_y + p, frame.pitch_y, pixel_step(format), width, height};
        case PlaneLayout::yuy2:
            if (p == 0) return {frame.base_y, frame.pitch_y, 2, width, height};
            return {frame.base_y + (p == 1 ? 1 : 3), frame.pitch_y, 4, width / 2, height};
        case PlaneLayout::planar:
            if (p == 0) return {frame.base_y, frame.pitch_y, 1, width, height};
            return {p == 1 ? frame.base_u : frame.base_v, frame.pitch_uv, 1, width / 2, height / 2};
        case PlaneLayout::unsupported:
            break;
    }
    return {};
}

// The three planes of one frame as the filter sees them, plus the bytes that belong to no plane
// (the fourth byte of each RGB32 pixel), which are carried over unchanged. A host whose frames
// are laid out differently (separate planes, rows top-down) builds these views itself: a plane
// may have any step and a negative pitch.
template <typename Sample>
struct BasicFramePlanes {
    BasicPlaneView<Sample> plane[3];
    BasicPlaneView<Sample> extra;  // base null when there is none

    operator BasicFramePlanes<const Sample>() const { return {{plane[0], plane[1], plane[2]}, extra}; }
};
using FramePlanes = BasicFramePlanes<std::uint8_t>;
using ConstFramePlanes = BasicFramePlanes<const std::uint8_t>;

template <typename Sample>
BasicFramePlanes<Sample> planes_of(const BasicFrameAddresses<Sample>& frame, PixelFormat format, std::int32_t width,
                                   std::int32_t height) {
    BasicFramePlanes<Sample> planes;
    for (int p = 0; p < 3; ++p) planes.plane[p] = plane_of(frame, format, p, width, height);
    if (format == PixelFormat::rgb32) planes.extra = {frame.base_y + 3, frame.pitch_y, 4, width, height};
    return planes;
}

}  // namespace dunmorel
