// The command line of the `dunmorel` tool: options, their values and the script arguments given
// as NAME=VALUE words. Pure parsing, no I/O, so that tests can call it directly.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/layout.h"

namespace dunmorel::cli {

// Any failure the tool reports to its user: the text is printed as it stands, on one line.
class CliError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The text with control characters (a line feed, a carriage return, a NUL read from a damaged
// header) written as escapes, so that a message stays one line and shows what was there.
std::string one_line(std::string_view text);

// One NAME=VALUE word. The value is typed the way a script literal would be: an integer or
// true/false. Whether the name exists and the type fits is decided by the engine's argument
// table when the filter is made, in a script host's words, so the tool and a script reject the
// same calls alike.
struct ScriptArgument {
    std::string name;
    std::variant<int, bool> value;

    bool operator==(const ScriptArgument&) const = default;
};

struct PictureSize {
    int width = 0;
    int height = 0;
    bool operator==(const PictureSize&) const = default;
};

struct FrameRate {
    unsigned numerator = 25;
    unsigned denominator = 1;
    bool operator==(const FrameRate&) const = default;
};

// Frames first..last, inclusive; no last means "to the end of the input".
struct FrameRange {
    int first = 0;
    std::optional<int> last;
    bool operator==(const FrameRange&) const = default;
};

// Whether a Y4M output starts with its stream header. Automatic writes it only when the output
// starts at frame 0, so that the outputs of consecutive --range pieces concatenate to one
// valid stream.
enum class HeaderMode { automatic, always, never };

struct Options {
    bool help = false;
    bool demo = false;
    std::string demo_dir = ".";

    std::string input;
    std::string output;

    // Raw input only.
    std::optional<SampleLayout> layout;
    std::optional<PictureSize> size;
    std::optional<FrameRate> fps;

    std::optional<FrameRange> range;
    std::optional<int> frames;
    std::optional<int> threads;
    bool quiet = false;
    // Where to draw the calibration (a PNG file); with it, -o may be left out.
    std::optional<std::string> preview;
    HeaderMode header = HeaderMode::automatic;

    std::vector<ScriptArgument> script_arguments;
};

// Parses the words after the program name. Throws CliError with a one-line message for any
// unknown option, missing or malformed value, or missing -i/-o.
Options parse_options(const std::vector<std::string>& words);

// "name=value" as a script argument. Throws CliError when the word has no '=' or no name, or
// the value is neither a 32-bit integer nor true/false.
ScriptArgument parse_script_word(std::string_view word);

// The last integer value given under `name` (any case, as the filter binds names), if any.
std::optional<int> int_argument(const std::vector<ScriptArgument>& arguments, const char* name);

// The value parsers behind the options; each throws CliError naming `what` on failure.
int parse_non_negative_int(std::string_view text, std::string_view what);
PictureSize parse_picture_size(std::string_view text);
FrameRate parse_frame_rate(std::string_view text);
FrameRange parse_frame_range(std::string_view text);
// A --format name (any case): yv12, i420, yuy2, rgb24, rgb32, or ffmpeg's yuv420p (i420),
// yuyv422 (yuy2), bgr24 (rgb24), bgra (rgb32), yuv444p, yuv440p, yuv422p, yuv411p, yuv410p,
// gray or gbrp; those planar ffmpeg names at 9 to 16 bits (yuv420p10le, gray16le, gbrp12le...).
SampleLayout parse_raw_format(std::string_view text);

// The --help text.
std::string help_text();

}  // namespace dunmorel::cli
