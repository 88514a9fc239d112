// Frame layouts of the files the command reads and writes, and where the engine's planes lie in
// a frame of them. A frame is one buffer holding the file's bytes: planar layouts give the engine
// views into it, packed ones (YUY2, RGB) interleaved views that the engine gathers into planes of
// its own once on the way in and scatters once on the way out.
//   planar YUV   Y plane (W x H), then U, then V (W/sx x H/sy each)
//   grey         Y plane only; the engine gives the filter neutral chroma
//   gbrp         G, B, R planes (W x H each)
//   YUY2         packed Y0 U Y1 V
//   RGB24/RGB32  packed B G R (A), rows top to bottom
// The planar layouts also come with 9 to 16 significant bits a sample, each sample a 16-bit
// little-endian word as ffmpeg writes them; the engine's planes are then byte views with step 2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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
    // The stems of the names for 9 to 16 bits a sample, the depth following them: ffmpeg's
    // (yuv420p -> yuv420p10le, with "le" after the depth) and the Y4M colour tag's (420p ->
    // C420p10). Null where there is none; packed layouts have neither.
    const char* deep_raw;
    const char* deep_y4m;
};
const LayoutTraits& traits_of(Layout layout);

inline std::string layout_name(Layout layout) { return traits_of(layout).name; }

// A layout at a sample depth: 8 bits, one byte a sample, or 9 to 16 in the planar layouts.
struct SampleLayout {
    // A bare layout is its 8-bit self.
    constexpr SampleLayout(Layout l = Layout::yv12, int b = 8) : layout(l), bits(b) {}
    Layout layout;
    int bits;
    bool operator==(const SampleLayout&) const = default;
};
inline constexpr int kMaxBits = 16;

// The layout and depth that a deep name gives: a raw stem, a depth from 9 to 16 and "le"
// ("yuv422p12le"), or a Y4M stem and a depth ("420p10", the C tag without its C); nullopt for
// any other name. Raw names are expected in lower case.
std::optional<SampleLayout> deep_layout(std::string_view name, bool y4m);

// The raw stems, "yuv420p, yuv422p, ...", as --help lists them.
std::string deep_raw_stems();

// Empty when a frame of this layout and size can be read and filtered; else why not, e.g. "YV12
// needs an even width, got 255".
std::string frame_size_problem(SampleLayout layout, int width, int height);

// Bytes of one frame of a size that frame_size_problem accepts.
std::size_t frame_bytes(SampleLayout layout, int width, int height);

// The engine's planes of a frame held in `frame` (frame_bytes of them).
FramePlanes frame_planes(SampleLayout layout, int width, int height, std::uint8_t* frame);
inline ConstFramePlanes frame_planes(SampleLayout layout, int width, int height, const std::uint8_t* frame) {
    return frame_planes(layout, width, height, const_cast<std::uint8_t*>(frame));
}

// The ffmpeg option that turns the named layout (an ffmpeg pixel format or a Y4M colour tag
// without its C) into the nearest one the command reads, e.g. "-pix_fmt yuv422p".
std::string conversion_hint(std::string_view name);

}  // namespace dunmorel::cli
