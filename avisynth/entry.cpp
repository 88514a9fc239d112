// The plug-in's only export.
#include "avisynth/arguments.h"

extern "C" __attribute__((visibility("default"))) const char* DUNMOREL_STDCALL
AvisynthPluginInit2(IScriptEnvironment* env) {
    env->AddFunction(dunmorel::kFunctionName, dunmorel::kSignature, dunmorel::CreateDunmorel, nullptr);
    return "Dunmorel  Plugin";
}
