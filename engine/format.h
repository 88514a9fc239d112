// The pixel formats the filter knows, where their three planes lie, and the frame views that the
// pass loop and the calibration work on. No host types: each host binding maps its own frames
// onto these views.
#pragma once

#include <cstdint>

#include "kernels/plane.h"
#include "kernels/plane16.h"

namespace dunmorel {

// The five layouts of the original plug-in interface first, then the planar layouts that other
// hosts carry. Anything else a host offers is `other`.
enum class PixelFormat {
    rgb24,
    rgb32,
    yuy2,
    yv12,
    i420,
    yuv444,
    yuv440,
    yuv422,
    yuv411,
    yuv410,
    grey,
    planar_rgb,
    other
};

// RGB planes are the bytes at offsets 0, 1 and 2 of a packed pixel (blue, green, red) with rows
// counted from the bottom of the picture; grey clips have a luma plane only.
enum class ColorFamily { rgb, yuv, grey, none };

// One row of the format table: everything the engine derives from a format is read from here.
struct FormatTraits {
    const char* name;  // as messages name the layout
    ColorFamily family;
    // log2 of how many luma columns and rows share one sample of planes 1 and 2.
    std::int32_t sub_w;
    std::int32_t sub_h;
    // Bytes from one sample of plane 0 to the next in the host's memory: 2, 3 or 4 for the
    // packed layouts, whose planes are interleaved, 1 for planar ones.
    std::int32_t pixel_step;
};

const FormatTraits& traits_of(PixelFormat format);

inline bool is_packed(PixelFormat format) { return traits_of(format).pixel_step != 1; }

// What the filter needs to know of its clip.
struct ClipFormat {
    PixelFormat format = PixelFormat::other;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t num_frames = 0;
    // Significant bits per sample: 8 (one byte each), or 9 to 16 in planar layouts, each sample
    // then a 16-bit word in host byte order. Such a clip is calibrated on its reference frame
    // rounded to 8 bits and filtered at full precision with the same passes.
    std::int32_t bits = 8;
};

inline bool is_wide(const ClipFormat& clip) { return clip.bits > 8; }

// width x height, in 64 bits so that no frame size wraps around.
std::int64_t frame_area(const ClipFormat& clip);

// Width and height of plane p (0, 1, 2) of a clip; grey clips report the 4:2:0 chroma geometry
// that their neutral planes take inside the engine.
std::int32_t plane_width(const ClipFormat& clip, int p);
std::int32_t plane_height(const ClipFormat& clip, int p);

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
// For a clip of more than 8 bits, frame addresses and plane views stay in bytes as the hosts hand
// them over: a plane's base is its first sample's first byte, its pitch counts bytes and its step
// is 2 (the bytes of one sample); width and height count samples.
using ConstFrameAddresses = BasicFrameAddresses<const std::uint8_t>;

// The three planes of one frame as the filter sees them, plus the bytes that belong to no plane
// (the fourth byte of each RGB32 pixel), which are carried over unchanged. Planes may have any
// step and a negative pitch; the engine gathers interleaved planes into planes of their own
// once on the way in and scatters them once on the way out, so the kernels only ever see
// adjacent samples. A grey frame leaves planes 1 and 2 empty (base null).
template <typename Sample>
struct BasicFramePlanes {
    BasicPlaneView<Sample> plane[3];
    BasicPlaneView<Sample> extra;  // base null when there is none

    operator BasicFramePlanes<const Sample>() const { return {{plane[0], plane[1], plane[2]}, extra}; }
};
using FramePlanes = BasicFramePlanes<std::uint8_t>;
using ConstFramePlanes = BasicFramePlanes<const std::uint8_t>;

// The 16-bit words of a plane given in bytes as above. Hosts align rows far beyond two bytes;
// an odd pitch or address, which no host gives, is refused by the engine before it gets here.
inline ConstPlane16View wide_view(const ConstPlaneView& bytes) {
    return {reinterpret_cast<const std::uint16_t*>(bytes.base), bytes.pitch / 2, 1, bytes.width, bytes.height};
}
inline Plane16View wide_view(const PlaneView& bytes) {
    return {reinterpret_cast<std::uint16_t*>(bytes.base), bytes.pitch / 2, 1, bytes.width, bytes.height};
}

// The planes of a frame of `height` rows stored in one of the five host layouts of the original
// interface (packed RGB bottom-up, YUY2, or planar 4:2:0 with its chroma at base_u and base_v).
template <typename Sample>
BasicFramePlanes<Sample> planes_of(const BasicFrameAddresses<Sample>& frame, const ClipFormat& clip,
                                   std::int32_t height) {
    BasicFramePlanes<Sample> f;
    const std::int32_t width = clip.width;
    const std::int32_t step = traits_of(clip.format).pixel_step;
    switch (traits_of(clip.format).family) {
        case ColorFamily::rgb:
            for (int p = 0; p < 3; ++p) f.plane[p] = {frame.base_y + p, frame.pitch_y, step, width, height};
            if (step == 4) f.extra = {frame.base_y + 3, frame.pitch_y, 4, width, height};
            break;
        case ColorFamily::yuv:
            if (step == 2) {
                f.plane[0] = {frame.base_y, frame.pitch_y, 2, width, height};
                f.plane[1] = {frame.base_y + 1, frame.pitch_y, 4, width / 2, height};
                f.plane[2] = {frame.base_y + 3, frame.pitch_y, 4, width / 2, height};
            } else {
                f.plane[0] = {frame.base_y, frame.pitch_y, 1, width, height};
                f.plane[1] = {frame.base_u, frame.pitch_uv, 1, width / 2, height / 2};
                f.plane[2] = {frame.base_v, frame.pitch_uv, 1, width / 2, height / 2};
            }
            break;
        case ColorFamily::grey:
        case ColorFamily::none:
            break;
    }
    return f;
}

}  // namespace dunmorel
