#include "cli/hints.h"

#include <strings.h>

#include <algorithm>
#include <cstdint>

namespace dunmorel::cli {

namespace {

// The filter's words for the refusals whose cause is the picture's size.
constexpr std::string_view kSmallFrame = "Dunmorel:A very small frame dimension. Unsuitable for this process";
constexpr std::string_view kMinwRange = "Dunmorel:window size for auto select must be minimum ";
constexpr std::string_view kNoBlockFits = "Dunmorel: frame too small for the automatic window search";

// The automatic search refuses a minw below this whatever the picture's size.
constexpr std::int64_t kLeastMinw = 1024;

bool named(const ScriptArgument& a, const char* name) { return strcasecmp(a.name.c_str(), name) == 0; }

bool given(const std::vector<ScriptArgument>& arguments, const char* name) {
    return std::any_of(arguments.begin(), arguments.end(), [&](const ScriptArgument& a) { return named(a, name); });
}

// First and last index of a span of at least `least` steps between `low` and `high`, centred,
// about a quarter of `extent` long; none when the span cannot fit.
std::optional<std::pair<int, int>> centred_span(int extent, int low, int high, int least) {
    if (high - low < least) return std::nullopt;
    // Two samples short of the extreme on each side where there is room: the chroma of a
    // subsampled plane rounds its edges outward.
    const int room = high - low - least >= 4 ? high - low - 4 : high - low;
    const int length = std::clamp(extent / 4, least, std::max(least, room));
    const int first = low + (high - low - length) / 2;
    return std::pair{first, first + length};
}

// `block_fits`: false when the message says that the search's block found no room, which no
// minw changes.
std::string small_picture_hint(PictureSize picture, const std::vector<ScriptArgument>& arguments, bool block_fits) {
    const std::int64_t area = std::int64_t{picture.width} * picture.height;
    const int xgrid = int_argument(arguments, "xgrid").value_or(5);
    const int ygrid = int_argument(arguments, "ygrid").value_or(xgrid);
    const std::int64_t least = std::max(area / 128, kLeastMinw);
    const std::int64_t most = area / 16;
    std::string text = "this picture is " + std::to_string(picture.width) + "x" + std::to_string(picture.height) +
                       ", " + std::to_string(area) + " pixels; ";
    if (!block_fits) {
        text += "the automatic window search has no room for its block inside margins of xgrid and ygrid";
    } else {
        text += "the automatic window search needs 65536 with the default minw and 16384 with minw given";
        text += least <= most ? ", and takes minw=" + std::to_string(least) + " to " + std::to_string(most) + " here"
                              : ", so no minw is accepted here";
    }
    if (const std::optional<std::string> window = window_suggestion(picture, xgrid, ygrid)) {
        text += "; or give the noise window yourself: " + *window;
    } else {
        text += "; a window given with autow=false needs at least " + std::to_string(10 * xgrid + 1) + "x" +
                std::to_string(10 * ygrid + 1) + " pixels with xgrid=" + std::to_string(xgrid) +
                " and ygrid=" + std::to_string(ygrid);
    }
    return text;
}

}  // namespace

std::optional<std::string> window_suggestion(PictureSize picture, int xgrid, int ygrid) {
    // The window checks: lx >= xgrid, rx - lx >= 8 xgrid, rx <= width - 1 - xgrid, and the same
    // for the rows with ygrid.
    const auto cols = centred_span(picture.width, xgrid, picture.width - 1 - xgrid, 8 * xgrid);
    const auto rows = centred_span(picture.height, ygrid, picture.height - 1 - ygrid, 8 * ygrid);
    if (!cols || !rows) return std::nullopt;
    return "autow=false lx=" + std::to_string(cols->first) + " rx=" + std::to_string(cols->second) +
           " ty=" + std::to_string(rows->first) + " by=" + std::to_string(rows->second);
}

std::vector<std::string> failure_hints(std::string_view message, const std::optional<PictureSize>& picture,
                                       const std::vector<ScriptArgument>& arguments) {
    std::vector<std::string> hints;
    if (!picture) return hints;
    if (message == kSmallFrame || message.substr(0, kMinwRange.size()) == kMinwRange)
        hints.push_back(small_picture_hint(*picture, arguments, true));
    if (message.substr(0, kNoBlockFits.size()) == kNoBlockFits)
        hints.push_back(small_picture_hint(*picture, arguments, false));
    return hints;
}

std::vector<std::string> argument_hints(const std::vector<ScriptArgument>& arguments) {
    std::vector<std::string> hints;
    bool automatic = true;
    for (const ScriptArgument& a : arguments)
        if (named(a, "autow") && std::holds_alternative<bool>(a.value)) automatic = std::get<bool>(a.value);
    std::string window;
    for (const char* name : {"lx", "rx", "ty", "by"})
        if (given(arguments, name)) window += (window.empty() ? "" : ", ") + std::string(name);
    if (automatic && !window.empty())
        hints.push_back("the window arguments (" + window +
                        ") take effect only with autow=false; without it the window is found automatically");
    return hints;
}

}  // namespace dunmorel::cli
