// The stand-in server's services: argument binding, strings and errors, variables and the
// smaller host calls.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "server/environment.h"
#include "server_test_util.h"

namespace dunmorel::server {
namespace {

using testing::NewMemoryClip;

// Writes one line per received argument, e.g. "c", "i:3", "f:2.5", "v".
AVSValue DUNMOREL_CDECL Record(AVSValue args, void* user_data, IScriptEnvironment*) {
    auto& out = *static_cast<std::vector<std::string>*>(user_data);
    out.clear();
    for (int i = 0; i < args.ArraySize(); ++i) {
        const AVSValue& v = args[i];
        switch (v.Type()) {
            case 'i':
                out.push_back("i:" + std::to_string(v.AsInt()));
                break;
            case 'b':
                out.push_back(std::string("b:") + (v.AsBool() ? "1" : "0"));
                break;
            case 'f':
                out.push_back("f:" + std::to_string(v.AsFloat()).substr(0, 3));
                break;
            case 's':
                out.push_back(std::string("s:") + v.AsString());
                break;
            default:
                out.push_back(std::string(1, v.Type()));
        }
    }
    return AVSValue(args.ArraySize());
}

// One argument of a call in a table: positional when name is null.
struct Arg {
    const char* name;
    char kind;  // 'c' clip, 'i', 'b', 'f', 's', 'v' undefined
    double number = 0;
    const char* text = nullptr;
};

struct BindCase {
    const char* label;
    std::vector<Arg> args;
    std::vector<std::string> received;  // empty when the call must fail
    const char* error = nullptr;
};

void PrintTo(const BindCase& c, std::ostream* os) { *os << c.label; }

class Binding : public ::testing::TestWithParam<BindCase> {
protected:
    void SetUp() override {
        env.AddFunction("Probe", "c[x]i[flag]b[f]f[s]s", Record, &received);
        clip = NewMemoryClip(env, VideoInfo::CS_YV12, 4, 2);
    }
    AVSValue Value(const Arg& a) const {
        switch (a.kind) {
            case 'c':
                return AVSValue(clip);
            case 'i':
                return AVSValue(static_cast<int>(a.number));
            case 'b':
                return AVSValue(a.number != 0);
            case 'f':
                return AVSValue(a.number);
            case 's':
                return AVSValue(a.text);
            default:
                return AVSValue();
        }
    }

