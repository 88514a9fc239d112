// The stand-in server's frames: layout per format, reference counts, writability, the pool.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "server/environment.h"
#include "server/sources.h"
#include "server_test_util.h"

namespace dunmorel::server {
namespace {

struct LayoutCase {
    const char* label;
    int pixel_type;
    int width;
    int height;
    int align;
    int padding;
    int row_size;
    int pitch;
    int pitch_uv;
};

class FrameLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(FrameLayout, PitchesAndPlanes) {
    const LayoutCase& c = GetParam();
    Environment env({.frame_padding = c.padding});
    const PVideoFrame f = env.NewVideoFrame(MakeVideoInfo(c.pixel_type, c.width, c.height, 1), c.align);
    EXPECT_EQ(f->GetRowSize(), c.row_size);
    EXPECT_EQ(f->GetPitch(), c.pitch);
    EXPECT_EQ(f->GetHeight(), c.height);
    EXPECT_EQ(f->GetPitch(PLANAR_U), c.pitch_uv);
    EXPECT_EQ(f->GetPitch(PLANAR_V), c.pitch_uv);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(f->GetReadPtr()) % 16, 0u);

    const int size = f->vfb->GetDataSize();
    if (c.pitch_uv == 0) {
        EXPECT_EQ(f->offset, 0);
        EXPECT_GE(size, c.pitch * (c.height - 1) + c.row_size);
        return;
    }
    EXPECT_EQ(f->GetRowSize(PLANAR_U), c.width / 2);
    EXPECT_EQ(f->GetHeight(PLANAR_V), c.height / 2);
    for (const int plane : {PLANAR_U, PLANAR_V})
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(f->GetReadPtr(plane)) % 16, 0u) << plane;
    // The planes lie one after another without overlap and inside the buffer.
    const int luma_end = f->offset + c.pitch * c.height;
    const int chroma_bytes = c.pitch_uv * (c.height / 2);
    const int first = std::min(f->offsetU, f->offsetV);
    const int second = std::max(f->offsetU, f->offsetV);
    EXPECT_GE(first, luma_end);
    EXPECT_GE(second, first + chroma_bytes);
    EXPECT_LE(second + chroma_bytes, size);
    if (c.pixel_type == VideoInfo::CS_I420)
        EXPECT_LT(f->offsetU, f->offsetV);
    else
        EXPECT_LT(f->offsetV, f->offsetU);
}

// Expected pitches worked out by hand; the align-64 rows are what a real host gives for 330
// pixels.
INSTANTIATE_TEST_SUITE_P(
    Server, FrameLayout,
    ::testing::Values(LayoutCase{"rgb24", VideoInfo::CS_BGR24, 330, 10, 16, 0, 990, 992, 0},
                      LayoutCase{"rgb32", VideoInfo::CS_BGR32, 330, 10, 16, 0, 1320, 1328, 0},
                      LayoutCase{"yuy2", VideoInfo::CS_YUY2, 330, 10, 16, 0, 660, 672, 0},
                      LayoutCase{"yv12", VideoInfo::CS_YV12, 330, 10, 16, 0, 330, 336, 168},
                      LayoutCase{"i420", VideoInfo::CS_I420, 330, 10, 16, 0, 330, 336, 168},
                      LayoutCase{"rgb24_align64", VideoInfo::CS_BGR24, 330, 4, 64, 0, 990, 1024, 0},
                      LayoutCase{"rgb32_align64", VideoInfo::CS_BGR32, 330, 4, 64, 0, 1320, 1344, 0},
                      LayoutCase{"yuy2_align64", VideoInfo::CS_YUY2, 330, 4, 64, 0, 660, 704, 0},
                      LayoutCase{"yv12_align64", VideoInfo::CS_YV12, 330, 4, 64, 0, 330, 384, 192},
                      LayoutCase{"small_align_is_raised", VideoInfo::CS_YUY2, 6, 2, 4, 0, 12, 16, 0},
                      LayoutCase{"yv12_padding", VideoInfo::CS_YV12, 32, 6, 16, 8, 32, 40, 20},
                      LayoutCase{"rgb24_odd_padding", VideoInfo::CS_BGR24, 5, 3, 16, 3, 15, 19, 0}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.label); });

