// Frame input for the tool: a Y4M or raw video file, or a pipe, seen as numbered frames in the
// raw file layout. A regular file is read at random; anything else (a pipe, a terminal) is read
// once, in order, keeping only the frames that are still wanted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "cli/layout.h"
#include "cli/options.h"
#include "cli/platform.h"

namespace dunmorel::cli {

struct InputRequest {
    std::string path;  // "-" for standard input
    // Raw input only; a Y4M input is refused when any of them is given.
    std::optional<SampleLayout> layout = std::nullopt;
    std::optional<PictureSize> size = std::nullopt;
    std::optional<FrameRate> fps = std::nullopt;
};

// Which frames of a sequential input are worth keeping when they go by.
struct ReadPolicy {
    int first = 0;  // frames below this one are dropped as they are read...
    int keep = 0;  // ...except this one (the reference frame of the calibration)
    // Frames read ahead of the oldest wanted frame are held in memory up to this many; further
    // ones wait in an anonymous temporary file, so memory stays flat however far ahead a
    // reference frame lies.
    int memory_frames = 8;
    // The last frame wanted besides `keep`. A regular file damaged after it (a truncated last
    // frame, say) is still read up to there; one damaged at or before it is refused.
    int last = 0x7fffffff;
};

// The frame count given to the filter while a sequential input's length is still unknown.
inline constexpr int kUnknownFrameCount = 0x7fffffff;

struct InputFormat {
    SampleLayout layout;
    PictureSize size;
    FrameRate fps;
    std::size_t frame_bytes = 0;
    bool y4m = false;
    std::string y4m_header;  // the stream header line, without its line feed
    std::optional<int> frame_count;
};

// Frame n was asked for but the input ends before it.
class EndOfInput : public CliError {
public:
    using CliError::CliError;
};

class FrameSource {
public:
    // Opens and identifies the input. Throws CliError with a one-line message when it cannot
    // be opened, is empty, has a bad header, lacks --format/--size for raw data, or (for a
    // regular file) is damaged (not a whole number of frames, a bad frame header) at or before
    // a frame the policy wants; a file damaged only after them holds the frames before.
    static std::unique_ptr<FrameSource> open(const InputRequest& request, const ReadPolicy& policy);

    virtual ~FrameSource() = default;
    FrameSource(const FrameSource&) = delete;
    FrameSource& operator=(const FrameSource&) = delete;

    const InputFormat& format() const { return format_; }
    // "standard input" or the path, as messages name the input.
    const std::string& name() const { return name_; }
    // Which file a regular-file input is, to refuse writing over it.
    std::optional<platform::FileId> identity() const { return identity_; }

    // True when frame n exists, reading a sequential input up to it; false when the input ends
    // before it. Throws CliError when the input is damaged on the way (truncated frame...).
    virtual bool ensure(int n) = 0;
    // Copies frame n into `out` (format().frame_bytes bytes). Safe to call
    // from several threads. Throws EndOfInput when the input ends before frame n, CliError
    // for a damaged input, a frame that was already released, or a sample above the depth.
    void read(int n, std::uint8_t* out);
    // Copies bytes [offset, offset + size) of frame n into `out`; the same rules.
    virtual void read_bytes(int n, std::size_t offset, std::size_t size, std::uint8_t* out) = 0;
    // Frames below n will not be asked for again.
    virtual void release(int n) { static_cast<void>(n); }

protected:
    FrameSource() = default;
    // Throws CliError unless [offset, offset + size) lies inside one raw frame.
    void check_range(std::size_t offset, std::size_t size) const;
    std::string message(const std::string& text) const { return "dunmorel: " + name_ + ": " + text; }

    InputFormat format_;
    std::string name_;
    std::optional<platform::FileId> identity_;
};

}  // namespace dunmorel::cli
