// Hand-worked values and edge cases of the plane kernels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "kernels/plane.h"
#include "kernels/reference.h"
#include "kernels/sample_math.h"
#include "tests/kernel_model.h"
#include "tests/plane_buffer.h"

namespace dunmorel::test {
namespace {

Grid repeated_row(const std::vector<int>& row, int count) { return Grid(count, row); }

Grid random_grid(int rows, int cols, std::mt19937& rng) {
    Grid g(rows, std::vector<int>(cols));
    for (auto& row : g) {
        for (int& v : row) v = static_cast<int>(rng() % 256);
    }
    return g;
}

// Which destination samples a kernel writes: it runs once over a destination of 0x00 and once
// over one of 0xFF; a sample it writes differs from one of the two fillers.
using Kernel = std::function<void(PlaneView dst)>;
std::vector<std::vector<bool>> written_samples(Layout layout, const Kernel& kernel) {
    PlaneBuffer low(layout, 0x00);
    PlaneBuffer high(layout, 0xFF);
    kernel(low.view());
    kernel(high.view());
    std::vector<std::vector<bool>> written(layout.height, std::vector<bool>(layout.width));
    for (int r = 0; r < layout.height; ++r) {
        for (int c = 0; c < layout.width; ++c) {
            written[r][c] = low.at(r, c) != 0x00 || high.at(r, c) != 0xFF;
        }
    }
    return written;
}

// ---------------------------------------------------------------------------------------------
// window_variance

struct VarianceCase {
    std::string name;
    Grid samples;
    std::int32_t expected;
};

TEST(WindowVariance, WorkedValues) {
    const VarianceCase cases[] = {
        {"10 11 11 12", {{10, 11}, {11, 12}}, 1},
        {"0 and 1: halves round up", {{0, 1}}, 1},
        {"0 and 255: the largest variance", {{0}, {255}}, 16257},
        {"0 0 1: about the rounded mean", {{0, 0, 1}}, 0},
        {"all equal", {{9, 9, 9}, {9, 9, 9}}, 0},
        {"single sample", {{200}}, 0},
    };
    for (const VarianceCase& c : cases) {
        SCOPED_TRACE(c.name);
        const int rows = static_cast<int>(c.samples.size());
        const int cols = static_cast<int>(c.samples[0].size());
        PlaneBuffer plane(tight(cols, rows), 0);
        plane.load(c.samples);
        EXPECT_EQ(window_variance(plane.view(), {0, 0, cols - 1, rows - 1}), c.expected);
    }
    EXPECT_EQ(max_sample_variance, 16257);
}

TEST(WindowVariance, ReadsOnlyTheRowsSamplesNotThePadding) {
    // Two rows of four samples, 10 11 11 12, in rows of 19 bytes whose padding alternates 0 and
    // 255, which would dominate the result if it were read; top-down and bottom-up.
    const int pitch = 19;
    std::vector<std::uint8_t> bytes(pitch + 4);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = (i % 2) ? 0 : 255;
    const std::uint8_t u[4] = {10, 11, 11, 12};
    for (int row = 0; row < 2; ++row) {
        for (int k = 0; k < 4; ++k) bytes[row * pitch + k] = u[k];
    }
    for (const ConstPlaneView view :
         {ConstPlaneView{bytes.data(), pitch, 1, 4, 2}, ConstPlaneView{bytes.data() + pitch, -pitch, 1, 4, 2}}) {
        EXPECT_EQ(window_variance(view, {0, 0, 3, 1}), 1);
        EXPECT_EQ(window_variance(view, {1, 1, 2, 1}), 0);
    }
}

TEST(WindowVariance, RectangleMayBeGivenFromAMovedBase) {
    std::mt19937 rng(11);
    PlaneBuffer plane({23, 17, -71}, 0);
    plane.load(random_grid(17, 23, rng));
    const WindowRect rect{4, 3, 19, 15};
    const std::int32_t direct = window_variance(plane.view(), rect);
    ConstPlaneView moved = plane.view();
    moved.base = &plane.at(rect.first_row, rect.first_col);
    EXPECT_EQ(window_variance(moved, {0, 0, rect.width() - 1, rect.height() - 1}), direct);
    EXPECT_EQ(direct, model::window_variance(plane.samples(), rect));
}

TEST(WindowVariance, LargeContrastyWindowBeyond32BitSums) {
    // 90000 samples, half 0 and half 255: twice the sum of squares is about 2.9e9.
    const int side = 300;
    Grid g = filled_grid(side, side, 0);
    for (int r = side / 2; r < side; ++r) g[r].assign(side, 255);
    PlaneBuffer plane(tight(side, side), 0);
    plane.load(g);
    EXPECT_EQ(window_variance(plane.view(), {0, 0, side - 1, side - 1}), 16257);
}

// ---------------------------------------------------------------------------------------------
// The output rule and the pass-count rule

struct OutputCase {
    std::string name;
    std::int32_t centre;
    std::int64_t mean;
    std::int64_t variance;
    std::int32_t noise;
    std::int32_t expected;
};

TEST(SmoothedSample, PullsTowardsTheMeanWithTruncation) {
    const OutputCase cases[] = {
        {"truncates towards zero: 100 - (-30 / 20)", 100, 103, 20, 10, 101},
        {"interior example, noise 5", 0, 3, 12, 5, 1},
        {"border example, noise 50", 10, 30, 200, 50, 15},
        {"variance equal to the noise gives the mean", 10, 30, 200, 200, 30},
        {"noise above the variance gives the mean", 200, 40, 16257, 8128500, 40},
        {"noise 0, variance 0 gives the mean", 51, 50, 0, 0, 50},
        {"noise 0, variance 1 keeps the sample", 51, 50, 1, 0, 51},
        {"running variance drifted below zero gives the mean", 10, 30, -5, 0, 30},
        {"largest pull", 255, 0, 16257, 16256, 1},
        {"negative noise cannot divide by zero", 10, 30, 0, -1, 30},
    };
    for (const OutputCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(detail::smoothed_sample(c.centre, c.mean, c.variance, c.noise), c.expected);
    }
}

struct CountCase {
    std::string name;
    std::int32_t measured;
    std::int32_t noise;
    std::int32_t limit;
    std::int32_t expected;
};

TEST(PassCountChange, RaisesKeepsOrLowers) {
    const CountCase cases[] = {
        {"limit 10: 60 after 100 adds a pass", 60, 100, 10, 1},
        {"limit 10: 58 after 60 keeps (threshold 54)", 58, 60, 10, 0},
        {"limit 10: 120 after 100 removes a pass", 120, 100, 10, -1},
        {"limit 10: 95 after 100 keeps", 95, 100, 10, 0},
        {"limit 10: exactly the threshold keeps", 90, 100, 10, 0},
        {"limit 20: 40 after 50 keeps", 40, 50, 20, 0},
        {"limit 20: 39 after 50 adds", 39, 50, 20, 1},
        {"limit 0: any decrease adds", 99, 100, 0, 1},
        {"equal to the noise keeps", 100, 100, 0, 0},
        {"noise 0, measured 0 keeps", 0, 0, 10, 0},
        {"threshold truncates: 90 * 7 / 100 = 6", 5, 7, 10, 1},
        {"threshold truncates: 6 is not below 6", 6, 7, 10, 0},
        {"huge noise does not overflow the percentage", 0, 2147483647, 0, 1},
    };
    for (const CountCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(detail::pass_count_change(c.measured, c.noise, c.limit), c.expected);
    }
}

// ---------------------------------------------------------------------------------------------
// smooth_interior

TEST(SmoothInterior, WorkedExampleWithRunningSquares) {
    // Three rows of 0 0 0 9 feed the single output row; the fourth row is the one below the
    // last neighbourhood position and is never read.
    Grid src = repeated_row({0, 0, 0, 9}, 3);
    src.push_back({77, 13, 200, 5});
    struct {
        std::int32_t noise;
        int at_column_2;
    } const cases[] = {{5, 1}, {11, 2}, {12, 3}, {1000, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.noise);
        PlaneBuffer source(tight(4, 4), 0);
        source.load(src);
        PlaneBuffer dst(tight(4, 4), 0xEE);
        smooth_interior(pass_args(dst.view(), source.view(), c.noise, 4, 4, 3, 3));
        Grid expected = filled_grid(4, 4, 0xEE);
        expected[1][1] = 0;
        expected[1][2] = c.at_column_2;
        EXPECT_EQ(dst.samples(), expected);
    }
}

TEST(SmoothInterior, NoiseZeroFlattensOnlyWhereTheRoundedVarianceIsZero) {
    PlaneBuffer dst(tight(3, 4), 0);
    PlaneBuffer source(tight(3, 4), 0);
    // Eight 50s and a 51 in the centre: v = (1 + 4) / 9 = 0, so the centre becomes 50.
    source.load({{50, 50, 50}, {50, 51, 50}, {50, 50, 50}, {0, 0, 0}});
    smooth_interior(pass_args(dst.view(), source.view(), 0, 4, 3, 3, 3));
    EXPECT_EQ(dst.at(1, 1), 50);
    // Eight 50s and a 60 in a corner: v = 10, so the centre 50 stays although the mean is 51.
    source.load({{60, 50, 50}, {50, 50, 50}, {50, 50, 50}, {0, 0, 0}});
    smooth_interior(pass_args(dst.view(), source.view(), 0, 4, 3, 3, 3));
    EXPECT_EQ(dst.at(1, 1), 50);
}

TEST(SmoothInterior, FlatSourceStaysFlat) {
    for (const std::int32_t noise : {0, 7, 8128500}) {
        SCOPED_TRACE(noise);
        PlaneBuffer source(tight(12, 9), 93);
        PlaneBuffer dst(tight(12, 9), 0);
        smooth_interior(pass_args(dst.view(), source.view(), noise, 9, 12, 5, 3));
        for (int r = 2; r <= 5; ++r) {
            for (int c = 1; c <= 10; ++c) EXPECT_EQ(dst.at(r, c), 93) << r << "," << c;
        }
    }
}

TEST(SmoothInterior, NeverReadsTheLastSourceRow) {
    std::mt19937 rng(5);
    const Grid base = random_grid(8, 10, rng);
    Grid other = base;
    for (int& v : other.back()) v = 255 - v;
    PlaneBuffer a(tight(10, 8), 0);
    PlaneBuffer b(tight(10, 8), 0);
    a.load(base);
    b.load(other);
    PlaneBuffer out_a(tight(10, 8), 0);
    PlaneBuffer out_b(tight(10, 8), 0);
    smooth_interior(pass_args(out_a.view(), a.view(), 40, 8, 10, 5, 5));
    smooth_interior(pass_args(out_b.view(), b.view(), 40, 8, 10, 5, 5));
    EXPECT_EQ(out_a.bytes(), out_b.bytes());
}

// ---------------------------------------------------------------------------------------------
// fill_margins

TEST(FillMargins, ShiftsTheStripJustInside) {
    PlaneBuffer plane(tight(7, 3), 0);
    plane.load(repeated_row({10, 20, 30, 40, 50, 60, 70}, 3));
    fill_margins(plane.view(), 3, 7, 3, 5);
    EXPECT_EQ(plane.samples(), repeated_row({30, 40, 30, 40, 50, 40, 50}, 3));
}

TEST(FillMargins, CornersComeFromDiagonallyInsideAndPaddingStaysUntouched) {
    // 7 x 7 samples in rows of 25 bytes, stored bottom-up, margins of 2.
    std::mt19937 rng(3);
    PlaneBuffer plane({7, 7, -25}, 0);
    plane.scramble_gaps(rng);
    Grid g(7, std::vector<int>(7));
    for (int r = 0; r < 7; ++r) {
        for (int c = 0; c < 7; ++c) g[r][c] = r * 16 + c;
    }
    plane.load(g);
    const std::vector<std::uint8_t> before = plane.bytes();
    fill_margins(plane.view(), 7, 7, 5, 5);
    auto shifted = [](int t) { return t < 2 ? t + 2 : (t > 4 ? t - 2 : t); };
    for (int r = 0; r < 7; ++r) {
        for (int c = 0; c < 7; ++c) {
            EXPECT_EQ(plane.at(r, c), g[shifted(r)][shifted(c)]) << r << "," << c;
        }
    }
    const std::vector<bool> mask = plane.sample_mask();
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (!mask[i]) {
            EXPECT_EQ(plane.bytes()[i], before[i]) << "byte " << i;
        }
    }
}

TEST(FillMargins, NarrowRegionFollowsTheWriteOrder) {
    // 12 columns with margins of 5: the strips overlap, so the in-place order decides. Each
    // k first fills column k, then column 11 - k, reading columns that may already be written.
    PlaneBuffer plane(tight(12, 2), 0);
    Grid g(2, std::vector<int>(12));
    for (int c = 0; c < 12; ++c) {
        g[0][c] = c;
        g[1][c] = 100 + c;
    }
    plane.load(g);
    fill_margins(plane.view(), 2, 12, 3, 11);
    // Row 0 takes row 1, then row 1 takes row 0 (already a copy of row 1).
    const std::vector<int> row = {105, 106, 107, 108, 104, 105, 106, 107, 108, 104, 105, 106};
    EXPECT_EQ(plane.samples(), repeated_row(row, 2));
}

// ---------------------------------------------------------------------------------------------
// smooth_borders and smooth_plane

TEST(SmoothBorders, MirroredNeighbourhoodAtTheLeftEdge) {
    // Column 0 of an inner row sees 40 10 40 in each of its three rows: m = 30, v = 200.
    const Grid src = repeated_row({10, 40, 70, 100, 130, 160}, 5);
    struct {
        std::int32_t noise;
        int expected;
    } const cases[] = {{50, 15}, {199, 29}, {200, 30}, {5000, 30}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.noise);
        PlaneBuffer source(tight(6, 5), 0);
        source.load(src);
        PlaneBuffer dst(tight(6, 5), 0);
        reference::smooth_borders(pass_args(dst.view(), source.view(), c.noise, 5, 6, 3, 3));
        for (int r = 1; r <= 3; ++r) EXPECT_EQ(dst.at(r, 0), c.expected) << "row " << r;
        // Rows 0 and 4 of column 0 are corners.
        EXPECT_EQ(dst.at(0, 0), 10);
        EXPECT_EQ(dst.at(4, 0), 10);
    }
}

