// The per-frame pass loop and the calibration, checked against a model that smooths each plane
// with the kernels directly, on every pixel format.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

#include "avisynth/filter.h"
#include "engine/work_pool.h"
#include "filter_test_access.h"
#include "noisy_clip.h"
#include "server/environment.h"
#include "server/sources.h"

namespace dunmorel {

namespace {

using server::Environment;
using testing::noisy_clip;

// Where plane p lies in a frame, written out per format independently of the filter's own
// layout table.
struct PlaneSpot {
    std::ptrdiff_t offset;  // from the frame's first byte of the plane's memory
    int pitch, step, width, height;
    const BYTE* base;
};

PlaneSpot spot(const VideoFrame& f, int type, int p, int width, int height) {
    switch (type) {
        case VideoInfo::CS_BGR24:
            return {p, f.GetPitch(), 3, width, height, f.GetReadPtr() + p};
        case VideoInfo::CS_BGR32:
            return {p, f.GetPitch(), 4, width, height, f.GetReadPtr() + p};
        case VideoInfo::CS_YUY2:
            if (p == 0) return {0, f.GetPitch(), 2, width, height, f.GetReadPtr()};
            return {p == 1 ? 1 : 3, f.GetPitch(), 4, width / 2, height, f.GetReadPtr() + (p == 1 ? 1 : 3)};
        default:
            if (p == 0) return {0, f.GetPitch(), 1, width, height, f.GetReadPtr()};
            return {0, f.GetPitch(PLANAR_U), 1, width / 2, height / 2, f.GetReadPtr(p == 1 ? PLANAR_U : PLANAR_V)};
    }
}

std::vector<std::uint8_t> plane_samples(const VideoFrame& f, int type, int p, int width, int height) {
    const PlaneSpot s = spot(f, type, p, width, height);
    std::vector<std::uint8_t> out;
    for (int r = 0; r < s.height; ++r)
        for (int c = 0; c < s.width; ++c) out.push_back(s.base[r * s.pitch + c * s.step]);
    return out;
}

// The plane after `passes` successive whole-plane passes with the table's rows as noise.
std::vector<std::uint8_t> model_plane(std::vector<std::uint8_t> plane, int width, int height, int passes,
                                      const VarianceTable& table, int p, int grid) {
    std::vector<std::uint8_t> next(plane.size());
    for (int i = 0; i < passes; ++i) {
        smooth_plane({.dst = {next.data(), width, 1, width, height},
                      .src = {plane.data(), width, 1, width, height},
                      .noise = table[i][p],
                      .rows = height,
                      .cols = width,
                      .ygrid = grid,
                      .xgrid = grid});
        plane.swap(next);
    }
    return plane;
}

VarianceTable sample_table() {
    VarianceTable t{};
    for (int i = 0; i < 12; ++i)
        for (int p = 0; p < 3; ++p) t[i][p] = 40 - 3 * i + 5 * p;
    return t;
}

PClip new_filter(const PClip& source, FilterArguments args = {}) {
    if (args.minw == 0) args.minw = 1024;
    return PClip(new DunmorelFilter(source, args));
}

DunmorelFilter& as_filter(const PClip& c) { return static_cast<DunmorelFilter&>(*c.get()); }

struct LoopCase {
    int type;
    std::array<std::int32_t, 3> passes;
};

class PassLoop : public ::testing::TestWithParam<LoopCase> {};

TEST_P(PassLoop, EachPlaneGetsItsOwnNumberOfPasses) {
    const auto [type, passes] = GetParam();
    constexpr int width = 64, height = 40, grid = 5;
    // Work frames get a pitch unlike the source's, so every view must use its own frame's pitch.
    Environment env({.frame_padding = 48});
    PClip source = noisy_clip(env, type, width, height, 2, 20);
    FilterArguments args;
    args.xgrid = args.ygrid = grid;
    PClip filter = new_filter(source, args);
    const VarianceTable table = sample_table();
    adopt_plan(as_filter(filter), passes, table);

    PVideoFrame input = source->GetFrame(1, &env);
    PVideoFrame output = filter->GetFrame(1, &env);
    ASSERT_NE(output.get(), input.get());
    ASSERT_NE(output->GetPitch(), input->GetPitch());
    for (int p = 0; p < 3; ++p) {
        const PlaneSpot s = spot(*input, type, p, width, height);
        const auto expected =
            model_plane(plane_samples(*input, type, p, width, height), s.width, s.height, passes[p], table, p, grid);
        EXPECT_EQ(plane_samples(*output, type, p, width, height), expected) << "plane " << p;
    }
    if (type == VideoInfo::CS_BGR32) {
        for (int r = 0; r < height; ++r)
            for (int c = 0; c < width; ++c)
                ASSERT_EQ(output->GetReadPtr()[r * output->GetPitch() + 4 * c + 3],
                          input->GetReadPtr()[r * input->GetPitch() + 4 * c + 3]);
    }
}

std::vector<LoopCase> loop_cases() {
    std::vector<LoopCase> cases;
    for (int type : testing::kAllFormats)
        for (auto passes : {std::array<std::int32_t, 3>{1, 0, 0}, {3, 1, 0}, {10, 10, 10}, {2, 5, 9}, {0, 0, 1}})
            cases.push_back({type, passes});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Formats, PassLoop, ::testing::ValuesIn(loop_cases()));

TEST(PassLoop, NoPassesReturnTheInputFrameItself) {
    Environment env;
    PClip source = noisy_clip(env, VideoInfo::CS_YV12, 64, 40, 1, 20);
    PClip filter = new_filter(source);
    adopt_plan(as_filter(filter), {0, 0, 0}, sample_table());
    const std::size_t requested = env.PoolStats().frames_requested;
    PVideoFrame input = source->GetFrame(0, &env);
    PVideoFrame output = filter->GetFrame(0, &env);
    EXPECT_EQ(output.get(), input.get());
    EXPECT_EQ(env.PoolStats().frames_requested, requested + (requested == 0 ? 1 : 0));
}

// A full run: the real calibration on the reference frame, then every frame filtered with the
// pass counts and noise variances it left.
class Calibrated : public ::testing::TestWithParam<int> {};

TEST_P(Calibrated, OutputFollowsTheCalibration) {
    const int type = GetParam();
    constexpr int width = 320, height = 240;
    Environment env;
    PClip source = noisy_clip(env, type, width, height, 6, 12);
    FilterArguments args;
    args.nf = 2;
    args.limit = 0;
    args.minw = 1200;
    args.gu = 3;
    PClip filter = new_filter(source, args);
    auto& f = as_filter(filter);
    auto* clip = static_cast<server::MemoryClip*>(source.get());

    PVideoFrame output = filter->GetFrame(5, &env);
    ASSERT_TRUE(f.engine().is_calibrated());
    // The first request was for another frame, so the reference frame was fetched once.
    EXPECT_EQ(clip->RequestCount(2), 1);
    EXPECT_EQ(clip->RequestCount(5), 1);
    PVideoFrame output_again = filter->GetFrame(2, &env);
    EXPECT_EQ(clip->RequestCount(2), 2) << "a later request must not calibrate again";

    PVideoFrame input = source->GetFrame(5, &env);
    for (int p = 0; p < 3; ++p) {
        const PlaneSpot s = spot(*input, type, p, width, height);
        const auto expected = model_plane(plane_samples(*input, type, p, width, height), s.width, s.height,
                                          f.engine().plan().passes[p], f.engine().plan().noise, p, 5);
        EXPECT_EQ(plane_samples(*output, type, p, width, height), expected) << "plane " << p;
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, Calibrated, ::testing::ValuesIn(testing::kAllFormats));

// The calibration of a script window, recomputed here from the geometry of each format: the
// measured rectangle and the margin-padded copy of every plane, then the trial passes.
class ScriptWindowCalibration : public ::testing::TestWithParam<int> {};

TEST_P(ScriptWindowCalibration, MatchesTheCopyGeometryOfEachFormat) {
    const int type = GetParam();
    constexpr int width = 320, height = 240, xgrid = 5, ygrid = 3;
    Environment env;
    PClip source = noisy_clip(env, type, width, height, 1, 9, 11);
    FilterArguments args;
    args.xgrid = xgrid;
    args.ygrid = ygrid;
    args.autow = false;
    args.lx = 21;
    args.rx = 120;
    args.ty = 11;
    args.by = 90;
    args.limit = 0;
    PClip filter = new_filter(source, args);
    filter->GetFrame(0, &env);
    const auto& f = as_filter(filter);

    const bool rgb = type == VideoInfo::CS_BGR24 || type == VideoInfo::CS_BGR32;
    const bool yuy2 = type == VideoInfo::CS_YUY2;
    const int top = rgb ? height - args.by - 1 : args.ty;  // memory rows
    const int bottom = rgb ? height - args.ty - 1 : args.by;
    const int win_w = args.rx - args.lx + 1, win_h = bottom - top + 1;
    PVideoFrame frame = source->GetFrame(0, &env);
    for (int p = 0; p < 3; ++p) {
        const bool chroma = p > 0 && !rgb;
        const bool half_rows = chroma && !yuy2;
        const PlaneSpot s = spot(*frame, type, p, width, height);
        // The kernels take adjacent samples; a packed frame's plane is gathered first, as the
        // engine does.
        std::vector<std::uint8_t> gathered(static_cast<std::size_t>(s.width) * s.height);
        for (int r = 0; r < s.height; ++r)
            for (int c = 0; c < s.width; ++c) gathered[r * s.width + c] = s.base[r * s.pitch + c * s.step];
        const ConstPlaneView view{gathered.data(), s.width, 1, s.width, s.height};
        const WindowRect rect{chroma ? args.lx / 2 : args.lx, half_rows ? top / 2 : top, chroma ? args.rx / 2 : args.rx,
                              half_rows ? bottom / 2 : bottom};
        VarianceTable table{};
        table[0][p] = window_variance(view, rect);

        const int w = chroma ? win_w / 2 : win_w, h = half_rows ? win_h / 2 : win_h;
        const int cols = w + xgrid, rows = h + ygrid;
        const int first_col = (chroma ? args.lx / 2 : args.lx) - xgrid / 2;
        const int first_row = (half_rows ? top / 2 : top) - ygrid / 2;
        std::vector<std::uint8_t> a(static_cast<std::size_t>(cols) * rows), b;
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c) a[r * cols + c] = view.at(first_row + r, first_col + c);
        b = a;
        std::int32_t count = 1;
        calibrate_passes(a.data(), b.data(), cols, h, w, ygrid, xgrid, count, table, p, args.limit);

        ASSERT_GT(table[0][p], 0);
        const Calibration measured = f.engine().last_calibration().value();
        EXPECT_EQ(f.engine().plan().passes[p], count) << "plane " << p;
        for (int i = 0; i <= count && i <= 10; ++i)
            EXPECT_EQ(measured.variances[i][p], table[i][p]) << "plane " << p << " row " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, ScriptWindowCalibration, ::testing::ValuesIn(testing::kAllFormats));

TEST(Calibration, StrengthScalesTheRowsInUseAndZeroSwitchesAPlaneOff) {
    Environment env;
    PClip source = noisy_clip(env, VideoInfo::CS_YV12, 320, 240, 1, 12);
    FilterArguments plain;
    plain.minw = 1200;
    plain.limit = 0;
    FilterArguments scaled = plain;
    scaled.ry = 0;
    scaled.gu = 3;
    PClip a = new_filter(source, plain);
    PClip b = new_filter(source, scaled);
    a->GetFrame(0, &env);
    b->GetFrame(0, &env);
    const auto& fa = as_filter(a);
    const auto& fb = as_filter(b);
    const PassPlan& pa = fa.engine().plan();
    const PassPlan& pb = fb.engine().plan();
    EXPECT_EQ(pb.passes[0], 0);
    EXPECT_EQ(fb.engine().last_calibration()->variances, fa.engine().last_calibration()->variances)
        << "the calibration itself is the same; only the plan is scaled";
    ASSERT_GT(pa.passes[1], 0);
    EXPECT_EQ(pb.passes[1], pa.passes[1]);
    for (int i = 0; i < pa.passes[1]; ++i) EXPECT_EQ(pb.noise[i][1], 3 * pa.noise[i][1]);
}

TEST(Calibration, FlatPlaneGetsNoPass) {
    Environment env;
    VideoInfo vi = server::MakeVideoInfo(VideoInfo::CS_YV12, 320, 240, 1);
    std::vector<std::uint8_t> raw = testing::noisy_raw(vi, 10);
    const std::size_t luma = 320 * 240, chroma = luma / 4;
    std::fill(raw.begin() + luma + chroma, raw.end(), 77);  // V constant
    PClip source(new server::MemoryClip(env, vi, raw));
    PClip filter = new_filter(source, {.minw = 1200});
    filter->GetFrame(0, &env);
    EXPECT_EQ(as_filter(filter).engine().last_calibration()->variances[0][2], 0);
    EXPECT_EQ(as_filter(filter).engine().plan().passes[2], 0);
    EXPECT_GT(as_filter(filter).engine().plan().passes[0], 0);
}

TEST(Calibration, NoBlockFitsIsAnErrorNotARead) {
    // 4096 x 16: the block is 8 rows high and the search needs more than 8 + 2 * ygrid rows.
    Environment env;
    PClip source = noisy_clip(env, VideoInfo::CS_YV12, 4096, 16, 1, 10);
    PClip filter = new_filter(source);
    try {
        filter->GetFrame(0, &env);
        FAIL() << "expected an error";
    } catch (const AvisynthError& e) {
        EXPECT_EQ(std::string(e.msg).rfind("Dunmorel:", 0), 0u) << e.msg;
    }
    EXPECT_FALSE(as_filter(filter).engine().is_calibrated());
}

TEST(Calibration, ReportRepeatsAndLeavesTheFilterUncalibrated) {
    Environment env;
    PClip source = noisy_clip(env, VideoInfo::CS_YUY2, 640, 480, 2, 10);
    FilterArguments args;
    args.print = true;
    args.autow = false;
    args.lx = 20;
    args.rx = 119;
    args.ty = 10;
    args.by = 100;
    PClip filter = new_filter(source, args);
    // A repeated run starts from the pass counts the previous one left, so the two reports
    // need not agree beyond the window.
    for (int request = 0; request < 2; ++request) {
        try {
            filter->GetFrame(request, &env);
            FAIL() << "print must raise the report";
        } catch (const AvisynthError& e) {
            const std::string text = e.msg;
            EXPECT_EQ(text.rfind("window lx = 20, rx = 119, ty = 10, by = 100,Variance Y  iter ", 0), 0u) << text;
        }
    }
    EXPECT_FALSE(as_filter(filter).engine().is_calibrated());
}

TEST(Handles, EveryFrameIsReleasedOnEveryPath) {
    Environment env;
    {
        PClip source = noisy_clip(env, VideoInfo::CS_BGR32, 320, 240, 3, 10);
        {
            PClip filter = new_filter(source, {.minw = 1200});
            PVideoFrame out = filter->GetFrame(1, &env);
            PVideoFrame again = filter->GetFrame(2, &env);
        }
        {
            PClip filter = new_filter(source, {.print = true, .minw = 1200});
            EXPECT_THROW(filter->GetFrame(1, &env), AvisynthError);
        }
        static_cast<server::MemoryClip*>(source.get())->DropCachedFrames();
        EXPECT_EQ(env.ReferencedFrameCount(), 0u);
    }
    {
        PClip source = noisy_clip(env, VideoInfo::CS_YV12, 4096, 16, 1, 10);
        PClip filter = new_filter(source);
        EXPECT_THROW(filter->GetFrame(0, &env), AvisynthError);
    }
    EXPECT_EQ(env.ReferencedFrameCount(), 0u);
    EXPECT_EQ(server::MemoryClip::LiveInstances(), 0);
    EXPECT_EQ(env.PoolStats().frames_over_released, 0u);
}

std::vector<std::uint8_t> all_planes(const VideoFrame& f, int width, int height) {
    std::vector<std::uint8_t> out;
    for (int p = 0; p < 3; ++p) {
        const auto plane = plane_samples(f, VideoInfo::CS_YV12, p, width, height);
        out.insert(out.end(), plane.begin(), plane.end());
    }
    return out;
}

// Serial requests on one core (whole-plane passes) against concurrent requests that also split
// their passes into bands over the shared pool.
TEST(Threads, ConcurrentFirstRequestsGiveTheSerialResult) {
    Environment env;
    PClip source = noisy_clip(env, VideoInfo::CS_YV12, 160, 120, 8, 12);
    PClip serial = new_filter(source, {.minw = 300});
    WorkPool::shared().limit_cores(1);
    std::vector<std::vector<std::uint8_t>> expected(8);
    for (int n = 0; n < 8; ++n) expected[n] = all_planes(*serial->GetFrame(n, &env), 160, 120);
    WorkPool::shared().limit_cores(64);

    PClip shared = new_filter(source, {.minw = 300});
    std::vector<std::vector<std::uint8_t>> got(8);
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&, t] {
            for (int n = t; n < 8; n += 4) got[n] = all_planes(*shared->GetFrame(n, &env), 160, 120);
        });
    for (auto& w : workers) w.join();
    EXPECT_EQ(got, expected);
}

TEST(Threads, WorkPoolRunsEveryItemOnceForConcurrentCallers) {
    WorkPool pool(3);
    std::vector<std::vector<int>> counts(4, std::vector<int>(500));
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) pool.run(counts[t].size(), [&](std::size_t i) { ++counts[t][i]; });
        });
    for (auto& c : callers) c.join();
    for (const auto& c : counts) EXPECT_EQ(c, std::vector<int>(500, 20));
}

}  // namespace
}  // namespace dunmorel
