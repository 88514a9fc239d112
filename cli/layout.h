// Frame layouts of the files the command reads and writes. Most are the server's raw layout of
// a pixel type the filter takes; two more reach the filter through a lossless repacking, so the
// filter's result is the one it gives on the repacked frame:
//   planar 4:2:2  Y plane (W x H), then U, then V (W/2 x H each); the filter sees YUY2
//   grey          Y plane only; the filter sees YV12 with neutral chroma (128), dropped again
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "avisynth/interface.h"

namespace dunmorel::cli {

enum class Repack { none, planar422, grey };

// A file layout: the pixel type the filter sees, and how the file differs from its raw layout.
struct RawFormat {
    int pixel_type = 0;
    Repack repack = Repack::none;
    bool operator==(const RawFormat&) const = default;
};

// Bytes of one frame in the file layout; vi describes the frame the filter sees.
std::size_t FileFrameBytes(Repack repack, const VideoInfo& vi);
// The file frame in the server's raw layout of vi's pixel type, and back. For Repack::none
// both are plain copies; grey's chroma is set to 128 one way and dropped the other.
void FileToRaw(Repack repack, const VideoInfo& vi, const std::uint8_t* file, std::uint8_t* raw);
void RawToFile(Repack repack, const VideoInfo& vi, const std::uint8_t* raw, std::uint8_t* file);

// How a user names the layout, for messages: "planar 4:2:2", "grey", or the pixel type's name.
std::string LayoutName(const RawFormat& format);

// The ffmpeg option that turns the named layout (an ffmpeg pixel format or a Y4M colour tag
// without its C) into the nearest one the command reads, e.g. "-pix_fmt yuv422p".
std::string ConversionHint(std::string_view name);

}  // namespace dunmorel::cli
