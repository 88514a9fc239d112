// A small plug-in for the stand-in server's tests: registers a few functions, built as a
// module that exports only its entry point, as the real filter is.
#include <atomic>

#include "avisynth/interface.h"

namespace {

std::atomic<int> live_filters{0};

// Hands out a fresh copy of every child frame, so frames travel through NewVideoFrame and
// BitBlt from plug-in code.
class CopyFilter final : public GenericVideoFilter {
public:
    explicit CopyFilter(const PClip& child) : GenericVideoFilter(child) { live_filters.fetch_add(1); }
    ~CopyFilter() override { live_filters.fetch_sub(1); }

    PVideoFrame DUNMOREL_STDCALL GetFrame(int n, IScriptEnvironment* env) override {
        const PVideoFrame src = child->GetFrame(n, env);
        PVideoFrame dst = env->NewVideoFrame(vi);
        for (const int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
            if (plane != PLANAR_Y && !vi.IsPlanar()) break;
            env->BitBlt(dst->GetWritePtr(plane), dst->GetPitch(plane), src->GetReadPtr(plane), src->GetPitch(plane),
                        src->GetRowSize(plane), src->GetHeight(plane));
        }
        return dst;
    }
};

// "c[compensate]b". With compensate (the default) it takes the extra reference that a host
// which over-releases clip arguments asks for.
AVSValue DUNMOREL_CDECL CreateCopy(AVSValue args, void*, IScriptEnvironment* env) {
    const AVSValue result(new CopyFilter(args[0].AsClip()));
    if (args[1].AsBool(true) && env->ManageCache(kManageCacheExtraClipRelease, nullptr) == reinterpret_cast<void*>(1)) {
        for (int i = 0; i < args.ArraySize(); ++i)
            if (args[i].IsClip()) static_cast<void>(args[i].AsClip().GetPointerWithAddRef());
    }
    return result;
}

AVSValue DUNMOREL_CDECL LiveFilters(AVSValue, void*, IScriptEnvironment*) { return AVSValue(live_filters.load()); }

// "c[x]i[flag]b[f]f[s]s": answers the type letters of the arguments it received.
AVSValue DUNMOREL_CDECL Describe(AVSValue args, void*, IScriptEnvironment* env) {
    char types[8] = {};
    for (int i = 0; i < args.ArraySize() && i < 7; ++i) types[i] = args[i].Type();
    return AVSValue(env->SaveString(types));
}

AVSValue DUNMOREL_CDECL Fail(AVSValue args, void*, IScriptEnvironment* env) {
    env->ThrowError("Fail: code %d", args[0].AsInt(0));
    return AVSValue();  // not reached; the compiler does not trust noreturn on a virtual call
}

// Catches what the server throws, by the type names a host uses.
AVSValue DUNMOREL_CDECL Catch(AVSValue, void*, IScriptEnvironment* env) {
    const char* not_found = "nothing";
    const char* thrown = "nothing";
    const char* invoked = "nothing";
    const char* bad_argument = "nothing";
    try {
        env->Invoke("NoSuchFunction", AVSValue());
    } catch (const IScriptEnvironment::NotFound&) {
        not_found = "not found";
    }
    try {
        env->ThrowError("thrown %s", "here");
    } catch (const AvisynthError& e) {
        thrown = e.msg;
    }
    try {
        env->Invoke("Fail", AVSValue(7));
    } catch (const AvisynthError& e) {
        invoked = e.msg;
    }
    try {
        env->Invoke("Fail", AVSValue("seven"));
    } catch (const AvisynthError& e) {
        bad_argument = e.msg;
    }
    return AVSValue(env->Sprintf("%s|%s|%s|%s", not_found, thrown, invoked, bad_argument));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const char* AvisynthPluginInit2(IScriptEnvironment* env) {
    env->AddFunction("Copy", "c[compensate]b", CreateCopy, nullptr);
    env->AddFunction("LiveFilters", "", LiveFilters, nullptr);
    env->AddFunction("Describe", "c[x]i[flag]b[f]f[s]s", Describe, nullptr);
    env->AddFunction("Fail", "[code]i", Fail, nullptr);
    env->AddFunction("Catch", "", Catch, nullptr);
    return "server test plug-in";
}
