// The VapourSynth plug-in inside the real VapourSynth core, against the AviSynth plug-in run
// through the stand-in server on the same pictures: frames, error texts, the report, parallel
// requests. The core is opened at run time from DUNMOREL_VS_CORE; this program never links it.
//
// The same program is built for Windows and run under Wine, where there is no stand-in: a Linux
// run records the AviSynth plug-in's answers (DUNMOREL_RECORD_DIR) and the Windows run compares
// its own with them (DUNMOREL_REFERENCE_DIR), so the Windows DLL is held to the Linux bytes.
#include <gtest/gtest.h>
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <VapourSynth4.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "engine/arguments.h"
#include "tests/wide_clip.h"

#if DUNMOREL_STANDIN
#include "server/environment.h"
#include "server/sources.h"
#endif

namespace {

using Args = std::map<std::string, int>;

const VSAPI* api = nullptr;

// A path as the host's file functions take it: under Wine, / is the root of drive Z:.
std::string native_path(std::string path) {
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    for (char& c : path)
        if (c == '/') c = '\\';
#endif
    return path;
}

// The built plug-in, or the installed one that the CI stage names.
std::string plugin_path() {
    const char* plugin = std::getenv("DUNMOREL_VS_PLUGIN");
    return native_path(plugin && *plugin ? plugin : DUNMOREL_VS_PLUGIN);
}

// One VapourSynth core with the plug-in loaded; freed after each test so that leaks show.
// Under Wine, freeCore of the MinGW-built core may never return once other threads than its
// single worker have run (a thread stuck at exit in the MinGW runtime's per-thread cleanup;
// the plug-in's own threads count too): there each core is left to the process's end, which
// main() brings about without waiting for any thread, and leaks are checked in the Linux build.
class Core {
public:
    explicit Core(int threads = 0) {
        core_ = api->createCore(ccfDisableAutoLoading);
        if (threads) api->setThreadCount(threads, core_);
        VSMap* args = api->createMap();
        api->mapSetData(args, "path", plugin_path().c_str(), -1, dtUtf8, maReplace);
        VSMap* out = api->invoke(api->getPluginByID("com.vapoursynth.std", core_), "LoadPlugin", args);
        if (const char* e = api->mapGetError(out)) ADD_FAILURE() << "LoadPlugin: " << e;
        api->freeMap(out);
        api->freeMap(args);
        plugin_ = api->getPluginByNamespace("dunmorel", core_);
    }
    ~Core() {
#ifndef _WIN32
        api->freeCore(core_);
#endif
    }
    VSCore* get() const { return core_; }
    VSPlugin* dunmorel() const { return plugin_; }
    VSPlugin* std_plugin() const { return api->getPluginByID("com.vapoursynth.std", core_); }

private:
    VSCore* core_;
    VSPlugin* plugin_ = nullptr;
};

// Calls a function; returns its clip, or null with the error text in `error`.
VSNode* call(VSPlugin* plugin, const char* name, VSMap* args, std::string* error = nullptr) {
    VSMap* out = api->invoke(plugin, name, args);
    VSNode* node = nullptr;
    if (const char* e = api->mapGetError(out)) {
        if (error)
            *error = e;
        else
            ADD_FAILURE() << name << ": " << e;
    } else {
        node = api->mapGetNode(out, "clip", 0, nullptr);
    }
    api->freeMap(out);
    return node;
}

// --- the pictures -------------------------------------------------------------------------

enum class Kind { yuv420, yuv422, rgb, gray };

struct Picture {
    Kind kind;
    int width, height, frames;
};

const char* name_of(Kind k) {
    switch (k) {
        case Kind::yuv420:
            return "YUV420P8";
        case Kind::yuv422:
            return "YUV422P8";
        case Kind::rgb:
            return "RGB24";
        case Kind::gray:
            return "GRAY8";
    }
    return "?";
}

uint32_t preset_of(Kind k) {
    switch (k) {
        case Kind::yuv420:
            return pfYUV420P8;
        case Kind::yuv422:
            return pfYUV422P8;
        case Kind::rgb:
            return pfRGB24;
        case Kind::gray:
            return pfGray8;
    }
    return pfNone;
}

int planes_of(Kind k) { return k == Kind::gray ? 1 : 3; }
// Plane sizes of the raw picture; grey is given to the stand-in as 4:2:0 with neutral chroma.
int plane_width(const Picture& p, int plane) { return plane && p.kind != Kind::rgb ? p.width / 2 : p.width; }
int plane_height(const Picture& p, int plane) {
    return plane && (p.kind == Kind::yuv420 || p.kind == Kind::gray) ? p.height / 2 : p.height;
}

// Uniform noise of +-12 on every plane, the host's mosaic is added on top by std.Expr.
std::vector<std::uint8_t> noise_plane(int width, int height, std::uint32_t seed) {
    std::vector<std::uint8_t> v(static_cast<std::size_t>(width) * height);
    std::uint32_t x = seed;
    for (auto& s : v) {
        x = x * 1664525u + 1013904223u;
        s = static_cast<std::uint8_t>(116 + (x >> 16) % 25);
    }
    return v;
}

// A source filter of this program's own: plane p of frame n holds noise_plane(seed[p] + 1000 n),
// so one picture's plane can be given to another clip as its own. In a format of more than 8 bits
// every sample is shifted left by `shift`, its new low bits zero or, with `low` set, noise of
// their own.
struct NoiseSource {
    VSVideoInfo vi;
    std::vector<std::uint32_t> seed{5, 22, 39};
    int shift = 0;
    bool low = false;
};

const VSFrame* VS_CC noise_get_frame(int n, int reason, void* data, void**, VSFrameContext*, VSCore* core,
                                     const VSAPI* vsapi) {
    if (reason != arInitial) return nullptr;
    auto* s = static_cast<NoiseSource*>(data);
    VSFrame* f = vsapi->newVideoFrame(&s->vi.format, s->vi.width, s->vi.height, nullptr, core);
    for (int p = 0; p < s->vi.format.numPlanes; ++p) {
        const int w = vsapi->getFrameWidth(f, p), h = vsapi->getFrameHeight(f, p);
        const auto samples = noise_plane(w, h, s->seed[p] + 1000u * n);
        for (int r = 0; r < h; ++r) {
            std::uint8_t* bytes = vsapi->getWritePtr(f, p) + r * vsapi->getStride(f, p);
            if (s->vi.format.bytesPerSample == 1) {
                std::memcpy(bytes, samples.data() + r * w, w);
                continue;
            }
            auto* row = reinterpret_cast<std::uint16_t*>(bytes);
            for (int c = 0; c < w; ++c) {
                const std::uint32_t h = (static_cast<std::uint32_t>(r * w + c) + 7919u * n) * 2654435761u;
                const std::uint32_t low = s->low ? (h >> 11) & ((1u << s->shift) - 1) : 0;
                row[c] = static_cast<std::uint16_t>(samples[r * w + c] << s->shift | low);
            }
        }
    }
    return f;
}

void VS_CC noise_free(void* data, VSCore*, const VSAPI*) { delete static_cast<NoiseSource*>(data); }

VSNode* blank(const Core& core, const Picture& p, int width, int height, int level) {
    VSMap* a = api->createMap();
    api->mapSetInt(a, "width", width, maReplace);
    api->mapSetInt(a, "height", height, maReplace);
    api->mapSetInt(a, "format", preset_of(p.kind), maReplace);
    api->mapSetInt(a, "length", p.frames, maReplace);
    for (int c = 0; c < planes_of(p.kind); ++c) api->mapSetFloat(a, "color", (level + 37 * c) % 200 + 20, maAppend);
    VSNode* n = call(core.std_plugin(), "BlankClip", a);
    api->freeMap(a);
    return n;
}

VSNode* stack(const Core& core, const char* how, const std::vector<VSNode*>& clips) {
    VSMap* a = api->createMap();
    for (VSNode* c : clips) api->mapConsumeNode(a, "clips", c, maAppend);
    VSNode* n = call(core.std_plugin(), how, a);
    api->freeMap(a);
    return n;
}

// The test picture: a 4 x 3 mosaic of flat blocks made with the host's BlankClip and Stack
// functions, plus this program's noise, added by std.Expr.
VSNode* textured_source(const Core& core, const Picture& p) {
    std::vector<VSNode*> rows;
    // Even block sizes keep every block valid for the subsampled formats.
    const int bw = (p.width / 4) & ~1, bh = (p.height / 3) & ~1;
    for (int r = 0; r < 3; ++r) {
        std::vector<VSNode*> blocks;
        for (int c = 0; c < 4; ++c) {
            const int w = c == 3 ? p.width - 3 * bw : bw, h = r == 2 ? p.height - 2 * bh : bh;
            blocks.push_back(blank(core, p, w, h, 29 * (4 * r + c)));
        }
        rows.push_back(stack(core, "StackHorizontal", blocks));
    }
    VSNode* mosaic = stack(core, "StackVertical", rows);

    auto* source = new NoiseSource{};
    api->getVideoFormatByID(&source->vi.format, preset_of(p.kind), core.get());
    source->vi.width = p.width;
    source->vi.height = p.height;
    source->vi.numFrames = p.frames;
    source->vi.fpsNum = 25;
    source->vi.fpsDen = 1;
    VSNode* noise = api->createVideoFilter2("NoiseSource", &source->vi, noise_get_frame, noise_free, fmParallel,
                                            nullptr, 0, source, core.get());
    VSMap* a = api->createMap();
    api->mapConsumeNode(a, "clips", mosaic, maAppend);
    api->mapConsumeNode(a, "clips", noise, maAppend);
    api->mapSetData(a, "expr", "x y + 128 -", -1, dtUtf8, maReplace);
    VSNode* n = call(core.std_plugin(), "Expr", a);
    api->freeMap(a);
    return n;
}

// --- both hosts' answers --------------------------------------------------------------------

// A frame in the stand-in server's raw layout of the AviSynth picture that is the same picture:
// YV12 (grey with neutral chroma), YUY2, or packed B G R rows.
std::vector<std::uint8_t> to_raw(const VSFrame* f, const Picture& p) {
    std::vector<std::uint8_t> raw;
    auto at = [&](int plane, int r, int c) { return api->getReadPtr(f, plane)[r * api->getStride(f, plane) + c]; };
    switch (p.kind) {
        case Kind::yuv420:
        case Kind::gray:
            for (int plane = 0; plane < 3; ++plane)
                for (int r = 0; r < plane_height(p, plane); ++r)
                    for (int c = 0; c < plane_width(p, plane); ++c)
                        raw.push_back(p.kind == Kind::gray && plane ? 128 : at(plane, r, c));
            break;
        case Kind::yuv422:
            for (int r = 0; r < p.height; ++r)
                for (int c = 0; c < p.width / 2; ++c)
                    for (int s : {at(0, r, 2 * c), at(1, r, c), at(0, r, 2 * c + 1), at(2, r, c)}) raw.push_back(s);
            break;
        case Kind::rgb:
            for (int r = 0; r < p.height; ++r)
                for (int c = 0; c < p.width; ++c)
                    for (int plane : {2, 1, 0}) raw.push_back(at(plane, r, c));
            break;
    }
    return raw;
}

struct Answer {
    std::vector<std::vector<std::uint8_t>> frames;  // raw layout, in request order
    std::string error;  // creation or first frame error
};

#if DUNMOREL_STANDIN
int avisynth_type(Kind k) {
    switch (k) {
        case Kind::yuv422:
            return VideoInfo::CS_YUY2;
        case Kind::rgb:
            return VideoInfo::CS_BGR24;
        default:
            return VideoInfo::CS_YV12;
    }
}

// The AviSynth plug-in through the stand-in server, on the raw pictures (black ones when `raw`
// is empty), frames requested in `order`.
Answer standin(const Picture& p, const std::vector<std::uint8_t>& raw, const Args& args,
               const std::vector<int>& order) {
    Answer answer;
    dunmorel::server::Environment env;
    env.LoadPlugin(DUNMOREL_AVS_PLUGIN);
    const VideoInfo vi = dunmorel::server::MakeVideoInfo(avisynth_type(p.kind), p.width, p.height, p.frames);
    const std::vector<std::uint8_t> black(raw.empty() ? dunmorel::server::RawFrameSize(vi) * p.frames : 0);
    PClip source(new dunmorel::server::MemoryClip(env, vi, raw.empty() ? black : raw));
    std::vector<std::pair<std::string, AVSValue>> named;
    for (const auto& [name, value] : args) {
        if (name == "print" || name == "autow")
            named.emplace_back(name, AVSValue(value != 0));
        else
            named.emplace_back(name, AVSValue(value));
    }
    try {
        PClip filter = env.Call("Dunmorel", {AVSValue(source)}, named).AsClip();
        for (int n : order) {
            PVideoFrame f = filter->GetFrame(n, &env);
            answer.frames.emplace_back(dunmorel::server::RawFrameSize(vi));
            dunmorel::server::CopyFrameToRaw(*f, vi, answer.frames.back().data());
        }
    } catch (const AvisynthError& e) {
        answer.error = e.msg;
    }
    return answer;
}
#endif

// An answer on file: the error's length and text, the frame count, each frame's size and bytes.
[[maybe_unused]] void write_answer(const std::string& path, const Answer& a) {
    std::ofstream out(path, std::ios::binary);
    auto put = [&](std::uint64_t n) { out.write(reinterpret_cast<const char*>(&n), sizeof n); };
    put(a.error.size());
    out.write(a.error.data(), static_cast<std::streamsize>(a.error.size()));
    put(a.frames.size());
    for (const auto& f : a.frames) {
        put(f.size());
        out.write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
    }
    if (!out.flush()) ADD_FAILURE() << "cannot write " << path;
}

bool read_answer(const std::string& path, Answer& a) {
    std::ifstream in(path, std::ios::binary);
    auto get = [&] {
        std::uint64_t n = 0;
        in.read(reinterpret_cast<char*>(&n), sizeof n);
        return in ? n : 0;
    };
    a.error.resize(get());
    in.read(a.error.data(), static_cast<std::streamsize>(a.error.size()));
    a.frames.resize(get());
    for (auto& f : a.frames) {
        f.resize(get());
        in.read(reinterpret_cast<char*>(f.data()), static_cast<std::streamsize>(f.size()));
    }
    return static_cast<bool>(in);
}

// The AviSynth plug-in's answer to the same call: from the stand-in (recorded under `key` when
// DUNMOREL_RECORD_DIR is set), or as recorded by a Linux run in DUNMOREL_REFERENCE_DIR.
Answer reference(const std::string& key, [[maybe_unused]] const Picture& p,
                 [[maybe_unused]] const std::vector<std::uint8_t>& raw, [[maybe_unused]] const Args& args,
                 [[maybe_unused]] const std::vector<int>& order) {
    Answer answer;
    if (const char* dir = std::getenv("DUNMOREL_REFERENCE_DIR")) {
        if (!read_answer(native_path(std::string(dir) + "/" + key), answer))
            ADD_FAILURE() << "no recorded answer " << key << " in " << dir;
        return answer;
    }
#if DUNMOREL_STANDIN
    answer = standin(p, raw, args, order);
    if (const char* dir = std::getenv("DUNMOREL_RECORD_DIR")) write_answer(std::string(dir) + "/" + key, answer);
#else
    ADD_FAILURE() << "this build has no stand-in server: give DUNMOREL_REFERENCE_DIR";
#endif
    return answer;
}

VSMap* vs_args(VSNode* clip, const Args& args) {
    VSMap* a = api->createMap();
    api->mapConsumeNode(a, "clip", clip, maReplace);
    for (const auto& [name, value] : args) api->mapSetInt(a, name.c_str(), value, maReplace);
    return a;
}

// The same call in VapourSynth; also gives the source frames in raw layout for the stand-in.
Answer vapoursynth(const Core& core, VSNode* source, const Picture& p, const Args& args, const std::vector<int>& order,
                   std::vector<std::uint8_t>* source_raw) {
    Answer answer;
    char error[1024] = {};
    if (source_raw) {
        for (int n = 0; n < p.frames; ++n) {
            const VSFrame* f = api->getFrame(n, source, error, sizeof error);
            const auto raw = to_raw(f, p);
            source_raw->insert(source_raw->end(), raw.begin(), raw.end());
            api->freeFrame(f);
        }
    }
    VSMap* a = vs_args(api->addNodeRef(source), args);
    VSNode* filtered = call(core.dunmorel(), "Dunmorel", a, &answer.error);
    api->freeMap(a);
    if (!filtered) return answer;
    for (int n : order) {
        const VSFrame* f = api->getFrame(n, filtered, error, sizeof error);
        if (!f) {
            answer.error = error;
            break;
        }
        answer.frames.push_back(to_raw(f, p));
        api->freeFrame(f);
    }
    api->freeNode(filtered);
    return answer;
}

// --- the table --------------------------------------------------------------------------------

const Picture kPictures[] = {
    {Kind::yuv420, 330, 202, 4},
    {Kind::yuv422, 362, 250, 4},
    {Kind::rgb, 330, 206, 4},
    {Kind::gray, 338, 202, 4},
};

struct ArgumentSet {
    const char* name;
    Args args;
    std::vector<int> order;
};

const ArgumentSet kArgumentSets[] = {
    {"defaults", {}, {0, 1, 2}},
    {"manual_window",
     {{"autow", 0}, {"lx", 24}, {"rx", 120}, {"ty", 16}, {"by", 90}, {"xgrid", 3}, {"ygrid", 7}},
     {1, 0, 3}},
    {"nf2_strengths", {{"nf", 2}, {"ry", 3}, {"gu", 0}, {"limit", 5}, {"xgrid", 7}}, {0, 3, 2}},
};

// Named in test output, rather than dumped byte by byte (padding included).
void PrintTo(const Picture& p, std::ostream* os) { *os << name_of(p.kind) << " " << p.width << "x" << p.height; }
void PrintTo(const ArgumentSet& a, std::ostream* os) { *os << a.name; }

class CrossHost : public ::testing::TestWithParam<std::tuple<Picture, ArgumentSet>> {};

TEST_P(CrossHost, SameBytesAsTheAviSynthPlugin) {
    const auto& [picture, set] = GetParam();
    Core core;
    VSNode* source = textured_source(core, picture);
    std::vector<std::uint8_t> raw;
    const Answer vs = vapoursynth(core, source, picture, set.args, set.order, &raw);
    api->freeNode(source);
    const Answer avs =
        reference(std::string(name_of(picture.kind)) + "_" + set.name, picture, raw, set.args, set.order);
    ASSERT_EQ(vs.error, "");
    ASSERT_EQ(avs.error, "");
    ASSERT_EQ(vs.frames.size(), set.order.size());
    ASSERT_EQ(avs.frames.size(), set.order.size());
    int changed = 0;
    for (std::size_t i = 0; i < set.order.size(); ++i) {
        EXPECT_TRUE(vs.frames[i] == avs.frames[i])
            << name_of(picture.kind) << " " << set.name << " frame " << set.order[i];
        const std::size_t frame_bytes = raw.size() / picture.frames;
        changed += !std::equal(vs.frames[i].begin(), vs.frames[i].end(), raw.begin() + set.order[i] * frame_bytes);
    }
    // The pictures are noisy enough that the filter changes every frame; equal copies of the
    // input would prove nothing.
    EXPECT_EQ(changed, static_cast<int>(set.order.size()));
    std::printf("[cross-host] %-9s %-14s %zu frames identical\n", name_of(picture.kind), set.name, vs.frames.size());
}

INSTANTIATE_TEST_SUITE_P(Table, CrossHost,
                         ::testing::Combine(::testing::ValuesIn(kPictures), ::testing::ValuesIn(kArgumentSets)),
                         [](const auto& info) {
                             return std::string(name_of(std::get<0>(info.param).kind)) + "_" +
                                    std::get<1>(info.param).name;
                         });

// Every argument check fails with the AviSynth plug-in's text, and print=1 gives its report.
const Args kRefusedArguments[] = {
    {{"xgrid", 4}},
    {{"ygrid", 2}},
    {{"limit", 21}},
    {{"nf", 4}},
    {{"nf", -1}},
    {{"autow", 0}, {"lx", 20}},
    {{"autow", 0}, {"lx", 2}, {"rx", 100}, {"ty", 20}, {"by", 100}},
    {{"autow", 0}, {"lx", 20}, {"rx", 40}, {"ty", 20}, {"by", 100}},
    {{"autow", 0}, {"lx", 20}, {"rx", 326}, {"ty", 20}, {"by", 100}},
    {{"autow", 0}, {"lx", 20}, {"rx", 100}, {"ty", 2}, {"by", 100}},
    {{"autow", 0}, {"lx", 20}, {"rx", 100}, {"ty", 20}, {"by", 30}},
    {{"autow", 0}, {"lx", 20}, {"rx", 100}, {"ty", 20}, {"by", 198}},
    {{"minw", 100}},
    {{"minw", 600}},
    {{"ry", 501}},
    {{"gu", -1}},
    {{"bv", 600}},
    {{"ry", 0}, {"gu", 0}, {"bv", 0}},
    {{"print", 1}},
    {{"print", 1}, {"nf", 3}, {"xgrid", 9}},
    {{"print", 1}, {"autow", 0}, {"lx", 24}, {"rx", 120}, {"ty", 16}, {"by", 90}},
};

void PrintTo(Kind k, std::ostream* os) { *os << name_of(k); }

class Messages : public ::testing::TestWithParam<Kind> {};

TEST_P(Messages, EveryRefusalAndTheReportAsInAviSynth) {
    const Picture picture{GetParam(), 330, 202, 4};
    Core core;
    VSNode* source = textured_source(core, picture);
    std::vector<std::uint8_t> raw;
    vapoursynth(core, source, picture, {{"xgrid", 3}}, {}, &raw);
    int i = 0, same = 0;
    for (const Args& args : kRefusedArguments) {
        const Answer vs = vapoursynth(core, source, picture, args, {1}, nullptr);
        const Answer avs = reference("messages_" + std::string(name_of(picture.kind)) + "_" + std::to_string(i),
                                     picture, raw, args, {1});
        EXPECT_NE(avs.error, "") << "case " << i;
        EXPECT_EQ(vs.error, avs.error) << "case " << i;
        same += !avs.error.empty() && vs.error == avs.error;
        ++i;
    }
    api->freeNode(source);
    std::printf("[cross-host] %-9s %d of %d refusals and reports identical\n", name_of(picture.kind), same, i);
}

INSTANTIATE_TEST_SUITE_P(Formats, Messages, ::testing::Values(Kind::yuv420, Kind::rgb),
                         [](const auto& info) { return std::string(name_of(info.param)); });

// Dunmorel with its defaults on a blank clip; null, with the error, when it refuses.
VSNode* dunmorel_on_blank(const Core& core, int width, int height, uint32_t format, std::string& error) {
    VSMap* a = api->createMap();
    api->mapSetInt(a, "width", width, maReplace);
    api->mapSetInt(a, "height", height, maReplace);
    api->mapSetInt(a, "format", format, maReplace);
    VSNode* clip = call(core.std_plugin(), "BlankClip", a);
    api->freeMap(a);
    VSMap* args = vs_args(clip, {});
    VSNode* n = call(core.dunmorel(), "Dunmorel", args, &error);
    api->freeMap(args);
    return n;
}

TEST(Refusal, OtherFormatsNameTheAcceptedOnes) {
    Core core;
    for (uint32_t format : {pfYUV444PS, pfRGBS, pfGrayH, pfYUV420PH}) {
        std::string error;
        EXPECT_EQ(dunmorel_on_blank(core, 320, 240, format, error), nullptr);
        EXPECT_NE(
            error.find("YUV420, YUV411 or YUV410 with 8 to 16 bits (P8 to P16), GRAY8 to GRAY16 or RGB24 to RGB48"),
            std::string::npos)
            << error;
    }
}

// Frame 0 of Dunmorel on a width x height clip of `format` whose planes come from `seed`.
std::vector<std::vector<std::uint8_t>> filtered_planes(const Core& core, uint32_t format, int width, int height,
                                                       std::vector<std::uint32_t> seed, const Args& args,
                                                       std::string* error) {
    auto* source = new NoiseSource{{}, std::move(seed)};
    api->getVideoFormatByID(&source->vi.format, format, core.get());
    source->vi.width = width;
    source->vi.height = height;
    source->vi.numFrames = 2;
    source->vi.fpsNum = 25;
    source->vi.fpsDen = 1;
    VSNode* clip = api->createVideoFilter2("NoiseSource", &source->vi, noise_get_frame, noise_free, fmParallel, nullptr,
                                           0, source, core.get());
    VSMap* a = vs_args(clip, args);
    VSNode* filtered = call(core.dunmorel(), "Dunmorel", a, error);
    api->freeMap(a);
    std::vector<std::vector<std::uint8_t>> planes;
    if (!filtered) return planes;
    char message[1024] = {};
    const VSFrame* f = api->getFrame(0, filtered, message, sizeof message);
    if (!f) *error = message;
    for (int p = 0; f && p < api->getVideoFrameFormat(f)->numPlanes; ++p) {
        const int w = api->getFrameWidth(f, p), h = api->getFrameHeight(f, p);
        planes.emplace_back();
        for (int r = 0; r < h; ++r)
            planes.back().insert(planes.back().end(), api->getReadPtr(f, p) + r * api->getStride(f, p),
                                 api->getReadPtr(f, p) + r * api->getStride(f, p) + w);
    }
    if (f) api->freeFrame(f);
    api->freeNode(filtered);
    return planes;
}

// A plane subsampled by (sx, sy) is filtered as a grey clip of its size with the luma window's
// columns divided by sx and rows by sy: plane 1 of each layout against that grey clip, holding the
// same samples.
struct Subsampled {
    uint32_t format;
    int sx, sy;
};

class SubsampledPlanes : public ::testing::TestWithParam<Subsampled> {};

TEST_P(SubsampledPlanes, FilterAsGreyClipsWithTheWindowScaled) {
    const Subsampled s = GetParam();
    Core core;
    const int width = 1024, height = 512, lx = 64, rx = 64 + 4 * 48 - 1, ty = 48, by = 48 + 4 * 48 - 1;
    std::string error;
    const auto yuv = filtered_planes(core, s.format, width, height, {11, 22, 33},
                                     {{"autow", 0}, {"lx", lx}, {"rx", rx}, {"ty", ty}, {"by", by}}, &error);
    ASSERT_EQ(yuv.size(), 3u) << error;
    const int w = (rx - lx + 1) / s.sx, h = (by - ty + 1) / s.sy;
    const auto grey = filtered_planes(
        core, pfGray8, width / s.sx, height / s.sy, {22},
        {{"autow", 0}, {"lx", lx / s.sx}, {"rx", lx / s.sx + w - 1}, {"ty", ty / s.sy}, {"by", ty / s.sy + h - 1}},
        &error);
    ASSERT_EQ(grey.size(), 1u) << error;
    EXPECT_TRUE(yuv[1] == grey[0]);
    // With the automatic window too, every layout filters without refusing.
    EXPECT_EQ(filtered_planes(core, s.format, width, height, {11, 22, 33}, {}, &error).size(), 3u) << error;
}

INSTANTIATE_TEST_SUITE_P(Layouts, SubsampledPlanes,
                         ::testing::Values(Subsampled{pfYUV444P8, 1, 1}, Subsampled{pfYUV440P8, 1, 2},
                                           Subsampled{pfYUV411P8, 4, 1}, Subsampled{pfYUV410P8, 4, 4}));

TEST(SubsampledPlanes, AWindowTooCloseToTheEdgeForQuarterChromaIsRefusedAtCreation) {
    Core core;
    std::string error;
    const auto planes = filtered_planes(core, pfYUV411P8, 640, 240, {1, 2, 3},
                                        {{"autow", 0}, {"lx", 5}, {"rx", 100}, {"ty", 10}, {"by", 100}}, &error);
    EXPECT_TRUE(planes.empty());
    EXPECT_EQ(error,
              "Dunmorel: plane 1 of a 4:1:1 clip cannot hold the noise window and its margins: it needs columns -1 "
              "to 27 of 0 to 159");
}

// A clip too small for the automatic search is refused when it is created, whichever check
// finds it (the minw check for 1000x60, the search's block for 8000x10), with the text that the
// AviSynth plug-in gives.
TEST(Refusal, FramesTooSmallForTheSearchWhenCreated) {
    Core core;
    for (const Picture& p : {Picture{Kind::gray, 8000, 10, 1}, Picture{Kind::gray, 1000, 60, 1},
                             Picture{Kind::yuv420, 8000, 12, 1}, Picture{Kind::rgb, 12, 8000, 1}}) {
        std::string error;
        VSNode* n = dunmorel_on_blank(core, p.width, p.height, preset_of(p.kind), error);
        EXPECT_EQ(n, nullptr) << name_of(p.kind) << " " << p.width << "x" << p.height;
        if (n) api->freeNode(n);
        const Answer avs = reference(
            "small_" + std::string(name_of(p.kind)) + "_" + std::to_string(p.width) + "x" + std::to_string(p.height), p,
            {}, {}, {0});
        EXPECT_NE(avs.error, "");
        EXPECT_EQ(error, avs.error) << name_of(p.kind) << " " << p.width << "x" << p.height;
    }
}

// Frames requested all at once on several threads equal frames requested one by one.
TEST(Parallel, AsyncRequestsEqualSerialOnes) {
    const Picture picture{Kind::yuv420, 330, 202, 12};
    Core core(4);
    VSNode* source = textured_source(core, picture);
    std::vector<int> order;
    for (int n = 0; n < picture.frames; ++n) order.push_back(n);
    const Args args{{"nf", 5}};
    const Answer serial = vapoursynth(core, source, picture, args, order, nullptr);

    VSMap* a = vs_args(api->addNodeRef(source), args);
    VSNode* filtered = call(core.dunmorel(), "Dunmorel", a);
    api->freeMap(a);
    struct Done {
        std::mutex m;
        std::condition_variable cv;
        std::vector<std::vector<std::uint8_t>> frames;
        int left;
        Picture picture;
    } done{{}, {}, std::vector<std::vector<std::uint8_t>>(picture.frames), picture.frames, picture};
    for (int n = 0; n < picture.frames; ++n)
        api->getFrameAsync(
            n, filtered,
            [](void* data, const VSFrame* f, int n, VSNode*, const char* error) {
                auto* d = static_cast<Done*>(data);
                std::lock_guard<std::mutex> lock(d->m);
                if (f)
                    d->frames[n] = to_raw(f, d->picture);
                else
                    ADD_FAILURE() << error;
                api->freeFrame(f);
                if (--d->left == 0) d->cv.notify_one();
            },
            &done);
    {
        std::unique_lock<std::mutex> lock(done.m);
        done.cv.wait(lock, [&] { return done.left == 0; });
    }
    api->freeNode(filtered);
    api->freeNode(source);
    for (int n = 0; n < picture.frames; ++n) EXPECT_TRUE(done.frames[n] == serial.frames[n]) << "frame " << n;
}

// The core's own search finds the plug-in where an install or the wheel put it: the CI stages
// copy the core beside that `plugins` folder, or name the folder in VAPOURSYNTH_EXTRA_PLUGIN_PATH,
// and give the file expected in DUNMOREL_VS_AUTOLOADED.
TEST(Autoload, TheCoreFindsTheInstalledPlugin) {
    const char* expected = std::getenv("DUNMOREL_VS_AUTOLOADED");
    if (!expected || !*expected) GTEST_SKIP() << "no DUNMOREL_VS_AUTOLOADED given";
    VSCore* core = api->createCore(0);
    VSPlugin* plugin = api->getPluginByNamespace("dunmorel", core);
    ASSERT_NE(plugin, nullptr) << "the core loaded no plug-in with the namespace dunmorel";
    // The core may spell the path with either separator.
    auto same = [](std::string a, std::string b) {
        for (std::string* s : {&a, &b})
            for (char& c : *s)
                if (c == '\\') c = '/';
        return a == b;
    };
    EXPECT_PRED2(same, api->getPluginPath(plugin), native_path(expected));
    std::printf("[autoload] %s\n", api->getPluginPath(plugin));
#ifndef _WIN32
    api->freeCore(core);
#endif
}

// --- 9 to 16 bits ----------------------------------------------------------------------------

// Frames 0 .. frames - 1 of Dunmorel on `source` (consumed), every plane's samples in a row, or
// the error of the call or of frame 0.
struct Samples {
    std::vector<std::vector<std::uint32_t>> planes;  // frame-major, then plane
    std::string error;
};
Samples node_samples(VSNode* node, int frames) {
    Samples out;
    char message[1024] = {};
    for (int n = 0; n < frames; ++n) {
        const VSFrame* f = api->getFrame(n, node, message, sizeof message);
        if (!f) {
            out.error = message;
            break;
        }
        const VSVideoFormat* format = api->getVideoFrameFormat(f);
        for (int p = 0; p < format->numPlanes; ++p) {
            out.planes.emplace_back();
            for (int r = 0; r < api->getFrameHeight(f, p); ++r) {
                const std::uint8_t* row = api->getReadPtr(f, p) + r * api->getStride(f, p);
                for (int c = 0; c < api->getFrameWidth(f, p); ++c) {
                    std::uint16_t w = row[c];
                    if (format->bytesPerSample == 2) std::memcpy(&w, row + 2 * c, 2);
                    out.planes.back().push_back(w);
                }
            }
        }
        api->freeFrame(f);
    }
    return out;
}
Samples dunmorel_samples(const Core& core, VSNode* source, int frames, const Args& args) {
    std::string error;
    VSMap* a = vs_args(source, args);
    VSNode* filtered = call(core.dunmorel(), "Dunmorel", a, &error);
    api->freeMap(a);
    if (!filtered) return {{}, error};
    Samples out = node_samples(filtered, frames);
    api->freeNode(filtered);
    return out;
}

struct Deep {
    const char* name;
    uint32_t format, eight;
    int bits;
};
void PrintTo(const Deep& d, std::ostream* os) { *os << d.name; }

class HighBitDepth : public ::testing::TestWithParam<Deep> {};

// A clip whose samples are an 8-bit clip shifted left gets the 8-bit clip's window and pass
// counts (its report, character for character); its frames stay within the depth and, rounded
// back to 8 bits, within about one level of the 8-bit frames on average.
TEST_P(HighBitDepth, AShiftedClipFiltersAsItsEightBitSelf) {
    const Deep d = GetParam();
    Core core;
    const int width = 352, height = 240, frames = 3;
    auto source = [&](bool deep) {
        auto* s = new NoiseSource{{}, {5, 22, 39}, d.bits - 8};
        api->getVideoFormatByID(&s->vi.format, deep ? d.format : d.eight, core.get());
        s->vi.width = width;
        s->vi.height = height;
        s->vi.numFrames = frames;
        s->vi.fpsNum = 25;
        s->vi.fpsDen = 1;
        return api->createVideoFilter2("NoiseSource", &s->vi, noise_get_frame, noise_free, fmParallel, nullptr, 0, s,
                                       core.get());
    };
    const Samples report8 = dunmorel_samples(core, source(false), 1, {{"print", 1}});
    const Samples report = dunmorel_samples(core, source(true), 1, {{"print", 1}});
    ASSERT_NE(report8.error.find("window lx"), std::string::npos) << report8.error;
    EXPECT_EQ(report.error, report8.error);

    const Samples eight = dunmorel_samples(core, source(false), frames, {{"nf", 1}});
    const Samples deep = dunmorel_samples(core, source(true), frames, {{"nf", 1}});
    ASSERT_EQ(deep.error, "");
    ASSERT_EQ(deep.planes.size(), eight.planes.size());
    double sum = 0, count = 0;
    const std::uint32_t top = (1u << d.bits) - 1;
    for (std::size_t p = 0; p < deep.planes.size(); ++p) {
        ASSERT_EQ(deep.planes[p].size(), eight.planes[p].size());
        for (std::size_t i = 0; i < deep.planes[p].size(); ++i) {
            const std::uint32_t w = deep.planes[p][i];
            ASSERT_LE(w, top);
            const std::uint32_t rounded = std::min<std::uint32_t>(255, (w + (1u << (d.bits - 9))) >> (d.bits - 8));
            sum += std::abs(static_cast<int>(rounded) - static_cast<int>(eight.planes[p][i]));
            count += 1;
        }
    }
    EXPECT_GT(sum, 0.0);  // the deep clip is filtered at its own precision, not at 8 bits
    EXPECT_LT(sum / count, 1.5);
}

INSTANTIATE_TEST_SUITE_P(Depths, HighBitDepth,
                         ::testing::Values(Deep{"YUV420P10", pfYUV420P10, pfYUV420P8, 10},
                                           Deep{"YUV444P16", pfYUV444P16, pfYUV444P8, 16},
                                           Deep{"YUV422P12", pfYUV422P12, pfYUV422P8, 12},
                                           Deep{"YUV420P9", pfYUV420P9, pfYUV420P8, 9},
                                           Deep{"GRAY16", pfGray16, pfGray8, 16}, Deep{"RGB30", pfRGB30, pfRGB24, 10},
                                           Deep{"RGB48", pfRGB48, pfRGB24, 16}),
                         [](const auto& info) { return std::string(info.param.name); });

// Pictures with low bits of their own, in the two layouts a 16-bit chain meets most: the
// plug-in's words equal the engine's on the same words and, on Linux, the command's output for
// the same words as a raw file.
class DeepWords : public ::testing::TestWithParam<Deep> {};

TEST_P(DeepWords, SameWordsAsTheEngineAndTheCommand) {
    const Deep d = GetParam();
    const auto layout = d.eight == pfYUV420P8 ? dunmorel::PixelFormat::yv12 : dunmorel::PixelFormat::yuv444;
    Core core;
    const int width = 330, height = 246, frames = 3;
    auto* s = new NoiseSource{{}, {5, 22, 39}, d.bits - 8, true};
    api->getVideoFormatByID(&s->vi.format, d.format, core.get());
    s->vi.width = width;
    s->vi.height = height;
    s->vi.numFrames = frames;
    s->vi.fpsNum = 25;
    s->vi.fpsDen = 1;
    VSNode* source = api->createVideoFilter2("NoiseSource", &s->vi, noise_get_frame, noise_free, fmParallel, nullptr, 0,
                                             s, core.get());
    const Samples input = node_samples(source, frames);
    const Args args{{"nf", 2}, {"xgrid", 7}, {"limit", 3}};
    const Samples out = dunmorel_samples(core, source, frames, args);
    ASSERT_EQ(out.error, "");

    const dunmorel::ClipFormat clip{layout, width, height, frames, d.bits};
    dunmorel::ArgumentValues given;
    for (const auto& [name, value] : args)
        for (int i = dunmorel::kClip + 1; i < dunmorel::kArgumentCount; ++i)
            if (name == dunmorel::kArguments[i].name) given[i] = value;
    std::vector<dunmorel::test::WideFrame> words;
    for (int n = 0; n < frames; ++n) {
        words.emplace_back(clip);
        for (int p = 0; p < 3; ++p) {
            std::size_t at = 0;
            for (int r = 0; r < plane_height(clip, p); ++r)
                for (int c = 0; c < plane_width(clip, p); ++c) words.back().set(p, r, c, input.planes[3 * n + p][at++]);
        }
    }
    dunmorel::FilterEngine engine(clip, dunmorel::resolve_arguments(given, clip).values);
    const auto expected = dunmorel::test::filter_all(engine, words);
    ASSERT_EQ(out.planes.size(), input.planes.size());
    std::size_t differing = 0, changed = 0;
    for (int n = 0; n < frames; ++n)
        for (int p = 0; p < 3; ++p) {
            std::size_t at = 0;
            for (int r = 0; r < plane_height(clip, p); ++r)
                for (int c = 0; c < plane_width(clip, p); ++c, ++at) {
                    differing += out.planes[3 * n + p][at] != expected[n].get(p, r, c);
                    changed += out.planes[3 * n + p][at] != input.planes[3 * n + p][at];
                }
        }
    EXPECT_EQ(differing, 0u) << "samples differ from the engine's";
    EXPECT_GT(changed, 0u) << "the filter left every frame unchanged";
    std::printf("[cross-host] %s: %d frames, %zu samples changed, %zu differ from the engine\n", d.name, frames,
                changed, differing);
#ifndef _WIN32
    // The same words through the command, as a raw little-endian file of ffmpeg's layout name.
    const std::string dir = ::testing::TempDir(), in = dir + "deep_" + d.name + ".raw", out_file = in + ".out";
    {
        std::ofstream f(in, std::ios::binary);
        for (const auto& plane : input.planes)
            for (const std::uint32_t w : plane) f.put(static_cast<char>(w & 0xff)).put(static_cast<char>(w >> 8));
    }
    std::string command = std::string(DUNMOREL_CLI_PATH) + " -q -i " + in + " -o " + out_file + " --format " +
                          (layout == dunmorel::PixelFormat::yv12 ? "yuv420p" : "yuv444p") + std::to_string(d.bits) +
                          "le --size " + std::to_string(width) + "x" + std::to_string(height);
    for (const auto& [name, value] : args) command += " " + name + "=" + std::to_string(value);
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream f(out_file, std::ios::binary);
    std::size_t from_command = 0;
    for (const auto& plane : out.planes)
        for (const std::uint32_t w : plane) {
            const int lo = f.get(), hi = f.get();
            from_command += f && static_cast<std::uint32_t>(lo | hi << 8) == w;
        }
    f.get();
    EXPECT_TRUE(f.eof()) << "the command wrote more than the clip";
    std::size_t all = 0;
    for (const auto& plane : out.planes) all += plane.size();
    EXPECT_EQ(from_command, all) << "samples of the core's output differ from the command's";
    std::printf("[cross-host] %s: %zu of %zu samples equal to the command's\n", d.name, from_command, all);
    std::remove(in.c_str());
    std::remove(out_file.c_str());
#endif
}

INSTANTIATE_TEST_SUITE_P(Depths, DeepWords,
                         ::testing::Values(Deep{"YUV420P10", pfYUV420P10, pfYUV420P8, 10},
                                           Deep{"YUV444P16", pfYUV444P16, pfYUV444P8, 16}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const char* env = std::getenv("DUNMOREL_VS_CORE");
    const std::string path = native_path(env && *env ? env : DUNMOREL_VS_CORE);
#ifdef _WIN32
    HMODULE lib = LoadLibraryA(path.c_str());
    const std::string why = "error " + std::to_string(GetLastError());
    auto get =
        lib ? reinterpret_cast<VSGetVapourSynthAPI>(reinterpret_cast<void*>(GetProcAddress(lib, "getVapourSynthAPI")))
            : nullptr;
#else
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    const std::string why = lib ? "" : dlerror();
    auto get = lib ? reinterpret_cast<VSGetVapourSynthAPI>(dlsym(lib, "getVapourSynthAPI")) : nullptr;
#endif
    if (!lib) {
        std::fprintf(stderr, "cannot open the VapourSynth core %s: %s\n", path.c_str(), why.c_str());
        return 1;
    }
    api = get ? get(VAPOURSYNTH_API_VERSION) : nullptr;
    if (!api) {
        std::fprintf(stderr, "%s offers no VapourSynth API %d\n", path.c_str(), VAPOURSYNTH_API_VERSION);
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    std::fflush(nullptr);
#ifdef _WIN32
    // The cores left running (see Core) must not be waited for, nor their modules' exit code.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
#endif
    // The core stays loaded: its threads and atexit handlers outlive main.
    return result;
}
