// Calls "Dunmorel" by name through the stand-in server, with argument names, types and values
// drawn from the input, on a small clip of any format, with the built plug-in loaded the way a
// host loads it. Every call must end in one of three ways: a clip whose frames can be
// requested, one of the filter's messages, or the server refusing the arguments. Anything else
// (a crash, a sanitizer report, another exception, a frame of the wrong shape, an unbalanced
// frame or clip count) stops the run.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "avisynth/interface.h"
#include "engine/arguments.h"
#include "fuzz/fuzz_check.h"
#include "server/environment.h"
#include "server/sources.h"

namespace {

using dunmorel::fuzz::count;
using dunmorel::fuzz::fail;
using dunmorel::fuzz::kFormats;
using dunmorel::fuzz::starts_with;
using dunmorel::server::Environment;
using dunmorel::server::MemoryClip;

constexpr int kGrids[] = {3, 5, 7, 9, 11};

// The signature's parameters in order, from the engine's table; 'c' clip, 'i' integer,
// 'b' boolean. The clip is positional only.
constexpr auto kParameters = [] {
    std::array<std::pair<const char*, char>, dunmorel::kArgumentCount> list{};
    for (std::size_t i = 0; i < list.size(); ++i) {
        const dunmorel::ArgumentSpec& a = dunmorel::kArguments[i];
        list[i] = {a.kind == dunmorel::ArgumentKind::clip ? "" : a.name, a.kind == dunmorel::ArgumentKind::clip ? 'c'
                                                                         : a.kind == dunmorel::ArgumentKind::integer
                                                                             ? 'i'
                                                                             : 'b'};
    }
    return list;
}();
constexpr int kPrint = dunmorel::kPrint;
constexpr int kAutow = dunmorel::kAutow;

// Names a script might get wrong, or right in another case.
constexpr const char* kOddNames[] = {"XGRID", "MinW",   "Print", "AUTOW", "strength", "clip",
                                     "c",     "x grid", "lx ",   "",      "nf2",      "bV"};

struct Geometry {
    int type = VideoInfo::CS_YV12;
    int width = 0;
    int height = 0;
    int frames = 1;
    std::int64_t area() const { return static_cast<std::int64_t>(width) * height; }
};

// A value in lo..hi (lo <= 0 <= hi) that is 0 when the input is exhausted, so that a short
// input still takes the ordinary path.
int offset(FuzzedDataProvider& in, int lo, int hi) {
    return lo + (in.ConsumeIntegralInRange(0, hi - lo) - lo) % (hi - lo + 1);
}

// YUY2 needs an even width, the 4:2:0 formats an even width and height.
Geometry fitted(Geometry g) {
    auto even = [](int v) { return v + v % 2; };
    if (g.type != VideoInfo::CS_BGR24 && g.type != VideoInfo::CS_BGR32) g.width = even(g.width);
    if (g.type == VideoInfo::CS_YV12 || g.type == VideoInfo::CS_I420) g.height = even(g.height);
    return g;
}

// Mostly frames up to 160 x 128, and long thin frames of about the same area. With
// `searchable`, frames of area 16384 or a little more, in every shape: validation accepts those
// for the automatic search once minw is given, and the thin ones reach the search's corners.
Geometry draw_geometry(FuzzedDataProvider& in, bool searchable) {
    static constexpr std::pair<int, int> kSizes[] = {
        {128, 128}, {160, 128}, {160, 103}, {111, 111}, {113, 31},  {2048, 8}, {8, 2048},  {4096, 4},
        {4, 4096},  {1024, 16}, {16, 1024}, {1, 16384}, {16384, 1}, {10, 10},  {128, 129}, {130, 126}};
    auto at_least = [](int side) { return (16384 + side - 1) / side; };
    auto other_side = [&](int side) {
        return searchable ? at_least(side) + in.ConsumeIntegralInRange(0, 4)
                          : in.ConsumeIntegralInRange(1, std::max(1, 20480 / side));
    };
    Geometry g;
    g.type = in.PickValueInArray(kFormats);
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            g.width = in.ConsumeIntegralInRange(searchable ? 128 : 1, 160);
            g.height =
                searchable ? at_least(g.width) + in.ConsumeIntegralInRange(0, 24) : in.ConsumeIntegralInRange(1, 128);
            break;
        case 1:
            g.width = in.ConsumeIntegralInRange(1, searchable ? 4096 : 2048);
            g.height = other_side(g.width);
            break;
        case 2:
            g.height = in.ConsumeIntegralInRange(1, searchable ? 4096 : 2048);
            g.width = other_side(g.height);
            break;
        default: {
            const auto [w, h] = in.PickValueInArray(kSizes);
            g.width = w;
            g.height = h;
        }
    }
    g.frames = in.ConsumeIntegralInRange(1, searchable ? 3 : 4);
    return fitted(g);
}

