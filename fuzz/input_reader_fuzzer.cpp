// The command's input readers on arbitrary bytes, as Y4M (whatever starts with the signature)
// and as raw video of any format and size. The same bytes go in three ways, as the command
// meets them: a regular file (indexed up front, read at random), standard input redirected from
// a file at an offset, and a pipe (read once, in order, with frames read ahead spilled to a
// temporary file). Each either refuses the input with one of the command's messages, or yields
// frames; the three must agree on the format and, frame for frame, on the samples. The engine's
// planes of every frame must lie inside the frame's bytes.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/input.h"
#include "cli/layout.h"
#include "fuzz/fuzz_check.h"

namespace {

using dunmorel::cli::CliError;
using dunmorel::cli::FrameSource;
using dunmorel::cli::InputRequest;
using dunmorel::cli::Layout;
using dunmorel::cli::ReadPolicy;
using dunmorel::fuzz::count;
using dunmorel::fuzz::fail;

// Frames larger than this are not read: a header may claim any size up to 2 GiB, and a reader
// that is handed one allocates it whole before it finds out that the data is not there. That
// is a frame the command would need in memory anyway; it says nothing about the reader.
constexpr std::size_t kMaxFrameBytes = 1 << 22;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

std::string fd_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

void write_all(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t put = write(fd, p, n);
        if (put <= 0) fail("cannot write the test input: " + std::string(std::strerror(errno)));
        p += put;
        n -= static_cast<std::size_t>(put);
    }
}

// An in-memory regular file holding the bytes.
int memory_file(const std::vector<std::uint8_t>& bytes) {
    const int fd = memfd_create("input", MFD_CLOEXEC);
    if (fd < 0) fail("memfd_create failed");
    write_all(fd, bytes.data(), bytes.size());
    return fd;
}

// The outcome of one way in: the error text, or the format and every frame.
struct Outcome {
    std::optional<std::string> error;
    bool opened = false;
    dunmorel::cli::InputFormat format;
    std::vector<std::vector<std::uint8_t>> frames;
};

void check_message(const std::string& text, const char* how) {
    if (text.rfind("dunmorel: ", 0) != 0 || text.find('\n') != std::string::npos)
        fail(std::string(how) + ": not one of the command's one-line messages: \"" + text + "\"");
}

void check_format(const dunmorel::cli::InputFormat& f, const std::size_t input_size, const char* how) {
    const std::string problem = dunmorel::cli::frame_size_problem(f.layout, f.size.width, f.size.height);
    if (!problem.empty()) fail(std::string(how) + ": accepted a frame size that the layout rejects: " + problem);
    if (f.frame_bytes != dunmorel::cli::frame_bytes(f.layout, f.size.width, f.size.height))
        fail(std::string(how) + ": frame size disagrees with the layout");
    if (f.frame_count && (*f.frame_count < 0 || static_cast<std::size_t>(*f.frame_count) * f.frame_bytes > input_size))
        fail(std::string(how) + ": more frames than the input holds");
}

// Every sample of every plane the engine is given lies inside the frame's bytes.
void check_planes(const dunmorel::cli::InputFormat& f, const std::vector<std::uint8_t>& frame, const char* how) {
    const dunmorel::ConstFramePlanes planes =
        dunmorel::cli::frame_planes(f.layout, f.size.width, f.size.height, frame.data());
    for (const dunmorel::ConstPlaneView& p : {planes.plane[0], planes.plane[1], planes.plane[2], planes.extra}) {
        if (!p.base) continue;
        for (const std::uint8_t* corner :
             {&p.at(0, 0), &p.at(p.height - 1, p.width - 1), &p.at(0, p.width - 1), &p.at(p.height - 1, 0)})
            if (corner < frame.data() || corner >= frame.data() + frame.size())
                fail(std::string(how) + ": a plane of the frame lies outside its bytes");
    }
}

// Reads the clip the way the job does: the reference frame first (the calibration asks for
// it before anything else), then every frame in order, each released once it is written.
Outcome read_all(const InputRequest& request, const ReadPolicy& policy, std::size_t input_size, const char* how) {
    Outcome out;
    try {
        std::unique_ptr<FrameSource> source = FrameSource::open(request, policy);
        out.opened = true;
        out.format = source->format();
        check_format(out.format, input_size, how);
        if (out.format.frame_bytes > kMaxFrameBytes) return out;
        std::vector<std::uint8_t> frame(out.format.frame_bytes);
        std::optional<std::vector<std::uint8_t>> reference;
        if (source->ensure(policy.keep)) {
            source->read(policy.keep, frame.data());
            reference = frame;
        }
        for (int n = 0;; ++n) {
            if (!source->ensure(n)) {
                if (source->ensure(n + 1)) fail(std::string(how) + ": a frame after the end");
                try {
                    source->read(n, frame.data());
                    fail(std::string(how) + ": read a frame after the end");
                } catch (const dunmorel::cli::EndOfInput&) {}
                break;
            }
            source->read(n, frame.data());
            check_planes(out.format, frame, how);
            out.frames.push_back(frame);
            source->release(n + 1);
            // Frames are at least one byte, so there cannot be more of them than input bytes.
            if (out.frames.size() > input_size) fail(std::string(how) + ": more frames than input bytes");
        }
        if (reference.has_value() != (policy.keep < static_cast<int>(out.frames.size())))
            fail(std::string(how) + ": the reference frame exists only sometimes");
        if (reference && *reference != out.frames[static_cast<std::size_t>(policy.keep)])
            fail(std::string(how) + ": the reference frame read ahead differs from the same frame read in order");
        count(std::string(how) + (out.format.y4m ? ": y4m " : ": raw ") +
              std::to_string(std::min<std::size_t>(out.frames.size(), 3)) + "+ frames");
    } catch (const CliError& e) {
        check_message(e.what(), how);
        out.error = e.what();
        count(std::string(how) + (out.opened ? ": refused later" : ": refused at once"));
        const std::string name = request.path == "-" ? "standard input" : request.path;
        if (const std::size_t at = out.error->find(name); at != std::string::npos)
            out.error->replace(at, name.size(), "<input>");
    } catch (const std::exception& e) {
        fail(std::string(how) + " threw " + e.what());
    }
    return out;
}

