// The filter's arguments: their table, their defaults and the checks that run before a filter is
// made. Hosts read their own argument lists into ArgumentValues and report a failure with their
// own error call.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

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

// One row of the argument table. Every door derives its declaration from these rows: the
// original interface's signature string, the other hosts' signatures, the command's NAME=VALUE
// words and its help, the fuzzers' lists.
struct ArgumentSpec {
    const char* name;
    ArgumentKind kind;
    // The command's help: the left column ("xgrid=N"), empty where the row before covers this
    // one, and the text, lines separated by line feeds.
    const char* usage;
    const char* help;
};

// Names and kinds in signature order.
inline constexpr std::array<ArgumentSpec, kArgumentCount> kArguments{{
    {"clip", ArgumentKind::clip, "", ""},
    {"xgrid", ArgumentKind::integer, "xgrid=N", "width of the smoothing neighbourhood: 3, 5, 7, 9 or 11 (default 5)"},
    {"ygrid", ArgumentKind::integer, "ygrid=N",
     "height of the neighbourhood: 3, 5, 7, 9 or 11 (default: the xgrid in effect)"},
    {"print", ArgumentKind::boolean, "print=B",
     "true: do not filter, report the calibration as an error and stop (default false)"},
    {"limit", ArgumentKind::integer, "limit=N",
     "keep adding passes while one lowers the noise window's variance by more than\n"
     "N percent, 0 to 20 (default 1)"},
    {"nf", ArgumentKind::integer, "nf=N", "frame on which the noise is measured (default 0)"},
    {"autow", ArgumentKind::boolean, "autow=B",
     "true: find the flattest window automatically; false: use lx, rx, ty, by\n(default true)"},
    {"minw", ArgumentKind::integer, "minw=N",
     "least area in pixels of the automatic window, from width*height/128 to\n"
     "width*height/16 and at least 1024 (default width*height/64); no effect on\n"
     "pictures under 512 pixels in both width and height"},
    {"lx", ArgumentKind::integer, "lx=N rx=N",
     "left and right column of the noise window, inclusive (required when autow=false)"},
    {"rx", ArgumentKind::integer, "", ""},
    {"ty", ArgumentKind::integer, "ty=N by=N",
     "top and bottom row of the noise window, counted from the top of the picture\n(required when autow=false)"},
    {"by", ArgumentKind::integer, "", ""},
    {"ry", ArgumentKind::integer, "ry=N gu=N bv=N",
     "strength of each plane, 0 to 500; 0 leaves the plane alone (default 1):\n"
     "ry: plane 0: Y, or for RGB the first byte of each pixel, blue (the report calls it R)\n"
     "gu: plane 1: U, or for RGB the second byte of each pixel, green (the report calls it G)\n"
     "bv: plane 2: V, or for RGB the third byte of each pixel, red (the report calls it B)"},
    {"gu", ArgumentKind::integer, "", ""},
    {"bv", ArgumentKind::integer, "", ""},
}};

// The original interface's signature: the clip, then each argument as [name] and its type
// letter. Built from the table at compile time.
inline constexpr auto kSignatureChars = [] {
    std::array<char, 128> s{};
    std::size_t n = 0;
    for (const ArgumentSpec& a : kArguments) {
        if (a.kind != ArgumentKind::clip) {
            s[n++] = '[';
            for (const char* c = a.name; *c; ++c) s[n++] = *c;
            s[n++] = ']';
        }
        s[n++] = a.kind == ArgumentKind::clip ? 'c' : a.kind == ArgumentKind::integer ? 'i' : 'b';
    }
    return s;
}();
inline constexpr const char* kSignature = kSignatureChars.data();

// The command's help lines for the arguments, from the table.
std::string argument_help();

// What the caller supplied, position by position (booleans as 0 or 1); the clip's slot is
// unused.
using ArgumentValues = std::array<std::optional<std::int32_t>, kArgumentCount>;

// Named values bound to their positions as a script call binds them (names in any case, each at
// most once, each of its declared kind); otherwise the text of the first fault, in the words a
// script host uses, e.g. `Dunmorel: unknown argument name "foo"`.
struct NamedArgument {
    std::string name;
    bool boolean = false;
    std::int32_t value = 0;
};
std::variant<ArgumentValues, std::string> bind_named(const std::vector<NamedArgument>& named);

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
    // The whole text instead, for the messages that name more than two numbers.
    std::string whole = {};

    std::string text() const;
};

ResolvedArguments resolve_arguments(const ArgumentValues& given, const ClipFormat& clip);

// Runs the checks in their fixed order; the first failure ends them.
std::optional<ValidationFailure> validate_arguments(const ResolvedArguments& args, const ClipFormat& clip);

}  // namespace dunmorel
