// The tool's main job: load the plug-in into the stand-in server, call "Dunmorel" on the input
// clip with the user's arguments, and stream the filtered frames to the output.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/options.h"
#include "avisynth/interface.h"

namespace dunmorel::cli {

// The plug-in that --plugin names, or else libdunmorel.so where the install puts it relative to
// the running program (../lib/avisynth), in ../lib as in the build tree, or next to it. Throws
// CliError when none exists.
std::string FindPlugin(const Options& options);

// The script arguments as the server takes named arguments.
std::vector<std::pair<std::string, AVSValue>> NamedArguments(const std::vector<ScriptArgument>& arguments);

// The reference frame the arguments ask for (nf), 0 when absent or not an integer.
int ReferenceFrame(const std::vector<ScriptArgument>& arguments);

// Runs the job that `options` describes with the plug-in at `plugin_path`; returns the number
// of frames written. Every failure, the plug-in's messages included (unchanged), is thrown as
// CliError; a regular output file is removed then.
int RunJob(const Options& options, const std::string& plugin_path);

}  // namespace dunmorel::cli
