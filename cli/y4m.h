// YUV4MPEG2 stream and frame headers. Only what the tool needs: size, rate and colour space are
// read, and the header line is kept whole so that an output stream can repeat it unchanged.
#pragma once

#include <string>
#include <string_view>

#include "cli/layout.h"

namespace dunmorel::cli {

// What every Y4M stream starts with, the blank included.
inline constexpr std::string_view kY4mSignature = "YUV4MPEG2 ";
// A header longer than this is taken for garbage rather than read on without end. Comments (X
// tags) may carry whole metadata blocks, so the bound is far above any real header.
inline constexpr std::size_t kY4mMaxHeaderLine = std::size_t{1} << 20;

// What is wrong with a stream header that has no line feed in the `read` bytes that were there.
inline std::string y4m_unterminated_header(std::size_t read) {
    return read >= kY4mMaxHeaderLine
               ? "the Y4M stream header is longer than " + std::to_string(kY4mMaxHeaderLine) + " bytes"
               : "the Y4M stream header has no end of line";
}

struct Y4mHeader {
    int width = 0;
    int height = 0;
    // 0/0 when the stream gives no rate (or gives 0:0, "unknown").
    unsigned fps_numerator = 0;
    unsigned fps_denominator = 0;
    std::string colour;  // the C tag's value, empty when there is none
    std::string line;  // the header line as read, without its line feed
};

// Parses a stream header line (without the line feed). Throws CliError for a line that is not
// a Y4M header, lacks W or H, or holds a malformed W, H or F.
Y4mHeader parse_y4m_header(std::string_view line);

// The layout for the header's colour space: YV12 for 4:2:0 (C420, C420jpeg, C420mpeg2,
// C420paldv or no C tag), planar 4:2:2, 4:4:4, 4:4:0 and 4:1:1 for C422, C444, C440 and C411,
// grey for Cmono, at 8 bits; the same at 9 to 16 bits as ffmpeg tags them (C420p10, C444p16,
// Cmono12...). Throws CliError naming any other colour space and the ffmpeg option that
// converts it.
SampleLayout y4m_layout(const Y4mHeader& header);

// Throws CliError unless the line (without its line feed) is a frame header: "FRAME" alone or
// followed by a blank and parameters.
void check_y4m_frame_header(std::string_view line);

}  // namespace dunmorel::cli