// A window-shaped frame: just large enough, or a little larger, for a script window with these
// grid sizes.
Geometry draw_window_geometry(FuzzedDataProvider& in, int xgrid, int ygrid) {
    Geometry g;
    g.type = in.PickValueInArray(kFormats);
    g.width = 10 * xgrid + 1 + offset(in, -1, 12);
    g.height = 10 * ygrid + 1 + offset(in, -1, 12);
    g.frames = in.ConsumeIntegralInRange(1, 2);
    return fitted(g);
}

// Frame contents: a ramp with noise, a constant, noise alone, or a pattern from the input.
std::vector<std::uint8_t> draw_samples(FuzzedDataProvider& in, const VideoInfo& vi) {
    const std::size_t frame_bytes = dunmorel::server::RawFrameSize(vi);
    std::vector<std::uint8_t> raw(frame_bytes * static_cast<std::size_t>(vi.num_frames));
    const int mode = in.ConsumeIntegralInRange(0, 3);
    const int amplitude = in.ConsumeIntegralInRange(0, 128);
    const std::uint8_t constant = in.ConsumeIntegral<std::uint8_t>();
    dunmorel::fuzz::Lcg lcg{in.ConsumeIntegral<std::uint32_t>()};
    std::vector<std::uint8_t> pattern = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(1, 64));
    if (pattern.empty()) pattern.push_back(constant);
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const int noise = static_cast<int>(lcg.next() % (2u * amplitude + 1)) - amplitude;
        switch (mode) {
            case 0:
                raw[i] = static_cast<std::uint8_t>(40 + (i % frame_bytes) / 37 % 160 + noise);
                break;
            case 1:
                raw[i] = constant;
                break;
            case 2:
                raw[i] = static_cast<std::uint8_t>(128 + noise);
                break;
            default:
                raw[i] = pattern[i % pattern.size()];
        }
    }
    return raw;
}

struct Context {
    Geometry g;
    int xgrid = 5;
    int ygrid = 5;
};

std::int32_t draw_int(FuzzedDataProvider& in, const Context& c) {
    const auto area = static_cast<std::int32_t>(c.g.area());  // tens of thousands at most
    switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0:
            return in.ConsumeIntegral<std::int32_t>();
        case 1:
            return in.ConsumeIntegralInRange(-2, 13);
        case 2:
            return c.g.width - in.ConsumeIntegralInRange(-2, 16);
        case 3:
            return c.g.height - in.ConsumeIntegralInRange(-2, 16);
        case 4:
            return c.g.frames - 1 + in.ConsumeIntegralInRange(-1, 1);
        case 5:
            return in.ConsumeIntegralInRange(-16, 600);
        case 6: {
            const std::int32_t values[] = {
                0,    1,         -1,        20,         21,        500,       501,           1023,
                1024, INT32_MIN, INT32_MAX, area / 128, area / 64, area / 16, area / 16 + 1, area / 128 - 1};
            return in.PickValueInArray(values);
        }
        default:
            return 8 * in.PickValueInArray(kGrids) + in.ConsumeIntegralInRange(-1, 1);
    }
}

