// The second lines the command prints beside a message whose cause it knows: what the filter's
// short texts leave a user to guess (what a small picture needs, which window would do) and
// arguments that are accepted but have no effect. The messages themselves stay as they are.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"

namespace dunmorel::cli {

// The hints for a failed run whose message is `message`; `picture` is the input's size when it
// was known before the failure. Each is a text without the "dunmorel: hint: " in front.
std::vector<std::string> failure_hints(std::string_view message, const std::optional<PictureSize>& picture,
                                       const std::vector<ScriptArgument>& arguments);

// The hints for any run, failed or not, that its arguments alone give.
std::vector<std::string> argument_hints(const std::vector<ScriptArgument>& arguments);

// A noise window that the filter's window checks accept for a picture of this size and these
// grid sizes, as "autow=false lx=... rx=... ty=... by=..."; none when no window fits.
std::optional<std::string> window_suggestion(PictureSize picture, int xgrid, int ygrid);

}  // namespace dunmorel::cli
