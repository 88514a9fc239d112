// A second, deliberately naive formulation of the plane kernels, on grids of samples rather
// than views, written to be obviously right rather than fast. The kernels are compared with it
// byte for byte.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "tests/plane_buffer.h"

namespace dunmorel::test::model {

// Mirror of t into 0..n-1 without repeating the edge, as a double fold.
inline int mirror(int t, int n) { return (n - 1) - std::abs((n - 1) - std::abs(t)); }

inline std::int64_t round_local(std::int64_t sum, std::int64_t area) { return (sum + area / 2) / area; }

// The output rule of both smoothing kernels, low 8 bits kept.
inline int smoothed(int centre, std::int64_t mean, std::int64_t variance, std::int64_t noise) {
    const std::int64_t value = variance > noise ? centre - ((centre - mean) * noise) / variance : mean;
    return static_cast<int>(value & 0xFF);
}

// Rounded variance about the rounded mean, counted through a histogram.
inline std::int32_t window_variance(const Grid& g, WindowRect rect) {
    std::int64_t histogram[256] = {};
    for (int r = rect.first_row; r <= rect.last_row; ++r) {
        for (int c = rect.first_col; c <= rect.last_col; ++c) ++histogram[g[r][c]];
    }
    std::int64_t n = 0;
    std::int64_t sum = 0;
    for (int v = 0; v < 256; ++v) {
        n += histogram[v];
        sum += histogram[v] * v;
    }
    const std::int64_t mean = (2 * sum + n) / (2 * n);
    std::int64_t squares = 0;
    for (int v = 0; v < 256; ++v) squares += histogram[v] * (v - mean) * (v - mean);
    return static_cast<std::int32_t>((2 * squares + n) / (2 * n));
}

// Interior pass. The running sum of squares is rebuilt for every output from scratch: each
// column counts centred on the mean of the neighbourhood it entered with (neighbourhood 0 for
// the first xgrid columns, neighbourhood col - xgrid + 1 for the others), and every column that
// has already left is taken out again centred on the mean of its last neighbourhood (the one
// that starts at that column).
inline void interior(const Grid& src, Grid& dst, std::int64_t noise, int ygrid, int xgrid) {
    const int rows = static_cast<int>(src.size());
    const int cols = static_cast<int>(src[0].size());
    const int hx = xgrid / 2;
    const int hy = ygrid / 2;
    const int area = xgrid * ygrid;
    for (int i = 0; i < rows - ygrid; ++i) {
        const int positions = cols - xgrid + 1;
        std::vector<std::int64_t> means(positions);
        for (int j = 0; j < positions; ++j) {
            std::int64_t total = 0;
            for (int r = i; r < i + ygrid; ++r) {
                for (int c = j; c < j + xgrid; ++c) total += src[r][c];
            }
            means[j] = round_local(total, area);
        }
        auto column_squares = [&](int col, std::int64_t mean) {
            std::int64_t s = 0;
            for (int r = i; r < i + ygrid; ++r) s += (src[r][col] - mean) * (src[r][col] - mean);
            return s;
        };
        for (int k = 0; k < positions; ++k) {
            std::int64_t squares = 0;
            for (int col = 0; col <= k + xgrid - 1; ++col) {
                squares += column_squares(col, means[std::max(0, col - xgrid + 1)]);
            }
            for (int col = 0; col < k; ++col) squares -= column_squares(col, means[col]);
            dst[i + hy][hx + k] = smoothed(src[i + hy][hx + k], means[k], round_local(squares, area), noise);
        }
    }
}

inline bool in_interior(int r, int c, int rows, int cols, int ygrid, int xgrid) {
    const int hx = xgrid / 2;
    const int hy = ygrid / 2;
    return r >= hy && r <= rows - hy - 2 && c >= hx && c <= cols - hx - 1;
}

inline bool in_corner(int r, int c, int rows, int cols, int ygrid, int xgrid) {
    const int hx = xgrid / 2;
    const int hy = ygrid / 2;
    return (r < hy || r >= rows - hy) && (c < hx || c >= cols - hx);
}

// Border pass: every sample that the interior pass does not write, from the exact statistics
// of its mirrored neighbourhood; corner blocks copied.
inline void borders(const Grid& src, Grid& dst, std::int64_t noise, int ygrid, int xgrid) {
    const int rows = static_cast<int>(src.size());
    const int cols = static_cast<int>(src[0].size());
    const int hx = xgrid / 2;
    const int hy = ygrid / 2;
    const int area = xgrid * ygrid;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            if (in_interior(r, c, rows, cols, ygrid, xgrid)) continue;
            if (in_corner(r, c, rows, cols, ygrid, xgrid)) {
                dst[r][c] = src[r][c];
                continue;
            }
            std::vector<int> values;
            for (int dr = -hy; dr <= hy; ++dr) {
                for (int dc = -hx; dc <= hx; ++dc) {
                    values.push_back(src[mirror(r + dr, rows)][mirror(c + dc, cols)]);
                }
            }
            std::int64_t total = 0;
            for (const int v : values) total += v;
            const std::int64_t mean = round_local(total, area);
            std::int64_t squares = 0;
            for (const int v : values) squares += (v - mean) * (v - mean);
            dst[r][c] = smoothed(src[r][c], mean, round_local(squares, area), noise);
        }
    }
}

inline Grid plane(const Grid& src, std::int64_t noise, int ygrid, int xgrid) {
    Grid dst = filled_grid(static_cast<int>(src.size()), static_cast<int>(src[0].size()), -1);
    interior(src, dst, noise, ygrid, xgrid);
    borders(src, dst, noise, ygrid, xgrid);
    return dst;
}

// Margin refresh, step by step in the order given for it.
inline void fill_margins(Grid& g, int ygrid, int xgrid) {
    const int rows = static_cast<int>(g.size());
    const int cols = static_cast<int>(g[0].size());
    const int hx = xgrid / 2;
    const int hy = ygrid / 2;
    for (int r = 0; r < rows; ++r) {
        for (int k = 0; k < hx; ++k) {
            g[r][k] = g[r][hx + k];
            g[r][cols - 1 - k] = g[r][cols - 1 - hx - k];
        }
    }
    for (int c = 0; c < cols; ++c) {
        for (int k = 0; k < hy; ++k) {
            g[k][c] = g[hy + k][c];
            g[rows - 1 - k][c] = g[rows - 1 - hy - k][c];
        }
    }
}

// The calibration loop over a copy of the window with its margins; `noise` is the plane's
// column of the variance table.
inline void calibrate(Grid copy, int height, int width, int ygrid, int xgrid, int& count,
                      std::vector<std::int32_t>& noise, int limit) {
    Grid other = copy;
    Grid* src = &copy;
    Grid* dst = &other;
    for (int i = 0; i < 10 && i < count; ++i) {
        fill_margins(*src, ygrid, xgrid);
        interior(*src, *dst, noise[i], ygrid, xgrid);
        const int hx = xgrid / 2;
        const int hy = ygrid / 2;
        const std::int32_t measured = window_variance(*dst, {hx, hy, hx + width - 1, hy + height - 1});
        noise[i + 1] = measured;
        if (measured > noise[i]) {
            --count;
        } else if (measured < ((100 - limit) * noise[i]) / 100) {
            ++count;
        }
        std::swap(src, dst);
    }
    count = std::min(count, 10);
}

}  // namespace dunmorel::test::model
