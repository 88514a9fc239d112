// Raw layout conversion and the in-memory source clip.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "server/sources.h"
#include "server_test_util.h"

namespace dunmorel::server {
namespace {

using testing::NewMemoryClip;
using testing::PatternBytes;

struct FormatCase {
    int pixel_type;
    int width;
    int height;
    std::size_t raw_size;
};

class RawLayout : public ::testing::TestWithParam<FormatCase> {};

TEST_P(RawLayout, SizeAndRoundTripThroughAClip) {
    const FormatCase& c = GetParam();
    Environment env;
    const VideoInfo vi = MakeVideoInfo(c.pixel_type, c.width, c.height, 2);
    ASSERT_EQ(RawFrameSize(vi), c.raw_size);
    const auto raw = PatternBytes(2 * c.raw_size, 7);
    PClip clip = new MemoryClip(env, vi, raw);
    for (int n = 0; n < 2; ++n) {
        const PVideoFrame f = clip->GetFrame(n, &env);
        std::vector<std::uint8_t> back(c.raw_size);
        CopyFrameToRaw(*f.get(), vi, back.data());
        EXPECT_EQ(0, std::memcmp(back.data(), raw.data() + n * c.raw_size, c.raw_size)) << "frame " << n;
    }
}

// Where single samples of the raw layout land in memory.
TEST_P(RawLayout, SamplesLandWhereAHostKeepsThem) {
    const FormatCase& c = GetParam();
    Environment env({.frame_padding = 6});
    const VideoInfo vi = MakeVideoInfo(c.pixel_type, c.width, c.height, 1);
    const auto raw = PatternBytes(c.raw_size, 3);
    PVideoFrame f = env.NewVideoFrame(vi);
    CopyRawToFrame(raw.data(), vi, *f.get());
    const int w = c.width;
    const int h = c.height;
    const BYTE* y = f->GetReadPtr();
    if (vi.IsPlanar()) {
        const std::size_t luma = static_cast<std::size_t>(w) * h;
        const std::size_t chroma = static_cast<std::size_t>(w / 2) * (h / 2);
        EXPECT_EQ(y[f->GetPitch() * (h - 1) + w - 1], raw[luma - 1]);
        EXPECT_EQ(f->GetReadPtr(PLANAR_U)[0], raw[luma]);
        EXPECT_EQ(f->GetReadPtr(PLANAR_U)[f->GetPitch(PLANAR_U) + 1], raw[luma + w / 2 + 1]);
        EXPECT_EQ(f->GetReadPtr(PLANAR_V)[0], raw[luma + chroma]);
        return;
    }
    const int row = w * BytesPerPixel(c.pixel_type);
    const int first_picture_row = vi.IsRGB() ? h - 1 : 0;  // RGB is stored bottom-up
    EXPECT_EQ(0, std::memcmp(y + f->GetPitch() * first_picture_row, raw.data(), static_cast<std::size_t>(row)));
    const int last_picture_row = vi.IsRGB() ? 0 : h - 1;
    EXPECT_EQ(0, std::memcmp(y + f->GetPitch() * last_picture_row, raw.data() + row * (h - 1),
                             static_cast<std::size_t>(row)));
}

INSTANTIATE_TEST_SUITE_P(
    Server, RawLayout,
    ::testing::Values(FormatCase{VideoInfo::CS_BGR24, 5, 3, 45}, FormatCase{VideoInfo::CS_BGR32, 5, 3, 60},
                      FormatCase{VideoInfo::CS_YUY2, 6, 3, 36}, FormatCase{VideoInfo::CS_YV12, 6, 4, 36},
                      FormatCase{VideoInfo::CS_I420, 10, 4, 60}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return std::string(PixelTypeName(info.param.pixel_type)); });

TEST(ServerRaw, CopiesRefuseASharedOrMismatchedFrame) {
    Environment env;
    const VideoInfo vi = MakeVideoInfo(VideoInfo::CS_YV12, 8, 4, 1);
    const auto raw = PatternBytes(RawFrameSize(vi));
    const PVideoFrame f = env.NewVideoFrame(vi);
    const PVideoFrame second = f;
    try {
        CopyRawToFrame(raw.data(), vi, *f.get());
        FAIL();
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), "CopyRawToFrame: the frame is not writable (it has another holder)");
    }
    std::vector<std::uint8_t> out(1000);
    try {
        CopyFrameToRaw(*f.get(), MakeVideoInfo(VideoInfo::CS_YV12, 16, 4, 1), out.data());
        FAIL();
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), "CopyFrameToRaw: the frame (row size 8, height 4) does not hold a 16x4 YV12 picture");
    }
    EXPECT_THROW(CopyFrameToRaw(*f.get(), MakeVideoInfo(VideoInfo::CS_YUY2, 4, 4, 1), out.data()), ServerError);
}

TEST(ServerRaw, SizeValidation) {
    const struct {
        int pixel_type;
        int width;
        int height;
        const char* problem;
    } cases[] = {
        {VideoInfo::CS_BGR24, 1, 1, ""},
        {VideoInfo::CS_BGR32, 3, 3, ""},
        {VideoInfo::CS_YUY2, 2, 1, ""},
        {VideoInfo::CS_YV12, 2, 2, ""},
        {VideoInfo::CS_YUY2, 3, 2, "YUY2 needs an even width, got 3"},
        {VideoInfo::CS_YV12, 3, 2, "YV12 needs an even width, got 3"},
        {VideoInfo::CS_I420, 4, 5, "I420 needs an even height, got 5"},
        {VideoInfo::CS_BGR24, -2, 2, "width and height must be positive, got -2x2"},
        {VideoInfo::CS_BGR24, 2, 0, "width and height must be positive, got 2x0"},
        {0, 2, 2, "unsupported pixel type 0x00000000"},
        {static_cast<int>(0xA0050008u), 2, 2, "unsupported pixel type 0xA0050008"},
        {VideoInfo::CS_BGR32, 65536, 8192, "a 65536x8192 RGB32 frame is too large"},
    };
    for (const auto& c : cases) EXPECT_EQ(FrameSizeProblem(c.pixel_type, c.width, c.height), c.problem);
    EXPECT_THROW(ValidateFrameSize(VideoInfo::CS_YV12, 3, 2), ServerError);
    EXPECT_THROW(RawFrameSize(MakeVideoInfo(VideoInfo::CS_YV12, 3, 2, 1)), ServerError);
}

