// Corners that the argument checks allow but ordinary clips never reach: script windows that
// touch the margins validation leaves, frame areas past 32 bits, and chroma planes smaller than
// the neighbourhood. Under the asan preset these run with every access checked.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "avisynth/arguments.h"
#include "avisynth/filter.h"
#include "filter_test_access.h"
#include "noisy_clip.h"
#include "server/environment.h"
#include "server/sources.h"

namespace dunmorel {
namespace {

using server::Environment;
using Named = std::vector<std::pair<std::string, AVSValue>>;

bool is_rgb(int type) { return type == VideoInfo::CS_BGR24 || type == VideoInfo::CS_BGR32; }
bool is_420(int type) { return type == VideoInfo::CS_YV12 || type == VideoInfo::CS_I420; }

// The smallest frame dimension that admits a script window with this grid, made even where
// the format needs it.
int least_size(int grid, bool even) {
    const int n = 10 * grid + 1;
    return even ? n + 1 : n;
}

// --- script windows at the edges ---------------------------------------------------------------

struct EdgeCase {
    int type;
    int xgrid;
    int ygrid;
};

std::string Name(const ::testing::TestParamInfo<EdgeCase>& info) {
    return std::string(server::PixelTypeName(info.param.type)) + "_" + std::to_string(info.param.xgrid) + "x" +
           std::to_string(info.param.ygrid);
}

class EdgeWindow : public ::testing::TestWithParam<EdgeCase> {
protected:
    Environment env;
    void SetUp() override { env.LoadPlugin(DUNMOREL_PLUGIN_PATH); }

    // The report for a window that reaches every edge validation allows.
    std::string report(const PClip& clip, int width, int height) {
        PClip filter = env.Call("Dunmorel", {AVSValue(clip)}, window(width, height, true)).AsClip();
        try {
            filter->GetFrame(0, &env);
        } catch (const AvisynthError& e) {
            return e.msg;
        }
        return "no report";
    }
    Named window(int width, int height, bool print) const {
        const auto [type, xgrid, ygrid] = GetParam();
        return {{"xgrid", xgrid},          {"ygrid", ygrid}, {"autow", false},           {"lx", xgrid},
                {"rx", width - 1 - xgrid}, {"ty", ygrid},    {"by", height - 1 - ygrid}, {"print", print}};
    }
};

TEST_P(EdgeWindow, IsMeasuredWhereItStandsAndReadsNothingBeyondItsMargins) {
    const auto [type, xgrid, ygrid] = GetParam();
    const int width = least_size(xgrid, !is_rgb(type));
    const int height = least_size(ygrid, is_420(type));
    const VideoInfo vi = server::MakeVideoInfo(type, width, height, 1);
    std::vector<std::uint8_t> raw = testing::noisy_raw(vi, 12);
    const std::string text = report(PClip(new server::MemoryClip(env, vi, raw)), width, height);
    const std::string expected = "window lx = " + std::to_string(xgrid) +
                                 ", rx = " + std::to_string(width - 1 - xgrid) + ", ty = " + std::to_string(ygrid) +
                                 ", by = " + std::to_string(height - 1 - ygrid) + ",";
    ASSERT_EQ(text.rfind(expected, 0), 0u) << text;

    // The calibration reads the window and half a grid around it (one column and row more on
    // the right and below), so the outermost ring of plane 0 (every plane for RGB) is never
    // read: scrambling it leaves the report as it was.
    const int bytes = server::BytesPerPixel(type);
    const int row_bytes = width * bytes;
    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            if (r != 0 && r != height - 1 && c != 0 && c != width - 1) continue;
            for (int b = 0; b < bytes; ++b) {
                // Only the luma bytes of a YUY2 pixel (every other byte) belong to plane 0.
                if (type == VideoInfo::CS_YUY2 && b != 0) continue;
                std::uint8_t& sample = raw[static_cast<std::size_t>(r) * row_bytes + c * bytes + b];
                sample = static_cast<std::uint8_t>(sample ^ 0xA5);
            }
        }
    }
    EXPECT_EQ(report(PClip(new server::MemoryClip(env, vi, raw)), width, height), text);
}

