// Frame layouts of the files the command reads and writes, and where the engine's planes lie in
// a frame of them. A frame is one buffer holding the file's bytes: planar layouts give the engine
// views into it, packed ones (YUY2, RGB) interleaved views that the engine gathers into planes of
// its own once on the way in and scatters once on the way out.
//   planar YUV   Y plane (W x H), then U, then V (W/sx x H/sy each)
//   grey         Y plane only; the engine gives the filter neutral chroma
//   gbrp         G, B, R planes (W x H each)
//   YUY2         packed Y0 U Y1 V
//   RGB24/RGB32  packed B G R (A), rows top to bottom
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/format.h"

namespace dunmorel::cli {

enum class Layout { yv12, i420, yuy2, rgb24, rgb32, yuv422p, grey, yuv444p, yuv440p, yuv411p, yuv410p, gbrp };

// How messages name a layout, and the engine's format for it.
struct LayoutTraits {
    // "YV12", "planar 4:2:2", "grey", "4:4:4"...
    const char* name;
    PixelFormat format;
    // The name of the layout the filter has always seen for this one, where messages name that
    // too ("grey is filtered as YV12: ..."); null where it is the layout itself.
    const char* filtered_as;
};
const LayoutTraits& traits_of(Layout layout);

inline std::string layout_name(Layout layout) { return traits_of(layout).name; }

// Empty when a frame of this layout and size can be read and filtered; else why not, e.g. "YV12
// needs an even width, got 255".
std::string frame_size_problem(Layout layout, int width, int height);

// Bytes of one frame of a size that frame_size_problem accepts.
std::size_t frame_bytes(Layout layout, int width, int height);

// The engine's planes of a frame held in `frame` (frame_bytes of them).
FramePlanes frame_planes(Layout layout, int width, int height, std::uint8_t* frame);
inline ConstFramePlanes frame_planes(Layout layout, int width, int height, const std::uint8_t* frame) {
    return frame_planes(layout, width, height, const_cast<std::uint8_t*>(frame));
}

// The ffmpeg option that turns the named layout (an ffmpeg pixel format or a Y4M colour tag
// without its C) into the nearest one the command reads, e.g. "-pix_fmt yuv422p".
std::string conversion_hint(std::string_view name);

}  // namespace dunmorel::cli
