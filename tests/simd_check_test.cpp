// Every vector path against the scalar reference, byte for byte: random planes of random size
// down to the grid, every grid from 3 to 11 in each direction, rows longer than their samples,
// top-down and bottom-up (negative pitch), random noise including 0 and the largest values.
// Destinations start from random bytes, so a sample that a path wrongly writes or wrongly
// leaves shows as well as a wrong value; the bytes past each row must survive too. Planes are
// allocated to exactly the bytes they address, so that AddressSanitizer catches any read past
// the last one or before the first.
#include <gtest/gtest.h>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kernels/dispatch.h"
#include "kernels/dispatch16.h"
#include "kernels/plane.h"
#include "kernels/plane16.h"
#include "kernels/reference.h"
#include "kernels/reference16.h"
#include "kernels/x86/exact_math.h"

namespace dunmorel {
namespace {

int pick(std::mt19937& rng, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

// A plane of 8- or 16-bit samples in a buffer that begins at its first sample and ends at its
// last (pitch in samples); one in four is stored bottom-up.
template <typename Sample>
struct BasicPlane {
    std::int32_t rows, cols, pitch;
    std::size_t origin;  // where row 0 starts
    std::vector<Sample> bytes;

    BasicPlane(std::int32_t rows_, std::int32_t cols_, std::mt19937& rng)
        : rows(rows_), cols(cols_), pitch(cols_ + pick(rng, 0, 9)), origin(0) {
        bytes.resize(static_cast<std::size_t>(rows - 1) * pitch + static_cast<std::size_t>(cols));
        if (pick(rng, 0, 3) == 0) {
            origin = static_cast<std::size_t>(rows - 1) * pitch;
            pitch = -pitch;
        }
        for (Sample& b : bytes) b = static_cast<Sample>(rng());
    }
    BasicPlaneView<Sample> view() { return {bytes.data() + origin, pitch, 1, cols, rows}; }
    Sample& at(std::int32_t r, std::int32_t c) {
        return bytes[static_cast<std::size_t>(static_cast<std::ptrdiff_t>(origin) + std::ptrdiff_t{r} * pitch + c)];
    }
};
using Plane = BasicPlane<std::uint8_t>;

// Contents that reach different corners of the arithmetic: full-range noise, black and white,
// gentle slopes, flat areas with rare spikes, and rows that make the running sum of squares
// drift far upwards or downwards.
void fill(Plane& p, std::mt19937& rng) {
    static const int rising[] = {248, 255, 0, 2};
    static const int falling[] = {242, 14, 0, 255};
    const int kind = pick(rng, 0, 6);
    const int base = pick(rng, 0, 255);
    const int slope_r = pick(rng, -5, 5);
    const int slope_c = pick(rng, -5, 5);
    for (std::int32_t r = 0; r < p.rows; ++r) {
        for (std::int32_t c = 0; c < p.cols; ++c) {
            int v = 0;
            switch (kind) {
                case 0:
                    v = pick(rng, 0, 255);
                    break;
                case 1:
                    v = pick(rng, 0, 1) * 255;
                    break;
                case 2:
                    v = (base + r * slope_r + c * slope_c + pick(rng, -3, 3)) & 0xFF;
                    break;
                case 3:
                    v = pick(rng, 0, 50) == 0 ? pick(rng, 0, 255) : base;
                    break;
                case 4:
                    v = (r % 3 == 0 ? falling : rising)[(c + r) % 4];
                    break;
                case 5:
                    v = ((c / pick(rng, 1, 3)) % 2) * 255;
                    break;
                default:
                    v = base;
                    break;
            }
            p.at(r, c) = static_cast<std::uint8_t>(v);
        }
    }
}

std::int32_t random_noise(std::mt19937& rng) {
    switch (pick(rng, 0, 6)) {
        case 0:
            return 0;
        case 1:
            return pick(rng, 1, 10);
        case 2:
            return pick(rng, 10, 3000);
        case 3:
            return 16257 * 500;
        case 4:
            return pick(rng, 0, 16257 * 500);
        case 5:
            return 2147483647;
        default:
            return pick(rng, 0, 200000);
    }
}

struct Case {
    std::int32_t rows, cols, ygrid, xgrid, noise;
};

std::string describe(const Case& c) {
    return "rows " + std::to_string(c.rows) + " cols " + std::to_string(c.cols) + " ygrid " + std::to_string(c.ygrid) +
           " xgrid " + std::to_string(c.xgrid) + " noise " + std::to_string(c.noise);
}

SmoothArgs args_of(Plane& dst, Plane& src, const Case& c, std::int32_t first_row, std::int32_t end_row) {
    return {dst.view(), src.view(), c.noise, c.rows, c.cols, c.ygrid, c.xgrid, first_row, end_row};
}

// The interior alone, a whole pass (smooth_rows over every row), a range of its rows.
enum class Kernel { interior, plane, rows };
constexpr Kernel kKernels[] = {Kernel::interior, Kernel::plane, Kernel::rows};

// Runs the reference and the path under test on two copies of one random destination and
// compares every byte of both, then checks that the source was not touched. A whole pass is
// compared with the reference's interior followed by its borders, and a range of its rows
// (which may reach past either edge) with those rows of the whole pass over an untouched rest,
// from the reference's range kernel as well as the path's.
void compare(const dispatch::Implementation& impl, Kernel which, const Case& c, std::mt19937& rng) {
    SCOPED_TRACE(describe(c));
    Plane src(c.rows, c.cols, rng);
    fill(src, rng);
    const std::vector<std::uint8_t> src_before = src.bytes;
    Plane expected(c.rows, c.cols, rng);
    Plane actual = expected;

    if (which == Kernel::rows) {
        Plane whole = expected;
        reference::smooth_interior(args_of(whole, src, c, 0, 0));
        reference::smooth_borders(args_of(whole, src, c, 0, 0));
        const std::int32_t first = pick(rng, -2, c.rows - 1);
        const std::int32_t end = pick(rng, first + 1, c.rows + 2);
        SCOPED_TRACE("rows " + std::to_string(first) + " to " + std::to_string(end));
        for (std::int32_t r = std::max(first, 0); r < std::min(end, c.rows); ++r)
            for (std::int32_t col = 0; col < c.cols; ++col) expected.at(r, col) = whole.at(r, col);
        Plane by_reference = actual;
        reference::smooth_rows(args_of(by_reference, src, c, first, end));
        ASSERT_EQ(by_reference.bytes, expected.bytes) << "the reference's rows differ from its whole pass";
        impl.table.smooth_rows(args_of(actual, src, c, first, end));
    } else if (which == Kernel::plane) {
        reference::smooth_interior(args_of(expected, src, c, 0, 0));
        reference::smooth_borders(args_of(expected, src, c, 0, 0));
        impl.table.smooth_rows(args_of(actual, src, c, 0, c.rows));
    } else {
        reference::smooth_interior(args_of(expected, src, c, 0, 0));
        impl.table.smooth_interior(args_of(actual, src, c, 0, 0));
    }

    if (actual.bytes != expected.bytes) {
        for (std::int32_t r = 0; r < c.rows; ++r) {
            for (std::int32_t col = 0; col < c.cols; ++col) {
                ASSERT_EQ(actual.at(r, col), expected.at(r, col)) << "row " << r << " col " << col;
            }
        }
        FAIL() << "a byte past a row differs";
    }
    ASSERT_EQ(src.bytes, src_before) << "the source was written";
}

class SimdCheck : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        impl_ = dispatch::find(GetParam());
        ASSERT_NE(impl_, nullptr);
        if (!impl_->supported) {
            GTEST_SKIP() << GetParam() << " needs " << impl_->needs << ", which this processor lacks";
        }
    }
    const dispatch::Implementation* impl_ = nullptr;
};

// Every grid shape on small planes, from exactly the grid upwards.
TEST_P(SimdCheck, EveryGridOnSmallPlanes) {
    std::mt19937 rng(0x5eed0001);
    for (std::int32_t ygrid = 3; ygrid <= 11; ++ygrid) {
        for (std::int32_t xgrid = 3; xgrid <= 11; ++xgrid) {
            for (int n = 0; n < 8; ++n) {
                const Case c{ygrid + (n % 2 == 0 ? 0 : pick(rng, 1, 12)),
                             xgrid + (n % 2 == 0 ? pick(rng, 0, 3) : pick(rng, 4, 40)), ygrid, xgrid,
                             random_noise(rng)};
                for (Kernel k : kKernels) {
                    compare(*impl_, k, c, rng);
                    if (HasFatalFailure()) return;
                }
            }
        }
    }
}

// Planes wide enough to cross the column stripes and tall enough to cross the row bands that
// the paths work in, with the long rows over which the running sum of squares drifts.
TEST_P(SimdCheck, LargePlanesAcrossStripesAndBands) {
    std::mt19937 rng(0x5eed0002);
    for (int n = 0; n < 8; ++n) {
        const std::int32_t ygrid = pick(rng, 3, 11);
        const std::int32_t xgrid = pick(rng, 3, 11);
        const bool wide = n % 2 == 0;
        const Case c{wide ? ygrid + pick(rng, 1, 6) : pick(rng, 120, 300),
                     wide ? pick(rng, 1000, 2600) : xgrid + pick(rng, 0, 60), ygrid, xgrid, random_noise(rng)};
        for (Kernel k : kKernels) {
            compare(*impl_, k, c, rng);
            if (HasFatalFailure()) return;
        }
    }
}

// Rows whose last vector holds every possible number of neighbourhoods, at the end of a
// plane's row and at the end of a column stripe (1024 outputs), where the sums carried into
// the next stripe must leave out the lanes past the row's end; for each odd grid width, which
// has row code of its own, and an even one, which takes the general code.
TEST_P(SimdCheck, EveryPartialLastVector) {
    std::mt19937 rng(0x5eed0008);
    for (const std::int32_t grid : {3, 4, 5, 7, 9, 11}) {
        for (std::int32_t extra = 0; extra <= 17; ++extra) {
            for (const std::int32_t base : {0, 1024}) {
                const Case c{grid + pick(rng, 1, 4), grid + base + extra, grid, grid, pick(rng, 0, 400)};
                compare(*impl_, Kernel::plane, c, rng);
                if (HasFatalFailure()) return;
            }
        }
    }
}

// The edges of the output rule: no noise, a noise at and around the local variance, and the
// largest noise there is, on planes whose variances cover a wide range.
TEST_P(SimdCheck, NoiseEdges) {
    std::mt19937 rng(0x5eed0003);
    // 32767 is the largest noise of the single-precision rule and its 16-bit multiply, 32768 the
    // smallest beyond them.
    const std::int32_t noises[] = {0, 1, 2, 15, 16, 17, 100, 1000, 16257, 32767, 32768, 16257 * 500};
    for (const std::int32_t noise : noises) {
        for (int n = 0; n < 6; ++n) {
            const std::int32_t grid = 3 + 2 * pick(rng, 0, 4);
            const Case c{grid + pick(rng, 0, 20), grid + pick(rng, 0, 70), grid, grid, noise};
            for (Kernel k : kKernels) {
                compare(*impl_, k, c, rng);
                if (HasFatalFailure()) return;
            }
        }
    }
}

// Long rows of patterns whose running sum of squares drifts far (found by search): all but
// the second take the local variance of their grid to between 29000 and 46000, above every
// true variance of 8-bit samples, so that a small noise meets both the single and the double
// precision division within one row; the second takes it down to about -45000, where every
// output must be the mean.
TEST_P(SimdCheck, DriftingRowsWithSmallNoise) {
    struct Drift {
        std::int32_t grid;
        std::vector<int> period;
        int row_shift;  // the pattern moves by this many columns per row
    };
    const Drift drifts[] = {{3, {248, 255, 0, 2}, 1},
                            {3, {242, 14, 0, 255}, 1},
                            {5, {255, 0, 253}, 0},
                            {7, {255, 255, 255, 0, 48, 94, 0, 0, 0, 218}, 0},
                            {9, {0, 42, 255, 241, 0, 96}, 0},
                            {11, {0, 255, 255, 2}, 0}};
    std::mt19937 rng(0x5eed0007);
    for (const Drift& d : drifts) {
        for (const std::int32_t noise : {0, 3, 200, 20000, 40000}) {
            const Case c{d.grid + 2, pick(rng, 1500, 2500), d.grid, d.grid, noise};
            SCOPED_TRACE(describe(c));
            Plane src(c.rows, c.cols, rng);
            const int n = static_cast<int>(d.period.size());
            for (std::int32_t r = 0; r < c.rows; ++r) {
                for (std::int32_t col = 0; col < c.cols; ++col) {
                    src.at(r, col) = static_cast<std::uint8_t>(d.period[(col + r * d.row_shift) % n]);
                }
            }
            Plane expected(c.rows, c.cols, rng);
            Plane actual = expected;
            reference::smooth_interior(args_of(expected, src, c, 0, 0));
            impl_->table.smooth_interior(args_of(actual, src, c, 0, 0));
            ASSERT_EQ(actual.bytes, expected.bytes);
        }
    }
}

std::vector<std::string> vector_paths() {
    std::vector<std::string> names;
    for (const dispatch::Implementation& impl : dispatch::implementations()) {
        if (std::string(impl.name) != "reference") names.push_back(impl.name);
    }
    return names;
}

INSTANTIATE_TEST_SUITE_P(Paths, SimdCheck, ::testing::ValuesIn(vector_paths()),
                         [](const auto& info) { return info.param; });
// A build without vector paths (other processors, or DUNMOREL_SIMD=OFF) has nothing to check.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SimdCheck);

// The product's kernels run the best path this processor has, the last one it supports, and
// give the reference's bytes.
TEST(Dispatch, PublicKernelsRunTheBestSupportedPath) {
    const auto all = dispatch::implementations();
    ASSERT_FALSE(all.empty());
    EXPECT_STREQ(all.front().name, "reference");
    EXPECT_TRUE(all.front().supported);
    EXPECT_EQ(dispatch::find("no-such-path"), nullptr);
    const dispatch::Implementation* last = nullptr;
    for (const auto& impl : all) {
        if (impl.supported) last = &impl;
    }
    EXPECT_EQ(&dispatch::best(), last);

    std::mt19937 rng(0x5eed0005);
    const Case c{37, 61, 5, 7, 40};
    Plane src(c.rows, c.cols, rng);
    fill(src, rng);
    Plane expected(c.rows, c.cols, rng);
    Plane actual = expected;
    reference::smooth_interior(args_of(expected, src, c, 0, 0));
    reference::smooth_borders(args_of(expected, src, c, 0, 0));
    smooth_plane(args_of(actual, src, c, 0, 0));
    EXPECT_EQ(actual.bytes, expected.bytes);
}

// The mean by multiply and shift equals the rounded division for every dividend that a sum
// of up to (2 * (xgrid / 2) + 1) * (2 * (ygrid / 2) + 1) samples can give, for every grid.
TEST(ExactMath, MeanByMultiplyIsExactForEveryDividend) {
    for (std::int32_t ygrid = x86::min_grid; ygrid <= x86::max_grid; ++ygrid) {
        for (std::int32_t xgrid = x86::min_grid; xgrid <= x86::max_grid; ++xgrid) {
            const std::int32_t area = xgrid * ygrid;
            const std::int32_t samples = (2 * (xgrid / 2) + 1) * (2 * (ygrid / 2) + 1);
            const std::uint32_t mul = x86::mean_multiplier(area);
            for (std::int32_t total = 0; total <= 255 * samples; ++total) {
                const std::int32_t dividend = total + area / 2;
                // The 32-bit lane product must not wrap.
                ASSERT_LT(static_cast<std::uint64_t>(dividend) * mul, std::uint64_t{1} << 32);
                ASSERT_EQ(x86::mean_by_multiply(dividend, mul), dividend / area)
                    << "area " << area << " total " << total;
            }
        }
    }
}

#if defined(__x86_64__)
// The 16-bit multiply-add that stands in for a 32-bit multiply, on the instruction itself: every
// non-negative factor below 2^15 against the ends of the signed range, and every pair the
// kernels form (a sample sum or mean 0 .. 510 against -5610 .. 5610).
TEST(ExactMath, SixteenBitMultiplyAddIsTheProductWithinItsBounds) {
    auto check = [](std::int32_t a, std::int32_t b0) {
        const __m128i av = _mm_set1_epi32(a);
        const __m128i bv = _mm_setr_epi32(b0, b0 + 1, b0 + 2, b0 + 3);
        alignas(16) std::int32_t got[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(got), _mm_madd_epi16(av, bv));
        for (int i = 0; i < 4; ++i) {
            if (got[i] != a * (b0 + i))
                return ::testing::AssertionFailure() << a << " * " << b0 + i << " gave " << got[i];
        }
        return ::testing::AssertionSuccess();
    };
    for (std::int32_t a = 0; a <= x86::mul16_limit; ++a) {
        ASSERT_TRUE(check(a, -32768));
        ASSERT_TRUE(check(a, 32764));
        ASSERT_TRUE(check(a, -2));
    }
    for (std::int32_t a = 0; a <= 510; ++a) {
        for (std::int32_t b = -5612; b <= 5610; b += 4) ASSERT_TRUE(check(a, b));
    }
}
#endif

// floor(Q / A + bias), with one fused rounding or with two, equals (Q + A / 2) / A for every
// Q whose quotient is positive, around every multiple of A and at large magnitudes; for
// negative dividends it is 0 or below, as is the truncating quotient.
TEST(ExactMath, VarianceRoundingMatchesTheIntegerDivision) {
    std::mt19937_64 rng(0x5eed0006);
    for (std::int32_t area = 9; area <= 121; ++area) {
        const double inv = 1.0 / area;
        const double bias = x86::variance_bias(area);
        auto check = [&](std::int64_t q) {
            const std::int64_t want = (q + area / 2) / area;
            const double fused = std::floor(std::fma(static_cast<double>(q), inv, bias));
            const double split = std::floor(static_cast<double>(q) * inv + bias);
            if (q + area / 2 >= 0) {
                ASSERT_EQ(static_cast<std::int64_t>(fused), want) << "area " << area << " q " << q;
                ASSERT_EQ(static_cast<std::int64_t>(split), want) << "area " << area << " q " << q;
            } else {
                ASSERT_LE(fused, 0.0);
                ASSERT_LE(split, 0.0);
                ASSERT_LE(want, 0);
            }
        };
        for (std::int64_t q = -3 * area; q <= 300 * area; ++q) check(q);
        for (int n = 0; n < 2000; ++n) {
            const std::int64_t centre = static_cast<std::int64_t>(rng() % (std::uint64_t{1} << 40)) / area * area;
            for (std::int64_t d = -area; d <= area; ++d) check(centre + d);
            if (::testing::Test::HasFatalFailure()) return;
        }
        // The single-precision rule with its one fused rounding: every Q up to its limit, and
        // negative ones down to -2^31, where only "0 or below" counts.
        const float inv_f = 1.0f / static_cast<float>(area);
        const float bias_f = x86::variance_bias_single(area);
        auto single = [&](std::int32_t q) { return std::floor(std::fmaf(static_cast<float>(q), inv_f, bias_f)); };
        const std::int32_t limit = x86::single_squares_limit(area);
        for (std::int32_t q = -area / 2; q <= limit; ++q)
            if (static_cast<std::int32_t>(single(q)) != (q + area / 2) / area) FAIL() << "area " << area << " q " << q;
        for (int n = 0; n < 20000; ++n) {
            const std::int32_t q = -static_cast<std::int32_t>(rng() % (std::uint64_t{1} << 31)) - area / 2 - 1;
            ASSERT_LE(single(q), 0.0f) << "area " << area << " q " << q;
        }
    }
}

// The truncated single-precision quotient of the narrow lanes' pull is the truncating integer
// division for every numerator below 2^24 in magnitude and every divisor up to 2^23: near every
// multiple of the divisor, at the largest numerators, and at random.
TEST(ExactMath, SingleDivisionTruncatesLikeTheIntegerDivision) {
    std::mt19937 rng(0x5eed0007);
    auto check = [](std::int32_t n, std::int32_t v) {
        const auto got = static_cast<std::int32_t>(std::trunc(static_cast<float>(n) / static_cast<float>(v)));
        ASSERT_EQ(got, n / v) << n << " / " << v;
    };
    const std::int32_t top = (1 << 24) - 1;
    for (int i = 0; i < 200000; ++i) {
        const std::int32_t v = i % 4 == 0 ? (1 << 23) - i % 97 : static_cast<std::int32_t>(rng() % (1u << 23)) + 1;
        const std::int32_t k = static_cast<std::int32_t>(rng() % (static_cast<std::uint32_t>(top / v) + 1));
        for (const std::int32_t n :
             {k * v - 1, k * v, k * v + 1, top - i % 7, static_cast<std::int32_t>(rng() % top)}) {
            if (n < 0 || n > top) continue;
            check(n, v);
            check(-n, v);
        }
        if (HasFatalFailure()) return;
    }
}

// ---- 16-bit samples ----

using Plane16 = BasicPlane<std::uint16_t>;

// The 8-bit contents of fill() at `bits` bits: shifted up with random low bits, or full-range
// words, some of them above the declared depth, which a host may hand over.
void fill16(Plane16& p, std::int32_t bits, std::mt19937& rng) {
    Plane eight(p.rows, p.cols, rng);
    fill(eight, rng);
    const int kind = pick(rng, 0, 3);
    for (std::int32_t r = 0; r < p.rows; ++r) {
        for (std::int32_t c = 0; c < p.cols; ++c) {
            const int low = pick(rng, 0, (1 << (bits - 8)) - 1);
            int v = (eight.at(r, c) << (bits - 8)) | (kind == 0 ? 0 : low);
            if (kind == 3) v = pick(rng, 0, 50) == 0 ? pick(rng, 0, 65535) : v;
            p.at(r, c) = static_cast<std::uint16_t>(v);
        }
    }
}

std::int64_t random_noise16(std::int32_t bits, std::mt19937& rng) {
    if (pick(rng, 0, 9) == 0) return pick(rng, 0, 1) == 0 ? 0 : max_noise16;
    return noise_at_bits(random_noise(rng) % (16257 * 500 + 1), bits);
}

// A 16-bit path against the 16-bit reference on one random case: a whole pass or a random
// range of its rows, over a random destination, the source left alone.
void compare16(const dispatch16::Implementation16& impl, Smooth16Args a, std::mt19937& rng) {
    SCOPED_TRACE("rows " + std::to_string(a.rows) + " cols " + std::to_string(a.cols) + " grid " +
                 std::to_string(a.ygrid) + "x" + std::to_string(a.xgrid) + " bits " + std::to_string(a.bits) +
                 " noise " + std::to_string(a.noise));
    Plane16 src(a.rows, a.cols, rng);
    fill16(src, a.bits, rng);
    const std::vector<std::uint16_t> src_before = src.bytes;
    Plane16 expected(a.rows, a.cols, rng);
    Plane16 actual = expected;
    a.src = src.view();
    a.first_row = pick(rng, 0, 1) == 0 ? 0 : pick(rng, -2, a.rows - 1);
    a.end_row = a.first_row == 0 ? a.rows : pick(rng, a.first_row + 1, a.rows + 2);
    a.dst = expected.view();
    reference16::smooth_rows(a);
    a.dst = actual.view();
    impl.smooth_rows(a);
    for (std::int32_t r = 0; r < a.rows; ++r)
        for (std::int32_t c = 0; c < a.cols; ++c) ASSERT_EQ(actual.at(r, c), expected.at(r, c)) << r << "," << c;
    ASSERT_EQ(actual.bytes, expected.bytes) << "a word past a row differs";
    ASSERT_EQ(src.bytes, src_before);
}

class SimdCheck16 : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        impl_ = dispatch16::find(GetParam());
        ASSERT_NE(impl_, nullptr);
        if (!impl_->supported) GTEST_SKIP() << GetParam() << " does not run on this processor";
    }
    const dispatch16::Implementation16* impl_ = nullptr;
};

