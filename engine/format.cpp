#include "engine/format.h"

namespace dunmorel {

namespace {

// In the order of PixelFormat. The first five are the original interface's layouts.
constexpr FormatTraits kFormats[] = {
    {"RGB24", ColorFamily::rgb, 0, 0, 3},  {"RGB32", ColorFamily::rgb, 0, 0, 4},
    {"YUY2", ColorFamily::yuv, 1, 0, 2},   {"YV12", ColorFamily::yuv, 1, 1, 1},
    {"I420", ColorFamily::yuv, 1, 1, 1},   {"4:4:4", ColorFamily::yuv, 0, 0, 1},
    {"4:4:0", ColorFamily::yuv, 0, 1, 1},  {"4:2:2", ColorFamily::yuv, 1, 0, 1},
    {"4:1:1", ColorFamily::yuv, 2, 0, 1},  {"4:1:0", ColorFamily::yuv, 2, 2, 1},
    {"grey", ColorFamily::grey, 1, 1, 1},  {"planar RGB", ColorFamily::rgb, 0, 0, 1},
    {"other", ColorFamily::none, 0, 0, 1},
};
static_assert(sizeof kFormats / sizeof kFormats[0] == static_cast<int>(PixelFormat::other) + 1);

}  // namespace

const FormatTraits& traits_of(PixelFormat format) { return kFormats[static_cast<int>(format)]; }

std::int64_t frame_area(const ClipFormat& clip) { return std::int64_t{clip.width} * clip.height; }

// Subsampled sizes are the luma ones divided with truncation, as 4:2:0 chroma always was.
std::int32_t plane_width(const ClipFormat& clip, int p) {
    return p == 0 ? clip.width : clip.width / (1 << traits_of(clip.format).sub_w);
}

std::int32_t plane_height(const ClipFormat& clip, int p) {
    return p == 0 ? clip.height : clip.height / (1 << traits_of(clip.format).sub_h);
}

}  // namespace dunmorel
