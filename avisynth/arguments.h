// The script function: its signature, the host's argument array read into the engine's table,
// and the create function.
#pragma once

#include <optional>
#include <string_view>

#include "avisynth/filter.h"
#include "avisynth/interface.h"
#include "engine/arguments.h"

namespace dunmorel {

// The signature the host binds script calls with, derived from the engine's table; it is the
// plug-in's published interface, so a change to the table must not change it unnoticed.
static_assert(std::string_view(kSignature) ==
              "c[xgrid]i[ygrid]i[print]b[limit]i[nf]i[autow]b[minw]i[lx]i[rx]i[ty]i[by]i[ry]i[gu]i[bv]i");

ResolvedArguments resolve_arguments(const AVSValue& args, const VideoInfo& vi);

std::optional<ValidationFailure> validate_arguments(const ResolvedArguments& args, const VideoInfo& vi);

AVSValue DUNMOREL_CDECL CreateDunmorel(AVSValue args, void* user_data, IScriptEnvironment* env);

}  // namespace dunmorel
