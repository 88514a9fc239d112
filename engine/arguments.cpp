#include "engine/arguments.h"

#include <algorithm>
#include <climits>
#include <cstdio>

namespace dunmorel {

std::string ValidationFailure::text() const {
    if (!whole.empty()) return whole;
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, format, first, second);
    return buffer;
}

std::string argument_help() {
    std::string text;
    for (const ArgumentSpec& a : kArguments) {
        if (*a.usage == '\0') continue;
        // Text starts in column 13; a longer left column gets a line of its own.
        constexpr std::size_t kColumn = 13;
        const std::string usage = std::string("  ") + a.usage;
        const std::string indent(kColumn, ' ');
        text += usage.size() + 2 > kColumn ? usage + "\n" + indent : usage + std::string(kColumn - usage.size(), ' ');
        for (const char* c = a.help; *c; ++c) {
            text += *c;
            if (*c == '\n') text += indent;
        }
        text += '\n';
    }
    return text;
}

namespace {

// Names match whatever their case, as script hosts bind them.
bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace

std::variant<ArgumentValues, std::string> bind_named(const std::vector<NamedArgument>& named) {
    const std::string function = kFunctionName;
    auto label = [](int i) { return std::string("argument \"") + kArguments[i].name + "\""; };
    auto type_name = [](bool boolean) { return boolean ? "a boolean" : "an integer"; };
    ArgumentValues values;
    for (const NamedArgument& a : named) {
        int index = -1;
        for (int i = kClip + 1; i < kArgumentCount; ++i)
            if (same_name(kArguments[i].name, a.name)) index = i;
        if (index < 0) return function + ": unknown argument name \"" + a.name + "\"";
        if (values[index]) return function + ": " + label(index) + " given twice";
        const bool wants_boolean = kArguments[index].kind == ArgumentKind::boolean;
        if (wants_boolean != a.boolean)
            return function + ": " + label(index) + " expects " + type_name(wants_boolean) + ", got " +
                   type_name(a.boolean);
        values[index] = a.boolean ? (a.value != 0 ? 1 : 0) : a.value;
    }
    return values;
}

ResolvedArguments resolve_arguments(const ArgumentValues& given, const ClipFormat& clip) {
    ResolvedArguments r;
    for (int i = 0; i < kArgumentCount; ++i) r.given[i] = given[i].has_value();
    auto or_else = [&](int index, std::int32_t fallback) { return given[index].value_or(fallback); };

    FilterArguments& v = r.values;
    v.xgrid = or_else(kXgrid, 5);
    v.ygrid = or_else(kYgrid, v.xgrid);
    v.print = or_else(kPrint, 0) != 0;
    v.limit = or_else(kLimit, 1);
    v.nf = or_else(kNf, 0);
    v.autow = or_else(kAutow, 1) != 0;
    // A frame too large for the checks' 32-bit area is refused by them before minw is read.
    v.minw = or_else(kMinw, static_cast<std::int32_t>(std::min<std::int64_t>(frame_area(clip) / 64, INT32_MAX)));
    // The window is only read while autow is false, when the checks require all four; an absent
    // one is passed on as 0 rather than whatever an undefined value happens to hold.
    v.lx = or_else(kLx, 0);
    v.rx = or_else(kRx, 0);
    v.ty = or_else(kTy, 0);
    v.by = or_else(kBy, 0);
    v.ry = or_else(kRy, 1);
    v.gu = or_else(kGu, 1);
    v.bv = or_else(kBv, 1);
    return r;
}

namespace {

bool bad_grid(std::int32_t grid) { return grid % 2 == 0 || grid < 3 || grid > 11; }

bool bad_strength(std::int32_t s) { return s > 500 || s < 0; }

// Every count of samples and bytes in a plane is a 32-bit integer, so a frame whose area or row
// of bytes does not fit in one cannot be filtered; in 32 bits its area would wrap into
// nonsense bounds, or into a small frame's.
bool too_large(const ClipFormat& clip) {
    const std::int64_t row_bytes =
        std::int64_t{clip.width} * traits_of(clip.format).pixel_step * (is_wide(clip) ? 2 : 1);
    return frame_area(clip) > INT32_MAX || row_bytes > INT32_MAX;
}

// Where a chroma sample spans four luma columns or rows (4:1:1, 4:1:0), a window that passes the
// checks above can still leave the chroma copy's margins outside the chroma plane; that is
// refused here, before any frame is asked for, naming what the plane would need. Wider chroma
// always holds such a window.
std::optional<ValidationFailure> window_outside_chroma(const FilterArguments& a, const ClipFormat& clip) {
    const FormatTraits& t = traits_of(clip.format);
    if (t.family != ColorFamily::yuv || (t.sub_w < 2 && t.sub_h < 2)) return std::nullopt;
    const std::int32_t sx = 1 << t.sub_w;
    const std::int32_t sy = 1 << t.sub_h;
    struct Axis {
        const char* what;
        std::int32_t first, last, step, grid, size;
    };
    const Axis axes[] = {{"columns", a.lx, a.rx, sx, a.xgrid, plane_width(clip, 1)},
                         {"rows", a.ty, a.by, sy, a.ygrid, plane_height(clip, 1)}};
    for (const Axis& x : axes) {
        const std::int64_t from = x.first / x.step - x.grid / 2;
        const std::int64_t to = from + (std::int64_t{x.last} - x.first + 1) / x.step + x.grid - 1;
        if (from >= 0 && to < x.size && (std::int64_t{x.last} - x.first + 1) / x.step >= 1) continue;
        ValidationFailure f{20, ""};
        f.whole = "Dunmorel: plane 1 of a " + std::string(t.name) + " clip cannot hold the noise window and its " +
                  "margins: it needs " + x.what + " " + std::to_string(from) + " to " + std::to_string(to) +
                  " of 0 to " + std::to_string(x.size - 1);
        return f;
    }
    return std::nullopt;
}

}  // namespace

std::optional<ValidationFailure> validate_arguments(const ResolvedArguments& args, const ClipFormat& clip) {
    const FilterArguments& a = args.values;
    const bool* given = args.given;
    // Differences of window edges are compared in 64 bits: in 32 bits a huge negative rx or by
    // wraps around and passes the checks with a window of nonsense size.
    using wide = std::int64_t;

    if (bad_grid(a.xgrid)) return ValidationFailure{1, "Dunmorel:xgrid should be odd positive number from 3 to 11"};
    if (given[kYgrid] && bad_grid(a.ygrid))
        return ValidationFailure{2, "Dunmorel:ygrid should be odd positive number from 3 to 11"};
    // Exactly the five 8-bit formats: hosts map anything else, including formats that share
    // bits with these, to `other`. Samples of 9 to 16 bits come in planar layouts only.
    const bool bad_depth = clip.bits < 8 || clip.bits > 16 || (is_wide(clip) && is_packed(clip.format));
    if (clip.format == PixelFormat::other || bad_depth)
        return ValidationFailure{3, "Dunmorel:Only RGB32, RGB24 YUY2 and YV12 color formats are supported"};
    if (too_large(clip))
        return ValidationFailure{
            19, "Dunmorel: a %dx%d frame is too large: its area and its row of bytes must stay below 2^31", clip.width,
            clip.height};
    if (given[kLimit] && (a.limit > 20 || a.limit < 0))
        return ValidationFailure{4, "Dunmorel: limit must be between 0 and 20"};
    if ((given[kNf] && a.nf < 0) || wide{a.nf} > wide{clip.num_frames} - 1)
        return ValidationFailure{5, "Dunmorel:invalid nf being either -ve or beyond clip"};

    if (!a.autow) {
        if (!given[kLx] || !given[kRx] || !given[kTy] || !given[kBy])
            return ValidationFailure{6, "Dunmorel: lx, rx, ty, by must be defined as autoselect is not opted"};
        if (a.lx < a.xgrid) return ValidationFailure{7, "Dunmorel: lx must not be less than xgrid"};
        if (wide{a.lx} > wide{a.rx} - 8 * wide{a.xgrid})
            return ValidationFailure{8, "Dunmorel:rx must be more than lx by atleast 8 times xgrid"};
        if (wide{a.rx} > wide{clip.width} - a.xgrid - 1)
            return ValidationFailure{9, "Dunmorel:rx must not be more than  frame width -1 - xgrid"};
        if (a.ty < a.ygrid) return ValidationFailure{10, "Dunmorel: ty must not be less than ygrid"};
        if (wide{a.ty} > wide{a.by} - 8 * wide{a.ygrid})
            return ValidationFailure{11, "Dunmorel:by minus ty  be atleast 8 times ygrid"};
        if (wide{a.by} > wide{clip.height} - a.ygrid - 1)
            return ValidationFailure{12, "Dunmorel:by must not be more than  frame height -1- ygrid"};
    } else {
        const auto area = static_cast<std::int32_t>(frame_area(clip));
        if (a.minw < area / 128 || a.minw > area / 16)
            return ValidationFailure{13, "Dunmorel:window size for auto select must be minimum %d and maximum %d",
                                     area / 128, area / 16};
        if (a.minw < 1024)
            return ValidationFailure{14, "Dunmorel:A very small frame dimension. Unsuitable for this process"};
    }

    if (given[kRy] && bad_strength(a.ry)) return ValidationFailure{15, "Dunmorel: ry  must be between 0 and 500"};
    if (given[kGu] && bad_strength(a.gu)) return ValidationFailure{16, "Dunmorel: gu  must be between 0 and 500"};
    if (given[kBv] && bad_strength(a.bv)) return ValidationFailure{17, "Dunmorel: bv  must be between 0 and 500"};
    if (given[kRy] && given[kGu] && given[kBv] && a.ry == 0 && a.gu == 0 && a.bv == 0)
        return ValidationFailure{18, "Dunmorel: ry, gu and bv are all set to zero"};
    if (!a.autow) {
        if (auto failure = window_outside_chroma(a, clip)) return failure;
    }
    return std::nullopt;
}

}  // namespace dunmorel