TEST(SmoothBorders, SplitsThePlaneWithTheInteriorPass) {
    // 8 columns by 6 rows with xgrid 5, ygrid 3: the interior pass writes rows 1 to 3,
    // columns 2 to 5; the border pass writes everything else.
    std::mt19937 rng(8);
    PlaneBuffer source(tight(8, 6), 0);
    source.load(random_grid(6, 8, rng));
    const auto interior = written_samples(
        tight(8, 6), [&](PlaneView dst) { smooth_interior(pass_args(dst, source.view(), 30, 6, 8, 3, 5)); });
    const auto borders = written_samples(
        tight(8, 6), [&](PlaneView dst) { reference::smooth_borders(pass_args(dst, source.view(), 30, 6, 8, 3, 5)); });
    for (int r = 0; r < 6; ++r) {
        for (int c = 0; c < 8; ++c) {
            const bool inner = r >= 1 && r <= 3 && c >= 2 && c <= 5;
            EXPECT_EQ(interior[r][c], inner) << r << "," << c;
            EXPECT_EQ(borders[r][c], !inner) << r << "," << c;
        }
    }
}

TEST(SmoothBorders, CornersReachTheDestinationUnchanged) {
    for (const int grid : {3, 5, 7}) {
        SCOPED_TRACE(grid);
        const int side = 2 * grid;
        Grid src = filled_grid(side, side, 0);
        src[0][0] = 255;
        src[side - 1][side - 1] = 200;
        PlaneBuffer source(tight(side, side), 0);
        source.load(src);
        PlaneBuffer dst(tight(side, side), 0x55);
        smooth_plane(pass_args(dst.view(), source.view(), 0, side, side, grid, grid));
        const int h = grid / 2;
        for (int r = 0; r < side; ++r) {
            for (int c = 0; c < side; ++c) {
                const bool corner = (r < h || r >= side - h) && (c < h || c >= side - h);
                if (corner) {
                    EXPECT_EQ(dst.at(r, c), src[r][c]) << r << "," << c;
                }
            }
        }
        EXPECT_EQ(dst.at(0, 0), 255);
    }
}

