// Deterministic noisy clips for the filter tests: a smooth picture plus uniform noise, in the
// raw file layout of the stand-in server.
#pragma once

#include <cstdint>
#include <vector>

#include "server/sources.h"

namespace dunmorel::testing {

inline std::vector<std::uint8_t> noisy_raw(const VideoInfo& vi, int amplitude, std::uint32_t seed = 7) {
    const std::size_t frame_bytes = server::RawFrameSize(vi);
    std::vector<std::uint8_t> raw(frame_bytes * static_cast<std::size_t>(vi.num_frames));
    std::uint32_t x = seed;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        x = x * 1664525u + 1013904223u;
        const std::size_t in_frame = i % frame_bytes;
        // A slow ramp so that some areas are flatter than others.
        const int base = 60 + static_cast<int>((in_frame / 97) % 120);
        const int noise = amplitude ? static_cast<int>((x >> 16) % (2 * amplitude + 1)) - amplitude : 0;
        raw[i] = static_cast<std::uint8_t>(base + noise);
    }
    return raw;
}

inline PClip noisy_clip(server::Environment& env, int pixel_type, int width, int height, int frames, int amplitude,
                        std::uint32_t seed = 7) {
    const VideoInfo vi = server::MakeVideoInfo(pixel_type, width, height, frames);
    return PClip(new server::MemoryClip(env, vi, noisy_raw(vi, amplitude, seed)));
}

inline const int kAllFormats[] = {VideoInfo::CS_BGR24, VideoInfo::CS_BGR32, VideoInfo::CS_YUY2, VideoInfo::CS_YV12,
                                  VideoInfo::CS_I420};

}  // namespace dunmorel::testing