// Every grid shape and depth on small planes, then planes across the stripes (1024 outputs) and
// bands (64 rows) of the vector paths, with every partial last vector.
TEST_P(SimdCheck16, EveryGridDepthAndSize) {
    std::mt19937 rng(0x5eed0016);
    for (std::int32_t ygrid = 3; ygrid <= 11; ++ygrid) {
        for (std::int32_t xgrid = 3; xgrid <= 11; ++xgrid) {
            for (int n = 0; n < 3; ++n) {
                Smooth16Args a;
                a.ygrid = ygrid;
                a.xgrid = xgrid;
                a.bits = pick(rng, 9, 16);
                a.noise = random_noise16(a.bits, rng);
                a.rows = ygrid + (n == 0 ? 0 : pick(rng, 1, 12));
                a.cols = xgrid + (n == 0 ? pick(rng, 0, 3) : pick(rng, 4, 40));
                compare16(*impl_, a, rng);
                if (HasFatalFailure()) return;
            }
        }
    }
    for (int n = 0; n < 24; ++n) {
        Smooth16Args a;
        a.ygrid = 3 + 2 * pick(rng, 0, 4);
        a.xgrid = 3 + 2 * pick(rng, 0, 4);
        a.bits = n % 2 == 0 ? 10 : 16;
        a.noise = random_noise16(a.bits, rng);
        a.rows = n < 8 ? pick(rng, 64, 200) : a.ygrid + pick(rng, 1, 4);
        a.cols = n < 8 ? a.xgrid + pick(rng, 0, 40) : pick(rng, 0, 1) * 1024 + a.xgrid + n - 8;
        if (n % 5 == 0) a.cols += 1100;
        compare16(*impl_, a, rng);
        if (HasFatalFailure()) return;
    }
}

