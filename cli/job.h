// The tool's main job: load the plug-in into the stand-in server, call "Dunmorel" on the input
// clip with the user's arguments, and stream the filtered frames to the output.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "avisynth/interface.h"
#include "cli/options.h"
#include "server/environment.h"

namespace dunmorel::cli {

// The plug-in that --plugin names, or else libdunmorel.so where the install puts it relative to
// the running program (../lib/dunmorel), in ../lib as in the build tree, or next to it. Throws
// CliError when none exists.
std::string FindPlugin(const Options& options);

// The script arguments as the server takes named arguments.
std::vector<std::pair<std::string, AVSValue>> NamedArguments(const std::vector<ScriptArgument>& arguments);

// The value of an integer argument (names match without regard to case), or `fallback` when
// absent or not an integer.
int IntArgument(const std::vector<ScriptArgument>& arguments, const std::string& name, int fallback);
// The reference frame the arguments ask for (nf), 0 when absent or not an integer.
int ReferenceFrame(const std::vector<ScriptArgument>& arguments);
// Whether the arguments set print=true.
bool PrintRequested(const std::vector<ScriptArgument>& arguments);

// Calls "Dunmorel" on `child` with the arguments; every failure becomes a CliError with the
// filter's or the server's text.
PClip CallDunmorel(server::Environment& env, const PClip& child, const std::vector<ScriptArgument>& arguments);

// The calibration report that a filter of its own, made with the arguments and print=true,
// raises when asked for frame n; or the other error it raises instead; nullopt when it
// delivers a frame. Throws CliError when the filter cannot be made.
std::optional<std::string> CalibrationText(server::Environment& env, const PClip& child,
                                           const std::vector<ScriptArgument>& arguments, int n);

// Runs the job that `options` describes with the plug-in at `plugin_path`; returns the number
// of frames written. Every failure, the plug-in's messages included (unchanged), is thrown as
// CliError; a regular output file is removed then.
int RunJob(const Options& options, const std::string& plugin_path);
// The same; when it fails after the input's format is known, `picture` is set to its size.
int RunJob(const Options& options, const std::string& plugin_path, std::optional<PictureSize>& picture);

}  // namespace dunmorel::cli
