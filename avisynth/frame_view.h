// The host's frames and formats as the engine sees them.
#pragma once

#include <cstdint>

#include "avisynth/interface.h"
#include "engine/format.h"

namespace dunmorel {

// The engine's name for exactly one of the five pixel types; every other value, including types
// that share bits with them, is `other`.
PixelFormat pixel_format(int pixel_type);

ClipFormat clip_format(const VideoInfo& vi);

std::int64_t frame_area(const VideoInfo& vi);

ConstFrameAddresses read_view(const VideoFrame& frame);
// Only valid while the frame is held once (writable); the caller checks.
FrameAddresses write_view(const VideoFrame& frame);

template <typename Sample>
BasicPlaneView<Sample> plane_of(const BasicFrameAddresses<Sample>& frame, int pixel_type, int p, std::int32_t width,
                                std::int32_t height) {
    return plane_of(frame, pixel_format(pixel_type), p, width, height);
}

}  // namespace dunmorel
