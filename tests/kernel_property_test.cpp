// The plane kernels against the naive model on random planes, layouts, grids and noise levels.
// Seeds are fixed so that a failure reproduces; the trace names the case.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "kernels/plane.h"
#include "kernels/reference.h"
#include "tests/kernel_model.h"
#include "tests/plane_buffer.h"

namespace dunmorel::test {
namespace {

constexpr int grids[] = {3, 5, 7, 9, 11};

int pick(std::mt19937& rng, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

// A plane whose rows may be longer than the samples they hold, top-down or bottom-up.
Layout random_layout(int rows, int cols, bool bottom_up, std::mt19937& rng) {
    const int pitch = cols + pick(rng, 0, 5);
    return {cols, rows, bottom_up ? -pitch : pitch};
}

// Sample patterns that stress different parts of the arithmetic; kind 3 makes the running sum
// of squares drift far from the exact one along a row.
Grid random_content(int rows, int cols, std::mt19937& rng, int kind = -1) {
    Grid g(rows, std::vector<int>(cols));
    if (kind < 0) kind = pick(rng, 0, 5);
    const int base = pick(rng, 0, 255);
    const int dr = pick(rng, -6, 6);
    const int dc = pick(rng, -6, 6);
    static const int rising[] = {248, 255, 0, 2};  // running squares drift upwards
    static const int falling[] = {242, 14, 0, 255};  // and downwards
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            int v = 0;
            switch (kind) {
                case 0:
                    v = pick(rng, 0, 255);
                    break;
                case 1:
                    v = std::clamp(base + r * dr + c * dc + pick(rng, -4, 4), 0, 255);
                    break;
                case 2:
                    v = pick(rng, 0, 1) * 255;
                    break;
                case 3:
                    v = (r % 3 == 0 ? falling : rising)[(c + r) % 4];
                    break;
                case 4:
                    v = pick(rng, 0, 40) == 0 ? pick(rng, 0, 255) : base;
                    break;
                default:
                    v = std::clamp(base + pick(rng, -2, 2), 0, 255);
                    break;
            }
            g[r][c] = v;
        }
    }
    return g;
}

std::int32_t random_noise(std::mt19937& rng) {
    switch (pick(rng, 0, 4)) {
        case 0:
            return 0;
        case 1:
            return pick(rng, 1, 8);
        case 2:
            return pick(rng, 0, 3000);
        case 3:
            return 16257 * 500;
        default:
            return pick(rng, 0, 16257 * 500);
    }
}

struct PlaneCase {
    int rows, cols, ygrid, xgrid;
    bool bottom_up;
    std::int32_t noise;
    int content = -1;  // random_content kind, or any
};

// Runs smooth_interior, smooth_borders and smooth_plane each on its own destination that
// holds samples and gap bytes of its own, and checks every byte: the samples a kernel writes
// against the model, every other sample and every gap byte against what was there before, and
// the source against its copy.
void check_against_model(const PlaneCase& pc, std::mt19937& rng) {
    SCOPED_TRACE(::testing::Message() << "rows " << pc.rows << " cols " << pc.cols << " ygrid " << pc.ygrid << " xgrid "
                                      << pc.xgrid << (pc.bottom_up ? " bottom-up" : "") << " noise " << pc.noise);
    const Grid src_samples = random_content(pc.rows, pc.cols, rng, pc.content);
    PlaneBuffer src(random_layout(pc.rows, pc.cols, pc.bottom_up, rng), 0);
    src.scramble_gaps(rng);
    src.load(src_samples);
    const std::vector<std::uint8_t> src_before = src.bytes();
    const Grid expected_plane = model::plane(src_samples, pc.noise, pc.ygrid, pc.xgrid);

    enum Which { interior, borders, whole };
    for (const Which which : {interior, borders, whole}) {
        SCOPED_TRACE(which == interior ? "smooth_interior" : which == borders ? "smooth_borders" : "smooth_plane");
        PlaneBuffer dst(random_layout(pc.rows, pc.cols, pc.bottom_up, rng), 0);
        dst.scramble_gaps(rng);
        const Grid dst_samples = random_content(pc.rows, pc.cols, rng);
        dst.load(dst_samples);
        const std::vector<std::uint8_t> dst_before = dst.bytes();

        Grid expected = dst_samples;
        for (int r = 0; r < pc.rows; ++r) {
            for (int c = 0; c < pc.cols; ++c) {
                const bool inner = model::in_interior(r, c, pc.rows, pc.cols, pc.ygrid, pc.xgrid);
                if (which == whole || (which == interior) == inner) expected[r][c] = expected_plane[r][c];
            }
        }
        const SmoothArgs args = pass_args(dst.view(), src.view(), pc.noise, pc.rows, pc.cols, pc.ygrid, pc.xgrid);
        switch (which) {
            case interior:
                smooth_interior(args);
                break;
            case borders:
                reference::smooth_borders(args);
                break;
            case whole:
                smooth_plane(args);
                break;
        }
        ASSERT_EQ(dst.samples(), expected);
        const std::vector<bool> mask = dst.sample_mask();
        for (std::size_t i = 0; i < dst_before.size(); ++i) {
            if (!mask[i]) {
                ASSERT_EQ(dst.bytes()[i], dst_before[i]) << "padding byte " << i;
            }
        }
    }
    ASSERT_EQ(src.bytes(), src_before);
}

TEST(KernelProperty, RandomPlanesMatchTheModel) {
    std::mt19937 rng(20240611);
    for (int n = 0; n < 150; ++n) {
        PlaneCase pc{};
        pc.ygrid = grids[pick(rng, 0, 4)];
        pc.xgrid = grids[pick(rng, 0, 4)];
        pc.rows = pc.ygrid + pick(rng, 0, 18);
        pc.cols = pc.xgrid + pick(rng, 0, 24);
        pc.bottom_up = pick(rng, 0, 3) == 0;
        pc.noise = random_noise(rng);
        check_against_model(pc, rng);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

TEST(KernelProperty, LongRowsKeepTheDriftingSumOfSquares) {
    // Rows of a few hundred samples, half of them in the pattern that makes the approximate
    // running sum of squares drift.
    std::mt19937 rng(77);
    for (int n = 0; n < 6; ++n) {
        PlaneCase pc{};
        pc.ygrid = grids[pick(rng, 0, 1)];
        pc.xgrid = grids[pick(rng, 0, 2)];
        pc.rows = pc.ygrid + 2;
        pc.cols = pick(rng, 300, 420);
        pc.bottom_up = n % 3 == 2;
        pc.noise = n % 2 ? pick(rng, 0, 30) : pick(rng, 3000, 20000);
        pc.content = n < 3 ? 3 : -1;
        check_against_model(pc, rng);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

class EveryGrid : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(EveryGrid, SmallestPlanesTopDownAndBottomUp) {
    const auto [ygrid, xgrid] = GetParam();
    std::mt19937 rng(1000 + 16 * ygrid + xgrid);
    // Exactly the grid, one more row or column, and somewhat larger planes.
    const int sizes[][2] = {{ygrid, xgrid},         {ygrid + 1, xgrid},     {ygrid, xgrid + 1},
                            {ygrid + 1, xgrid + 1}, {ygrid + 2, xgrid + 3}, {2 * ygrid + 3, 2 * xgrid + 5}};
    bool bottom_up = false;
    for (const auto& size : sizes) {
        for (const std::int32_t noise : {0, 25, 16257 * 500}) {
            check_against_model({size[0], size[1], ygrid, xgrid, bottom_up, noise}, rng);
            if (::testing::Test::HasFatalFailure()) return;
            bottom_up = !bottom_up;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(OddGrids, EveryGrid,
                         ::testing::Combine(::testing::ValuesIn(grids), ::testing::ValuesIn(grids)),
                         [](const auto& info) {
                             std::ostringstream name;
                             name << "y" << std::get<0>(info.param) << "_x" << std::get<1>(info.param);
                             return name.str();
                         });

TEST(KernelProperty, WindowVarianceMatchesAHistogramCount) {
    std::mt19937 rng(99);
    for (int n = 0; n < 200; ++n) {
        const int rows = pick(rng, 1, 30);
        const int cols = pick(rng, 1, 30);
        const Grid g = random_content(rows, cols, rng);
        PlaneBuffer plane(random_layout(rows, cols, pick(rng, 1, 4), rng), 0);
        plane.scramble_gaps(rng);
        plane.load(g);
        WindowRect rect;
        rect.first_col = pick(rng, 0, cols - 1);
        rect.last_col = pick(rng, rect.first_col, cols - 1);
        rect.first_row = pick(rng, 0, rows - 1);
        rect.last_row = pick(rng, rect.first_row, rows - 1);
        ASSERT_EQ(window_variance(plane.view(), rect), model::window_variance(g, rect)) << "case " << n;
    }
}

TEST(KernelProperty, CalibrationFollowsTheTrialLoop) {
    std::mt19937 rng(4242);
    int raised = 0;
    for (int n = 0; n < 120; ++n) {
        const int ygrid = grids[pick(rng, 0, 4)];
        const int xgrid = grids[pick(rng, 0, 4)];
        const int height = pick(rng, 1, 12);
        const int width = pick(rng, 1, 14);
        const int rows = height + ygrid;
        const int cols = width + xgrid;
        const int plane = pick(rng, 0, 2);
        const int limit = pick(rng, 0, 20);
        SCOPED_TRACE(::testing::Message() << "case " << n << " window " << height << "x" << width << " grid " << ygrid
                                          << "x" << xgrid << " limit " << limit);

        // A smooth ramp with mild noise, as a real window is, so that passes lower the variance.
        Grid copy(rows, std::vector<int>(cols));
        const int base = pick(rng, 30, 220);
        const int slope = pick(rng, -3, 3);
        const int spread = pick(rng, 0, 30);
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < cols; ++c) {
                copy[r][c] = std::clamp(base + slope * c + pick(rng, -spread, spread), 0, 255);
            }
        }
        const int hx = xgrid / 2;
        const int hy = ygrid / 2;

        VarianceTable table;
        for (auto& row : table) {
            for (auto& v : row) v = pick(rng, -100, -1);
        }
        table[0][plane] = pick(rng, 0, 3) == 0
                              ? pick(rng, 0, 3000)
                              : model::window_variance(copy, {hx, hy, hx + width - 1, hy + height - 1});
        std::int32_t count = pick(rng, 0, 4) == 0 ? pick(rng, 0, 3) : 1;

        std::vector<std::int32_t> column(12);
        for (int i = 0; i < 12; ++i) column[i] = table[i][plane];
        VarianceTable expected = table;
        int expected_count = count;
        model::calibrate(copy, height, width, ygrid, xgrid, expected_count, column, limit);
        for (int i = 0; i < 12; ++i) expected[i][plane] = column[i];

        const Layout layout{cols, rows, cols + pick(rng, 0, 3)};
        PlaneBuffer first(layout, 0x5A);
        PlaneBuffer second(layout, 0x5A);
        first.load(copy);
        second.load(copy);
        calibrate_passes(first.view().base, second.view().base, layout.pitch, height, width, ygrid, xgrid, count, table,
                         plane, limit);
        ASSERT_EQ(count, expected_count);
        ASSERT_EQ(table, expected);
        const std::vector<bool> mask = first.sample_mask();
        for (std::size_t i = 0; i < mask.size(); ++i) {
            if (!mask[i]) {
                ASSERT_EQ(first.bytes()[i], 0x5A) << "padding byte " << i;
                ASSERT_EQ(second.bytes()[i], 0x5A) << "padding byte " << i;
            }
        }
        raised += count > 1;
    }
    // The sample must include windows that earned more than one pass.
    EXPECT_GT(raised, 10);
}

}  // namespace
}  // namespace dunmorel::test