// The lanes at their limits: for samples below 2^10 noises on both sides of the single-precision
// limit of 2^14, every grid height they take, contents with variances past 2^14 and words above
// the depth; at 16 bits noises on both sides of the double lanes' limit of 2^37, where the
// interior and the top and bottom rows leave the lanes. Each on rows that end a column stripe
// (1024 outputs) with every kind of partial last vector, and on rows shorter than one vector.
TEST_P(SimdCheck16, LanesAtTheirLimits) {
    std::mt19937 rng(0x5eed001a);
    struct Depth {
        std::int32_t bits;
        std::int64_t noises[4];
    };
    const std::int64_t wide = std::int64_t{1} << 37;
    const Depth depths[] = {{9, {0, 1, 16383, 16384}}, {10, {0, 1, 16383, 16384}}, {16, {0, 1, wide - 1, wide}}};
    const std::int32_t past_stripe[] = {-1, 0, 1, 7, 15, 16};
    for (const auto& [bits, noises] : depths) {
        for (const std::int64_t noise : noises) {
            for (const std::int32_t grid : {3, 5, 11}) {
                Smooth16Args a;
                a.bits = bits;
                a.noise = noise;
                a.ygrid = grid;
                a.xgrid = 14 - grid;
                a.rows = 70 + grid;
                a.cols = 300 + grid;
                compare16(*impl_, a, rng);
                a.rows = grid + 3;
                for (const std::int32_t past : past_stripe) {
                    a.cols = 1024 + a.xgrid + past;
                    compare16(*impl_, a, rng);
                }
                a.cols = a.xgrid + pick(rng, 1, 15);
                compare16(*impl_, a, rng);
                if (HasFatalFailure()) return;
            }
        }
    }
}