    Environment env;
    std::vector<std::string> received;
    PClip clip;
};

TEST_P(Binding, CallBindsOrRejects) {
    const BindCase& c = GetParam();
    std::vector<AVSValue> positional;
    std::vector<std::pair<std::string, AVSValue>> named;
    for (const Arg& a : c.args) {
        if (a.name)
            named.emplace_back(a.name, Value(a));
        else
            positional.push_back(Value(a));
    }
    if (c.error) {
        try {
            env.Call("Probe", positional, named);
            FAIL() << "accepted";
        } catch (const ServerError& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
        EXPECT_TRUE(received.empty()) << "the create function ran";
    } else {
        const AVSValue result = env.Call("Probe", positional, named);
        EXPECT_EQ(result.AsInt(), 5);
        EXPECT_EQ(received, c.received);
    }
}

// The same binding through the interface a plug-in sees: names travel in a parallel array and
// a rejection is the host's script error.
TEST_P(Binding, InvokeBindsOrRejects) {
    const BindCase& c = GetParam();
    std::vector<AVSValue> values;
    std::vector<const char*> names;
    for (const Arg& a : c.args) {
        values.push_back(Value(a));
        names.push_back(a.name);
    }
    const AVSValue args(values.data(), static_cast<int>(values.size()));
    if (c.error) {
        try {
            env.Invoke("Probe", args, names.data());
            FAIL() << "accepted";
        } catch (const AvisynthError& e) {
            EXPECT_STREQ(e.msg, c.error);
        }
    } else {
        env.Invoke("Probe", args, names.data());
        EXPECT_EQ(received, c.received);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Server, Binding,
    ::testing::Values(
        BindCase{"clip_only", {{nullptr, 'c'}}, {"c", "v", "v", "v", "v"}},
        BindCase{"all_positional",
                 {{nullptr, 'c'}, {nullptr, 'i', 3}, {nullptr, 'b', 1}, {nullptr, 'f', 2.5}, {nullptr, 's', 0, "abc"}},
                 {"c", "i:3", "b:1", "f:2.5", "s:abc"}},
        BindCase{
            "named_out_of_order", {{nullptr, 'c'}, {"s", 's', 0, "z"}, {"x", 'i', -7}}, {"c", "i:-7", "v", "v", "s:z"}},
        BindCase{"int_for_float_stays_int", {{nullptr, 'c'}, {"f", 'i', 4}}, {"c", "v", "v", "i:4", "v"}},
        BindCase{"names_ignore_case", {{nullptr, 'c'}, {"FLAG", 'b', 0}}, {"c", "v", "b:0", "v", "v"}},
        BindCase{"explicit_undefined_is_absent",
                 {{nullptr, 'c'}, {nullptr, 'v'}, {nullptr, 'b', 1}},
                 {"c", "v", "b:1", "v", "v"}},
        BindCase{
            "too_many",
            {{nullptr, 'c'}, {nullptr, 'i'}, {nullptr, 'b'}, {nullptr, 'f'}, {nullptr, 's', 0, ""}, {nullptr, 'i'}},
            {},
            "Probe: too many arguments (it takes at most 5)"},
        BindCase{"unknown_name", {{nullptr, 'c'}, {"y", 'i'}}, {}, "Probe: unknown argument name \"y\""},
        BindCase{"named_twice", {{nullptr, 'c'}, {"x", 'i'}, {"X", 'i'}}, {}, "Probe: argument \"x\" given twice"},
        BindCase{"positional_and_named",
                 {{nullptr, 'c'}, {nullptr, 'i'}, {"x", 'i'}},
                 {},
                 "Probe: argument \"x\" given twice"},
        BindCase{"required_missing", {{"x", 'i', 1}}, {}, "Probe: argument 1 (a clip) is required"},
        BindCase{"string_for_int",
                 {{nullptr, 'c'}, {nullptr, 's', 0, "abc"}},
                 {},
                 "Probe: argument \"x\" expects an integer, got a string"},
        BindCase{"float_for_int",
                 {{nullptr, 'c'}, {nullptr, 'f', 2.5}},
                 {},
                 "Probe: argument \"x\" expects an integer, got a float"},
        BindCase{"bool_for_float",
                 {{nullptr, 'c'}, {"f", 'b', 1}},
                 {},
                 "Probe: argument \"f\" expects a float, got a boolean"},
        BindCase{"int_for_clip", {{nullptr, 'i', 5}}, {}, "Probe: argument 1 expects a clip, got an integer"},
        BindCase{
            "undefined_for_clip", {{nullptr, 'v'}}, {}, "Probe: argument 1 expects a clip, got an undefined value"}),
    [](const ::testing::TestParamInfo<BindCase>& info) { return std::string(info.param.label); });

TEST(ServerFunctions, UnknownFunctionIsServerErrorOnCallAndNotFoundOnInvoke) {
    Environment env;
    try {
        env.Call("Nope");
        FAIL();
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), "unknown function \"Nope\"");
    }
    EXPECT_THROW(env.Invoke("Nope", AVSValue()), IScriptEnvironment::NotFound);
    EXPECT_FALSE(env.FunctionExists("Nope"));
}

TEST(ServerFunctions, InvokeTakesASingleValueOrNothing) {
    Environment env;
    std::vector<std::string> received;
    env.AddFunction("One", "[n]i", Record, &received);
    env.Invoke("One", AVSValue(9));
    EXPECT_EQ(received, std::vector<std::string>{"i:9"});
    env.Invoke("One", AVSValue());
    EXPECT_EQ(received, std::vector<std::string>{"v"});
}

TEST(ServerFunctions, LaterRegistrationReplacesEarlierOneWhateverTheCase) {
    Environment env;
    std::vector<std::string> first;
    std::vector<std::string> second;
    env.AddFunction("Twice", "i", Record, &first);
    env.AddFunction("TWICE", "[a]i[b]i", Record, &second);
    EXPECT_TRUE(env.FunctionExists("twice"));
    EXPECT_EQ(env.Call("Twice", {AVSValue(1)}).AsInt(), 2);
    EXPECT_TRUE(first.empty());
    EXPECT_EQ(second, (std::vector<std::string>{"i:1", "v"}));
    const auto info = env.FindFunction("twice");
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->params, "[a]i[b]i");
    EXPECT_EQ(info->user_data, &second);
}

TEST(ServerFunctions, SignatureParsing) {
    const auto ps = ParseSignature("c[xgrid]i[print]b[f].s");
    ASSERT_EQ(ps.size(), 5u);
    EXPECT_EQ(ps[0].type, 'c');
    EXPECT_FALSE(ps[0].optional);
    EXPECT_EQ(ps[1].name, "xgrid");
    EXPECT_TRUE(ps[1].optional);
    EXPECT_EQ(ps[3].type, '.');
    EXPECT_FALSE(ps[4].optional);
    EXPECT_TRUE(ParseSignature("").empty());

    const std::pair<const char*, const char*> bad[] = {
        {"c[x", "unclosed '[' at position 1"},           {"[]i", "empty parameter name at position 0"},
        {"[x]", "parameter \"x\" has no type letter"},   {"[x]i[X]b", "parameter name \"X\" used twice"},
        {"cq", "unknown type letter 'q' at position 1"}, {"i*", "repeated parameters ('*', '+') are not supported"},
    };
    for (const auto& [signature, message] : bad) {
        try {
            ParseSignature(signature);
            ADD_FAILURE() << signature << " accepted";
        } catch (const ServerError& e) {
            EXPECT_STREQ(e.what(), message) << signature;
        }
    }
}

TEST(ServerFunctions, AddFunctionRejectsABadSignatureThroughThrowError) {
    Environment env;
    try {
        env.AddFunction("Bad", "c[x", Record, nullptr);
        FAIL();
    } catch (const AvisynthError& e) {
        EXPECT_STREQ(e.msg, "AddFunction(\"Bad\"): bad signature \"c[x\": unclosed '[' at position 1");
    }
    EXPECT_FALSE(env.FunctionExists("Bad"));
}

TEST(ServerErrors, ThrowErrorFormatsKeepsTheTextAndThrowsAvisynthError) {
    Environment env;
    const char* first = nullptr;
    try {
        env.ThrowError("Dunmorel: %s %d", "xgrid", 4);
    } catch (const AvisynthError& e) {
        first = e.msg;
    }
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "Dunmorel: xgrid 4");
    // Later strings must not disturb an earlier message.
    for (int i = 0; i < 100; ++i) env.Sprintf("%0500d", i);
    EXPECT_STREQ(first, "Dunmorel: xgrid 4");
}

