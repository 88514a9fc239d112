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

std::int32_t frame_area(const ClipFormat& clip) {
    // Kept to 32 bits like every other quantity of the checks; computed unsigned so that a
    // product beyond 2^31 wraps instead of being undefined.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(clip.width) * static_cast<std::uint32_t>(clip.height));
}

}  // namespace dunmorel
