// Helpers shared by the stand-in server's tests.
#pragma once

#include <cstdint>
#include <vector>

#include "server/sources.h"

namespace dunmorel::server::testing {

// Deterministic bytes that differ from row to row and plane to plane.
inline std::vector<std::uint8_t> PatternBytes(std::size_t n, std::uint32_t seed = 1) {
    std::vector<std::uint8_t> out(n);
    std::uint32_t x = seed * 2654435761u + 12345u;
    for (auto& b : out) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return out;
}

inline MemoryClip* NewMemoryClip(Environment& env, int pixel_type, int width, int height, int frames = 1,
                                 int extra_padding = 32) {
    const VideoInfo vi = MakeVideoInfo(pixel_type, width, height, frames);
    return new MemoryClip(env, vi, PatternBytes(RawFrameSize(vi) * static_cast<std::size_t>(frames)), extra_padding);
}

}  // namespace dunmorel::server::testing