TEST(ServerErrors, ThrowErrorFromSeveralThreadsKeepsEveryText) {
    Environment env;
    constexpr int kThreads = 4;
    constexpr int kEach = 300;
    std::vector<std::vector<const char*>> texts(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                try {
                    env.ThrowError("thread %d error %d", t, i);
                } catch (const AvisynthError& e) {
                    texts[t].push_back(e.msg);
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(texts[t].size(), static_cast<std::size_t>(kEach));
        for (int i = 0; i < kEach; ++i)
            ASSERT_EQ(std::string(texts[t][i]), "thread " + std::to_string(t) + " error " + std::to_string(i));
    }
}

TEST(ServerStrings, SaveStringCopiesTheGivenLength) {
    Environment env;
    char buffer[] = "abcdef";
    char* all = env.SaveString(buffer);
    char* part = env.SaveString(buffer, 3);
    buffer[0] = 'X';
    EXPECT_STREQ(all, "abcdef");
    EXPECT_STREQ(part, "abc");
    EXPECT_EQ(env.SaveString(nullptr), nullptr);
    const std::string long_text(5000, 'q');
    EXPECT_EQ(std::string(env.Sprintf("%s!", long_text.c_str())), long_text + "!");
}

TEST(ServerVariables, LocalShadowsGlobalAndUnknownIsNotFound) {
    Environment env;
    EXPECT_THROW(env.GetVar("missing"), IScriptEnvironment::NotFound);
    EXPECT_TRUE(env.SetGlobalVar("v", AVSValue(1)));
    EXPECT_EQ(env.GetVar("v").AsInt(), 1);
    EXPECT_TRUE(env.SetVar("v", AVSValue(2)));
    EXPECT_FALSE(env.SetVar("v", AVSValue(3)));
    EXPECT_EQ(env.GetVar("v").AsInt(), 3);

    char text[] = "kept";
    env.SetVar("s", AVSValue(static_cast<const char*>(text)));
    text[0] = 'X';
    EXPECT_STREQ(env.GetVar("s").AsString(), "kept");
}

TEST(ServerVariables, AClipInAVariableIsReleasedWithTheEnvironment) {
    {
        Environment env;
        env.SetVar("c", AVSValue(NewMemoryClip(env, VideoInfo::CS_YUY2, 4, 2)));
        EXPECT_EQ(MemoryClip::LiveInstances(), 1);
        const PClip held = env.GetVar("c").AsClip();
        EXPECT_EQ(held->RefCount(), 2);
    }
    EXPECT_EQ(MemoryClip::LiveInstances(), 0);
}

void DUNMOREL_CDECL RecordExit(void* user_data, IScriptEnvironment* env) {
    auto& log = *static_cast<std::vector<std::string>*>(user_data);
    log.push_back(std::string(env->Sprintf("exit %zu", log.size())));
}

TEST(ServerServices, AtExitCallbacksRunAtDestructionLastRegisteredFirst) {
    std::vector<std::string> first;
    std::vector<std::string> second;
    {
        Environment env;
        env.AtExit(RecordExit, &first);
        env.AtExit(RecordExit, &second);
        env.AtExit(RecordExit, &second);
        EXPECT_TRUE(first.empty());
    }
    EXPECT_EQ(first, std::vector<std::string>{"exit 0"});
    EXPECT_EQ(second, (std::vector<std::string>{"exit 0", "exit 1"}));
}

TEST(ServerServices, VersionCheckAndUnsupportedSubframes) {
    Environment env;
    EXPECT_NO_THROW(env.CheckVersion(3));
    EXPECT_THROW(env.CheckVersion(5), AvisynthError);

    const PVideoFrame frame = env.NewVideoFrame(MakeVideoInfo(VideoInfo::CS_YV12, 16, 16, 1));
    try {
        env.Subframe(frame, 0, 16, 16, 8);
        FAIL();
    } catch (const AvisynthError& e) {
        EXPECT_STREQ(e.msg, "Subframe is not supported by this server");
    }
    EXPECT_THROW(env.SubframePlanar(frame, 0, 16, 16, 8, 0, 0, 8), AvisynthError);
    EXPECT_EQ(frame->refcount, 1) << "the by-value handles were not released";
}

TEST(ServerServices, ManageCacheAnswersTheExtraReleaseKeyOnlyWhenEmulating) {
    Environment env;
    EXPECT_EQ(env.ManageCache(kManageCacheExtraClipRelease, nullptr), nullptr);
    env.SetExtraClipRelease(true);
    EXPECT_EQ(env.ManageCache(kManageCacheExtraClipRelease, nullptr), reinterpret_cast<void*>(1));
    EXPECT_EQ(env.ManageCache(0, nullptr), nullptr);
}

}  // namespace
}  // namespace dunmorel::server
