// A small bitmap font for the captions of the preview picture: printable ASCII only.
#pragma once

#include <cstdint>

namespace dunmorel::cli {

inline constexpr int kGlyphWidth = 6;
inline constexpr int kGlyphHeight = 11;
// Rows of glyph c - 32 for c from 32 to 126; bit 5 is the leftmost pixel.
extern const std::uint8_t kFont6x11[95][kGlyphHeight];

}  // namespace dunmorel::cli
