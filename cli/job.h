// The command's main job: the engine made from the user's arguments over the input's frames, the
// notice and the preview from its calibration, and the filtered frames streamed to the output.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "engine/filter_engine.h"

namespace dunmorel::cli {

// The filter's engine for a clip, made from the NAME=VALUE words as the filter's hosts make it:
// names bound, defaults applied, every check run. Throws CliError with the filter's own words.
struct BoundFilter {
    ResolvedArguments arguments;
    std::unique_ptr<FilterEngine> engine;
};
BoundFilter make_filter(const std::vector<ScriptArgument>& words, const ClipFormat& clip);

// Runs the job that `options` describes; returns the number of frames written. Every failure,
// the filter's messages included (unchanged), is thrown as CliError; a regular output file is
// left as it was then. When it fails after the input's format is known, `picture` is its size.
int run_job(const Options& options, std::optional<PictureSize>& picture);
int run_job(const Options& options);

}  // namespace dunmorel::cli
