// The filter on the frame server's C interface: the entry points, the create function and the
// callbacks of one filter instance, serving the engine the host's frames. This is the one file
// that knows how the C interface behaves; c_api.h only declares it.
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "avisynthplus/c_api.h"
#include "avisynthplus/host_module.h"
#include "engine/arguments.h"
#include "engine/filter_engine.h"

namespace dunmorel::avsc {

namespace {

Api host_api;

// The pixel types this plug-in accepts, each compared for equality, and the engine's layout of
// each: every 8-bit layout of the host that the engine carries, and the planar ones that the host
// also has with 10 to 16 bits, each sample a 16-bit word.
struct Layout {
    int pixel_type;
    PixelFormat format;
};

constexpr Layout kLayouts[] = {
    {kCsYv24, PixelFormat::yuv444},     {kCsYv16, PixelFormat::yuv422},  {kCsYv12, PixelFormat::yv12},
    {kCsI420, PixelFormat::i420},       {kCsYv411, PixelFormat::yuv411}, {kCsY8, PixelFormat::grey},
    {kCsYuy2, PixelFormat::yuy2},       {kCsBgr24, PixelFormat::rgb24},  {kCsBgr32, PixelFormat::rgb32},
    {kCsRgbp, PixelFormat::planar_rgb},
};
constexpr Layout kWideLayouts[] = {
    {kCsYv24, PixelFormat::yuv444}, {kCsYv16, PixelFormat::yuv422},     {kCsYv12, PixelFormat::yv12},
    {kCsY8, PixelFormat::grey},     {kCsRgbp, PixelFormat::planar_rgb},
};
constexpr std::pair<int, std::int32_t> kSampleBits[] = {
    {kCsSampleBits10, 10}, {kCsSampleBits12, 12}, {kCsSampleBits14, 14}, {kCsSampleBits16, 16}};

constexpr const char* kUnsupportedFormat =
    "Dunmorel: only 8-bit YV24, YV16, YV12, I420, YV411, Y8, YUY2, RGB24, RGB32 and planar RGB clips and 10- to "
    "16-bit YUV444, YUV422, YUV420, Y and planar RGB clips are accepted";

ClipFormat clip_format(const VideoInfo& vi) {
    ClipFormat clip{PixelFormat::other, vi.width, vi.height, vi.num_frames};
    for (const Layout& l : kLayouts)
        if (l.pixel_type == vi.pixel_type) clip.format = l.format;
    for (const Layout& l : kWideLayouts)
        for (const auto& [field, bits] : kSampleBits)
            if ((l.pixel_type | field) == vi.pixel_type) {
                clip.format = l.format;
                clip.bits = bits;
            }
    return clip;
}

// The script signature, built from the engine's argument table.
std::string signature() {
    std::string s;
    for (const ArgumentSpec& a : kArguments) {
        if (a.kind == ArgumentKind::clip) {
            s += 'c';
            continue;
        }
        s.append("[").append(a.name).append("]");
        s += a.kind == ArgumentKind::boolean ? 'b' : 'i';
    }
    return s;
}

Value error_value(const char* text) {
    Value v{};
    v.type = 'e';
    v.d.string = text;
    return v;
}

// An integer argument as the 2.5 interface receives it: a 64-bit script value is cut to its
// low 32 bits, as the host does for plug-ins that know only 32-bit integers.
std::int32_t integer_of(const Value& v) {
    if (v.type == 'i') return v.d.integer;
#if UINTPTR_MAX >= 0xffffffffffffffff
    return static_cast<std::int32_t>(v.d.longlong);
#else
    return static_cast<std::int32_t>(*v.d.longlong_ptr);
#endif
}

// Counted host handles, given back on every way out.
class ClipRef {
public:
    explicit ClipRef(Clip* clip) : clip_(clip) {}
    ~ClipRef() {
        if (clip_) host_api.release_clip(clip_);
    }
    ClipRef(const ClipRef&) = delete;
    ClipRef& operator=(const ClipRef&) = delete;
    Clip* get() const { return clip_; }

private:
    Clip* clip_;
};

class FrameRef {
public:
    explicit FrameRef(VideoFrame* frame = nullptr) : frame_(frame) {}
    ~FrameRef() { reset(); }
    FrameRef(const FrameRef&) = delete;
    FrameRef& operator=(const FrameRef&) = delete;
    void reset(VideoFrame* frame = nullptr) {
        if (frame_) host_api.release_video_frame(frame_);
        frame_ = frame;
    }
    VideoFrame* get() const { return frame_; }
    VideoFrame* release() {
        VideoFrame* f = frame_;
        frame_ = nullptr;
        return f;
    }

private:
    VideoFrame* frame_;
};

// The engine's planes of one host frame, whose plane with selector `sel` starts at
// plane_ptr(frame, sel). The five layouts of the 2.5 interface are read exactly as that plug-in
// reads them. The planar ones, and every layout of more than 8 bits, go plane by plane; planar
// RGB in B, G, R order from its last row up, as packed RGB is stored, so that a picture gives the
// bytes of the same picture in RGB24. Wide samples are two bytes each, which the views' step says.
template <typename Sample>
BasicFramePlanes<Sample> frame_planes(const ClipFormat& clip, const VideoFrame* f,
                                      Sample* (*plane_ptr)(const VideoFrame*, int)) {
    const Api& a = host_api;
    const bool four_two_zero = clip.format == PixelFormat::yv12 || clip.format == PixelFormat::i420;
    if (is_packed(clip.format) || (four_two_zero && !is_wide(clip))) {
        const BasicFrameAddresses<Sample> view{plane_ptr(f, kPlaneDefault), a.get_pitch_p(f, kPlaneDefault),
                                               plane_ptr(f, kPlaneU), plane_ptr(f, kPlaneV), a.get_pitch_p(f, kPlaneU)};
        return planes_of(view, clip, a.get_height_p(f, kPlaneDefault));
    }
    constexpr int kYuv[] = {kPlaneY, kPlaneU, kPlaneV};
    constexpr int kRgb[] = {kPlaneB, kPlaneG, kPlaneR};
    const ColorFamily family = traits_of(clip.format).family;
    BasicFramePlanes<Sample> planes;
    for (int p = 0; p < (family == ColorFamily::grey ? 1 : 3); ++p) {
        const int sel = family == ColorFamily::rgb ? kRgb[p] : kYuv[p];
        Sample* base = plane_ptr(f, sel);
        std::int32_t pitch = a.get_pitch_p(f, sel);
        const std::int32_t height = plane_height(clip, p);
        if (family == ColorFamily::rgb && base) {
            base += static_cast<std::ptrdiff_t>(height - 1) * pitch;
            pitch = -pitch;
        }
        planes.plane[p] = {base, pitch, is_wide(clip) ? 2 : 1, plane_width(clip, p), height};
    }
    return planes;
}

// One filter instance; the host shares it between the threads of Prefetch.
struct Filter {
    Filter(const ClipFormat& clip, const FilterArguments& args) : clip(clip), print(args.print), engine(clip, args) {}