TEST_P(EdgeWindow, FiltersEveryFrame) {
    const auto [type, xgrid, ygrid] = GetParam();
    const int width = least_size(xgrid, !is_rgb(type));
    const int height = least_size(ygrid, is_420(type));
    PClip source = testing::noisy_clip(env, type, width, height, 3, 12);
    PClip filter = env.Call("Dunmorel", {AVSValue(source)}, window(width, height, false)).AsClip();
    for (int n : {2, 0, 1}) {
        PVideoFrame in = source->GetFrame(n, &env);
        PVideoFrame out = filter->GetFrame(n, &env);
        ASSERT_EQ(out->GetRowSize(), in->GetRowSize());
        ASSERT_EQ(out->GetHeight(), in->GetHeight());
        // A noisy window calibrates to at least one pass on plane 0, so its samples change.
        bool changed = false;
        for (int r = 0; r < height && !changed; ++r)
            for (int c = 0; c < in->GetRowSize() && !changed; ++c)
                changed = out->GetReadPtr()[r * out->GetPitch() + c] != in->GetReadPtr()[r * in->GetPitch() + c];
        EXPECT_TRUE(changed) << "frame " << n;
    }
}

std::vector<EdgeCase> edge_cases() {
    std::vector<EdgeCase> cases;
    for (int type : testing::kAllFormats)
        for (int xgrid : {3, 5, 7, 9, 11})
            for (int ygrid : {3, 5, 7, 9, 11})
                if (xgrid == ygrid || (xgrid + ygrid == 14)) cases.push_back({type, xgrid, ygrid});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Formats, EdgeWindow, ::testing::ValuesIn(edge_cases()), Name);

// --- minw on frames whose area passes 32 bits -----------------------------------------------

VideoInfo huge(int width, int height) {
    VideoInfo vi{};
    vi.width = width;
    vi.height = height;
    vi.num_frames = 1;
    vi.fps_numerator = 25;
    vi.fps_denominator = 1;
    vi.pixel_type = VideoInfo::CS_YV12;
    return vi;
}

struct AreaCase {
    const char* what;
    int width, height;
    std::optional<std::int32_t> minw;
    int expected;  // the failing check, 0 when accepted
    std::int32_t low = 0, high = 0;  // the bounds message 13 carries
};

class LargeArea : public ::testing::TestWithParam<AreaCase> {};

TEST_P(LargeArea, BoundsComeFromTheWholeAreaOrTheFrameIsRefused) {
    const AreaCase& c = GetParam();
    std::vector<AVSValue> values(kArgumentCount);
    if (c.minw) values[kMinw] = *c.minw;
    const VideoInfo vi = huge(c.width, c.height);
    const auto failure = validate_arguments(resolve_arguments(AVSValue(values.data(), kArgumentCount), vi), vi);
    ASSERT_EQ(failure ? failure->number : 0, c.expected) << c.what;
    if (c.expected == 13) {
        EXPECT_EQ(failure->first, c.low) << c.what;
        EXPECT_EQ(failure->second, c.high) << c.what;
    }
}

const AreaCase kAreaCases[] = {
    // 46340 x 46340 = 2147395600, the largest square below 2^31.
    {"largest square, default minw", 46340, 46340, std::nullopt, 0},
    {"largest square, minw at the lower bound", 46340, 46340, 16776528, 0},
    {"largest square, minw below the lower bound", 46340, 46340, 16776527, 13, 16776528, 134212225},
    {"largest square, minw at the upper bound", 46340, 46340, 134212225, 0},
    {"largest square, minw above the upper bound", 46340, 46340, 134212226, 13, 16776528, 134212225},
    {"area 2^31 - 1", INT32_MAX, 1, std::nullopt, 0},
    // In 32 bits these areas would wrap: to negative bounds, to 0, or to a 256 x 256 frame's.
    {"area 2147479281, default minw", 46341, 46341, std::nullopt, 19},
    {"area 2147479281, minw 1024", 46341, 46341, 1024, 19},
    {"area 2^31", 65536, 32768, std::nullopt, 19},
    {"area 2^32", 65536, 65536, std::nullopt, 19},
    {"area 2^32 + 65536", 65536, 65537, 4096, 19},
    {"area 92682 x 46342", 92682, 46342, std::nullopt, 19},
    {"area 50000 x 50000", 50000, 50000, std::nullopt, 19},
    {"largest 32-bit sizes", INT32_MAX, INT32_MAX, std::nullopt, 19},
};

INSTANTIATE_TEST_SUITE_P(Validation, LargeArea, ::testing::ValuesIn(kAreaCases));

