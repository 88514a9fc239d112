// Plane kernels for samples of 9 to 16 significant bits, each held in a 16-bit word. They run
// the frame passes of a high bit depth clip at full precision with exactly the formulas of the
// 8-bit passes; the calibration of such a clip stays on the 8-bit scale (round_to_8_bits).
#pragma once

#include <cstdint>

#include "kernels/plane.h"

namespace dunmorel {

// Pitch and step of these views count 16-bit samples, not bytes.
using Plane16View = BasicPlaneView<std::uint16_t>;
using ConstPlane16View = BasicPlaneView<const std::uint16_t>;

// The widest plane that the 16-bit kernels take, which bounds their running sum of squares
// (see reference16.cpp); wider planes are left unwritten, and the engine refuses such clips.
inline constexpr std::int32_t max_columns16 = 1 << 24;

// The largest noise the 16-bit kernels take: the 8-bit noise (at most 16257 * 500) times
// 4^8 is below 2^39.
inline constexpr std::int64_t max_noise16 = std::int64_t{1} << 40;

// One pass, or some rows of one, over a plane of rows x cols samples of `bits` bits (9..16):
// SmoothArgs with a wider noise and the depth. As there, samples are adjacent (a view's step is
// never consulted) and the pitch may be negative.
struct Smooth16Args {
    Plane16View dst;
    ConstPlane16View src;
    std::int64_t noise = 0;  // 0 .. max_noise16
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    std::int32_t ygrid = 3;
    std::int32_t xgrid = 3;
    std::int32_t bits = 16;
    // Rows first_row .. end_row - 1 of the pass's result (smooth_rows16 only).
    std::int32_t first_row = 0;
    std::int32_t end_row = 0;
};

constexpr std::int32_t max_sample16(std::int32_t bits) { return (std::int32_t{1} << bits) - 1; }

// Whether a call lies inside the kernels' contract; calls outside it write nothing.
bool smooth16_args_valid(const Smooth16Args& a);

// The noise variance of a pass at `bits` bits: the 8-bit one (already times the strength) times
// 4^(bits - 8), so that a clip shifted left by bits - 8 is smoothed as strongly as at 8 bits.
constexpr std::int64_t noise_at_bits(std::int32_t noise8, std::int32_t bits) {
    return static_cast<std::int64_t>(noise8) << (2 * (bits - 8));
}

// A sample of `bits` bits on the 8-bit scale: (s + 2^(bits - 9)) >> (bits - 8), at most 255.
constexpr std::uint8_t to_8_bits(std::uint32_t s, std::int32_t bits) {
    const std::uint32_t r = (s + (std::uint32_t{1} << (bits - 9))) >> (bits - 8);
    return static_cast<std::uint8_t>(r > 255 ? 255 : r);
}

// `src` rounded sample by sample into the 8-bit plane `dst` of the same size.
void round_to_8_bits(PlaneView dst, ConstPlane16View src, std::int32_t bits);

// The one signature of the 16-bit kernels in every implementation.
using Smooth16Kernel = void(const Smooth16Args& args);

// Rows first_row .. end_row - 1 of a whole pass, as smooth_rows, through the 16-bit path of the
// implementation that the 8-bit kernels use.
Smooth16Kernel smooth_rows16;
// A whole pass: smooth_rows16 over every row.
Smooth16Kernel smooth_plane16;

}  // namespace dunmorel
