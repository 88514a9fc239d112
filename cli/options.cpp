#include "cli/options.h"

#include <strings.h>

#include <cctype>
#include <charconv>
#include <limits>

#include "engine/arguments.h"

namespace dunmorel::cli {

namespace {

std::string quote(std::string_view text) { return "'" + std::string(text) + "'"; }

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// A whole decimal number with an optional sign, nothing before or after it.
std::optional<long long> parse_decimal(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() == '+') return std::nullopt;
    long long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

unsigned parse_positive_unsigned(std::string_view text, std::string_view what) {
    const std::optional<long long> v = parse_decimal(text);
    if (!v || *v <= 0 || *v > std::numeric_limits<unsigned>::max())
        throw CliError("dunmorel: " + std::string(what) + " must be a positive whole number, got " + quote(text));
    return static_cast<unsigned>(*v);
}

// The message names the range that is accepted, whichever bound was crossed.
int parse_int_in_range(std::string_view text, std::string_view what, int low, int high) {
    const std::optional<long long> v = parse_decimal(text);
    if (!v || *v < low || *v > high)
        throw CliError("dunmorel: " + std::string(what) + " must be a whole number from " + std::to_string(low) +
                       " to " + std::to_string(high) + ", got " + quote(text));
    return static_cast<int>(*v);
}

int parse_positive_int(std::string_view text, std::string_view what) {
    return parse_int_in_range(text, what, 1, std::numeric_limits<int>::max());
}

bool is_name(std::string_view name) {
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name.front()))) return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    return true;
}

}  // namespace

