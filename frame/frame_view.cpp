#include "frame/frame_view.h"

namespace dunmorel {

std::int32_t pixel_step(int pixel_type) {
    switch (pixel_type) {
        case VideoInfo::CS_BGR24: return 3;
        case VideoInfo::CS_BGR32: return 4;
        case VideoInfo::CS_YUY2: return 2;
        case VideoInfo::CS_YV12:
        case VideoInfo::CS_I420: return 1;
        default: return 0;
    }
}

PlaneLayout plane_layout(int pixel_type) {
    auto has_all = [pixel_type](int bits) { return (pixel_type & bits) == bits; };
    if (pixel_type & VideoInfo::CS_BGR) return PlaneLayout::rgb;
    if (has_all(VideoInfo::CS_YUY2)) return PlaneLayout::yuy2;
    if (has_all(VideoInfo::CS_YV12) || has_all(VideoInfo::CS_I420)) return PlaneLayout::planar;
    return PlaneLayout::unsupported;
}

ConstFrameView read_view(const VideoFrame& frame) {
    return {frame.GetReadPtr(), frame.GetPitch(), frame.GetReadPtr(PLANAR_U),
            frame.GetReadPtr(PLANAR_V), frame.GetPitch(PLANAR_U)};
}

FrameView write_view(const VideoFrame& frame) {
    return {frame.GetWritePtr(), frame.GetPitch(), frame.GetWritePtr(PLANAR_U),
            frame.GetWritePtr(PLANAR_V), frame.GetPitch(PLANAR_U)};
}

}  // namespace dunmorel
