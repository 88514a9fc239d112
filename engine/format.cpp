#include "engine/format.h"

namespace dunmorel {

PlaneLayout plane_layout(PixelFormat format) {
    switch (format) {
        case PixelFormat::rgb24:
        case PixelFormat::rgb32:
            return PlaneLayout::rgb;
        case PixelFormat::yuy2:
            return PlaneLayout::yuy2;
        case PixelFormat::yv12:
        case PixelFormat::i420:
            return PlaneLayout::planar;
        case PixelFormat::other:
            break;
    }
    return PlaneLayout::unsupported;
}

std::int32_t pixel_step(PixelFormat format) {
    switch (format) {
        case PixelFormat::rgb24:
            return 3;
        case PixelFormat::rgb32:
            return 4;
        case PixelFormat::yuy2:
            return 2;
        case PixelFormat::yv12:
        case PixelFormat::i420:
            return 1;
        case PixelFormat::other:
            break;
    }
    return 0;
}

std::int64_t frame_area(const ClipFormat& clip) { return std::int64_t{clip.width} * clip.height; }

}  // namespace dunmorel