std::string one_line(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

int parse_non_negative_int(std::string_view text, std::string_view what) {
    return parse_int_in_range(text, what, 0, std::numeric_limits<int>::max());
}

PictureSize parse_picture_size(std::string_view text) {
    const std::size_t x = text.find_first_of("xX");
    if (x == std::string_view::npos)
        throw CliError("dunmorel: --size must be WIDTHxHEIGHT, e.g. 352x288, got " + quote(text));
    return {parse_positive_int(text.substr(0, x), "the width of --size"),
            parse_positive_int(text.substr(x + 1), "the height of --size")};
}

FrameRate parse_frame_rate(std::string_view text) {
    const std::size_t slash = text.find_first_of("/:");
    if (slash == std::string_view::npos) return {parse_positive_unsigned(text, "--fps"), 1};
    return {parse_positive_unsigned(text.substr(0, slash), "the numerator of --fps"),
            parse_positive_unsigned(text.substr(slash + 1), "the denominator of --fps")};
}

FrameRange parse_frame_range(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        throw CliError("dunmorel: --range must be FIRST:LAST (or FIRST: for the rest), got " + quote(text));
    FrameRange range;
    range.first = parse_non_negative_int(text.substr(0, colon), "the first frame of --range");
    const std::string_view last = text.substr(colon + 1);
    if (!last.empty()) {
        range.last = parse_non_negative_int(last, "the last frame of --range");
        if (*range.last < range.first)
            throw CliError("dunmorel: --range " + std::string(text) + " ends before it starts");
    }
    return range;
}

SampleLayout parse_raw_format(std::string_view text) {
    const std::string name = lower(text);
    // The command's own names, then ffmpeg's for the same layouts, so that a -pix_fmt can be
    // copied from the ffmpeg side of a pipe.
    struct Name {
        const char* name;
        Layout layout;
    };
    static constexpr Name kNames[] = {
        {"yv12", Layout::yv12},       {"i420", Layout::i420},       {"yuv420p", Layout::i420},
        {"yuy2", Layout::yuy2},       {"yuyv422", Layout::yuy2},    {"rgb24", Layout::rgb24},
        {"bgr24", Layout::rgb24},     {"rgb32", Layout::rgb32},     {"bgra", Layout::rgb32},
        {"yuv422p", Layout::yuv422p}, {"gray", Layout::grey},       {"grey", Layout::grey},
        {"yuv444p", Layout::yuv444p}, {"yuv440p", Layout::yuv440p}, {"yuv411p", Layout::yuv411p},
        {"yuv410p", Layout::yuv410p}, {"gbrp", Layout::gbrp},
    };
    for (const Name& n : kNames)
        if (name == n.name) return n.layout;
    if (const std::optional<SampleLayout> deep = deep_layout(name, false)) return *deep;
    throw CliError("dunmorel: unknown --format " + quote(text) +
                   " (use yv12, i420 or yuv420p, yuy2 or yuyv422, rgb24 or bgr24, rgb32 or bgra, yuv422p, gray, "
                   "yuv444p, yuv440p, yuv411p, yuv410p, gbrp; ffmpeg converts with " +
                   conversion_hint(name) + ")");
}

std::optional<int> int_argument(const std::vector<ScriptArgument>& arguments, const char* name) {
    std::optional<int> value;
    for (const ScriptArgument& a : arguments)
        if (strcasecmp(a.name.c_str(), name) == 0 && std::holds_alternative<int>(a.value))
            value = std::get<int>(a.value);
    return value;
}

ScriptArgument parse_script_word(std::string_view word) {
    const std::size_t eq = word.find('=');
    if (eq == std::string_view::npos)
        throw CliError("dunmorel: unexpected word " + quote(word) + " (script arguments are NAME=VALUE)");
    const std::string_view name = word.substr(0, eq);
    const std::string_view value = word.substr(eq + 1);
    if (!is_name(name)) throw CliError("dunmorel: " + quote(word) + " has no valid argument name before '='");

    ScriptArgument arg{std::string(name), 0};
    const std::string word_value = lower(value);
    if (word_value == "true" || word_value == "false") {
        arg.value = word_value == "true";
        return arg;
    }
    const std::optional<long long> number = parse_decimal(value);
    if (!number)
        throw CliError("dunmorel: " + quote(word) + ": the value of " + std::string(name) +
                       " must be an integer or true/false");
    if (*number < std::numeric_limits<int>::min() || *number > std::numeric_limits<int>::max())
        throw CliError("dunmorel: " + quote(word) + ": the value of " + std::string(name) +
                       " is outside the 32-bit integer range");
    arg.value = static_cast<int>(*number);
    return arg;
}

Options parse_options(const std::vector<std::string>& words) {
    Options o;
    bool raw_given = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        // "-" alone names standard input or output, so it is a value, never an option.
        if (word.size() < 2 || word[0] != '-') {
            o.script_arguments.push_back(parse_script_word(word));
            continue;
        }
        std::string key = word;
        std::optional<std::string> inline_value;
        if (word.rfind("--", 0) == 0) {
            if (const std::size_t eq = word.find('='); eq != std::string::npos) {
                key = word.substr(0, eq);
                inline_value = word.substr(eq + 1);
            }
        }
        auto value = [&]() -> std::string {
            if (inline_value) return *inline_value;
            if (i + 1 >= words.size()) throw CliError("dunmorel: " + key + " needs a value");
            return words[++i];
        };
        auto no_value = [&] {
            if (inline_value) throw CliError("dunmorel: " + key + " takes no value");
        };

        if (key == "-h" || key == "--help") {
            no_value();
            o.help = true;
        } else if (key == "-i" || key == "--input") {
            o.input = value();
            if (o.input.empty()) throw CliError("dunmorel: " + key + " needs a file name or -");
        } else if (key == "-o" || key == "--output") {
            o.output = value();
            if (o.output.empty()) throw CliError("dunmorel: " + key + " needs a file name or -");
        } else if (key == "--format") {
            o.layout = parse_raw_format(value());
            raw_given = true;
        } else if (key == "--size") {
            o.size = parse_picture_size(value());
            raw_given = true;
        } else if (key == "--fps") {
            o.fps = parse_frame_rate(value());
        } else if (key == "--range") {
            o.range = parse_frame_range(value());
        } else if (key == "--frames") {
            o.frames = parse_positive_int(value(), "--frames");
        } else if (key == "--threads") {
            // 256 is far beyond any useful count; it bounds the frames kept in flight.
            o.threads = parse_int_in_range(value(), "--threads", 1, 256);
        } else if (key == "-q" || key == "--quiet") {
            no_value();
            o.quiet = true;
        } else if (key == "--preview") {
            o.preview = value();
            if (o.preview->empty()) throw CliError("dunmorel: --preview needs a file name");
        } else if (key == "--header") {
            no_value();
            o.header = HeaderMode::always;
        } else if (key == "--no-header") {
            no_value();
            o.header = HeaderMode::never;
        } else if (key == "--demo") {
            no_value();
            o.demo = true;
        } else if (key == "--demo-dir") {
            o.demo_dir = value();
            if (o.demo_dir.empty()) throw CliError("dunmorel: --demo-dir needs a directory");
        } else {
            throw CliError("dunmorel: unknown option " + quote(key) + " (see --help)");
        }
    }
    if (o.help) return o;
    if (o.demo) {
        if (!o.input.empty() || !o.output.empty() || raw_given || o.fps || o.range || o.frames || o.preview)
            throw CliError(
                "dunmorel: --demo makes its own clip; it takes no -i, -o, --format, --size, "
                "--fps, --range, --frames or --preview");
        return o;
    }
    if (o.input.empty()) throw CliError("dunmorel: missing -i INPUT (see --help)");
    if (o.output.empty() && !o.preview) throw CliError("dunmorel: missing -o OUTPUT (see --help)");
    if (o.layout.has_value() != o.size.has_value())
        throw CliError("dunmorel: raw input needs both --format and --size");
    return o;
}

