// Test planes allocated to exactly the bytes their view addresses, so that AddressSanitizer
// reports any access past the last sample, with the bytes between interleaved samples kept
// apart so that tests can prove a kernel never wrote them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "kernels/plane.h"

namespace dunmorel::test {

// Samples by [row][column].
using Grid = std::vector<std::vector<int>>;

// Where a plane's samples lie inside its buffer: the sample at (r, c) is byte
// offset + r * pitch + c * step.
struct Layout {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t step = 1;
    std::int32_t pitch = 0;
    std::int32_t offset = 0;
};

inline Layout packed(std::int32_t width, std::int32_t height) { return {width, height, 1, width, 0}; }

class PlaneBuffer {
public:
    PlaneBuffer(Layout layout, std::uint8_t filler) : layout_(layout), bytes_(byte_count(layout), filler) {}

    // No slack: the last byte is the last sample.
    static std::size_t byte_count(Layout l) {
        return static_cast<std::size_t>(l.offset) + static_cast<std::size_t>(l.height - 1) * l.pitch +
               static_cast<std::size_t>(l.width - 1) * l.step + 1;
    }

    PlaneView view() {
        return {bytes_.data() + layout_.offset, layout_.pitch, layout_.step, layout_.width, layout_.height};
    }
    ConstPlaneView view() const {
        return {bytes_.data() + layout_.offset, layout_.pitch, layout_.step, layout_.width, layout_.height};
    }

    std::size_t index(std::int32_t row, std::int32_t col) const {
        return static_cast<std::size_t>(layout_.offset) + static_cast<std::size_t>(row) * layout_.pitch +
               static_cast<std::size_t>(col) * layout_.step;
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

    // Gives every byte that is not a sample its own value, so that a stray write shows.
    void scramble_gaps(std::mt19937& rng) {
        const std::vector<bool> mask = sample_mask();
        for (std::size_t i = 0; i < bytes_.size(); ++i) {
            if (!mask[i]) bytes_[i] = static_cast<std::uint8_t>(rng());
        }
    }

    const Layout& layout() const { return layout_; }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

private:
    Layout layout_;
    std::vector<std::uint8_t> bytes_;
};

inline Grid filled_grid(std::int32_t rows, std::int32_t cols, int value) {
    return Grid(rows, std::vector<int>(cols, value));
}

}  // namespace dunmorel::test