TEST(SmoothPlane, FlatPlaneStaysFlatEverywhere) {
    for (const std::int32_t noise : {0, 100, 8128500}) {
        SCOPED_TRACE(noise);
        PlaneBuffer source(tight(11, 7), 201);
        PlaneBuffer dst(tight(11, 7), 0);
        smooth_plane(pass_args(dst.view(), source.view(), noise, 7, 11, 7, 11));
        EXPECT_EQ(dst.samples(), filled_grid(7, 11, 201));
    }
}

TEST(SmoothPlane, PlaneSmallerThanTheGridIsLeftAlone) {
    // Outside the callers' contract; nothing may be touched.
    PlaneBuffer source(tight(4, 9), 10);
    PlaneBuffer dst(tight(4, 9), 0x33);
    smooth_plane(pass_args(dst.view(), source.view(), 5, 9, 4, 5, 5));
    EXPECT_EQ(dst.samples(), filled_grid(9, 4, 0x33));
}

// ---------------------------------------------------------------------------------------------
// calibrate_passes

constexpr std::int32_t untouched = -7;

struct Calibration {
    int height, width, ygrid, xgrid, extra_pitch;
    Layout layout() const { return {width + xgrid, height + ygrid, width + xgrid + extra_pitch}; }
};

VarianceTable sentinel_table() {
    VarianceTable table;
    for (auto& row : table) row.fill(untouched);
    return table;
}

