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

// The engine's planes of one frame of the clip.
ConstFramePlanes read_planes(const VideoFrame& frame, const VideoInfo& vi);
// Only valid while the frame is held once (writable); null bases when it is not.
FramePlanes write_planes(const VideoFrame& frame, const VideoInfo& vi);

}  // namespace dunmorel