TEST(ServerRaw, PixelTypeNames) {
    for (const int type :
         {VideoInfo::CS_BGR24, VideoInfo::CS_BGR32, VideoInfo::CS_YUY2, VideoInfo::CS_YV12, VideoInfo::CS_I420}) {
        EXPECT_TRUE(IsSupportedPixelType(type));
        EXPECT_EQ(ParsePixelType(PixelTypeName(type)), type);
    }
    EXPECT_EQ(ParsePixelType("yv12"), VideoInfo::CS_YV12);
    EXPECT_FALSE(ParsePixelType("YV16").has_value());
    EXPECT_FALSE(IsSupportedPixelType(static_cast<int>(0xA0000308u)));
    EXPECT_STREQ(PixelTypeName(1), "unknown");
}

TEST(ServerMemoryClip, FramesDifferInPitchFromWorkFramesAndAreReadOnly) {
    Environment env;
    PClip clip = NewMemoryClip(env, VideoInfo::CS_YV12, 64, 8);
    const PVideoFrame source = clip->GetFrame(0, &env);
    const PVideoFrame work = env.NewVideoFrame(clip->GetVideoInfo());
    EXPECT_NE(source->GetPitch(), work->GetPitch());
    EXPECT_NE(source->GetPitch(PLANAR_U), work->GetPitch(PLANAR_U));
    EXPECT_EQ(source->GetWritePtr(), nullptr) << "the clip keeps its own handle";
    EXPECT_EQ(clip->GetFrame(0, &env).get(), source.get()) << "a repeated request gives the same frame";
}

TEST(ServerMemoryClip, ClampsFrameNumbersAndCountsRequests) {
    Environment env;
    auto* memory = NewMemoryClip(env, VideoInfo::CS_YUY2, 4, 2, 3);
    PClip clip = memory;
    EXPECT_EQ(clip->GetFrame(-5, &env).get(), clip->GetFrame(0, &env).get());
    EXPECT_EQ(clip->GetFrame(7, &env).get(), clip->GetFrame(2, &env).get());
    clip->GetFrame(2, &env);
    EXPECT_EQ(memory->RequestCount(0), 2);
    EXPECT_EQ(memory->RequestCount(1), 0);
    EXPECT_EQ(memory->RequestCount(2), 3);
    EXPECT_EQ(memory->TotalRequests(), 5);
    EXPECT_THROW(memory->RawFrame(3), ServerError);
}

TEST(ServerMemoryClip, AudioParityAndHints) {
    Environment env;
    VideoInfo vi = MakeVideoInfo(VideoInfo::CS_BGR32, 2, 2, 1);
    vi.nchannels = 2;
    vi.sample_type = 2;  // 16-bit
    PClip clip = new MemoryClip(env, vi, PatternBytes(16));
    std::vector<std::uint8_t> audio(20, 0xEE);
    clip->GetAudio(audio.data(), 100, 4, &env);
    for (std::size_t i = 0; i < audio.size(); ++i) EXPECT_EQ(audio[i], i < 16 ? 0 : 0xEE) << i;
    EXPECT_FALSE(clip->GetParity(0));
    EXPECT_EQ(clip->SetCacheHints(509, 0), 0);
}

TEST(ServerMemoryClip, RejectsRawDataOfTheWrongSize) {
    Environment env;
    const VideoInfo vi = MakeVideoInfo(VideoInfo::CS_YV12, 4, 2, 2);
    try {
        MemoryClip clip(env, vi, PatternBytes(13));
        FAIL();
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), "raw data of 13 bytes does not hold 2 frames of 12 bytes");
    }
    EXPECT_THROW(MemoryClip(env, MakeVideoInfo(VideoInfo::CS_YV12, 4, 2, 0), {}), ServerError);
    EXPECT_EQ(MemoryClip::LiveInstances(), 0);
}

TEST(ServerMemoryClip, EveryReferenceIsGoneWithTheLastHandle) {
    Environment env;
    {
        auto* memory = NewMemoryClip(env, VideoInfo::CS_I420, 8, 4, 4);
        PClip clip = memory;
        const PClip copy = clip;
        EXPECT_EQ(clip->RefCount(), 2);
        for (int n = 0; n < 4; ++n) clip->GetFrame(n, &env);
        EXPECT_EQ(env.ReferencedFrameCount(), 4u);
        memory->DropCachedFrames();
        EXPECT_EQ(env.ReferencedFrameCount(), 0u);
        clip->GetFrame(1, &env);
        EXPECT_EQ(MemoryClip::LiveInstances(), 1);
    }
    EXPECT_EQ(MemoryClip::LiveInstances(), 0);
    const FramePoolStats stats = env.PoolStats();
    EXPECT_EQ(stats.frames_referenced, 0u);
    EXPECT_EQ(stats.frames_over_released, 0u);
    EXPECT_EQ(stats.frames_reused, 1u);
}

}  // namespace
}  // namespace dunmorel::server
