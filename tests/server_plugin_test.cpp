// Loading a real plug-in module into the stand-in server, and the emulation of a host that
// over-releases clip arguments.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "server/environment.h"
#include "server/sources.h"
#include "server_test_util.h"

namespace dunmorel::server {
namespace {

using testing::NewMemoryClip;

int LiveFilters(Environment& env) { return env.Call("LiveFilters").AsInt(); }

TEST(ServerPlugin, LoadsAndRegisters) {
    Environment env;
    EXPECT_EQ(env.LoadPlugin(DUNMOREL_TEST_PLUGIN), "server test plug-in");
    for (const char* name : {"Copy", "LiveFilters", "Describe", "Fail", "Catch"}) EXPECT_TRUE(env.FunctionExists(name));
    const auto info = env.FindFunction("Describe");
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->params, "c[x]i[flag]b[f]f[s]s");
    EXPECT_EQ(info->user_data, nullptr);

    PClip clip = NewMemoryClip(env, VideoInfo::CS_YV12, 8, 4);
    EXPECT_STREQ(env.Call("Describe", {AVSValue(clip)}, {{"f", AVSValue(2)}, {"s", AVSValue("x")}}).AsString(),
                 "cvvis");
}

TEST(ServerPlugin, LoadFailuresNameTheCause) {
    Environment env;
    try {
        env.LoadPlugin("/nonexistent/libnothing.so");
        FAIL();
    } catch (const ServerError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("cannot load plug-in \"/nonexistent/libnothing.so\": "), std::string::npos) << what;
        EXPECT_NE(what.find("No such file"), std::string::npos) << what;
    }
    try {
        env.LoadPlugin(DUNMOREL_TEST_NO_ENTRY);
        FAIL();
    } catch (const ServerError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("has no AvisynthPluginInit2: "), std::string::npos) << what;
        EXPECT_NE(what.find("undefined symbol"), std::string::npos) << what;
    }
}

TEST(ServerPlugin, ErrorsCrossTheLibraryBoundaryByTypeName) {
    Environment env;
    env.LoadPlugin(DUNMOREL_TEST_PLUGIN);
    try {
        env.Call("Fail", {AVSValue(3)});
        FAIL();
    } catch (const AvisynthError& e) {
        EXPECT_STREQ(e.msg, "Fail: code 3");
    }
    EXPECT_STREQ(env.Call("Catch").AsString(),
                 "not found|thrown here|Fail: code 7|Fail: argument \"code\" expects an integer, got a string");
}

TEST(ServerPlugin, FramesFromPluginCodeAreBalanced) {
    Environment env;
    env.LoadPlugin(DUNMOREL_TEST_PLUGIN);
    {
        auto* memory = NewMemoryClip(env, VideoInfo::CS_YV12, 32, 8, 2);
        const PClip source = memory;
        const PClip filtered = env.Call("Copy", {AVSValue(source)}).AsClip();
        EXPECT_EQ(LiveFilters(env), 1);
        EXPECT_EQ(source->RefCount(), 2);
        for (int round = 0; round < 3; ++round) {
            for (int n = 0; n < 2; ++n) {
                const PVideoFrame in = source->GetFrame(n, &env);
                const PVideoFrame out = filtered->GetFrame(n, &env);
                EXPECT_NE(out->GetPitch(), in->GetPitch());
                EXPECT_EQ(out->refcount, 1);
                std::vector<std::uint8_t> raw(RawFrameSize(source->GetVideoInfo()));
                CopyFrameToRaw(*out.get(), source->GetVideoInfo(), raw.data());
                EXPECT_EQ(0, std::memcmp(raw.data(), memory->RawFrame(n), raw.size()));
            }
        }
        // Two source frames kept by the clip, and the copies recycled through one buffer.
        EXPECT_EQ(env.BufferCount(), 3u);
    }
    EXPECT_EQ(LiveFilters(env), 0);
    EXPECT_EQ(MemoryClip::LiveInstances(), 0);
    EXPECT_EQ(env.ReferencedFrameCount(), 0u);
    EXPECT_EQ(env.PoolStats().frames_over_released, 0u);
}

struct ReleaseCase {
    const char* label;
    bool emulate;
    bool compensate;
    long count_after_call;  // held by the test and by the filter: 2 when balanced
};

class ExtraClipRelease : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(ExtraClipRelease, CountsAfterACreateCall) {
    const ReleaseCase& c = GetParam();
    Environment env({.extra_clip_release = c.emulate});
    env.LoadPlugin(DUNMOREL_TEST_PLUGIN);
    {
        PClip source = NewMemoryClip(env, VideoInfo::CS_BGR32, 4, 2);
        // A spare reference keeps the clip alive if the host loses one; it is returned below
        // only when nothing was lost.
        source->AddRef();
        {
            const AVSValue filtered = env.Call("Copy", {AVSValue(source)}, {{"compensate", AVSValue(c.compensate)}});
            EXPECT_EQ(source->RefCount(), c.count_after_call + 1);
            EXPECT_EQ(LiveFilters(env), 1);
        }
        EXPECT_EQ(LiveFilters(env), 0);
        if (source->RefCount() == 2) source->Release();
    }
    EXPECT_EQ(MemoryClip::LiveInstances(), 0);
}

INSTANTIATE_TEST_SUITE_P(Server, ExtraClipRelease,
                         ::testing::Values(ReleaseCase{"off", false, true, 2},
                                           ReleaseCase{"on_with_work_around", true, true, 2},
                                           ReleaseCase{"on_without_work_around", true, false, 1}),
                         [](const ::testing::TestParamInfo<ReleaseCase>& info) {
                             return std::string(info.param.label);
                         });

}  // namespace
}  // namespace dunmorel::server