    ClipFormat clip;
    bool print;
    FilterEngine engine;
};

// The frames of one request. Work frames are made with the input frame as their property
// source, so the output carries the input's frame properties.
class Request final : public FrameHost {
public:
    Request(FilterInfo* fi, const Filter& filter, const VideoFrame* input) : fi_(fi), filter_(filter), input_(input) {}

    ConstFramePlanes reference_frame(std::int32_t nf) override {
        reference_.reset(host_api.get_frame(fi_->child, nf));
        if (!reference_.get()) {
            const char* error = host_api.clip_get_error(fi_->child);
            throw FilterError(FilterError::Kind::failure,
                              error ? error : "Dunmorel: the reference frame could not be fetched");
        }
        return frame_planes(filter_.clip, reference_.get(), host_api.get_read_ptr_p);
    }
    void release_reference() override { reference_.reset(); }

    FramePlanes work_frame(int index) override {
        FrameRef& frame = work_[index];
        frame.reset(host_api.new_video_frame_p(fi_->env, &fi_->vi, input_));
        if (!frame.get()) throw std::bad_alloc();
        const FramePlanes planes = frame_planes(filter_.clip, frame.get(), host_api.get_write_ptr_p);
        if (!planes.plane[0].base)
            throw FilterError(FilterError::Kind::failure,
                              "Dunmorel: the host returned a work frame that cannot be written");
        return planes;
    }

    void copy_rows(std::uint8_t* dst, std::int32_t dst_pitch, const std::uint8_t* src, std::int32_t src_pitch,
                   std::int32_t row_bytes, std::int32_t rows) override {
        host_api.bit_blt(fi_->env, dst, dst_pitch, src, src_pitch, row_bytes, rows);
    }

