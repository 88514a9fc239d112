#include "avisynth/frame_view.h"

namespace dunmorel {

PixelFormat pixel_format(int pixel_type) {
    switch (pixel_type) {
        case VideoInfo::CS_BGR24:
            return PixelFormat::rgb24;
        case VideoInfo::CS_BGR32:
            return PixelFormat::rgb32;
        case VideoInfo::CS_YUY2:
            return PixelFormat::yuy2;
        case VideoInfo::CS_YV12:
            return PixelFormat::yv12;
        case VideoInfo::CS_I420:
            return PixelFormat::i420;
        default:
            return PixelFormat::other;
    }
}

ClipFormat clip_format(const VideoInfo& vi) {
    return {pixel_format(vi.pixel_type), vi.width, vi.height, vi.num_frames};
}

std::int64_t frame_area(const VideoInfo& vi) { return frame_area(clip_format(vi)); }

ConstFrameAddresses read_view(const VideoFrame& frame) {
    return {frame.GetReadPtr(), frame.GetPitch(), frame.GetReadPtr(PLANAR_U), frame.GetReadPtr(PLANAR_V),
            frame.GetPitch(PLANAR_U)};
}

FrameAddresses write_view(const VideoFrame& frame) {
    return {frame.GetWritePtr(), frame.GetPitch(), frame.GetWritePtr(PLANAR_U), frame.GetWritePtr(PLANAR_V),
            frame.GetPitch(PLANAR_U)};
}

ConstFramePlanes read_planes(const VideoFrame& frame, const VideoInfo& vi) {
    return planes_of(read_view(frame), clip_format(vi), frame.GetHeight());
}

FramePlanes write_planes(const VideoFrame& frame, const VideoInfo& vi) {
    return planes_of(write_view(frame), clip_format(vi), frame.GetHeight());
}

}  // namespace dunmorel
