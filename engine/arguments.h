// The filter's arguments: their table, their defaults and the checks that run before a filter is
// made. Hosts read their own argument lists into ArgumentValues and report a failure with their
// own error call.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/format.h"

namespace dunmorel {

inline constexpr const char* kFunctionName = "Dunmorel";

// The script's arguments after defaults have been applied, in signature order.
struct FilterArguments {
    std::int32_t xgrid = 5;
    std::int32_t ygrid = 5;
    bool print = false;
    std::int32_t limit = 1;
    std::int32_t nf = 0;
    bool autow = true;
    std::int32_t minw = 0;
    std::int32_t lx = 0;
    std::int32_t rx = 0;
    std::int32_t ty = 0;
    std::int32_t by = 0;
    std::int32_t ry = 1;
    std::int32_t gu = 1;
    std::int32_t bv = 1;
};

// Argument positions; position 0 is the clip.
enum ArgumentIndex {
    kClip,
    kXgrid,
    kYgrid,
    kPrint,
    kLimit,
    kNf,
    kAutow,
    kMinw,
    kLx,
    kRx,
    kTy,
    kBy,
    kRy,
    kGu,
    kBv,
    kArgumentCount
};

enum class ArgumentKind { clip, integer, boolean };

struct ArgumentSpec {
    const char* name;
    ArgumentKind kind;
};

// Names and kinds in signature order, for hosts that declare their signature from it.
inline constexpr std::array<ArgumentSpec, kArgumentCount> kArguments{{
    {"clip", ArgumentKind::clip},
    {"xgrid", ArgumentKind::integer},
    {"ygrid", ArgumentKind::integer},
    {"print", ArgumentKind::boolean},
    {"limit", ArgumentKind::integer},
    {"nf", ArgumentKind::integer},
    {"autow", ArgumentKind::boolean},
    {"minw", ArgumentKind::integer},
    {"lx", ArgumentKind::integer},
    {"rx", ArgumentKind::integer},
    {"ty", ArgumentKind::integer},
    {"by", ArgumentKind::integer},
    {"ry", ArgumentKind::integer},
    {"gu", ArgumentKind::integer},
    {"bv", ArgumentKind::integer},
}};

// What the caller supplied, position by position (booleans as 0 or 1); the clip's slot is
// unused.
using ArgumentValues = std::array<std::optional<std::int32_t>, kArgumentCount>;

// Resolved values plus, for each position, whether the caller supplied it.
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

    std::string text() const;
};

ResolvedArguments resolve_arguments(const ArgumentValues& given, const ClipFormat& clip);

// Runs the checks in their fixed order; the first failure ends them.
std::optional<ValidationFailure> validate_arguments(const ResolvedArguments& args, const ClipFormat& clip);

}  // namespace dunmorel
