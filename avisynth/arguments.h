// Resolution of the script's arguments and the checks that run before a filter is made.
#pragma once

#include <cstdint>
#include <optional>

#include "avisynth/filter.h"
#include "avisynth/interface.h"

namespace dunmorel {

inline constexpr const char* kFunctionName = "Dunmorel";
inline constexpr const char* kSignature =
    "c[xgrid]i[ygrid]i[print]b[limit]i[nf]i[autow]b[minw]i[lx]i[rx]i[ty]i[by]i[ry]i[gu]i[bv]i";

// Argument positions in the signature.
enum ArgumentIndex {
    kClip, kXgrid, kYgrid, kPrint, kLimit, kNf, kAutow, kMinw, kLx, kRx, kTy, kBy, kRy, kGu, kBv,
    kArgumentCount
};

// Resolved values plus, for each position, whether the script supplied it.
struct ResolvedArguments {
    FilterArguments values;
    bool given[kArgumentCount] = {};
};

// What the first failing check says: a printf format and its two integers (only the
// window-size message uses them).
struct ValidationFailure {
    int number;
    const char* format;
    std::int32_t first = 0;
    std::int32_t second = 0;
};

// The signed 32-bit product width x height, wrapping as 32-bit arithmetic does.
std::int32_t frame_area(const VideoInfo& vi);

ResolvedArguments resolve_arguments(const AVSValue& args, const VideoInfo& vi);

// Runs the checks in their fixed order; the first failure ends them.
std::optional<ValidationFailure> validate_arguments(const ResolvedArguments& args,
                                                    const VideoInfo& vi);

AVSValue DUNMOREL_CDECL CreateDunmorel(AVSValue args, void* user_data, IScriptEnvironment* env);

}  // namespace dunmorel
