#include "kernels/reference16.h"

#include "kernels/sample_math.h"

// Widths. With samples x of at most 2^16 - 1 (whatever `bits` says: a host may hand over words
// with bits above the declared depth) and neighbourhoods of at most A = 121 samples:
// * the neighbourhood sum T <= 121 * 65535 < 2^23, and T + A / 2 too: 32 bits;
// * the rounded mean m = (T + A / 2) / A lies in 0 .. 65535, so |x - m| < 2^16 and each square
//   (x - m)^2 < 2^32: one square needs 64 bits, and so does any sum of them;
// * the exact sum of squares of a neighbourhood is below 121 * 2^32 < 2^39;
// * the running sum of squares differs from the exact one by one term per sample that has
//   entered or left the neighbourhood since the row began, each term the difference of two
//   squares in 0 .. 65535^2, so by less than 2^32 each; a row of at most max_columns16 = 2^24
//   columns lets at most 11 * 2^24 + 121 samples through, so |Q| < 2^32 * (11 * 2^24 + 242) <
//   2^60, and Q + A / 2 stays far inside 64 bits;
// * the noise is at most max_noise16 = 2^40 and |c - m| < 2^16, so (c - m) * noise < 2^56.
// Everything is therefore computed in 64 bits; the mean could live in 32 but shares the type.

namespace dunmorel::reference16 {
namespace {

using detail::reflect;
using detail::sample_at;

std::int64_t round_div(std::int64_t sum, std::int32_t area) { return (sum + area / 2) / area; }

}  // namespace

std::uint16_t smoothed16(std::int64_t c, std::int64_t m, std::int64_t v, std::int64_t noise, std::int32_t max) {
    const std::int64_t r = v > noise && v != 0 ? c - ((c - m) * noise) / v : m;
    // Where the 8-bit rule stores the low 8 bits (which never differ from the value there, since
    // the result lies between m and c), a wider word would store a value above the plane's depth
    // whenever its input carried such values. The result is clamped to 2^bits - 1 instead, so
    // every smoothed sample lies within the plane's range; it is never below 0, since m and c
    // are not.
    return static_cast<std::uint16_t>(r > max ? max : r);
}

void smooth_interior(const Smooth16Args& a) {
    if (!smooth16_args_valid(a)) return;
    const std::int32_t out_rows = a.rows - a.ygrid;
    const std::int32_t slides = a.cols - a.xgrid;
    if (out_rows <= 0) return;
    const std::int32_t hx = a.xgrid / 2;
    const std::int32_t hy = a.ygrid / 2;
    const std::int32_t area = a.xgrid * a.ygrid;
    const std::int32_t max = max_sample16(a.bits);
    auto x = [&](std::int32_t r, std::int32_t c) -> std::int64_t { return sample_at(a.src, r, c); };
    auto emit = [&](std::int32_t i, std::int32_t k, std::int64_t m, std::int64_t q) {
        sample_at(a.dst, i + hy, hx + k) = smoothed16(x(i + hy, hx + k), m, round_div(q, area), a.noise, max);
    };

    for (std::int32_t i = 0; i < out_rows; ++i) {
        std::int64_t total = 0;
        for (std::int32_t r = i; r < i + a.ygrid; ++r)
            for (std::int32_t c = 0; c < a.xgrid; ++c) total += x(r, c);
        std::int64_t mean = round_div(total, area);
        std::int64_t squares = 0;
        for (std::int32_t r = i; r < i + a.ygrid; ++r) {
            for (std::int32_t c = 0; c < a.xgrid; ++c) {
                const std::int64_t d = x(r, c) - mean;
                squares += d * d;
            }
        }
        emit(i, 0, mean, squares);
        for (std::int32_t k = 1; k <= slides; ++k) {
            const std::int32_t leaving = k - 1;
            const std::int32_t entering = k - 1 + a.xgrid;
            for (std::int32_t r = i; r < i + a.ygrid; ++r) total += x(r, entering) - x(r, leaving);
            const std::int64_t new_mean = round_div(total, area);
            // As at 8 bits: entering samples about the new mean, leaving ones about the mean they
            // were last counted with, the others not re-centred.
            for (std::int32_t r = i; r < i + a.ygrid; ++r) {
                const std::int64_t in = x(r, entering) - new_mean;
                const std::int64_t out = x(r, leaving) - mean;
                squares += in * in - out * out;
            }
            emit(i, k, new_mean, squares);
            mean = new_mean;
        }
    }
}

void smooth_border_rows(const Smooth16Args& a) {
    if (!smooth16_args_valid(a)) return;
    const std::int32_t rows = a.rows;
    const std::int32_t cols = a.cols;
    const std::int32_t hx = a.xgrid / 2;
    const std::int32_t hy = a.ygrid / 2;
    const std::int32_t area = a.xgrid * a.ygrid;
    const std::int32_t max = max_sample16(a.bits);
    const std::int32_t first = a.first_row < 0 ? 0 : a.first_row;
    const std::int32_t end = a.end_row > rows ? rows : a.end_row;
    auto x = [&](std::int32_t r, std::int32_t c) -> std::int64_t {
        return sample_at(a.src, reflect(r, rows), reflect(c, cols));
    };
    auto compute = [&](std::int32_t row, std::int32_t col) {
        std::int64_t total = 0;
        for (std::int32_t r = row - hy; r <= row + hy; ++r)
            for (std::int32_t c = col - hx; c <= col + hx; ++c) total += x(r, c);
        const std::int64_t mean = round_div(total, area);
        std::int64_t squares = 0;
        for (std::int32_t r = row - hy; r <= row + hy; ++r) {
            for (std::int32_t c = col - hx; c <= col + hx; ++c) {
                const std::int64_t d = x(r, c) - mean;
                squares += d * d;
            }
        }
        sample_at(a.dst, row, col) =
            smoothed16(sample_at(a.src, row, col), mean, round_div(squares, area), a.noise, max);
    };
    // Corner blocks are copied as they are, bits above the depth and all.
    detail::for_each_border_sample(
        rows, cols, a.ygrid, a.xgrid, first, end, compute,
        [&](std::int32_t r, std::int32_t c) { sample_at(a.dst, r, c) = sample_at(a.src, r, c); });
}

void smooth_rows(const Smooth16Args& a) {
    if (!smooth16_args_valid(a)) return;
    const std::int32_t first = a.first_row < 0 ? 0 : a.first_row;
    const std::int32_t end = a.end_row > a.rows ? a.rows : a.end_row;
    if (first >= end) return;
    const std::int32_t hy = a.ygrid / 2;
    const std::int32_t lo = first > hy ? first : hy;
    const std::int32_t hi = end < a.rows - hy - 1 ? end : a.rows - hy - 1;
    if (lo < hi) {
        Smooth16Args band = a;
        band.rows = hi - lo + a.ygrid;
        band.src.base = &sample_at(a.src, lo - hy, 0);
        band.dst.base = &sample_at(a.dst, lo - hy, 0);
        smooth_interior(band);
    }
    Smooth16Args edges = a;
    edges.first_row = first;
    edges.end_row = end;
    smooth_border_rows(edges);
}

void smooth_plane(const Smooth16Args& a) {
    Smooth16Args all = a;
    all.first_row = 0;
    all.end_row = a.rows;
    smooth_rows(all);
}

}  // namespace dunmorel::reference16
