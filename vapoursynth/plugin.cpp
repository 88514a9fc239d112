// The plug-in's entry point and the create function of `dunmorel.Dunmorel`.
#include <new>
#include <string>

#include <VapourSynth4.h>

#include "engine/arguments.h"
#include "vapoursynth/filter.h"

namespace dunmorel::vs {

namespace {

constexpr const char* kUnsupportedFormat =
    "Dunmorel: only clips of constant format and size in YUV420P8, YUV422P8, RGB24 or GRAY8 are accepted";

// The host's signature, built from the engine's argument table; flags are ints in this host.
std::string signature() {
    std::string s = "clip:vnode;";
    for (int i = kClip + 1; i < kArgumentCount; ++i) s += std::string(kArguments[i].name) + ":int:opt;";
    return s;
}

bool kind_of(const VSVideoInfo& vi, ClipKind& kind, PixelFormat& format) {
    const VSVideoFormat& f = vi.format;
    if (f.colorFamily == cfUndefined || vi.width <= 0 || vi.height <= 0) return false;
    if (f.sampleType != stInteger || f.bitsPerSample != 8) return false;
    if (f.colorFamily == cfYUV && f.subSamplingW == 1 && f.subSamplingH == 1) {
        kind = ClipKind::yuv420;
        format = PixelFormat::yv12;
    } else if (f.colorFamily == cfYUV && f.subSamplingW == 1 && f.subSamplingH == 0) {
        kind = ClipKind::yuv422;
        format = PixelFormat::yuy2;
    } else if (f.colorFamily == cfRGB) {
        kind = ClipKind::rgb;
        format = PixelFormat::rgb24;
    } else if (f.colorFamily == cfGray) {
        kind = ClipKind::gray;
        format = PixelFormat::yv12;
    } else {
        return false;
    }
    return true;
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
    ClipKind kind{};
    PixelFormat format{};
    if (!kind_of(vi, kind, format)) return refuse(kUnsupportedFormat);

    ArgumentValues given;
    for (int i = kClip + 1; i < kArgumentCount; ++i) {
        int error = 0;
        const int value = vsapi->mapGetIntSaturated(in, kArguments[i].name, 0, &error);
        if (!error) given[i] = value;
    }
    const ClipFormat clip{format, vi.width, vi.height, vi.numFrames};
    const ResolvedArguments resolved = resolve_arguments(given, clip);
    if (auto failure = validate_arguments(resolved, clip)) return refuse(failure->text());

    Filter* filter = nullptr;
    try {
        filter = new Filter(node, vi, kind, clip, resolved.values, vsapi);
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
