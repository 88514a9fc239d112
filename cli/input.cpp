#include "cli/input.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>
#include <vector>

#include "cli/output.h"
#include "cli/platform.h"
#include "cli/y4m.h"

namespace dunmorel::cli {

namespace {

constexpr std::size_t kMaxFrameHeader = 4096;

std::string error_text() { return std::strerror(errno); }

std::string plural(long long n, const char* unit) { return std::to_string(n) + " " + unit + (n == 1 ? "" : "s"); }

// Reads exactly `size` bytes at `offset` unless the file ends first; returns the count read.
std::size_t pread_full(int fd, std::uint8_t* out, std::size_t size, std::int64_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const std::int64_t got =
            platform::read_at(fd, out + done, size - done, offset + static_cast<std::int64_t>(done));
        if (got < 0) {
            if (errno == EINTR) continue;
            throw CliError("read failed: " + error_text());
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

// Sequential reading with a look at the first bytes before they are consumed.
class BufferedReader {
public:
    explicit BufferedReader(int fd) : fd_(fd), buffer_(1 << 16) {}

    // Up to n bytes from the current position without consuming them (fewer at the end).
    std::string_view peek(std::size_t n) {
        while (end_ - pos_ < n && fill()) {}
        return {reinterpret_cast<const char*>(buffer_.data() + pos_), std::min(n, end_ - pos_)};
    }

    // Reads up to n bytes; fewer only at the end of the input.
    std::size_t read(std::uint8_t* out, std::size_t n) {
        std::size_t done = 0;
        while (done < n) {
            if (pos_ == end_) {
                // Large reads skip the buffer.
                if (n - done >= buffer_.size()) {
                    const std::size_t got = raw_read(out + done, n - done);
                    if (got == 0) break;
                    done += got;
                    continue;
                }
                if (!fill()) break;
            }
            const std::size_t take = std::min(n - done, end_ - pos_);
            std::memcpy(out + done, buffer_.data() + pos_, take);
            pos_ += take;
            done += take;
        }
        return done;
    }

    // A line without its line feed. `terminated` is false when the input ended (or `max`
    // bytes went by) before a line feed; nothing read at all gives an empty, unterminated line.
    std::string read_line(std::size_t max, bool& terminated) {
        std::string line;
        terminated = false;
        while (line.size() < max) {
            if (pos_ == end_ && !fill()) return line;
            const std::uint8_t* start = buffer_.data() + pos_;
            const std::size_t avail = std::min(end_ - pos_, max - line.size());
            const void* lf = std::memchr(start, '\n', avail);
            const std::size_t take =
                lf ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - start) : avail;
            line.append(reinterpret_cast<const char*>(start), take);
            pos_ += take;
            if (lf) {
                ++pos_;
                terminated = true;
                return line;
            }
        }
        return line;
    }

    bool at_end() { return pos_ == end_ && !fill(); }

private:
    std::size_t raw_read(std::uint8_t* out, std::size_t n) {
        for (;;) {
            const ssize_t got = ::read(fd_, out, n);
            if (got >= 0) return static_cast<std::size_t>(got);
            if (errno != EINTR) throw CliError("read failed: " + error_text());
        }
    }

    // Appends more input to the buffer (compacting it first); false at the end.
    bool fill() {
        if (pos_ > 0) {
            std::memmove(buffer_.data(), buffer_.data() + pos_, end_ - pos_);
            end_ -= pos_;
            pos_ = 0;
        }
        if (end_ == buffer_.size()) return true;
        const std::size_t got = raw_read(buffer_.data() + end_, buffer_.size() - end_);
        end_ += got;
        return got > 0;
    }

    int fd_;
    std::vector<std::uint8_t> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
};

class FileDescriptor {
public:
    FileDescriptor(int fd, bool owned) : fd_(fd), owned_(owned) {}
    ~FileDescriptor() {
        if (owned_ && fd_ >= 0) close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
    bool owned_;
};

// ---------------------------------------------------------------------------------------------

class SeekableSource final : public FrameSource {
public:
    SeekableSource(std::unique_ptr<FileDescriptor> fd, std::string name, std::int64_t base, std::int64_t size,
                   const InputRequest& request, const ReadPolicy& policy, platform::FileId identity)
        : fd_(std::move(fd)), base_(base), size_(size) {
        name_ = std::move(name);
        identity_ = identity;
        if (size_ == 0) throw CliError(message("input is empty"));
        std::uint8_t head[kY4mSignature.size()] = {};
        const std::size_t got = pread_at(head, sizeof head, 0);
        if (std::string_view(reinterpret_cast<const char*>(head), got) == kY4mSignature)
            index_y4m(request);
        else
            index_raw(request);
        // The frames before the damage are whole, and are all that is asked for.
        if (damage_ && damage_->frame <= std::max(policy.last, policy.keep)) throw CliError(damage_->message);
        format_.frame_count = damage_ ? damage_->frame : static_cast<int>(whole_frames_);
    }

    bool ensure(int n) override { return n >= 0 && n < *format_.frame_count; }

    void read_bytes(int n, std::size_t offset, std::size_t size, std::uint8_t* out) override {
        check_range(offset, size);
        if (!ensure(n)) throw EndOfInput(message("there is no frame " + std::to_string(n)));
        const std::int64_t at = y4m_offsets_.empty()
                                    ? static_cast<std::int64_t>(n) * static_cast<std::int64_t>(format_.frame_bytes)
                                    : y4m_offsets_[static_cast<std::size_t>(n)];
        // The index was checked against the file's size; a shorter read means it shrank since.
        if (pread_at(out, size, at + static_cast<std::int64_t>(offset)) != size)
            throw CliError(message("frame " + std::to_string(n) + " is truncated (the file shrank while being read)"));
    }

private:
    std::size_t pread_at(std::uint8_t* out, std::size_t n, std::int64_t at) const {
        try {
            return pread_full(fd_->get(), out, n, base_ + at);
        } catch (const CliError& e) {
            throw CliError(message(e.what()));
        }
    }

    void index_raw(const InputRequest& request);
    void index_y4m(const InputRequest& request);

    // The first frame that is not whole, and what is wrong with it.
    struct Damage {
        int frame;
        std::string message;
    };

    std::unique_ptr<FileDescriptor> fd_;
    std::int64_t base_;
    std::int64_t size_;
    // Where each frame's samples start, for Y4M; raw frames lie back to back.
    std::vector<std::int64_t> y4m_offsets_;
    std::int64_t whole_frames_ = 0;
    std::optional<Damage> damage_;
};

// ---------------------------------------------------------------------------------------------

class StreamSource final : public FrameSource {
public:
    StreamSource(std::unique_ptr<FileDescriptor> fd, std::string name, const InputRequest& request,
                 const ReadPolicy& policy)
        : fd_(std::move(fd)), reader_(fd_->get()), policy_(policy), floor_(policy.first) {
        name_ = std::move(name);
        const std::string_view head = reader_.peek(kY4mSignature.size());
        if (head.empty()) throw CliError(message("input is empty"));
        if (head == kY4mSignature) {
            bool terminated = false;
            const std::string line = reader_.read_line(kY4mMaxHeaderLine, terminated);
            if (!terminated) throw CliError(message(y4m_unterminated_header(line.size())));
            set_y4m_format(line, request);
        } else {
            set_raw_format(request);
        }
    }

    ~StreamSource() override {
        if (spill_) std::fclose(spill_);
    }

    bool ensure(int n) override {
        std::lock_guard lock(mutex_);
        return read_up_to(n);
    }

    void read_bytes(int n, std::size_t offset, std::size_t size, std::uint8_t* out) override {
        check_range(offset, size);
        std::lock_guard lock(mutex_);
        if (!read_up_to(n)) throw EndOfInput(message("the input ends before frame " + std::to_string(n)));
        if (const auto it = memory_.find(n); it != memory_.end()) {
            std::memcpy(out, it->second.data() + offset, size);
            return;
        }
        if (const auto it = spilled_.find(n); it != spilled_.end()) {
            if (pread_full(fileno(spill_), out, size, it->second + static_cast<std::int64_t>(offset)) != size)
                throw CliError(message("the temporary file lost frame " + std::to_string(n)));
            return;
        }
        // The caller asked for a frame that it had already released or never wanted.
        throw CliError(message("frame " + std::to_string(n) + " was read and dropped already"));
    }

    void release(int n) override {
        std::lock_guard lock(mutex_);
        floor_ = std::max(floor_, n);
        memory_.erase(memory_.begin(), memory_.lower_bound(n));
        spilled_.erase(spilled_.begin(), spilled_.lower_bound(n));
    }

private:
    void set_raw_format(const InputRequest& request);
    void set_y4m_format(const std::string& line, const InputRequest& request);

    // Reads frames until frame n has been read. False when the input ends cleanly before.
    bool read_up_to(int n) {
        while (next_ <= n) {
            if (ended_) return false;
            if (!read_next()) {
                ended_ = true;
                return false;
            }
        }
        return true;
    }

    // Reads frame next_ and files it; false at a clean end of the input.
    bool read_next() {
        const int index = next_;
        try {
            if (format_.y4m) {
                bool terminated = false;
                const std::string line = reader_.read_line(kMaxFrameHeader, terminated);
                if (!terminated && line.empty() && reader_.at_end()) return false;
                if (!terminated && reader_.at_end())
                    throw CliError("frame " + std::to_string(index) + " is truncated (its FRAME header is incomplete)");
                if (!terminated) throw CliError("frame " + std::to_string(index) + ": bad Y4M frame header (too long)");
                try {
                    check_y4m_frame_header(line);
                } catch (const CliError& e) {
                    throw CliError("frame " + std::to_string(index) + ": " + e.what());
                }
            } else if (reader_.at_end()) {
                return false;
            }
            std::vector<std::uint8_t> frame(format_.frame_bytes);
            const std::size_t got = reader_.read(frame.data(), frame.size());
            if (got != frame.size())
                throw CliError("frame " + std::to_string(index) + " is truncated (" + std::to_string(got) + " of " +
                               plural(static_cast<long long>(frame.size()), "byte") + ")");
            ++next_;
            file_frame(index, std::move(frame));
            return true;
        } catch (const CliError& e) {
            const std::string text = e.what();
            if (text.rfind("dunmorel: ", 0) == 0) throw;
            throw CliError(message(text));
        }
    }

    void file_frame(int index, std::vector<std::uint8_t> frame) {
        if (index < floor_ && index != policy_.keep) return;
        if (index == policy_.keep || index - floor_ < policy_.memory_frames) {
            memory_.emplace(index, std::move(frame));
            return;
        }
        if (!spill_) {
            spill_ = std::tmpfile();
            if (!spill_) throw CliError("cannot make a temporary file for frames read ahead: " + error_text());
        }
        const std::int64_t at = spill_end_;
        std::size_t done = 0;
        while (done < frame.size()) {
            const std::int64_t put = platform::write_at(fileno(spill_), frame.data() + done, frame.size() - done,
                                                        at + static_cast<std::int64_t>(done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) throw CliError("cannot write frames read ahead to a temporary file: " + error_text());
            done += static_cast<std::size_t>(put);
        }
        spill_end_ += static_cast<std::int64_t>(frame.size());
        spilled_.emplace(index, at);
    }

    std::unique_ptr<FileDescriptor> fd_;
    BufferedReader reader_;
    ReadPolicy policy_;
    std::mutex mutex_;
    int next_ = 0;
    bool ended_ = false;
    int floor_;
    std::map<int, std::vector<std::uint8_t>> memory_;
    std::map<int, std::int64_t> spilled_;
    std::FILE* spill_ = nullptr;
    std::int64_t spill_end_ = 0;
};

// ---------------------------------------------------------------------------------------------

// Shared by both kinds of input: the format from a Y4M header or from the raw options.
InputFormat make_format(SampleLayout layout, int width, int height, FrameRate fps, const std::string& name) {
    const std::string problem = frame_size_problem(layout, width, height);
    if (!problem.empty()) throw CliError("dunmorel: " + name + ": " + problem);
    InputFormat f;
    f.layout = layout;
    f.size = {width, height};
    f.fps = fps;
    f.frame_bytes = frame_bytes(layout, width, height);
    return f;
}

InputFormat raw_input_format(const InputRequest& request, const std::string& name) {
    if (!request.layout || !request.size)
        throw CliError("dunmorel: " + name +
                       ": raw input needs --format and --size (it does not start with a "
                       "YUV4MPEG2 header)");
    return make_format(*request.layout, request.size->width, request.size->height, request.fps.value_or(FrameRate{}),
                       name);
}

InputFormat y4m_format(const std::string& line, const InputRequest& request, const std::string& name) {
    if (request.layout || request.size || request.fps)
        throw CliError("dunmorel: " + name + " is a Y4M stream; --format, --size and --fps are for raw input only");
    Y4mHeader header;
    SampleLayout layout;
    try {
        header = parse_y4m_header(line);
        layout = y4m_layout(header);
    } catch (const CliError& e) {
        throw CliError("dunmorel: " + name + ": " + e.what());
    }
    // A stream without a rate (or with 0:0, "unknown") plays at the raw default.
    FrameRate fps;
    if (header.fps_numerator != 0 && header.fps_denominator != 0) fps = {header.fps_numerator, header.fps_denominator};
    InputFormat f = make_format(layout, header.width, header.height, fps, name);
    f.y4m = true;
    f.y4m_header = header.line;
    return f;
}

void SeekableSource::index_raw(const InputRequest& request) {
    format_ = raw_input_format(request, name_);
    // Half a sample cannot be a truncated frame's tail worth reading up to: the whole file is
    // suspect (another depth, or bytes that are not video at all).
    if (format_.layout.bits > 8 && size_ % 2 != 0)
        throw CliError(message("its size, " + plural(size_, "byte") + ", is odd, but every sample of " +
                               std::to_string(format_.layout.bits) + "-bit video takes two bytes"));
    const auto frame = static_cast<std::int64_t>(format_.frame_bytes);
    whole_frames_ = size_ / frame;
    if (whole_frames_ > kUnknownFrameCount - 1) throw CliError(message("too many frames"));
    if (size_ % frame != 0)
        damage_ =
            Damage{static_cast<int>(whole_frames_),
                   message("its size, " + plural(size_, "byte") + ", is not a whole number of " +
                           std::to_string(frame) + "-byte frames (" + plural(size_ % frame, "byte") + " left over)")};
}

void SeekableSource::index_y4m(const InputRequest& request) {
    std::vector<std::uint8_t> chunk(std::min<std::int64_t>(size_, static_cast<std::int64_t>(kY4mMaxHeaderLine) + 1));
    const std::size_t got = pread_at(chunk.data(), chunk.size(), 0);
    const auto lf = std::find(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got), '\n');
    if (lf == chunk.begin() + static_cast<std::ptrdiff_t>(got)) throw CliError(message(y4m_unterminated_header(got)));
    format_ = y4m_format(std::string(chunk.begin(), lf), request, name_);

    std::int64_t pos = (lf - chunk.begin()) + 1;
    const auto frame = static_cast<std::int64_t>(format_.frame_bytes);
    std::uint8_t head[kMaxFrameHeader];
    while (pos < size_) {
        const int index = static_cast<int>(y4m_offsets_.size());
        if (index >= kUnknownFrameCount - 1) throw CliError(message("too many frames"));
        const std::size_t n =
            pread_at(head, static_cast<std::size_t>(std::min<std::int64_t>(sizeof head, size_ - pos)), pos);
        const auto end = static_cast<std::uint8_t*>(std::memchr(head, '\n', n));
        auto damaged = [&](const std::string& what) {
            whole_frames_ = index;
            damage_ = Damage{index, message("frame " + std::to_string(index) + what)};
        };
        if (!end && n < sizeof head) return damaged(" is truncated (its FRAME header is incomplete)");
        if (!end) return damaged(": bad Y4M frame header (too long)");
        try {
            check_y4m_frame_header(
                std::string_view(reinterpret_cast<const char*>(head), static_cast<std::size_t>(end - head)));
        } catch (const CliError& e) {
            return damaged(std::string(": ") + e.what());
        }
        const std::int64_t data = pos + (end - head) + 1;
        if (size_ - data < frame)
            return damaged(" is truncated (" + std::to_string(size_ - data) + " of " + plural(frame, "byte") + ")");
        y4m_offsets_.push_back(data);
        pos = data + frame;
    }
    whole_frames_ = static_cast<std::int64_t>(y4m_offsets_.size());
}

void StreamSource::set_raw_format(const InputRequest& request) { format_ = raw_input_format(request, name_); }

void StreamSource::set_y4m_format(const std::string& line, const InputRequest& request) {
    format_ = y4m_format(line, request, name_);
}

}  // namespace

// Samples are checked per frame as it is read, not when the input is opened: checking there
// would read a whole file once more, and a pipe cannot be read twice. A stream thus fails at its
// first frame with a sample above the depth, and the output written so far is discarded with the
// run. 16-bit words cannot exceed their depth.
void FrameSource::read(int n, std::uint8_t* out) {
    read_bytes(n, 0, format_.frame_bytes, out);
    const int bits = format_.layout.bits;
    if (bits <= 8 || bits >= 16) return;
    // Only the high byte of each little-endian word can hold bits above the depth; one pass
    // ORs the frame together eight bytes at a time, and only a frame that fails is searched for
    // its first bad sample.
    const auto high_bits = static_cast<std::uint8_t>(0xff << (bits - 8));
    std::uint64_t words = 0;
    std::size_t at = 0;
    for (; at + 8 <= format_.frame_bytes; at += 8) {
        std::uint64_t w;
        std::memcpy(&w, out + at, sizeof w);
        words |= w;
    }
    std::uint8_t seen = 0;
    for (int b = 1; b < 8; b += 2) seen |= static_cast<std::uint8_t>(words >> (8 * b));
    for (std::size_t i = at + 1; i < format_.frame_bytes; i += 2) seen |= out[i];
    if ((seen & high_bits) == 0) return;
    std::size_t i = 1;
    while ((out[i] & high_bits) == 0) i += 2;
    const unsigned sample = out[i - 1] | unsigned{out[i]} << 8;
    throw CliError(message("frame " + std::to_string(n) + " holds a sample of " + std::to_string(sample) +
                           ", more than " + std::to_string(bits) + " bits hold (at most " +
                           std::to_string((1u << bits) - 1) + ")"));
}

void FrameSource::check_range(std::size_t offset, std::size_t size) const {
    if (offset > format_.frame_bytes || size > format_.frame_bytes - offset)
        throw CliError(message("bytes " + std::to_string(offset) + " to " + std::to_string(offset + size) +
                               " lie outside a frame of " + std::to_string(format_.frame_bytes)));
}

std::unique_ptr<FrameSource> FrameSource::open(const InputRequest& request, const ReadPolicy& policy) {
    const bool standard = request.path == "-";
    const std::string name = standard ? "standard input" : request.path;
    std::unique_ptr<FileDescriptor> fd;
    if (standard) {
        // What examining a closed standard input said before it was reserved.
        if (standard_stream_was_closed(STDIN_FILENO))
            throw CliError("dunmorel: cannot examine input " + name + ": " + std::strerror(EBADF));
        fd = std::make_unique<FileDescriptor>(STDIN_FILENO, false);
    } else {
        const int raw = platform::open_for_reading(request.path);
        if (raw < 0) throw CliError("dunmorel: cannot open input " + name + ": " + error_text());
        fd = std::make_unique<FileDescriptor>(raw, true);
    }
    const std::optional<platform::FileStatus> st = platform::status_of(fd->get());
    if (!st) throw CliError("dunmorel: cannot examine input " + name + ": " + error_text());
    if (st->directory) throw CliError("dunmorel: input " + name + " is a directory");
    if (st->regular && st->id) {
        // Standard input redirected from a file is read from where it stands.
        const std::int64_t base = standard ? platform::position_of(fd->get()) : 0;
        if (base >= 0 && base <= st->size)
            return std::make_unique<SeekableSource>(std::move(fd), name, base, st->size - base, request, policy,
                                                    *st->id);
    }
    return std::make_unique<StreamSource>(std::move(fd), name, request, policy);
}

}  // namespace dunmorel::cli