// Long rows whose running sum of squares drifts far, at 16 and 10 bits, with noises around it.
TEST_P(SimdCheck16, DriftingRows) {
    std::mt19937 rng(0x5eed0017);
    const std::vector<int> periods[] = {{248, 255, 0, 2}, {242, 14, 0, 255}, {0, 255, 255, 2}};
    struct Depth {
        std::int32_t bits, scale;
        std::int64_t noises[3];
    };
    const Depth depths[] = {{16, 257, {0, std::int64_t{3} << 16, std::int64_t{40000} << 16}},
                            {10, 4, {0, 3 << 4, 1023 << 4}}};
    for (const auto& [bits, scale, noises] : depths)
        for (const auto& period : periods) {
            for (const std::int64_t noise : noises) {
                Smooth16Args a;
                a.bits = bits;
                a.noise = noise;
                a.rows = a.ygrid + 2;
                a.cols = pick(rng, 1500, 2500);
                Plane16 src(a.rows, a.cols, rng);
                for (std::int32_t r = 0; r < a.rows; ++r)
                    for (std::int32_t c = 0; c < a.cols; ++c)
                        src.at(r, c) = static_cast<std::uint16_t>(period[(c + r) % period.size()] * scale);
                Plane16 expected(a.rows, a.cols, rng);
                Plane16 actual = expected;
                a.src = src.view();
                a.end_row = a.rows;
                a.dst = expected.view();
                reference16::smooth_rows(a);
                a.dst = actual.view();
                impl_->smooth_rows(a);
                ASSERT_EQ(actual.bytes, expected.bytes);
            }
        }
}

