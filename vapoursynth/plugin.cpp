// The plug-in's entry point and the create function of `dunmorel.Dunmorel`.
#include <new>
#include <string>

#include <VapourSynth4.h>

#include "engine/arguments.h"
#include "vapoursynth/filter.h"

namespace dunmorel::vs {

namespace {

constexpr const char* kUnsupportedFormat =
    "Dunmorel: only clips of constant format and size in YUV444, YUV440, YUV422, YUV420, YUV411 or YUV410 with 8 "
    "to 16 bits (P8 to P16), GRAY8 to GRAY16 or RGB24 to RGB48 are accepted";

// The host's signature, built from the engine's argument table; flags are ints in this host.
std::string signature() {
    std::string s = "clip:vnode;";
    for (int i = kClip + 1; i < kArgumentCount; ++i) s += std::string(kArguments[i].name) + ":int:opt;";
    return s;
}

// The engine's layout of a host format: every planar one of integer samples with 8 to 16 bits
// (one byte for 8, two for more). Planar RGB is the engine's RGB with the planes taken in B, G, R
// order and rows from the bottom, so that a picture gives the bytes of the same picture in packed
// RGB24.
PixelFormat format_of(const VSVideoInfo& vi) {
    const VSVideoFormat& f = vi.format;
    if (f.colorFamily == cfUndefined || vi.width <= 0 || vi.height <= 0) return PixelFormat::other;
    if (f.sampleType != stInteger || f.bitsPerSample < 8 || f.bitsPerSample > 16) return PixelFormat::other;
    if (f.bytesPerSample != (f.bitsPerSample > 8 ? 2 : 1)) return PixelFormat::other;
    if (f.colorFamily == cfGray) return PixelFormat::grey;
    if (f.colorFamily == cfRGB) return PixelFormat::planar_rgb;
    if (f.colorFamily != cfYUV) return PixelFormat::other;
    struct Subsampling {
        int w, h;
        PixelFormat format;
    };
    constexpr Subsampling kYuv[] = {{0, 0, PixelFormat::yuv444}, {0, 1, PixelFormat::yuv440},
                                    {1, 0, PixelFormat::yuv422}, {1, 1, PixelFormat::yv12},
                                    {2, 0, PixelFormat::yuv411}, {2, 2, PixelFormat::yuv410}};
    for (const Subsampling& s : kYuv)
        if (f.subSamplingW == s.w && f.subSamplingH == s.h) return s.format;
    return PixelFormat::other;
}

const VSFrame* VS_CC get_frame(int n, int reason, void* instance, void**, VSFrameContext* ctx, VSCore* core,
                               const VSAPI* vsapi) {
    return static_cast<Filter*>(instance)->get_frame(n, reason, ctx, core, vsapi);
}

void VS_CC free_filter(void* instance, VSCore*, const VSAPI*) { delete static_cast<Filter*>(instance); }

void VS_CC create(const VSMap* in, VSMap* out, void*, VSCore* core, const VSAPI* vsapi) {
    // The node reference is the filter's once it exists; until then every refusal gives it back.
    VSNode* node = vsapi->mapGetNode(in, "clip", 0, nullptr);
    auto refuse = [&](const std::string& text) {
        vsapi->freeNode(node);
        vsapi->mapSetError(out, text.c_str());
    };

    const VSVideoInfo vi = *vsapi->getVideoInfo(node);
    const PixelFormat format = format_of(vi);
    if (format == PixelFormat::other) return refuse(kUnsupportedFormat);

    ArgumentValues given;
    for (int i = kClip + 1; i < kArgumentCount; ++i) {
        int error = 0;
        const int value = vsapi->mapGetIntSaturated(in, kArguments[i].name, 0, &error);
        if (!error) given[i] = value;
    }
    const ClipFormat clip{format, vi.width, vi.height, vi.numFrames, vi.format.bitsPerSample};
    const ResolvedArguments resolved = resolve_arguments(given, clip);
    if (auto failure = validate_arguments(resolved, clip)) return refuse(failure->text());

    Filter* filter = nullptr;
    try {
        filter = new Filter(node, vi, clip, resolved.values, vsapi);
    } catch (const std::bad_alloc&) {
        return refuse(not_enough_memory("for the calibration buffers", vi.width, vi.height));
    }
    // The other checks on the clip's size ran above; this one needs the search's block size,
    // and would otherwise refuse only the first frame.
    if (!filter->engine().search_block_fits()) {
        delete filter;  // gives the node back
        vsapi->mapSetError(out, kNoSearchBlock);
        return;
    }
    // Frame nf is asked for besides frame n on the first requests, so the pattern is general.
    const VSFilterDependency deps[] = {{node, rpGeneral}};
    vsapi->createVideoFilter(out, kFunctionName, &vi, get_frame, free_filter, fmParallel, deps, 1, filter, core);
}

}  // namespace

}  // namespace dunmorel::vs

VS_EXTERNAL_API(void) VapourSynthPluginInit2(VSPlugin* plugin, const VSPLUGINAPI* vspapi) {
    vspapi->configPlugin("org.dunmorel.dunmorel", "dunmorel", "Dunmorel adaptive noise reduction",
                         VS_MAKE_VERSION(0, 1), VAPOURSYNTH_API_VERSION, 0, plugin);
    static const std::string signature = dunmorel::vs::signature();
    vspapi->registerFunction("Dunmorel", signature.c_str(), "clip:vnode;", dunmorel::vs::create, nullptr, plugin);
}
