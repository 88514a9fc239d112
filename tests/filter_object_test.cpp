// Window geometry, automatic block sizing and the initial state of a new filter object.
#include <gtest/gtest.h>

#include "avisynth/filter.h"

namespace dunmorel {
namespace {

class InfoOnlyClip final : public IClip {
public:
    explicit InfoOnlyClip(VideoInfo info) : vi(info) {}
    PVideoFrame GetFrame(int, IScriptEnvironment*) override { return {}; }
    bool GetParity(int n) override { return n % 2 == 1; }
    void GetAudio(void*, std::int64_t, std::int64_t, IScriptEnvironment*) override {}
    int SetCacheHints(int, int) override { return 0; }
    const VideoInfo& GetVideoInfo() override { return vi; }

private:
    VideoInfo vi;
};

PClip clip_of(int width, int height, int pixel_type) {
    VideoInfo vi{};
    vi.width = width;
    vi.height = height;
    vi.num_frames = 10;
    vi.pixel_type = pixel_type;
    return PClip(new InfoOnlyClip(vi));
}

TEST(FilterObject, ScriptWindowTurnsRgbRowsIntoMemoryRows) {
    FilterArguments a;
    a.autow = false;
    a.lx = 20;
    a.rx = 119;
    a.ty = 10;
    a.by = 100;
    PClip rgb(new DunmorelFilter(clip_of(640, 480, VideoInfo::CS_BGR32), a));
    const auto& f = static_cast<DunmorelFilter&>(*rgb.get());
    EXPECT_EQ(f.engine().initial_window(), (WindowRect{20, 379, 119, 469}));
    EXPECT_EQ(f.engine().window_width(), 100);
    EXPECT_EQ(f.engine().window_height(), 91);

    PClip yuy2(new DunmorelFilter(clip_of(640, 480, VideoInfo::CS_YUY2), a));
    EXPECT_EQ(static_cast<DunmorelFilter&>(*yuy2.get()).engine().initial_window(), (WindowRect{20, 10, 119, 100}));
}

struct BlockCase {
    int width, height, grid, minw;
    int block_width, block_height;
};

class BlockSizing : public ::testing::TestWithParam<BlockCase> {};

TEST_P(BlockSizing, GrowsFromOneSixtyFourthOfTheFrame) {
    const BlockCase c = GetParam();
    FilterArguments a;
    a.xgrid = a.ygrid = c.grid;
    a.minw = c.minw;
    PClip clip(new DunmorelFilter(clip_of(c.width, c.height, VideoInfo::CS_YV12), a));
    const auto& f = static_cast<DunmorelFilter&>(*clip.get());
    EXPECT_EQ(f.engine().window_width(), c.block_width);
    EXPECT_EQ(f.engine().window_height(), c.block_height);
    EXPECT_EQ(f.engine().scratch_bytes(), 2u * (c.block_width + 2 * c.grid) * (c.block_height + 2 * c.grid));
}

INSTANTIATE_TEST_SUITE_P(Examples, BlockSizing,
                         ::testing::Values(BlockCase{720, 576, 3, 6480, 90, 72}, BlockCase{640, 480, 3, 4800, 90, 56},
                                           BlockCase{1920, 1080, 5, 32400, 270, 144},
                                           BlockCase{320, 240, 3, 1200, 12, 10}, BlockCase{1280, 96, 3, 1920, 240, 8},
                                           // Already large enough at the start.
                                           BlockCase{1920, 1080, 5, 100, 30, 16},
                                           // Growth stops at the frame less its margins.
                                           BlockCase{640, 480, 11, 1 << 30, 610, 374}));

TEST(FilterObject, PalScratchBlock) {
    FilterArguments a;
    a.xgrid = a.ygrid = 3;
    a.minw = 6480;
    PClip clip(new DunmorelFilter(clip_of(720, 576, VideoInfo::CS_YV12), a));
    EXPECT_EQ(static_cast<DunmorelFilter&>(*clip.get()).engine().scratch_bytes(), 14976u);
}

TEST(FilterObject, NewObjectState) {
    PClip source = clip_of(720, 576, VideoInfo::CS_YV12);
    FilterArguments a;
    a.minw = 6480;
    PClip clip(new DunmorelFilter(source, a));
    auto& f = static_cast<DunmorelFilter&>(*clip.get());
    EXPECT_FALSE(f.engine().is_calibrated());
    EXPECT_FALSE(f.engine().last_calibration().has_value());
    EXPECT_EQ(f.GetVersion(), 2);
    EXPECT_EQ(f.SetCacheHints(509, 0), 0);
    EXPECT_EQ(f.GetVideoInfo().width, 720);
    EXPECT_TRUE(f.GetParity(1));
    EXPECT_FALSE(f.GetParity(2));
    // The filter holds exactly one reference to its child, dropped with it.
    EXPECT_EQ(source->RefCount(), 2);
    clip = PClip();
    EXPECT_EQ(source->RefCount(), 1);
}

}  // namespace
}  // namespace dunmorel