TEST(ServerFrames, RejectsUnsupportedFormatsAndSizes) {
    Environment env;
    const std::pair<VideoInfo, const char*> bad[] = {
        {MakeVideoInfo(static_cast<int>(0xA0000308u), 16, 16, 1), "NewVideoFrame: unsupported pixel type 0xA0000308"},
        {MakeVideoInfo(VideoInfo::CS_BGR24, 0, 16, 1), "NewVideoFrame: width and height must be positive, got 0x16"},
        {MakeVideoInfo(VideoInfo::CS_YV12, 16, 15, 1), "NewVideoFrame: YV12 needs an even height, got 15"},
        {MakeVideoInfo(VideoInfo::CS_YUY2, 15, 16, 1), "NewVideoFrame: YUY2 needs an even width, got 15"},
    };
    for (const auto& [vi, message] : bad) {
        try {
            env.NewVideoFrame(vi);
            ADD_FAILURE() << message;
        } catch (const AvisynthError& e) {
            EXPECT_STREQ(e.msg, message);
        }
    }
    EXPECT_EQ(env.BufferCount(), 0u);
}

TEST(ServerFrames, WritableOnlyWhileHeldOnce) {
    Environment env;
    PVideoFrame f = env.NewVideoFrame(MakeVideoInfo(VideoInfo::CS_YV12, 16, 8, 1));
    EXPECT_EQ(f->refcount, 1);
    EXPECT_EQ(f->vfb->GetRefcount(), 1);
    const long sequence = f->vfb->sequence_number;
    ASSERT_NE(f->GetWritePtr(), nullptr);
    EXPECT_EQ(f->vfb->sequence_number, sequence + 1);
    {
        const PVideoFrame second = f;
        EXPECT_EQ(f->refcount, 2);
        EXPECT_EQ(f->GetWritePtr(), nullptr);
        EXPECT_EQ(second->GetWritePtr(PLANAR_U), nullptr);
        EXPECT_EQ(env.ReferencedFrameCount(), 1u);
    }
    EXPECT_NE(f->GetWritePtr(PLANAR_V), nullptr);
    f = nullptr;
    EXPECT_EQ(env.ReferencedFrameCount(), 0u);
}

TEST(ServerFrames, ReleasedBufferIsReusedForTheSameSizeOnly) {
    Environment env;
    const VideoInfo vi = MakeVideoInfo(VideoInfo::CS_YUY2, 64, 8, 1);
    const VideoFrameBuffer* buffers[2] = {};
    {
        const PVideoFrame a = env.NewVideoFrame(vi);
        const PVideoFrame held = env.NewVideoFrame(vi);
        EXPECT_NE(held->vfb, a->vfb) << "a held buffer was handed out again";
        buffers[0] = a->vfb;
        buffers[1] = held->vfb;
    }
    EXPECT_EQ(env.BufferCount(), 2u);
    EXPECT_EQ(env.ReferencedFrameCount(), 0u);
    const PVideoFrame again = env.NewVideoFrame(vi);
    EXPECT_TRUE(again->vfb == buffers[0] || again->vfb == buffers[1]);
    EXPECT_EQ(again->refcount, 1);
    EXPECT_EQ(again->vfb->GetRefcount(), 1);
    EXPECT_TRUE(again->IsWritable());
    const PVideoFrame other_size = env.NewVideoFrame(MakeVideoInfo(VideoInfo::CS_YUY2, 128, 8, 1));
    const FramePoolStats stats = env.PoolStats();
    EXPECT_EQ(stats.buffers_allocated, 3u);
    EXPECT_EQ(stats.frames_reused, 1u);
    EXPECT_EQ(stats.frames_requested, 4u);
    EXPECT_EQ(stats.frames_referenced, 2u);
}

TEST(ServerFrames, ADoubleReleaseIsCountedAndItsBufferNeverReused) {
    Environment env;
    const VideoInfo vi = MakeVideoInfo(VideoInfo::CS_BGR32, 8, 8, 1);
    const VideoFrameBuffer* spoiled = nullptr;
    {
        const PVideoFrame f = env.NewVideoFrame(vi);
        spoiled = f->vfb;
        f->Release();  // one release too many; the handle releases again below
    }
    EXPECT_EQ(env.PoolStats().frames_over_released, 1u);
    const PVideoFrame next = env.NewVideoFrame(vi);
    EXPECT_NE(next->vfb, spoiled);
}

