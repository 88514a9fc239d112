// The argument checks and defaults, driven through the same resolution the create function uses.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "avisynth/arguments.h"

namespace dunmorel {
namespace {

VideoInfo clip_info(int width, int height, int frames = 100, int pixel_type = VideoInfo::CS_YV12) {
    VideoInfo vi{};
    vi.width = width;
    vi.height = height;
    vi.fps_numerator = 25;
    vi.fps_denominator = 1;
    vi.num_frames = frames;
    vi.pixel_type = pixel_type;
    return vi;
}

using Named = std::vector<std::pair<ArgumentIndex, AVSValue>>;

ResolvedArguments resolve(const Named& named, const VideoInfo& vi) {
    std::vector<AVSValue> values(kArgumentCount);
    for (const auto& [index, value] : named) values[index] = value;
    const AVSValue array(values.data(), kArgumentCount);
    return resolve_arguments(array, vi);
}

int failing_check(const Named& named, const VideoInfo& vi) {
    const auto failure = validate_arguments(resolve(named, vi), vi);
    return failure ? failure->number : 0;
}

struct Case {
    const char* what;
    VideoInfo vi;
    Named args;
    int expected;  // number of the failing check, 0 when the call is accepted
};

const VideoInfo pal = clip_info(720, 576);
Named window(int lx, int rx, int ty, int by) { return {{kAutow, false}, {kLx, lx}, {kRx, rx}, {kTy, ty}, {kBy, by}}; }
Named with(Named a, const Named& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class Checks : public ::testing::TestWithParam<Case> {};

TEST_P(Checks, FirstFailingCheck) {
    const Case& c = GetParam();
    EXPECT_EQ(failing_check(c.args, c.vi), c.expected) << c.what;
}

const Case kCases[] = {
    {"defaults", pal, {}, 0},
    {"xgrid 4", pal, {{kXgrid, 4}}, 1},
    {"xgrid 13", pal, {{kXgrid, 13}}, 1},
    {"xgrid -3", pal, {{kXgrid, -3}}, 1},
    {"xgrid 1", pal, {{kXgrid, 1}}, 1},
    {"xgrid 11", pal, {{kXgrid, 11}}, 0},
    {"xgrid 4 before the format check", clip_info(720, 576, 100, 0x12345), {{kXgrid, 4}}, 1},
    {"ygrid 1", pal, {{kYgrid, 1}}, 2},
    {"ygrid -4", pal, {{kYgrid, -4}}, 2},
    {"ygrid 3", pal, {{kYgrid, 3}}, 0},
    {"I420", clip_info(720, 576, 100, VideoInfo::CS_I420), {}, 0},
    {"RGB24", clip_info(720, 576, 100, VideoInfo::CS_BGR24), {}, 0},
    {"RGB32", clip_info(720, 576, 100, VideoInfo::CS_BGR32), {}, 0},
    {"YUY2", clip_info(720, 576, 100, VideoInfo::CS_YUY2), {}, 0},
    {"YV16", clip_info(720, 576, 100, static_cast<int>(0xA0000308u)), {}, 3},
    {"YV24", clip_info(720, 576, 100, static_cast<int>(0xA000030Bu)), {}, 3},
    {"YV411", clip_info(720, 576, 100, static_cast<int>(0xA0000309u)), {}, 3},
    {"10-bit 4:2:0", clip_info(720, 576, 100, static_cast<int>(0xA0050008u)), {}, 3},
    {"RGB48", clip_info(720, 576, 100, 0x50010001), {}, 3},
    {"RGB64", clip_info(720, 576, 100, 0x50010002), {}, 3},
    {"unknown type", clip_info(720, 576, 100, 0), {}, 3},
    {"limit 21", pal, {{kLimit, 21}}, 4},
    {"limit -1", pal, {{kLimit, -1}}, 4},
    {"limit 0", pal, {{kLimit, 0}}, 0},
    {"limit 20", pal, {{kLimit, 20}}, 0},
    {"nf 99", pal, {{kNf, 99}}, 0},
    {"nf 100", pal, {{kNf, 100}}, 5},
    {"nf -1", pal, {{kNf, -1}}, 5},
    {"no frames", clip_info(720, 576, 0), {}, 5},
    {"by absent", {pal}, {{kAutow, false}, {kLx, 5}, {kRx, 45}, {kTy, 5}}, 6},
    {"lx absent", {pal}, {{kAutow, false}, {kRx, 45}, {kTy, 5}, {kBy, 45}}, 6},
    {"window at its least", pal, window(5, 45, 5, 45), 0},
    {"lx 4", pal, window(4, 45, 5, 45), 7},
    {"rx 44", pal, window(5, 44, 5, 45), 8},
    {"rx 714", pal, window(5, 714, 5, 45), 0},
    {"rx 715", pal, window(5, 715, 5, 45), 9},
    {"ty 4", pal, window(5, 45, 4, 45), 10},
    {"by 44", pal, window(5, 45, 5, 44), 11},
    {"by 570", pal, window(5, 45, 5, 570), 0},
    {"by 571", pal, window(5, 45, 5, 571), 12},
    {"rx far below lx (would wrap in 32 bits)", pal, window(5, -2147483640, 5, 45), 8},
    {"by far below ty (would wrap in 32 bits)", pal, window(5, 45, 5, -2147483640), 11},
    {"xgrid 7 widens the margins", pal, with(window(6, 100, 7, 100), {{kXgrid, 7}}), 7},
    {"ygrid follows xgrid", pal, with(window(7, 100, 6, 100), {{kXgrid, 7}}), 10},
    {"minw untested without autow", pal, with(window(5, 45, 5, 45), {{kMinw, 1}}), 0},
    {"window untested with autow", pal, {{kLx, -50}, {kRx, 0}}, 0},
    {"minw 3000", pal, {{kMinw, 3000}}, 13},
    {"minw 3240", pal, {{kMinw, 3240}}, 0},
    {"minw 25920", pal, {{kMinw, 25920}}, 0},
    {"minw 25921", pal, {{kMinw, 25921}}, 13},
    {"320x200 default minw", clip_info(320, 200), {}, 14},
    {"256x256 default minw", clip_info(256, 256), {}, 0},
    {"small frame, minw inside bounds but below 1024", clip_info(200, 200), {{kMinw, 1000}}, 14},
    {"ry 501", pal, {{kRy, 501}}, 15},
    {"ry -1", pal, {{kRy, -1}}, 15},
    {"ry 500", pal, {{kRy, 500}}, 0},
    {"gu 501", pal, {{kGu, 501}}, 16},
    {"bv -1", pal, {{kBv, -1}}, 17},
    {"all strengths 0", pal, {{kRy, 0}, {kGu, 0}, {kBv, 0}}, 18},
    {"two strengths 0, third absent", pal, {{kRy, 0}, {kGu, 0}}, 0},
    {"first failure wins", pal, {{kLimit, 30}, {kRy, 600}}, 4},
    {"frame past 32 bits", clip_info(50000, 50000), {}, 19},
    {"xgrid before the frame size", clip_info(50000, 50000), {{kXgrid, 4}}, 1},
    {"frame size before limit", clip_info(50000, 50000), {{kLimit, 30}}, 19},
    {"RGB32 row past 32 bits", clip_info(536870912, 2, 100, VideoInfo::CS_BGR32), {}, 19},
    {"RGB24 row within 32 bits", clip_info(536870912, 2, 100, VideoInfo::CS_BGR24), {}, 0},
};

INSTANTIATE_TEST_SUITE_P(All, Checks, ::testing::ValuesIn(kCases));

TEST(Checks, WindowSizeMessageCarriesBothBounds) {
    const auto failure = validate_arguments(resolve({{kMinw, 3000}}, pal), pal);
    ASSERT_TRUE(failure);
    EXPECT_STREQ(failure->format, "Dunmorel:window size for auto select must be minimum %d and maximum %d");
    EXPECT_EQ(failure->first, 3240);
    EXPECT_EQ(failure->second, 25920);
}

TEST(Checks, MessagesAreExact) {
    const std::pair<Named, std::string> expected[] = {
        {{{kXgrid, 4}}, "Dunmorel:xgrid should be odd positive number from 3 to 11"},
        {{{kYgrid, 2}}, "Dunmorel:ygrid should be odd positive number from 3 to 11"},
        {{{kLimit, 21}}, "Dunmorel: limit must be between 0 and 20"},
        {{{kNf, -1}}, "Dunmorel:invalid nf being either -ve or beyond clip"},
        {{{kAutow, false}}, "Dunmorel: lx, rx, ty, by must be defined as autoselect is not opted"},
        {window(4, 45, 5, 45), "Dunmorel: lx must not be less than xgrid"},
        {window(5, 44, 5, 45), "Dunmorel:rx must be more than lx by atleast 8 times xgrid"},
        {window(5, 715, 5, 45), "Dunmorel:rx must not be more than  frame width -1 - xgrid"},
        {window(5, 45, 4, 45), "Dunmorel: ty must not be less than ygrid"},
        {window(5, 45, 5, 44), "Dunmorel:by minus ty  be atleast 8 times ygrid"},
        {window(5, 45, 5, 571), "Dunmorel:by must not be more than  frame height -1- ygrid"},
        {{{kRy, -1}}, "Dunmorel: ry  must be between 0 and 500"},
        {{{kGu, -1}}, "Dunmorel: gu  must be between 0 and 500"},
        {{{kBv, -1}}, "Dunmorel: bv  must be between 0 and 500"},
        {{{kRy, 0}, {kGu, 0}, {kBv, 0}}, "Dunmorel: ry, gu and bv are all set to zero"},
    };
    for (const auto& [args, message] : expected) {
        const auto failure = validate_arguments(resolve(args, pal), pal);
        ASSERT_TRUE(failure) << message;
        EXPECT_EQ(failure->format, message);
    }
    const VideoInfo yv16 = clip_info(720, 576, 100, static_cast<int>(0xA0000308u));
    EXPECT_STREQ(validate_arguments(resolve({}, yv16), yv16)->format,
                 "Dunmorel:Only RGB32, RGB24 YUY2 and YV12 color formats are supported");
    const VideoInfo tiny = clip_info(320, 200);
    EXPECT_STREQ(validate_arguments(resolve({}, tiny), tiny)->format,
                 "Dunmorel:A very small frame dimension. Unsuitable for this process");
}

TEST(Defaults, FollowTheArgumentTable) {
    const FilterArguments v = resolve({}, pal).values;
    EXPECT_EQ(v.xgrid, 5);
    EXPECT_EQ(v.ygrid, 5);
    EXPECT_FALSE(v.print);
    EXPECT_EQ(v.limit, 1);
    EXPECT_EQ(v.nf, 0);
    EXPECT_TRUE(v.autow);
    EXPECT_EQ(v.minw, 6480);
    EXPECT_EQ(v.ry, 1);
    EXPECT_EQ(v.gu, 1);
    EXPECT_EQ(v.bv, 1);
    EXPECT_EQ(v.lx, 0);
    EXPECT_EQ(v.by, 0);
}

TEST(Defaults, YgridFollowsTheXgridInEffect) {
    EXPECT_EQ(resolve({{kXgrid, 9}}, pal).values.ygrid, 9);
    const FilterArguments v = resolve({{kYgrid, 3}}, pal).values;
    EXPECT_EQ(v.xgrid, 5);
    EXPECT_EQ(v.ygrid, 3);
}

TEST(Defaults, WindowPassesThroughUntestedWithAutow) {
    const FilterArguments v = resolve({{kLx, 1}, {kRx, 2}, {kTy, 3}, {kBy, 4}}, pal).values;
    EXPECT_EQ(v.lx, 1);
    EXPECT_EQ(v.rx, 2);
    EXPECT_EQ(v.ty, 3);
    EXPECT_EQ(v.by, 4);
}

TEST(Area, IsTheWhole64BitProduct) {
    EXPECT_EQ(frame_area(clip_info(720, 576)), 414720);
    EXPECT_EQ(frame_area(clip_info(65536, 32768)), std::int64_t{1} << 31);
    EXPECT_EQ(frame_area(clip_info(65536, 65537)), 65536LL * 65537);
}

}  // namespace
}  // namespace dunmorel
