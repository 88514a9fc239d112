// Test planes allocated to exactly the bytes their view addresses, so that AddressSanitizer
// reports any access past the last sample or before the first, with the padding after each row
// kept apart so that tests can prove a kernel never wrote it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "kernels/plane.h"

namespace dunmorel::test {

// Samples by [row][column].
using Grid = std::vector<std::vector<int>>;

// Where a plane's samples lie inside its buffer: row r starts pitch * r bytes after row 0, and
// a negative pitch stores the plane bottom-up, row 0 last.
struct Layout {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t pitch = 0;
};

// Rows of exactly `width` samples, top-down.
inline Layout tight(std::int32_t width, std::int32_t height) { return {width, height, width}; }

class PlaneBuffer {
public:
    PlaneBuffer(Layout layout, std::uint8_t filler) : layout_(layout), bytes_(byte_count(layout), filler) {}

    // No slack: the buffer starts with the first row in memory and ends with the last sample
    // of the last row in memory.
    static std::size_t byte_count(Layout l) {
        return static_cast<std::size_t>(l.height - 1) * static_cast<std::size_t>(std::abs(l.pitch)) +
               static_cast<std::size_t>(l.width);
    }

    PlaneView view() { return {bytes_.data() + origin(), layout_.pitch, 1, layout_.width, layout_.height}; }
    ConstPlaneView view() const { return {bytes_.data() + origin(), layout_.pitch, 1, layout_.width, layout_.height}; }

    std::size_t index(std::int32_t row, std::int32_t col) const {
        return static_cast<std::size_t>(static_cast<std::ptrdiff_t>(origin()) +
                                        static_cast<std::ptrdiff_t>(row) * layout_.pitch + col);
    }
    std::uint8_t& at(std::int32_t row, std::int32_t col) { return bytes_[index(row, col)]; }
    std::uint8_t at(std::int32_t row, std::int32_t col) const { return bytes_[index(row, col)]; }

    void load(const Grid& grid) {
        for (std::int32_t r = 0; r < layout_.height; ++r) {
            for (std::int32_t c = 0; c < layout_.width; ++c) {
                at(r, c) = static_cast<std::uint8_t>(grid[r][c]);
            }
        }
    }
    Grid samples() const {
        Grid grid(layout_.height, std::vector<int>(layout_.width));
        for (std::int32_t r = 0; r < layout_.height; ++r) {
            for (std::int32_t c = 0; c < layout_.width; ++c) grid[r][c] = at(r, c);
        }
        return grid;
    }

    // Whether each byte of the buffer is a sample of the plane.
    std::vector<bool> sample_mask() const {
        std::vector<bool> mask(bytes_.size(), false);
        for (std::int32_t r = 0; r < layout_.height; ++r) {
            for (std::int32_t c = 0; c < layout_.width; ++c) mask[index(r, c)] = true;
        }
        return mask;
    }

    // Gives every byte that is not a sample (the padding after each row) its own value, so
    // that a stray write shows.
    void scramble_gaps(std::mt19937& rng) {
        const std::vector<bool> mask = sample_mask();
        for (std::size_t i = 0; i < bytes_.size(); ++i) {
            if (!mask[i]) bytes_[i] = static_cast<std::uint8_t>(rng());
        }
    }

    const Layout& layout() const { return layout_; }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

private:
    std::size_t origin() const {
        return layout_.pitch < 0
                   ? static_cast<std::size_t>(layout_.height - 1) * static_cast<std::size_t>(-layout_.pitch)
                   : 0;
    }

    Layout layout_;
    std::vector<std::uint8_t> bytes_;
};

// The arguments of a whole pass over a rows x cols plane.
inline SmoothArgs pass_args(PlaneView dst, ConstPlaneView src, std::int32_t noise, std::int32_t rows, std::int32_t cols,
                            std::int32_t ygrid, std::int32_t xgrid) {
    return {dst, src, noise, rows, cols, ygrid, xgrid, 0, rows};
}

inline Grid filled_grid(std::int32_t rows, std::int32_t cols, int value) {
    return Grid(rows, std::vector<int>(cols, value));
}

}  // namespace dunmorel::test
