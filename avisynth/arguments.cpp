#include "avisynth/arguments.h"

#include <new>

namespace dunmorel {

ResolvedArguments resolve_arguments(const AVSValue& args, const VideoInfo& vi) {
    ArgumentValues given;
    for (int i = kClip + 1; i < kArgumentCount; ++i) {
        // The signature lets only values of the declared kind through; anything else counts as
        // absent, as an undefined value does.
        if (kArguments[i].kind == ArgumentKind::boolean && args[i].IsBool()) given[i] = args[i].AsBool() ? 1 : 0;
        if (kArguments[i].kind == ArgumentKind::integer && args[i].IsInt()) given[i] = args[i].AsInt();
    }
    ResolvedArguments r = resolve_arguments(given, clip_format(vi));
    // Defined is what the checks ask, whatever the value's kind.
    for (int i = 0; i < kArgumentCount; ++i) r.given[i] = args[i].Defined();
    return r;
}

std::optional<ValidationFailure> validate_arguments(const ResolvedArguments& args, const VideoInfo& vi) {
    return validate_arguments(args, clip_format(vi));
}

AVSValue DUNMOREL_CDECL CreateDunmorel(AVSValue args, void*, IScriptEnvironment* env) {
    VideoInfo vi;
    {
        PClip clip = args[kClip].AsClip();
        if (!clip) env->ThrowError("Dunmorel: a source clip is required");
        vi = clip->GetVideoInfo();
    }
    const ResolvedArguments resolved = resolve_arguments(args, vi);
    if (auto failure = validate_arguments(resolved, vi)) env->ThrowError("%s", failure->text().c_str());

    std::unique_ptr<DunmorelFilter> filter;
    try {
        filter = std::make_unique<DunmorelFilter>(args[kClip].AsClip(), resolved.values);
    } catch (const std::bad_alloc&) {
        env->ThrowError("%s", not_enough_memory("for the calibration buffers", vi.width, vi.height).c_str());
    }
    AVSValue result(filter.release());

#if !defined(_MSC_VER)
    // A host built for the callee-destroys convention releases every top-level clip argument
    // once more after a create function returns. Under the caller-destroys convention used here
    // that release is one too many, so such a host (it says so through this cache key) is handed
    // the reference it will take back. Other hosts answer 0 and nothing changes.
    if (env->ManageCache(kManageCacheExtraClipRelease, nullptr) == reinterpret_cast<void*>(1)) {
        for (int i = 0; i < args.ArraySize(); ++i) {
            const PClip clip = args[i].AsClip();
            if (IClip* raw = clip.get()) raw->AddRef();
        }
    }
#endif
    return result;
}

}  // namespace dunmorel