TEST(CalibratePasses, RaiseThenKeepEndsAtTwoPasses) {
    // A flat window measures 0: below the threshold of noise 100, then neither above nor below
    // noise 0, so the second trial keeps the count at 2 and ends the loop.
    const Calibration cal{6, 9, 3, 3, 4};
    for (const std::int32_t limit : {0, 10, 20}) {
        SCOPED_TRACE(limit);
        PlaneBuffer first(cal.layout(), 0xA1);
        PlaneBuffer second(cal.layout(), 0xA1);
        first.load(filled_grid(9, 12, 77));
        second.load(filled_grid(9, 12, 77));
        VarianceTable table = sentinel_table();
        table[0][1] = 100;
        std::int32_t count = 1;
        calibrate_passes(first.view().base, second.view().base, first.layout().pitch, cal.height, cal.width, cal.ygrid,
                         cal.xgrid, count, table, 1, limit);
        EXPECT_EQ(count, 2);
        VarianceTable expected = sentinel_table();
        expected[0][1] = 100;
        expected[1][1] = 0;
        expected[2][1] = 0;
        EXPECT_EQ(table, expected);
        // The bytes past each row's end belong to nobody.
        for (int r = 0; r + 1 < 9; ++r) {
            for (int k = 12; k < 16; ++k) {
                EXPECT_EQ(first.bytes()[r * 16 + k], 0xA1);
                EXPECT_EQ(second.bytes()[r * 16 + k], 0xA1);
            }
        }
    }
}

