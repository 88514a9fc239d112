#include "cli/y4m.h"

#include <charconv>
#include <limits>
#include <optional>

#include "cli/options.h"

namespace dunmorel::cli {

namespace {

std::optional<unsigned> parse_unsigned(std::string_view text) {
    unsigned value = 0;
    if (text.empty()) return std::nullopt;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

int parse_dimension(std::string_view token) {
    const std::optional<unsigned> v = parse_unsigned(token.substr(1));
    if (!v || *v == 0 || *v > static_cast<unsigned>(std::numeric_limits<int>::max()))
        throw CliError("Y4M header has a bad " + std::string(token[0] == 'W' ? "width" : "height") + " '" +
                       one_line(token) + "'");
    return static_cast<int>(*v);
}

}  // namespace

Y4mHeader parse_y4m_header(std::string_view line) {
    if (line.substr(0, kY4mSignature.size()) != kY4mSignature) throw CliError("not a Y4M stream header");
    Y4mHeader h;
    h.line = std::string(line);
    std::string_view rest = line.substr(kY4mSignature.size());
    while (!rest.empty()) {
        const std::size_t blank = rest.find(' ');
        const std::string_view token = rest.substr(0, blank);
        rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
        if (token.empty()) continue;
        switch (token[0]) {
            case 'W':
                h.width = parse_dimension(token);
                break;
            case 'H':
                h.height = parse_dimension(token);
                break;
            case 'F': {
                const std::size_t colon = token.find(':');
                const auto num = parse_unsigned(token.substr(1, colon == std::string_view::npos ? 0 : colon - 1));
                const auto den =
                    colon == std::string_view::npos ? std::nullopt : parse_unsigned(token.substr(colon + 1));
                if (!num || !den) throw CliError("Y4M header has a bad frame rate '" + one_line(token) + "'");
                h.fps_numerator = *num;
                h.fps_denominator = *den;
                break;
            }
            case 'C':
                h.colour = std::string(token.substr(1));
                break;
            // Interlacing, aspect ratio, comments and unknown tags travel on in the kept line.
            default:
                break;
        }
    }
    if (h.width == 0) throw CliError("Y4M header has no frame width (W)");
    if (h.height == 0) throw CliError("Y4M header has no frame height (H)");
    return h;
}

SampleLayout y4m_layout(const Y4mHeader& header) {
    const std::string& c = header.colour;
    if (c.empty() || c == "420" || c == "420jpeg" || c == "420mpeg2" || c == "420paldv") return {Layout::yv12, 8};
    struct Tag {
        const char* name;
        Layout layout;
    };
    for (const Tag& t : {Tag{"422", Layout::yuv422p}, Tag{"mono", Layout::grey}, Tag{"444", Layout::yuv444p},
                         Tag{"440", Layout::yuv440p}, Tag{"411", Layout::yuv411p}})
        if (c == t.name) return {t.layout, 8};
    if (const std::optional<SampleLayout> deep = deep_layout(c, true)) return *deep;
    throw CliError("Y4M colour space C" + one_line(c) +
                   " is not supported (8-bit 4:2:0, 4:2:2, 4:4:4, 4:4:0, 4:1:1 and mono are: C420, C420jpeg, "
                   "C420mpeg2, C420paldv, C422, C444, C440, C411, Cmono); ffmpeg converts with " +
                   conversion_hint(c));
}

void check_y4m_frame_header(std::string_view line) {
    if (line.substr(0, 5) != "FRAME" || (line.size() > 5 && line[5] != ' '))
        throw CliError("bad Y4M frame header (expected FRAME)");
}

}  // namespace dunmorel::cli