// A clip that has a description and nothing else: enough for the create function, which reads
// only the description. Asked for a frame, it fails as a host does, or as an allocation does.
class DescriptionOnly final : public IClip {
public:
    explicit DescriptionOnly(const VideoInfo& vi, bool out_of_memory = false)
        : vi_(vi), out_of_memory_(out_of_memory) {}
    PVideoFrame DUNMOREL_STDCALL GetFrame(int, IScriptEnvironment* env) override {
        if (out_of_memory_) throw std::bad_alloc();
        env->ThrowError("no frames here");
        return {};
    }
    bool DUNMOREL_STDCALL GetParity(int) override { return false; }
    void DUNMOREL_STDCALL GetAudio(void*, std::int64_t, std::int64_t, IScriptEnvironment*) override {}
    int DUNMOREL_STDCALL SetCacheHints(int, int) override { return 0; }
    const VideoInfo& DUNMOREL_STDCALL GetVideoInfo() override { return vi_; }

private:
    VideoInfo vi_;
    bool out_of_memory_;
};

TEST(OutOfMemory, ReachesTheScriptAsOneLineNamingTheFrameSize) {
    Environment env;
    env.LoadPlugin(DUNMOREL_PLUGIN_PATH);
    for (const bool autow : {true, false}) {
        PClip source(new DescriptionOnly(huge(640, 480), true));
        const PClip filter = autow
                                 ? env.Call("Dunmorel", {AVSValue(source)}).AsClip()
                                 : env.Call("Dunmorel", {AVSValue(source)},
                                            {{"autow", AVSValue(false)}, {"lx", 5}, {"rx", 45}, {"ty", 5}, {"by", 45}})
                                       .AsClip();
        try {
            filter->GetFrame(0, &env);
            ADD_FAILURE() << "a frame was delivered";
        } catch (const AvisynthError& e) {
            EXPECT_STREQ(e.msg, "Dunmorel: not enough memory to filter a frame of a 640x480 clip");
        }
    }
}

TEST(LargeArea, PluginRefusesFramesPast32Bits) {
    Environment env;
    env.LoadPlugin(DUNMOREL_PLUGIN_PATH);
    const std::pair<VideoInfo, const char*> refused[] = {
        {huge(50000, 50000),
         "Dunmorel: a 50000x50000 frame is too large: its area and its row of bytes must stay below 2^31"},
        // The area fits, four bytes a pixel do not.
        {[] {
             VideoInfo vi = huge(600000000, 2);
             vi.pixel_type = VideoInfo::CS_BGR32;
             return vi;
         }(),
         "Dunmorel: a 600000000x2 frame is too large: its area and its row of bytes must stay below 2^31"},
        // Even a window given by hand is refused: the frame itself cannot be held.
        {huge(65536, 65537), nullptr},
    };
    for (const auto& [vi, message] : refused) {
        PClip clip(new DescriptionOnly(vi));
        try {
            if (message)
                env.Call("Dunmorel", {AVSValue(clip)});
            else
                env.Call("Dunmorel", {AVSValue(clip)},
                         {{"autow", AVSValue(false)}, {"lx", 5}, {"rx", 45}, {"ty", 5}, {"by", 45}});
            FAIL() << vi.width << "x" << vi.height << " accepted";
        } catch (const AvisynthError& e) {
            EXPECT_STREQ(e.msg, message ? message
                                        : "Dunmorel: a 65536x65537 frame is too large: its area and its row of bytes "
                                          "must stay below 2^31");
        }
    }
    // The largest area that fits is still checked, and passes, as any other frame.
    PClip largest(new DescriptionOnly(huge(46340, 46340)));
    const AVSValue result = env.Call("Dunmorel", {AVSValue(largest)});
    ASSERT_TRUE(result.IsClip());
    EXPECT_EQ(result.AsClip()->GetVideoInfo().width, 46340);
}

// --- chroma planes smaller than the grid ----------------------------------------------------

VarianceTable flat_table(std::int32_t noise) {
    VarianceTable t{};
    for (auto& row : t) row.fill(noise);
    return t;
}

// Samples of plane p, row by row, through the filter's own plane layout.
std::vector<std::uint8_t> samples(const VideoFrame& f, int type, int p, int width, int height) {
    const ConstPlaneView v =
        planes_of(read_view(f), ClipFormat{pixel_format(type), width, height, 1}, f.GetHeight()).plane[p];
    std::vector<std::uint8_t> out;
    for (int r = 0; r < v.height; ++r)
        for (int c = 0; c < v.width; ++c) out.push_back(v.at(r, c));
    return out;
}

struct SmallChroma {
    int type;
    int width, height;
    int xgrid, ygrid;
    bool luma_smoothed;  // plane 0 at least as large as the grid
    bool chroma_smoothed;
};