// Values of any type; strings are kept alive in `strings` for as long as the call needs them.
AVSValue draw_value(FuzzedDataProvider& in, char wanted, const Context& c, const PClip& clip,
                    std::deque<std::string>& strings) {
    int kind = in.ConsumeIntegralInRange(0, 19);
    if (kind < 16) kind = wanted == 'b' ? 1 : wanted == 'c' ? 5 : 0;
    switch (kind) {
        case 0:
            return AVSValue(draw_int(in, c));
        case 1:
            return AVSValue(in.ConsumeBool());
        case 16:
            return AVSValue(in.ConsumeFloatingPoint<float>());
        case 17:
            strings.push_back(in.ConsumeRandomLengthString(16));
            return AVSValue(strings.back().c_str());
        case 18:
            return AVSValue();
        default:
            return in.ConsumeBool() ? AVSValue(clip) : AVSValue(PClip());
    }
}

using Named = std::vector<std::pair<std::string, AVSValue>>;

// The value that parameter `index` is bound to when the server accepts the arguments, worked
// out independently of the server: a positional argument at that place, or a later named one.
std::optional<AVSValue> bound_value(const std::vector<AVSValue>& positional, const Named& named, int index) {
    std::optional<AVSValue> value;
    if (positional.size() > static_cast<std::size_t>(index)) value = positional[static_cast<std::size_t>(index)];
    for (const auto& [name, v] : named) {
        std::string lower;
        for (char ch : name) lower += static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
        if (lower == kParameters[index].first) value = v;
    }
    return value;
}

bool bound_bool(const std::vector<AVSValue>& positional, const Named& named, int index, bool fallback) {
    const std::optional<AVSValue> v = bound_value(positional, named, index);
    return v && v->IsBool() ? v->AsBool() : fallback;
}

// Bytes of one plane row by row, read in full so that the sanitizer checks every one of them;
// returns a digest for comparing two deliveries of the same frame.
std::uint64_t digest_plane(const BYTE* p, int pitch, int row_size, int height, std::uint64_t h) {
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < row_size; ++c) h = (h ^ p[static_cast<std::ptrdiff_t>(r) * pitch + c]) * 1099511628211ull;
    return h;
}

std::uint64_t check_frame(const PVideoFrame& frame, const VideoInfo& vi) {
    if (!frame) fail("GetFrame returned no frame");
    const int bytes = dunmorel::server::BytesPerPixel(vi.pixel_type);
    if (frame->GetRowSize() != vi.width * bytes || frame->GetHeight() != vi.height)
        fail("frame of the wrong size: row " + std::to_string(frame->GetRowSize()) + " x " +
             std::to_string(frame->GetHeight()));
    std::uint64_t h = 14695981039346656037ull;
    h = digest_plane(frame->GetReadPtr(), frame->GetPitch(), frame->GetRowSize(), frame->GetHeight(), h);
    if (vi.pixel_type == VideoInfo::CS_YV12 || vi.pixel_type == VideoInfo::CS_I420) {
        for (int plane : {PLANAR_U, PLANAR_V}) {
            if (frame->GetRowSize(plane) != vi.width / 2 || frame->GetHeight(plane) != vi.height / 2)
                fail("chroma plane of the wrong size");
            h = digest_plane(frame->GetReadPtr(plane), frame->GetPitch(plane), frame->GetRowSize(plane),
                             frame->GetHeight(plane), h);
        }
    }
    return h;
}

void check_message(const char* msg, const char* where) {
    if (starts_with(msg, "Dunmorel:")) return;
    fail(std::string(where) + " raised a message that is not the filter's: \"" + (msg ? msg : "(null)") + "\"");
}