TEST(ServerFrames, MakeWritableCopiesOnlyASharedFrame) {
    Environment env({.frame_padding = 4});
    const VideoInfo vi = MakeVideoInfo(VideoInfo::CS_I420, 8, 4, 1);
    PVideoFrame f = env.NewVideoFrame(vi);
    const auto raw = testing::PatternBytes(RawFrameSize(vi));
    CopyRawToFrame(raw.data(), vi, *f.get());
    VideoFrame* original = f.get();
    EXPECT_FALSE(env.MakeWritable(&f));
    EXPECT_EQ(f.get(), original);

    const PVideoFrame keeper = f;
    env.SetFramePadding(0);
    EXPECT_TRUE(env.MakeWritable(&f));
    EXPECT_NE(f.get(), original);
    EXPECT_TRUE(f->IsWritable());
    EXPECT_EQ(f->GetPitch(), original->GetPitch()) << "the copy keeps the original's geometry";
    EXPECT_EQ(keeper->refcount, 1);
    std::vector<std::uint8_t> back(raw.size());
    CopyFrameToRaw(*f.get(), vi, back.data());
    EXPECT_EQ(back, raw);
}

TEST(ServerFrames, BitBltCopiesRowByRowAndIgnoresEmptyAreas) {
    Environment env;
    std::vector<BYTE> src(4 * 10);
    for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<BYTE>(i + 1);
    std::vector<BYTE> dst(3 * 7, 0);
    env.BitBlt(dst.data(), 7, src.data(), 10, 5, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 7; ++x) EXPECT_EQ(dst[y * 7 + x], x < 5 ? src[y * 10 + x] : 0) << y << "," << x;
    env.BitBlt(nullptr, 7, nullptr, 10, 5, 0);
    env.BitBlt(nullptr, 7, nullptr, 10, 0, 3);
}

TEST(ServerFrames, ConcurrentRequestsAndReleasesKeepTheCountsRight) {
    Environment env;
    constexpr int kThreads = 4;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&env, t] {
            for (int i = 0; i < 300; ++i) {
                const VideoInfo vi =
                    MakeVideoInfo(i % 2 ? VideoInfo::CS_YV12 : VideoInfo::CS_BGR24, 32 + 16 * (i % 3), 8, 1);
                PVideoFrame a = env.NewVideoFrame(vi);
                BYTE* p = a->GetWritePtr();
                ASSERT_NE(p, nullptr);
                std::memset(p, t, static_cast<std::size_t>(a->GetRowSize()));
                PVideoFrame b = a;
                PVideoFrame c = env.NewVideoFrame(vi);
                ASSERT_NE(c->vfb, a->vfb);
                ASSERT_EQ(a->GetReadPtr()[0], t) << "a buffer in use was handed out again";
            }
        });
    }
    for (auto& th : threads) th.join();
    const FramePoolStats stats = env.PoolStats();
    EXPECT_EQ(stats.frames_referenced, 0u);
    EXPECT_EQ(stats.frames_over_released, 0u);
    EXPECT_EQ(stats.frames_requested, 2u * kThreads * 300);
    EXPECT_LE(stats.buffers_allocated, 2u * kThreads * 6);
}

TEST(ServerFrames, FillOptionMarksEveryNewFrame) {
    Environment env({.new_frame_fill = 0xA5});
    const VideoInfo vi = MakeVideoInfo(VideoInfo::CS_YV12, 16, 4, 1);
    {
        const PVideoFrame f = env.NewVideoFrame(vi);
        std::memset(f->GetWritePtr(), 0, static_cast<std::size_t>(f->vfb->GetDataSize()));
    }
    const PVideoFrame reused = env.NewVideoFrame(vi);
    const BYTE* data = reused->vfb->GetReadPtr();
    EXPECT_TRUE(std::all_of(data, data + reused->vfb->GetDataSize(), [](BYTE b) { return b == 0xA5; }));
    EXPECT_THROW(Environment({.new_frame_fill = 256}), ServerError);
    EXPECT_THROW(Environment({.frame_padding = -1}), ServerError);
}

}  // namespace
}  // namespace dunmorel::server