class ChromaBelowGrid : public ::testing::TestWithParam<SmallChroma> {};

TEST_P(ChromaBelowGrid, SmallPlanesAreCarriedOverAndTheRestSmoothed) {
    const SmallChroma c = GetParam();
    Environment env({.frame_padding = 16, .new_frame_fill = 0xCD});
    PClip source = testing::noisy_clip(env, c.type, c.width, c.height, 1, 30);
    FilterArguments args;
    args.xgrid = c.xgrid;
    args.ygrid = c.ygrid;
    args.minw = 1024;
    PClip filter(new DunmorelFilter(source, args));
    const VarianceTable table = flat_table(20);
    adopt_plan(static_cast<DunmorelFilter&>(*filter.get()), {2, 2, 2}, table);

    PVideoFrame in = source->GetFrame(0, &env);
    PVideoFrame out = filter->GetFrame(0, &env);
    for (int p = 0; p < 3; ++p) {
        const ConstPlaneView plane =
            planes_of(read_view(*in), ClipFormat{pixel_format(c.type), c.width, c.height, 1}, in->GetHeight()).plane[p];
        std::vector<std::uint8_t> expected = samples(*in, c.type, p, c.width, c.height);
        if (p == 0 ? c.luma_smoothed : c.chroma_smoothed) {
            // Two whole-plane passes, the model the pass loop must follow.
            std::vector<std::uint8_t> next(expected.size());
            for (int i = 0; i < 2; ++i) {
                smooth_plane({.dst = {next.data(), plane.width, 1, plane.width, plane.height},
                              .src = {expected.data(), plane.width, 1, plane.width, plane.height},
                              .noise = table[i][p],
                              .rows = plane.height,
                              .cols = plane.width,
                              .ygrid = c.ygrid,
                              .xgrid = c.xgrid});
                expected.swap(next);
            }
        }
        EXPECT_EQ(samples(*out, c.type, p, c.width, c.height), expected) << "plane " << p;
    }
}

const SmallChroma kSmallChroma[] = {
    {VideoInfo::CS_YV12, 8, 8, 5, 5, true, false},  // chroma 4 x 4
    {VideoInfo::CS_YV12, 10, 10, 5, 5, true, true},  // chroma exactly 5 x 5
    {VideoInfo::CS_I420, 22, 20, 11, 11, true, false},  // chroma 11 x 10: one row short
    {VideoInfo::CS_I420, 22, 22, 11, 11, true, true},  {VideoInfo::CS_YV12, 40, 4, 3, 3, true, false},  // chroma 20 x 2
    {VideoInfo::CS_YV12, 4, 4, 5, 5, false, false},  // no plane fits
    {VideoInfo::CS_YUY2, 8, 9, 5, 9, true, false},  // chroma 4 wide
    {VideoInfo::CS_YUY2, 18, 3, 9, 3, true, true},  // chroma exactly 9 wide
    {VideoInfo::CS_YUY2, 16, 3, 9, 3, true, false},  // chroma 8 wide
};

INSTANTIATE_TEST_SUITE_P(Formats, ChromaBelowGrid, ::testing::ValuesIn(kSmallChroma));

TEST(ChromaBelowGrid, WindowOutsideAChromaPlaneIsRefusedNotRead) {
    // lx = 1 with xgrid 3 keeps the luma copy inside the plane, but the chroma copy would start
    // at column 1 / 2 - 1 = -1. Validation never lets such a window through; the calibration
    // still refuses it rather than read outside the plane.
    Environment env;
    {
        PClip source = testing::noisy_clip(env, VideoInfo::CS_YV12, 64, 64, 1, 10);
        FilterArguments args;
        args.xgrid = args.ygrid = 3;
        args.autow = false;
        args.lx = 1;
        args.rx = 40;
        args.ty = 3;
        args.by = 40;
        PClip filter(new DunmorelFilter(source, args));
        try {
            filter->GetFrame(0, &env);
            FAIL() << "calibrated from outside the plane";
        } catch (const AvisynthError& e) {
            EXPECT_STREQ(e.msg, "Dunmorel: noise window lies outside plane 1 of the frame");
        }
        EXPECT_FALSE(static_cast<DunmorelFilter&>(*filter.get()).engine().is_calibrated());
    }
    EXPECT_EQ(env.ReferencedFrameCount(), 0u);
}

}  // namespace
}  // namespace dunmorel