// Once a call is accepted, a frame request fails only with the report (print), or when the
// automatic search finds no block in the reference frame. A script window that passed the
// checks lies inside every plane with its margins, so measuring it cannot fail.
void check_frame_message(const char* msg, bool print, bool autow) {
    if (print && starts_with(msg, "window lx = ")) return;
    if (autow && starts_with(msg, "Dunmorel: frame too small for the automatic window search")) return;
    fail(std::string("a frame request of an accepted call (print=") + (print ? "true" : "false") +
         ", autow=" + (autow ? "true" : "false") + ") raised \"" + (msg ? msg : "(null)") + "\"");
}

void exercise(FuzzedDataProvider& in) {
    // The mode decides how arguments are drawn: as a script window near the frame's edges (1),
    // as an automatic search with minw near its bounds (2), or freely (0).
    const int mode = (in.ConsumeIntegralInRange(0, 2) + 1) % 3;
    Context c;
    c.xgrid = in.PickValueInArray(kGrids);
    c.ygrid = in.ConsumeBool() ? c.xgrid : in.PickValueInArray(kGrids);
    c.g = mode == 1 ? draw_window_geometry(in, c.xgrid, c.ygrid) : draw_geometry(in, mode == 2);

    dunmorel::server::EnvironmentOptions options;
    options.frame_padding = in.ConsumeIntegralInRange(0, 3) * 16;
    options.extra_clip_release = in.ConsumeBool();
    options.new_frame_fill = in.ConsumeIntegralInRange(-1, 255);
    Environment env(options);
    if (env.LoadPlugin(DUNMOREL_PLUGIN_PATH) != "Dunmorel  Plugin") fail("unexpected plug-in description");

    const VideoInfo vi = dunmorel::server::MakeVideoInfo(c.g.type, c.g.width, c.g.height, c.g.frames);
    {
        PClip source(new MemoryClip(env, vi, draw_samples(in, vi), in.ConsumeIntegralInRange(0, 2) * 32));
        std::deque<std::string> strings;

        std::vector<AVSValue> positional;
        // Draws of 0, which an exhausted input gives, take the ordinary path throughout.
        if (in.ConsumeIntegralInRange(0, 15) != 15)
            positional.emplace_back(source);
        else if (in.ConsumeBool())
            positional.push_back(draw_value(in, 'c', c, source, strings));
        const int extra_positional = in.ConsumeIntegralInRange(0, 15) < 13 ? 0 : in.ConsumeIntegralInRange(1, 4);
        for (int i = 0; i < extra_positional && !positional.empty(); ++i) {
            const int index = static_cast<int>(positional.size());
            const char type = index < 15 ? kParameters[index].second : 'i';
            positional.push_back(draw_value(in, type, c, source, strings));
        }

        Named named;
        auto add = [&](const char* name, AVSValue value) { named.emplace_back(name, value); };
        if (mode == 1) {
            if (c.xgrid != 5 || in.ConsumeBool()) add("xgrid", c.xgrid);
            if (c.ygrid != c.xgrid || in.ConsumeBool()) add("ygrid", c.ygrid);
            add("autow", false);
            const int lx = c.xgrid + offset(in, -1, 3);
            const int rx = c.g.width - 1 - c.xgrid - offset(in, -1, 3);
            const int ty = c.ygrid + offset(in, -1, 3);
            const int by = c.g.height - 1 - c.ygrid - offset(in, -1, 3);
            const int dropped = in.ConsumeIntegralInRange(0, 15) - 12;  // mostly none
            if (dropped != 0) add("lx", lx);
            if (dropped != 1) add("rx", rx);
            if (dropped != 2) add("ty", ty);
            if (dropped != 3) add("by", by);
        } else if (mode == 2) {
            const std::int32_t area = static_cast<std::int32_t>(c.g.area());
            const std::int32_t choices[] = {area / 128, area / 64, area / 16, 1024, area / 128 - 1, area / 16 + 1};
            if (!in.ConsumeBool()) add("minw", in.PickValueInArray(choices) + offset(in, -2, 2));
            if (in.ConsumeBool()) add("xgrid", c.xgrid);
            if (in.ConsumeBool()) add("ygrid", c.ygrid);
        }
        if (mode != 0 && in.ConsumeIntegralInRange(0, 3) == 3) add("print", true);
        const int extra_named = in.ConsumeIntegralInRange(0, mode == 0 ? 8 : 3);
        for (int i = 0; i < extra_named; ++i) {
            const int index = in.ConsumeIntegralInRange(1, 18);
            if (index < 15) {
                add(kParameters[index].first, draw_value(in, kParameters[index].second, c, source, strings));
            } else {
                const char* name = in.PickValueInArray(kOddNames);
                add(name, draw_value(in, 'i', c, source, strings));
            }
        }
        const bool print = bound_bool(positional, named, kPrint, false);
        const bool autow = bound_bool(positional, named, kAutow, true);

        AVSValue result;
        try {
            result = env.Call("Dunmorel", positional, named);
        } catch (const dunmorel::server::ServerError&) {
            count("call refused by the server");
            return;  // the arguments did not fit the signature
        } catch (const AvisynthError& e) {
            check_message(e.msg, "the call");
            count(std::string("call refused: ") + std::string(e.msg).substr(0, 18));
            return;
        } catch (const std::exception& e) {
            fail(std::string("the call threw ") + e.what());
        } catch (...) {
            fail("the call threw something unknown");
        }
        if (!result.IsClip() || !result.AsClip()) fail("the call returned no clip");

        {
            PClip filter = result.AsClip();
            result = AVSValue();
            const VideoInfo& out = filter->GetVideoInfo();
            if (out.width != vi.width || out.height != vi.height || out.pixel_type != vi.pixel_type ||
                out.num_frames != vi.num_frames || out.fps_numerator != vi.fps_numerator ||
                out.fps_denominator != vi.fps_denominator)
                fail("the filter changed the clip's description");

            std::map<int, std::uint64_t> delivered;
            const int requests = in.ConsumeIntegralInRange(1, 3);
            std::vector<int> numbers;
            for (int i = 0; i < requests; ++i)
                numbers.push_back(in.ConsumeIntegralInRange(0, 15) == 15
                                      ? in.ConsumeIntegralInRange(-2, vi.num_frames + 2)
                                      : in.ConsumeIntegralInRange(0, vi.num_frames - 1));
            numbers.push_back(numbers.front());  // the first again: the same frame must come back
            for (const int n : numbers) {
                try {
                    PVideoFrame frame = filter->GetFrame(n, &env);
                    if (print) fail("print=true delivered a frame");
                    const std::uint64_t h = check_frame(frame, vi);
                    count(std::string("frame delivered ") + dunmorel::server::PixelTypeName(vi.pixel_type));
                    const auto [it, fresh] = delivered.emplace(n, h);
                    if (!fresh && it->second != h) fail("frame " + std::to_string(n) + " differs between two requests");
                } catch (const AvisynthError& e) {
                    check_frame_message(e.msg, print, autow);
                    count(std::string("frame refused: ") + std::string(e.msg).substr(0, 18));
                } catch (const std::exception& e) {
                    fail(std::string("a frame request threw ") + e.what());
                }
            }
        }
    }
    // Every clip and frame handle is gone: nothing may still be held or released twice.
    const auto stats = env.PoolStats();
    if (stats.frames_referenced != 0) fail(std::to_string(stats.frames_referenced) + " frame(s) still referenced");
    if (stats.frames_over_released != 0) fail("a frame was released more often than it was held");
    if (MemoryClip::LiveInstances() != 0) fail("a source clip outlived every handle to it");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One environment keeps the plug-in loaded for the whole run: each input then loads it into
    // an environment of its own without the library being mapped and unmapped every time (the
    // coverage counters live in it).
    static Environment* keeper = new Environment;
    keeper->LoadPlugin(DUNMOREL_PLUGIN_PATH);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    exercise(in);
    return 0;
}