std::vector<std::string> vector_paths16() {
    std::vector<std::string> names;
    for (const auto& impl : dispatch16::implementations())
        if (std::string(impl.name) != "reference") names.push_back(impl.name);
    return names;
}
INSTANTIATE_TEST_SUITE_P(Paths, SimdCheck16, ::testing::ValuesIn(vector_paths16()),
                         [](const auto& info) { return info.param; });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SimdCheck16);

// The 16-bit reference is the 8-bit arithmetic widened: on samples that fit 8 bits, with an
// 8-bit noise, it gives the 8-bit reference's values at every depth and odd grid. (Even grids,
// which the filter never uses, have mirrored neighbourhoods of more than A samples whose
// results can pass 255, and the 8-bit kernel keeps their low bits.)
TEST(Reference16, EqualsTheEightBitKernelOnEightBitSamples) {
    std::mt19937 rng(0x5eed0018);
    for (int n = 0; n < 120; ++n) {
        const Case c{pick(rng, 3, 30), pick(rng, 3, 60), 3 + 2 * pick(rng, 0, 4), 3 + 2 * pick(rng, 0, 4),
                     random_noise(rng)};
        if (c.rows < c.ygrid || c.cols < c.xgrid) continue;
        SCOPED_TRACE(describe(c));
        Plane src(c.rows, c.cols, rng);
        fill(src, rng);
        Plane eight(c.rows, c.cols, rng);
        reference::smooth_rows(args_of(eight, src, c, 0, c.rows));
        Plane16 wide_src(c.rows, c.cols, rng);
        for (std::int32_t r = 0; r < c.rows; ++r)
            for (std::int32_t col = 0; col < c.cols; ++col) wide_src.at(r, col) = src.at(r, col);
        Plane16 wide(c.rows, c.cols, rng);
        Smooth16Args a{wide.view(), wide_src.view(),  std::min<std::int64_t>(c.noise, max_noise16),
                       c.rows,      c.cols,           c.ygrid,
                       c.xgrid,     pick(rng, 9, 16), 0,
                       c.rows};
        reference16::smooth_plane(a);
        for (std::int32_t r = 0; r < c.rows; ++r)
            for (std::int32_t col = 0; col < c.cols; ++col) ASSERT_EQ(wide.at(r, col), eight.at(r, col));
    }
}