std::string help_text() {
    return R"(Usage: dunmorel [OPTIONS] -i INPUT -o OUTPUT [NAME=VALUE ...]
       dunmorel [OPTIONS] -i INPUT --preview FILE.png [NAME=VALUE ...]
       dunmorel --demo [--demo-dir DIR] [NAME=VALUE ...]

Runs the Dunmorel noise-reduction filter over the frames of INPUT and streams the filtered
frames to OUTPUT.

Input and output:
  -i, --input INPUT     file to read, or - for standard input. An input that starts with
                        a YUV4MPEG2 header is Y4M (8 bits: C420*, C422, C444, C440, C411,
                        Cmono; 9 to 16 bits as ffmpeg tags them: C420p10, C444p16, Cmono12...;
                        size, rate and format come from the header); anything else is raw
                        video and needs --format and --size.
  -o, --output OUTPUT   file to write, or - for standard output. The output has the
                        input's layout: Y4M for Y4M input, the same raw format otherwise.
                        May be left out with --preview.
  --format FMT          raw input format, rows top to bottom: yv12, i420 or yuv420p (Y
                        plane, then U, then V), yuy2 or yuyv422 (Y0 U Y1 V), rgb24 or bgr24
                        (B G R), rgb32 or bgra (B G R A), yuv444p, yuv440p, yuv422p,
                        yuv411p, yuv410p (Y plane, then U, then V, each subsampled as named),
                        gray (Y only; filtered with neutral chroma), gbrp (G, B, R planes).
                        The ffmpeg names are ffmpeg's -pix_fmt values; ffmpeg's own rgb24 is
                        R G B, so use bgr24 on its side. 9 to 16 bits, little-endian words:
                        )" +
           deep_raw_stems() +
           R"(,
                        each with the depth and le after it (yuv420p10le, gray16le...).
                        Other layouts (big-endian, alpha) convert with ffmpeg's -pix_fmt.
                        Deeper clips are calibrated on their picture rounded to 8 bits,
                        with the 8-bit strength.
  --size WxH            raw input picture size, e.g. 352x288 (a multiple of the chroma
                        subsampling).
  --fps N/D             raw input frame rate (default 25/1).

Frames and work:
  --range FIRST:LAST    filter only frames FIRST..LAST (inclusive; FIRST: runs to the end;
                        a LAST past the end stops at the end). The noise is still measured
                        on frame nf of the whole clip, so the outputs of consecutive ranges,
                        concatenated, equal the output of the whole clip byte for byte.
  --frames N            stop after N frames (counted from the range's first frame).
  --threads N           frames filtered at once (default: the number of processor cores).
                        The output never depends on N.
  --header, --no-header
                        whether a Y4M output starts with its stream header. By default it
                        does only when the output starts at frame 0, so that the pieces of
                        --range 0:99, --range 100:199, ... concatenate into one Y4M stream.
  --preview FILE.png    draw the reference frame nf as the filter gets it beside the same
                        frame filtered, the noise window outlined on both, and the
                        calibration report below (with print=true: the frame once).
  -q, --quiet           no progress line (it is shown only when standard error is a
                        terminal anyway) and no notice. Without it, a notice on standard
                        error says before filtering when a plane will be left unchanged
                        (its window measured no noise) or no plane will be filtered.
  --demo                make a short noisy clip, denoise it, print the calibration report
                        and the PSNR of the noisy and the denoised clip against the clean
                        one, and write clean, noisy and denoised Y4M files.
  --demo-dir DIR        where --demo writes its files (default: the current directory).
  -h, --help            this text.

Filter arguments (NAME=VALUE; an argument left out keeps the filter's default):
)" + argument_help() +
           R"(  B is true or false.

Errors (a filter argument error, the calibration report of print=true, an unreadable or
damaged input) are printed as one line on standard error, and the exit status is 1.

Example:
  ffmpeg -i in.mp4 -f yuv4mpegpipe -pix_fmt yuv420p - | dunmorel -i - -o - xgrid=7 |
      ffmpeg -i - -c:v libx264 out.mp4
)";
}

}  // namespace dunmorel::cli
