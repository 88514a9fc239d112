#include "kernels/reference.h"

#include "kernels/sample_math.h"

namespace dunmorel::reference {
namespace {

using detail::sample_at;

void store(PlaneView dst, std::int32_t row, std::int32_t col, std::int32_t value) {
    // Only the low 8 bits are kept; nothing is clamped.
    sample_at(dst, row, col) = static_cast<std::uint8_t>(value & 0xFF);
}

// A grid below 1 would divide by zero, and a plane smaller than the grid would send the
// neighbourhoods (and the reflected indices) outside it. Callers never pass either; should one
// slip through, the kernels write nothing rather than touch memory outside the plane.
bool grid_fits(std::int32_t rows, std::int32_t cols, std::int32_t ygrid, std::int32_t xgrid) {
    return xgrid >= 1 && ygrid >= 1 && rows >= ygrid && cols >= xgrid;
}

}  // namespace

std::int32_t window_variance(ConstPlaneView view, WindowRect rect) {
    // Sums are kept in 64 bits: large contrasty windows overflow 32-bit ones, and wherever
    // 32 bits suffice the result is the same.
    const std::int64_t width = static_cast<std::int64_t>(rect.last_col) - rect.first_col + 1;
    const std::int64_t height = static_cast<std::int64_t>(rect.last_row) - rect.first_row + 1;
    if (width <= 0 || height <= 0) {
        return 0;  // an empty rectangle has nothing to vary (and no divisor)
    }
    const std::int64_t n = width * height;

    std::int64_t sum = 0;
    for (std::int32_t r = rect.first_row; r <= rect.last_row; ++r) {
        for (std::int32_t c = rect.first_col; c <= rect.last_col; ++c) {
            sum += sample_at(view, r, c);
        }
    }
    const std::int64_t mean = (2 * sum + n) / (2 * n);

    // Deviations are taken about the rounded mean, not the exact quotient.
    std::int64_t squares = 0;
    for (std::int32_t r = rect.first_row; r <= rect.last_row; ++r) {
        for (std::int32_t c = rect.first_col; c <= rect.last_col; ++c) {
            const std::int64_t d = sample_at(view, r, c) - mean;
            squares += d * d;
        }
    }
    return static_cast<std::int32_t>((2 * squares + n) / (2 * n));
}

void smooth_interior(const SmoothArgs& a) {
    if (!grid_fits(a.rows, a.cols, a.ygrid, a.xgrid)) return;
    // One output row fewer than the neighbourhoods that fit: the row below is left to
    // smooth_borders, and the last source row is never read.
    const std::int32_t out_rows = a.rows - a.ygrid;
    const std::int32_t slides = a.cols - a.xgrid;
    if (out_rows <= 0) return;

    const std::int32_t hx = a.xgrid / 2;
    const std::int32_t hy = a.ygrid / 2;
    const std::int32_t area = a.xgrid * a.ygrid;
    auto x = [&](std::int32_t r, std::int32_t c) -> std::int32_t { return sample_at(a.src, r, c); };
    auto emit = [&](std::int32_t i, std::int32_t k, std::int64_t mean, std::int64_t variance) {
        const std::int32_t centre = x(i + hy, hx + k);
        store(a.dst, i + hy, hx + k, detail::smoothed_sample(centre, mean, variance, a.noise));
    };

    for (std::int32_t i = 0; i < out_rows; ++i) {
        // Exact statistics for the first neighbourhood of each output row.
        std::int32_t total = 0;
        for (std::int32_t r = i; r < i + a.ygrid; ++r) {
            for (std::int32_t c = 0; c < a.xgrid; ++c) total += x(r, c);
        }
        std::int64_t mean = detail::neighbourhood_round(total, area);
        // The running sum of squares drifts from the exact one as it slides (measured at no
        // more than about 2300 per column on adversarial rows, so 32 bits would last for some
        // 900000 columns). It is kept in 64 bits so that no plane width can overflow it; the
        // results equal the 32-bit ones wherever those are defined.
        std::int64_t squares = 0;
        for (std::int32_t r = i; r < i + a.ygrid; ++r) {
            for (std::int32_t c = 0; c < a.xgrid; ++c) {
                const std::int64_t d = x(r, c) - mean;
                squares += d * d;
            }
        }
        emit(i, 0, mean, detail::neighbourhood_round(squares, area));

        for (std::int32_t k = 1; k <= slides; ++k) {
            const std::int32_t leaving = k - 1;
            const std::int32_t entering = k - 1 + a.xgrid;
            for (std::int32_t r = i; r < i + a.ygrid; ++r) total += x(r, entering) - x(r, leaving);
            const std::int64_t new_mean = detail::neighbourhood_round(total, area);
            // Entering samples are centred on the new mean, leaving ones on the mean they were
            // last counted with; the samples that stay are not re-centred.
            for (std::int32_t r = i; r < i + a.ygrid; ++r) {
                const std::int64_t in = x(r, entering) - new_mean;
                const std::int64_t out = x(r, leaving) - mean;
                squares += in * in - out * out;
            }
            emit(i, k, new_mean, detail::neighbourhood_round(squares, area));
            mean = new_mean;
        }
    }
}

namespace {

// The edge strips and corner blocks of a pass that lie in rows first .. end - 1.
void borders_in_rows(const SmoothArgs& a, std::int32_t first, std::int32_t end) {
    const std::int32_t hx = a.xgrid / 2;
    const std::int32_t hy = a.ygrid / 2;
    const std::int32_t area = a.xgrid * a.ygrid;

    // Exact statistics of the mirrored neighbourhood; near the edges there is no running state
    // worth keeping.
    auto compute = [&](std::int32_t row, std::int32_t col) {
        std::int32_t total = 0;
        for (std::int32_t r = row - hy; r <= row + hy; ++r) {
            for (std::int32_t c = col - hx; c <= col + hx; ++c) {
                total += sample_at(a.src, detail::reflect(r, a.rows), detail::reflect(c, a.cols));
            }
        }
        const std::int64_t mean = detail::neighbourhood_round(total, area);
        std::int64_t squares = 0;
        for (std::int32_t r = row - hy; r <= row + hy; ++r) {
            for (std::int32_t c = col - hx; c <= col + hx; ++c) {
                const std::int64_t d = sample_at(a.src, detail::reflect(r, a.rows), detail::reflect(c, a.cols)) - mean;
                squares += d * d;
            }
        }
        const std::int32_t centre = sample_at(a.src, row, col);
        store(a.dst, row, col,
              detail::smoothed_sample(centre, mean, detail::neighbourhood_round(squares, area), a.noise));
    };

    detail::for_each_border_sample(
        a.rows, a.cols, a.ygrid, a.xgrid, first, end, compute,
        [&](std::int32_t r, std::int32_t c) { sample_at(a.dst, r, c) = sample_at(a.src, r, c); });
}

}  // namespace

void smooth_borders(const SmoothArgs& args) {
    if (!grid_fits(args.rows, args.cols, args.ygrid, args.xgrid)) return;
    borders_in_rows(args, 0, args.rows);
}

void smooth_rows(const SmoothArgs& args) {
    const PlaneView dst = args.dst;
    const ConstPlaneView src = args.src;
    const std::int32_t rows = args.rows;
    const std::int32_t ygrid = args.ygrid;
    if (!grid_fits(rows, args.cols, ygrid, args.xgrid)) return;
    const std::int32_t first_row = args.first_row < 0 ? 0 : args.first_row;
    const std::int32_t end_row = args.end_row > rows ? rows : args.end_row;
    if (first_row >= end_row) return;
    // The interior rows of the range, from a view that starts hy rows above the first of them
    // and holds the one row below the last that smooth_interior leaves alone.
    const std::int32_t hy = ygrid / 2;
    const std::int32_t lo = first_row > hy ? first_row : hy;
    const std::int32_t hi = end_row < rows - hy - 1 ? end_row : rows - hy - 1;
    if (lo < hi) {
        const std::int32_t view_rows = hi - lo + ygrid;
        const std::ptrdiff_t src_at = static_cast<std::ptrdiff_t>(lo - hy) * src.pitch;
        const std::ptrdiff_t dst_at = static_cast<std::ptrdiff_t>(lo - hy) * dst.pitch;
        SmoothArgs band = args;
        band.dst = {dst.base + dst_at, dst.pitch, 1, dst.width, view_rows};
        band.src = {src.base + src_at, src.pitch, 1, src.width, view_rows};
        band.rows = view_rows;
        reference::smooth_interior(band);
    }
    borders_in_rows(args, first_row, end_row);
}

}  // namespace dunmorel::reference
