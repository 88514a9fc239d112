// The built plug-in, loaded the way a host loads it and called by name.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "noisy_clip.h"
#include "server/environment.h"
#include "server/sources.h"

namespace dunmorel {
namespace {

using server::Environment;
using Named = std::vector<std::pair<std::string, AVSValue>>;

class Plugin : public ::testing::Test {
protected:
    Environment env;
    void SetUp() override { description = env.LoadPlugin(DUNMOREL_PLUGIN_PATH); }
    std::string description;

    // The text of the error a call raises, or "" when it succeeds.
    std::string call_error(const PClip& clip, const Named& named) {
        try {
            AVSValue result = env.Call("Dunmorel", {AVSValue(clip)}, named);
            return result.IsClip() ? "" : "no clip returned";
        } catch (const AvisynthError& e) {
            return e.msg;
        }
    }
    std::string report(const PClip& clip, Named named) {
        named.emplace_back("print", true);
        PClip filter = env.Call("Dunmorel", {AVSValue(clip)}, named).AsClip();
        try {
            filter->GetFrame(0, &env);
        } catch (const AvisynthError& e) {
            return e.msg;
        }
        return "no report";
    }
};

TEST_F(Plugin, RegistersOneFunction) {
    EXPECT_EQ(description, "Dunmorel  Plugin");
    const auto info = env.FindFunction("Dunmorel");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->params, "c[xgrid]i[ygrid]i[print]b[limit]i[nf]i[autow]b[minw]i[lx]i[rx]i[ty]i[by]i[ry]i[gu]i[bv]i");
}

TEST(PluginExports, OnlyTheEntryPoint) {
    const std::string command = std::string("nm -D --defined-only ") + DUNMOREL_PLUGIN_PATH;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_TRUE(pipe);
    std::string symbols;
    char line[512];
    while (fgets(line, sizeof line, pipe.get())) symbols += line;
    EXPECT_NE(symbols.find(" T AvisynthPluginInit2\n"), std::string::npos) << symbols;
    EXPECT_EQ(symbols.find('\n'), symbols.size() - 1) << "more than one symbol exported:\n" << symbols;
}

TEST_F(Plugin, DefaultBlockForPal) {
    PClip clip = testing::noisy_clip(env, VideoInfo::CS_YV12, 720, 576, 1, 10);
    const std::string text = report(clip, {{"xgrid", 3}});
    int lx, rx, ty, by;
    ASSERT_EQ(std::sscanf(text.c_str(), "window lx = %d, rx = %d, ty = %d, by = %d,", &lx, &rx, &ty, &by), 4) << text;
    EXPECT_EQ(rx - lx + 1, 90);
    EXPECT_EQ(by - ty + 1, 72);
    // With minw given as 6480 explicitly the block is the same: the default is width x height / 64.
    EXPECT_EQ(report(clip, {{"xgrid", 3}, {"minw", 6480}}), text);
}

TEST_F(Plugin, ValidationMessagesReachTheCaller) {
    PClip pal = testing::noisy_clip(env, VideoInfo::CS_YV12, 720, 576, 100, 10);
    EXPECT_EQ(call_error(pal, {}), "");
    EXPECT_EQ(call_error(pal, {{"xgrid", 4}}), "Dunmorel:xgrid should be odd positive number from 3 to 11");
    EXPECT_EQ(call_error(pal, {{"nf", 100}}), "Dunmorel:invalid nf being either -ve or beyond clip");
    EXPECT_EQ(call_error(pal, {{"nf", 99}}), "");
    EXPECT_EQ(call_error(pal, {{"minw", 3000}}),
              "Dunmorel:window size for auto select must be minimum 3240 and maximum 25920");
    EXPECT_EQ(call_error(pal, {{"minw", 25921}}),
              "Dunmorel:window size for auto select must be minimum 3240 and maximum 25920");
    EXPECT_EQ(call_error(pal, {{"autow", false}, {"lx", 5}, {"rx", 45}, {"ty", 5}}),
              "Dunmorel: lx, rx, ty, by must be defined as autoselect is not opted");
    EXPECT_EQ(call_error(pal, {{"autow", false}, {"lx", 5}, {"rx", -2147483640}, {"ty", 5}, {"by", 45}}),
              "Dunmorel:rx must be more than lx by atleast 8 times xgrid");
    EXPECT_EQ(call_error(pal, {{"ry", 0}, {"gu", 0}, {"bv", 0}}), "Dunmorel: ry, gu and bv are all set to zero");
    PClip small = testing::noisy_clip(env, VideoInfo::CS_YV12, 320, 200, 1, 10);
    EXPECT_EQ(call_error(small, {}), "Dunmorel:A very small frame dimension. Unsuitable for this process");
}

TEST_F(Plugin, ServerRejectsUnknownNamesAndWrongTypes) {
    PClip pal = testing::noisy_clip(env, VideoInfo::CS_YV12, 720, 576, 1, 10);
    EXPECT_THROW(env.Call("Dunmorel", {AVSValue(pal)}, {{"strength", 3}}), server::ServerError);
    EXPECT_THROW(env.Call("Dunmorel", {AVSValue(pal)}, {{"xgrid", "five"}}), server::ServerError);
    EXPECT_THROW(env.Call("Dunmorel", {AVSValue(pal)}, {{"print", 1}}), server::ServerError);
}

TEST_F(Plugin, ReportFormats) {
    PClip yuy2 = testing::noisy_clip(env, VideoInfo::CS_YUY2, 640, 480, 1, 10);
    PClip rgb = testing::noisy_clip(env, VideoInfo::CS_BGR32, 640, 480, 1, 10);
    const Named window = {{"autow", false}, {"lx", 20}, {"rx", 119}, {"ty", 10}, {"by", 100}};
    const std::string yuv_text = report(yuy2, window);
    const std::string rgb_text = report(rgb, window);
    int v[13];
    ASSERT_EQ(std::sscanf(yuv_text.c_str(),
                          "window lx = %d, rx = %d, ty = %d, by = %d,Variance Y  iter %d in %d out %d  U  iter %d "
                          "in %d out %d  V  iter %d in %d out %d  ",
                          &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &v[11], &v[12]),
              13)
        << yuv_text;
    EXPECT_EQ(yuv_text.rfind("window lx = 20, rx = 119, ty = 10, by = 100,Variance Y  iter ", 0), 0u);
    EXPECT_EQ(yuv_text.substr(yuv_text.size() - 2), "  ");
    // RGB rows are turned back into rows from the picture's top, and the labels differ.
    EXPECT_EQ(rgb_text.rfind("window lx = 20, rx = 119, ty = 10, by = 100, Variance R  iter ", 0), 0u) << rgb_text;
    EXPECT_NE(rgb_text.find("  G  iter "), std::string::npos);
    EXPECT_NE(rgb_text.find("  B  iter "), std::string::npos);

    // With autow the window is the block found; for RGB it is reported from the picture's top.
    const std::string auto_text = report(rgb, {});
    ASSERT_EQ(std::sscanf(auto_text.c_str(), "window lx = %d, rx = %d, ty = %d, by = %d, Variance R", &v[0], &v[1],
                          &v[2], &v[3]),
              4)
        << auto_text;
    EXPECT_GE(v[2], 5);
    EXPECT_LT(v[3], 480 - 5);
}

TEST_F(Plugin, ExtraReleasingHostStaysBalanced) {
    env.SetExtraClipRelease(true);
    {
        PClip source = testing::noisy_clip(env, VideoInfo::CS_YV12, 320, 240, 2, 10);
        {
            // The host's extra release after the create function returns is emulated by the
            // server; the plug-in hands it the reference it takes back.
            AVSValue result = env.Call("Dunmorel", {AVSValue(source)}, {{"minw", 1200}});
            PClip filter = result.AsClip();
            PVideoFrame frame = filter->GetFrame(1, &env);
            EXPECT_EQ(source->RefCount(), 2);  // ours and the filter's child
        }
        EXPECT_EQ(source->RefCount(), 1);
    }
    EXPECT_EQ(server::MemoryClip::LiveInstances(), 0);
}

TEST_F(Plugin, HandlesReleasedAfterErrors) {
    {
        PClip source = testing::noisy_clip(env, VideoInfo::CS_YV12, 320, 240, 2, 10);
        EXPECT_NE(call_error(source, {{"limit", 99}}), "");
        EXPECT_EQ(source->RefCount(), 1);
        EXPECT_NE(report(source, {{"minw", 1200}}), "no report");
        EXPECT_EQ(source->RefCount(), 1);
        {
            PClip filter = env.Call("Dunmorel", {AVSValue(source)}, {{"minw", 1200}}).AsClip();
            filter->GetFrame(0, &env);
        }
        EXPECT_EQ(source->RefCount(), 1);
    }
    EXPECT_EQ(server::MemoryClip::LiveInstances(), 0);
    EXPECT_EQ(env.ReferencedFrameCount(), 0u);
    EXPECT_EQ(env.PoolStats().frames_over_released, 0u);
}

}  // namespace
}  // namespace dunmorel