TEST(CalibratePasses, CountRaisedByTheTenthTrialIsStoredAsTen) {
    // A busy window whose variance falls with every one of ten trials: with limit 0 each trial
    // raises the count, which reaches 11 and is stored as 10; entry 11 is never written.
    const Calibration cal{6, 9, 3, 3, 0};
    Grid copy = filled_grid(9, 12, 0);
    for (int r = 0; r < 9; ++r) {
        for (int c = 0; c < 12; ++c) copy[r][c] = 100 + (r * 37 + c * 91 + r * c * 13) % 51 - 25;
    }
    PlaneBuffer first(cal.layout(), 0);
    PlaneBuffer second(cal.layout(), 0);
    first.load(copy);
    second.load(copy);
    VarianceTable table = sentinel_table();
    table[0][0] = window_variance(first.view(), {1, 1, 9, 6});
    std::int32_t count = 1;
    calibrate_passes(first.view().base, second.view().base, 12, cal.height, cal.width, cal.ygrid, cal.xgrid, count,
                     table, 0, 0);
    EXPECT_EQ(count, 10);
    for (int i = 1; i <= 10; ++i) EXPECT_LT(table[i][0], table[i - 1][0]) << "entry " << i;
    EXPECT_EQ(table[11][0], untouched);
}

TEST(CalibratePasses, FirstTrialAboveTheNoiseLeavesNoPass) {
    std::mt19937 rng(21);
    const Calibration cal{8, 10, 5, 3, 0};
    const Grid window = random_grid(13, 13, rng);
    PlaneBuffer first(cal.layout(), 0);
    PlaneBuffer second(cal.layout(), 0);
    first.load(window);
    second.load(window);
    VarianceTable table = sentinel_table();
    table[0][2] = 0;
    std::int32_t count = 1;
    calibrate_passes(first.view().base, second.view().base, 13, cal.height, cal.width, cal.ygrid, cal.xgrid, count,
                     table, 2, 10);
    EXPECT_EQ(count, 0);
    EXPECT_GT(table[1][2], 0);
    for (int i = 2; i < 12; ++i) EXPECT_EQ(table[i][2], untouched) << "entry " << i;
}