bool same_format(const dunmorel::cli::InputFormat& a, const dunmorel::cli::InputFormat& b) {
    return a.size == b.size && a.layout == b.layout && a.fps == b.fps && a.frame_bytes == b.frame_bytes &&
           a.y4m == b.y4m && a.y4m_header == b.y4m_header;
}

// The indexing reader and another reader of the same bytes agree: both refuse them or neither
// does (a damaged input is refused by the indexing reader when it opens it, by a sequential
// one when it gets to the damage), and they name the same format and give the same frames.
void compare(const Outcome& file, const Outcome& other, const char* how) {
    const bool unread = (file.opened && file.format.frame_bytes > kMaxFrameBytes) ||
                        (other.opened && other.format.frame_bytes > kMaxFrameBytes);
    if (!unread && file.error.has_value() != other.error.has_value())
        fail(std::string(how) +
             ": only one reader refused the input: " + file.error.value_or(other.error.value_or("")));
    if (file.opened && !other.opened) fail(std::string(how) + ": the file opened, the other refused it at once");
    if (!file.opened || !other.opened) return;
    if (!same_format(file.format, other.format)) fail(std::string(how) + ": the readers see different formats");
    const std::size_t common = std::min(file.frames.size(), other.frames.size());
    for (std::size_t i = 0; i < common; ++i)
        if (file.frames[i] != other.frames[i]) fail(std::string(how) + ": frame " + std::to_string(i) + " differs");
    if (!file.error && !other.error && file.frames.size() != other.frames.size())
        fail(std::string(how) + ": the readers count " + std::to_string(file.frames.size()) + " and " +
             std::to_string(other.frames.size()) + " frames");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    InputRequest request;
    // Raw options are given or not independently, so that a Y4M stream with them and raw data
    // without them are both tried.
    if (in.ConsumeBool())
        request.layout = static_cast<Layout>(in.ConsumeIntegralInRange(0, static_cast<int>(Layout::gbrp)));
    if (in.ConsumeBool())
        request.size = dunmorel::cli::PictureSize{in.ConsumeIntegralInRange(-1, 40), in.ConsumeIntegralInRange(-1, 40)};
    if (in.ConsumeIntegralInRange(0, 3) == 3)
        request.fps = dunmorel::cli::FrameRate{in.ConsumeIntegral<unsigned>(), in.ConsumeIntegral<unsigned>()};
    ReadPolicy policy;
    policy.keep = in.ConsumeIntegralInRange(0, 3);
    policy.memory_frames = in.ConsumeIntegralInRange(1, 3);
    const std::size_t skip = in.ConsumeIntegralInRange<std::size_t>(0, 8);
    const std::vector<std::uint8_t> bytes = in.ConsumeRemainingBytes<std::uint8_t>();

    // A regular file, read at random.
    Fd file(memory_file(bytes));
    request.path = fd_path(file.get());
    const Outcome indexed = read_all(request, policy, bytes.size(), "file");

    // The same bytes on standard input, after `skip` bytes that the reader must not see.
    {
        std::vector<std::uint8_t> padded(skip, 'Y');
        padded.insert(padded.end(), bytes.begin(), bytes.end());
        Fd redirected(memory_file(padded));
        if (lseek(redirected.get(), static_cast<off_t>(skip), SEEK_SET) < 0) fail("lseek failed");
        const int saved = dup(STDIN_FILENO);
        if (dup2(redirected.get(), STDIN_FILENO) < 0) fail("dup2 failed");
        InputRequest from_stdin = request;
        from_stdin.path = "-";
        const Outcome standard = read_all(from_stdin, policy, bytes.size(), "standard input");
        dup2(saved, STDIN_FILENO);
        close(saved);
        compare(indexed, standard, "file and standard input");
        // Both are read at random from a regular file, so they fail alike, with the same words.
        if (indexed.error != standard.error)
            fail("file and standard input end differently: \"" + indexed.error.value_or("") + "\" and \"" +
                 standard.error.value_or("") + "\"");
    }

    // A pipe, read once in order. It holds the whole input so that no writer thread is needed.
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) fail("pipe2 failed");
        Fd reader(ends[0]);
        Fd writer(ends[1]);
        if (fcntl(writer.get(), F_SETPIPE_SZ, 1 << 20) < 0 && bytes.size() > 65536) return 0;
        write_all(writer.get(), bytes.data(), bytes.size());
        writer.reset();
        InputRequest piped = request;
        piped.path = fd_path(reader.get());
        const Outcome streamed = read_all(piped, policy, bytes.size(), "pipe");
        compare(indexed, streamed, "file and pipe");
    }
    return 0;
}