    VideoFrame* release_result() { return work_[1].release(); }

private:
    FilterInfo* fi_;
    const Filter& filter_;
    const VideoFrame* input_;
    FrameRef reference_;
    FrameRef work_[2];
};

// The host raises fi->error once the callback returns, so nothing unwinds into it: every
// failure, the report included, becomes that message. The host keeps the text it is given
// until the environment ends.
VideoFrame* DUNMOREL_AVSC_CC get_frame(FilterInfo* fi, int n) {
    Filter& filter = *static_cast<Filter*>(fi->user_data);
    std::string error;
    try {
        FrameRef input(host_api.get_frame(fi->child, n));
        if (!input.get()) {
            // The child's own message, which the host keeps; never a null frame without one.
            const char* child_error = host_api.clip_get_error(fi->child);
            fi->error = child_error ? child_error : "Dunmorel: the input frame could not be fetched";
            return nullptr;
        }
        Request request(fi, filter, input.get());
        const std::int32_t height = host_api.get_height_p(input.get(), kPlaneDefault);
        if (filter.engine.process(n, frame_planes(filter.clip, input.get(), host_api.get_read_ptr_p), height,
                                  request) == FilterEngine::Result::input)
            return input.release();
        return request.release_result();
    } catch (const FilterError& e) {
        error = e.what();
    } catch (const std::bad_alloc&) {
        error = not_enough_memory("to filter a frame", fi->vi.width, fi->vi.height);
    } catch (const std::exception& e) {
        error = std::string("Dunmorel: ") + e.what();
    }
    fi->error = host_api.save_string(fi->env, error.c_str(), -1);
    return nullptr;
}

// One instance serves every Prefetch thread: the engine calibrates once under its own lock and
// filters frames in parallel after that. With print set every request fails with the report,
// and the host keeps one error field per instance, which concurrent failures would overwrite
// and clear under each other: such a filter runs one request at a time.
int DUNMOREL_AVSC_CC set_cache_hints(FilterInfo* fi, int hints, int) {
    if (hints != kCacheGetMtMode) return 0;
    return static_cast<const Filter*>(fi->user_data)->print ? kMtSerialized : kMtNiceFilter;
}

void DUNMOREL_AVSC_CC free_filter(FilterInfo* fi) {
    delete static_cast<Filter*>(fi->user_data);
    fi->user_data = nullptr;
}

Value DUNMOREL_AVSC_CC create(ScriptEnvironment* env, Value args, void*) {
    auto refuse = [&](const std::string& text) { return error_value(host_api.save_string(env, text.c_str(), -1)); };
    const Value* a = args.d.array;
    if (args.type != 'a' || args.array_size < kArgumentCount || a[kClip].type != 'c')
        return refuse("Dunmorel: a source clip is required");

    VideoInfo vi;
    {
        const ClipRef clip(host_api.take_clip(a[kClip], env));
        vi = *host_api.get_video_info(clip.get());
    }
    const ClipFormat clip = clip_format(vi);

    ArgumentValues given;
    for (int i = kClip + 1; i < kArgumentCount; ++i) {
        // The signature lets only values of the declared kind through.
        if (kArguments[i].kind == ArgumentKind::boolean && a[i].type == 'b') given[i] = a[i].d.boolean ? 1 : 0;
        if (kArguments[i].kind == ArgumentKind::integer && (a[i].type == 'i' || a[i].type == 'l'))
            given[i] = integer_of(a[i]);
    }
    ResolvedArguments resolved = resolve_arguments(given, clip);
    for (int i = 0; i < kArgumentCount; ++i) resolved.given[i] = a[i].type != 'v';
    if (auto failure = validate_arguments(resolved, clip))
        // The format check keeps its place among the checks; only its text names this
        // plug-in's formats.
        return refuse(failure->number == 3 ? std::string(kUnsupportedFormat) : failure->text());

    FilterInfo* fi = nullptr;
    const ClipRef filter_clip(host_api.new_c_filter(env, &fi, a[kClip], 1));
    try {
        fi->user_data = new Filter(clip, resolved.values);
    } catch (const std::bad_alloc&) {
        return refuse(not_enough_memory("for the calibration buffers", vi.width, vi.height));
    }
    fi->get_frame = get_frame;
    fi->set_cache_hints = set_cache_hints;
    fi->free_filter = free_filter;
    Value result{};
    host_api.set_to_clip(&result, filter_clip.get());
    return result;
}

// Registered in place of the filter when the host lacks a function the filter calls (a host
// older than the C interface's frame properties): scripts then fail with a message saying so.
std::string missing_text;

Value DUNMOREL_AVSC_CC refuse_host(ScriptEnvironment*, Value, void*) { return error_value(missing_text.c_str()); }

const char* init(ScriptEnvironment* env, const void* caller) {
    // A module is loaded by one core per process, so the functions are looked up once.
    static std::once_flag once;
    static const char* missing = nullptr;
    std::call_once(once, [&] {
        missing = resolve_api(caller, host_api);
        if (missing)
            missing_text = std::string("Dunmorel: this AviSynth has no ") + missing +
                           "; load the 2.5 plug-in libdunmorel.so instead";
    });
    static const std::string params = signature();
    if (!host_api.add_function) return "Dunmorel: the host exports no avs_add_function";
    if (missing) {
        host_api.add_function(env, kFunctionName, params.c_str(), refuse_host, nullptr);
    } else {
        host_api.add_function(env, kFunctionName, params.c_str(), create, nullptr);
    }
    return "Dunmorel  Plugin";
}

}  // namespace

}  // namespace dunmorel::avsc

#if defined(_WIN32)
#define DUNMOREL_AVSC_EXPORT extern "C" __declspec(dllexport)
#else
#define DUNMOREL_AVSC_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The entry of hosts with 64-bit script values, then the older one; a host uses the first it
// finds. The return address is inside the core that loads the plug-in (host_module.cpp).
DUNMOREL_AVSC_EXPORT const char* DUNMOREL_AVSC_CC avisynth_c_plugin_init2(dunmorel::avsc::ScriptEnvironment* env) {
    return dunmorel::avsc::init(env, __builtin_return_address(0));
}

DUNMOREL_AVSC_EXPORT const char* DUNMOREL_AVSC_CC avisynth_c_plugin_init(dunmorel::avsc::ScriptEnvironment* env) {
    return dunmorel::avsc::init(env, __builtin_return_address(0));
}