TEST(CalibratePasses, KeptCountEndsTheLoopAtThatCount) {
    // A flat window with noise 0 measures 0 every time: neither above nor below, so a count of
    // 3 stays 3 after exactly three trials.
    const Calibration cal{5, 5, 3, 5, 1};
    for (const std::int32_t start : {0, 3}) {
        SCOPED_TRACE(start);
        PlaneBuffer first(cal.layout(), 0);
        PlaneBuffer second(cal.layout(), 0);
        first.load(filled_grid(8, 10, 12));
        second.load(filled_grid(8, 10, 12));
        VarianceTable table = sentinel_table();
        table[0][0] = 0;
        std::int32_t count = start;
        calibrate_passes(first.view().base, second.view().base, 11, cal.height, cal.width, cal.ygrid, cal.xgrid, count,
                         table, 0, 5);
        EXPECT_EQ(count, start);
        for (int i = 1; i < 12; ++i) {
            EXPECT_EQ(table[i][0], i <= start ? 0 : untouched) << "entry " << i;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// find_flat_window

const WindowRect unset_window{-1, -2, -3, -4};

TEST(FindFlatWindow, CandidateColumnsStopBeforeTheRightMargin) {
    // Width 100, xgrid 3, Wb 8: one row of candidates at columns 3, 11, ..., 83 (91 < 89 fails).
    // A flat tile is found exactly when it sits on a candidate.
    const std::vector<int> candidates = {3, 11, 19, 27, 35, 43, 51, 59, 67, 75, 83};
    std::mt19937 rng(2);
    const Grid noisy = random_grid(15, 100, rng);
    for (int col = 0; col + 8 <= 100; ++col) {
        SCOPED_TRACE(col);
        Grid g = noisy;
        for (int r = 3; r < 11; ++r) {
            for (int c = col; c < col + 8; ++c) g[r][c] = 50;
        }
        PlaneBuffer plane(tight(100, 15), 0);
        plane.load(g);
        WindowRect window = unset_window;
        const std::int64_t v = find_flat_window(plane.view(), 8, 8, 3, 3, window);
        const bool candidate = std::find(candidates.begin(), candidates.end(), col) != candidates.end();
        if (candidate) {
            EXPECT_EQ(v, 0);
            EXPECT_EQ(window, (WindowRect{col, 3, col + 7, 10}));
        } else {
            EXPECT_GT(v, 0);
            EXPECT_NE(window.first_col, col);
        }
    }
}

TEST(FindFlatWindow, BothBoundsAreStrict) {
    // 8 x 8 blocks with margins of 3. Height 14 (or width 22) puts a candidate exactly on the
    // bound, which excludes it; one more sample admits it. Columns 0 to 10 are busy, so a
    // candidate at column 11, where it exists, is the flattest.
    struct {
        int width, height;
        WindowRect expected;
    } const cases[] = {
        {15, 14, unset_window},
        {15, 15, {3, 3, 10, 10}},  // rows: 3 < 15 - 8 - 3 only
        {22, 15, {3, 3, 10, 10}},
        {23, 15, {11, 3, 18, 10}},  // columns: 11 < 23 - 8 - 3 only
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height);
        Grid g = filled_grid(c.height, c.width, 40);
        for (int r = 0; r < c.height; ++r) {
            for (int col = 0; col < 11; ++col) g[r][col] = (r + col) % 2 ? 30 : 50;
        }
        PlaneBuffer plane(tight(c.width, c.height), 0);
        plane.load(g);
        WindowRect window = unset_window;
        const std::int64_t v = find_flat_window(plane.view(), 8, 8, 3, 3, window);
        EXPECT_EQ(window, c.expected);
        if (c.expected == unset_window) {
            EXPECT_EQ(v, 8 * 8 * 16384);
        }
    }
}

// A 4 x 3 arrangement of 8 x 8 tiles (after a margin of 3) whose variance is set per tile.
Grid tiled(const std::vector<std::vector<int>>& spread) {
    const int tile_rows = static_cast<int>(spread.size());
    const int tile_cols = static_cast<int>(spread[0].size());
    Grid g = filled_grid(tile_rows * 8 + 7, tile_cols * 8 + 7, 0);
    for (int r = 0; r < static_cast<int>(g.size()); ++r) {
        for (int c = 0; c < static_cast<int>(g[0].size()); ++c) g[r][c] = (r + c) % 2 ? 200 : 0;
    }
    for (int tr = 0; tr < tile_rows; ++tr) {
        for (int tc = 0; tc < tile_cols; ++tc) {
            for (int r = 0; r < 8; ++r) {
                for (int c = 0; c < 8; ++c) {
                    g[3 + tr * 8 + r][3 + tc * 8 + c] = 100 + ((r + c) % 2) * spread[tr][tc];
                }
            }
        }
    }
    return g;
}

TEST(FindFlatWindow, FirstTileInScanOrderWinsTies) {
    struct {
        std::string name;
        std::vector<std::vector<int>> spread;
        WindowRect expected;
        std::int64_t variance;
    } const cases[] = {
        {"upper row wins over a left one below", {{9, 9, 9, 9}, {9, 9, 1, 9}, {1, 9, 9, 9}}, {19, 11, 26, 18}, 1},
        {"left wins in the same row", {{9, 9, 9, 9}, {9, 2, 9, 2}, {9, 9, 9, 9}}, {11, 11, 18, 18}, 1},
        {"first flat tile ends the search", {{9, 0, 9, 0}, {0, 9, 9, 9}, {9, 9, 9, 9}}, {11, 3, 18, 10}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Grid g = tiled(c.spread);
        PlaneBuffer plane(tight(static_cast<int>(g[0].size()), static_cast<int>(g.size())), 0);
        plane.load(g);
        WindowRect window = unset_window;
        EXPECT_EQ(find_flat_window(plane.view(), 8, 8, 3, 3, window), c.variance);
        EXPECT_EQ(window, c.expected);
    }
}

TEST(FindFlatWindow, NoCandidateReportsTheBlockAreaTimes16384) {
    PlaneBuffer plane(tight(20, 20), 0);
    WindowRect window = unset_window;
    // 512 * 256 * 16384 = 2^31: beyond 32 bits, and above any variance.
    const std::int64_t v = find_flat_window(plane.view(), 256, 512, 3, 3, window);
    EXPECT_EQ(v, std::int64_t{1} << 31);
    EXPECT_EQ(v, no_flat_window_result(256, 512));
    EXPECT_GT(v, max_sample_variance);
    EXPECT_EQ(window, unset_window);
    EXPECT_EQ(no_flat_window_result(8, 12), 12 * 8 * 16384);
}

TEST(FindFlatWindow, SearchesABottomUpPlaneWithNoisyPadding) {
    // A flat tile stays flat whatever the padding after each row holds.
    std::mt19937 rng(4);
    PlaneBuffer luma({30, 30, -64}, 0);
    luma.scramble_gaps(rng);
    Grid g = random_grid(30, 30, rng);
    for (int r = 11; r < 19; ++r) {
        for (int c = 11; c < 19; ++c) g[r][c] = 90;
    }
    luma.load(g);
    WindowRect window = unset_window;
    EXPECT_EQ(find_flat_window(luma.view(), 8, 8, 3, 3, window), 0);
    EXPECT_EQ(window, (WindowRect{11, 11, 18, 18}));
}

}  // namespace
}  // namespace dunmorel::test