// Words above the declared depth: every smoothed sample is clamped to 2^bits - 1 (the corner
// blocks, never smoothed, are copied as they are); within the depth nothing is clamped.
TEST(Reference16, SmoothedSamplesStayWithinTheDepth) {
    EXPECT_EQ(reference16::smoothed16(1200, 1100, 50, 10, 1023), 1023);  // 1200 - (100 * 10) / 50 = 1180
    EXPECT_EQ(reference16::smoothed16(1000, 1030, 20, 10, 1023), 1015);  // 1000 - (-300 / 20), truncated
    EXPECT_EQ(reference16::smoothed16(5, 2000, 5, 10, 1023), 1023);  // the mean itself, above the depth
    std::mt19937 rng(0x5eed0019);
    Plane16 src(20, 30, rng);
    Plane16 dst(20, 30, rng);
    for (std::uint16_t& w : src.bytes) w = static_cast<std::uint16_t>(pick(rng, 900, 4095));
    Smooth16Args a{dst.view(), src.view(), 1000, 20, 30, 3, 5, 10, 0, 20};
    smooth_plane16(a);
    for (std::int32_t r = 0; r < 20; ++r) {
        for (std::int32_t c = 0; c < 30; ++c) {
            const bool corner = (r < 1 || r >= 19) && (c < 2 || c >= 28);
            if (corner) {
                EXPECT_EQ(dst.at(r, c), src.at(r, c));
            } else {
                EXPECT_LE(dst.at(r, c), 1023);
            }
        }
    }
    EXPECT_EQ(to_8_bits(1023, 10), 255);  // (1023 + 2) >> 2 = 256, kept at 255
    EXPECT_EQ(to_8_bits(513, 10), 128);  // (513 + 2) >> 2
    EXPECT_EQ(to_8_bits(65535, 16), 255);
    EXPECT_EQ(to_8_bits(383, 16), 1);  // (383 + 128) >> 8
    EXPECT_EQ(to_8_bits(4095, 12), 255);
    EXPECT_EQ(noise_at_bits(8128500, 16), std::int64_t{8128500} * 65536);
}

}  // namespace
}  // namespace dunmorel
